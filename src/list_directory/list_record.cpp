// One directory entry into a MailingListRecord: the rules of each option attribute.
#include <strings.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <functional>
#include <string_view>

#include "dlarchive/list_directory.h"

namespace {

bool Is(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool HasPrefix(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && Is(text.substr(0, prefix.size()), prefix);
}

// A decimal number as atoi reads it (leading blanks, a sign, digits up to the first other
// character; none gives 0), held to the 32-bit range instead of overflowing. `end` (when given)
// is set past the digits, or to `text` when there were none.
int32_t Decimal(const char* text, const char** end = nullptr)
{
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    const char* digits = p;
    int64_t value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p)
        value = std::min<int64_t>(value * 10 + (*p - '0'), 1LL << 32);
    if (end != nullptr) *end = p == digits ? text : p;
    value = negative ? -value : value;
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

// "%d:%d" as sscanf reads it: numbers that do not parse stay 0.
void DeliverTime(MailingListRecord& r, const std::string& value)
{
    const char* end = nullptr;
    int32_t hour = Decimal(value.c_str(), &end);
    int32_t minute = 0;
    if (end != value.c_str() && *end == ':') minute = Decimal(end + 1);
    r.digestHour = hour >= 0 && hour <= 23 ? hour : 0;
    r.digestMinute = minute >= 0 && minute <= 59 ? minute : 0;
}

using Rule = std::function<void(MailingListRecord&, const std::string&)>;

Rule Text(std::optional<std::string> MailingListRecord::*field)
{
    return [field](MailingListRecord& r, const std::string& value) { r.*field = value; };
}

// Attribute name and rule; a name matches at most one rule.
const std::vector<std::pair<const char*, Rule>>& Rules()
{
    using R = MailingListRecord;
    static const std::vector<std::pair<const char*, Rule>> rules = {
        {"subtxtpath", Text(&R::subscribeTextPath)},
        {"unsubtxtpath", Text(&R::unsubscribeTextPath)},
        {"welcometxtpath", Text(&R::welcomeTextPath)},
        {"disclaimertxtpath", Text(&R::disclaimerTextPath)},
        {"disclaimerhtmlpath", Text(&R::disclaimerHtmlPath)},
        {"mode",
         [](R& r, const std::string& v) {
             if (v == "0" || v == "1") r.mode = v[0] - '0';
         }},
        {"archive", [](R& r, const std::string& v) { r.archive = v == "0" ? 0 : 1; }},
        {"DigestDeliverTime", DeliverTime},
        {"digestsizelimit",
         [](R& r, const std::string& v) {
             const int64_t kilobytes = std::max(Decimal(v.c_str()), 0);
             r.digestSizeLimit = static_cast<int32_t>(std::min<int64_t>(kilobytes * 1024, INT32_MAX));
         }},
        {"frequency",
         [](R& r, const std::string& v) {
             if (Is(v, "daily")) r.frequency = R::Daily;
             if (Is(v, "weekly")) r.frequency = R::Weekly;
             if (Is(v, "monthly")) r.frequency = R::Monthly;
         }},
        {"InvalidPosting",
         [](R& r, const std::string& v) {
             r.invalidPostingAction = Is(v, "discard")   ? R::Discard
                                      : Is(v, "bounce")  ? R::Bounce
                                      : Is(v, "forward") ? R::Forward
                                                         : R::Unset;
         }},
        {"whichday", [](R& r, const std::string& v) { r.whichDay = Decimal(v.c_str()); }},
        {"UseMimeDigest", [](R& r, const std::string& v) { r.useMimeDigest = Is(v, "YES"); }},
        {"AutoSubscription", [](R& r, const std::string& v) { r.autoSubscription = Is(v, "YES"); }},
        {"postingpermission",
         [](R& r, const std::string& v) {
             if (Is(v, "allow")) r.postingAllowed = true;
             if (Is(v, "block")) r.postingAllowed = false;
         }},
        {"RemoveReturnReceiptTo", [](R& r, const std::string& v) { r.removeReturnReceipt = !Is(v, "NO"); }},
    };
    return rules;
}

// A "listmember" value: "Immediate;" or "Digest;", optionally "Blocked;", then the address.
std::optional<ListMemberEntry> Member(std::string_view value)
{
    ListMemberEntry member;
    if (HasPrefix(value, "Immediate;")) {
        value.remove_prefix(10);
    } else if (HasPrefix(value, "Digest;")) {
        value.remove_prefix(7);
        member.delivery = ListMemberEntry::Digest;
    } else {
        return std::nullopt;
    }
    member.blocked = HasPrefix(value, "Blocked;");
    if (member.blocked) value.remove_prefix(8);
    member.address = value;
    return member;
}

}  // namespace

MailingListRecord ParseMailingListEntry(const std::string& name,
                                        const std::vector<std::pair<std::string, std::string>>& attributes)
{
    MailingListRecord record;
    record.name = name;
    for (const auto& [attribute, value] : attributes) {
        for (const auto& [ruleName, rule] : Rules()) {
            if (Is(attribute, ruleName)) {
                rule(record, value);
                break;
            }
        }
        if (Is(attribute, "listmember")) {
            if (const auto member = Member(value)) {
                auto& list =
                    member->delivery == ListMemberEntry::Digest ? record.digestMembers : record.immediateMembers;
                list.push_back(*member);
            }
        }
    }
    record.digestMemberCount = static_cast<int32_t>(record.digestMembers.size());
    record.immediateMemberCount = static_cast<int32_t>(record.immediateMembers.size());
    const int32_t top = record.frequency == MailingListRecord::Weekly    ? 7
                        : record.frequency == MailingListRecord::Monthly ? 31
                                                                         : 0;
    if (top != 0) record.whichDay = std::clamp(record.whichDay, 1, top);
    return record;
}
