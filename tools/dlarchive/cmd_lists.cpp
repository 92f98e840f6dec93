// Commands on the mailing-list directory: the loaded lists, and the batch run over them.
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli.h"
#include "dlarchive/dlarchive.h"

namespace cli {
namespace {

using json = nlohmann::ordered_json;

json Text(const std::optional<std::string>& text)
{
    return text ? json(*text) : json(nullptr);
}

json Members(const std::vector<ListMemberEntry>& members)
{
    json out = json::array();
    for (const ListMemberEntry& m : members)
        out.push_back({{"address", m.address}, {"delivery", m.delivery}, {"blocked", m.blocked}});
    return out;
}

json RecordToJson(const MailingListRecord& r)
{
    return {{"name", r.name},
            {"spareText", Text(r.spareText)},
            {"subscribeTextPath", Text(r.subscribeTextPath)},
            {"unsubscribeTextPath", Text(r.unsubscribeTextPath)},
            {"welcomeTextPath", Text(r.welcomeTextPath)},
            {"disclaimerTextPath", Text(r.disclaimerTextPath)},
            {"disclaimerHtmlPath", Text(r.disclaimerHtmlPath)},
            {"digestMembers", Members(r.digestMembers)},
            {"immediateMembers", Members(r.immediateMembers)},
            {"mode", r.mode},
            {"archive", r.archive},
            {"digestMemberCount", r.digestMemberCount},
            {"immediateMemberCount", r.immediateMemberCount},
            {"digestHour", r.digestHour},
            {"digestMinute", r.digestMinute},
            {"digestSizeLimit", r.digestSizeLimit},
            {"frequency", r.frequency},
            {"invalidPostingAction", r.invalidPostingAction},
            {"whichDay", r.whichDay},
            {"useMimeDigest", r.useMimeDigest},
            {"autoSubscription", r.autoSubscription},
            {"postingAllowed", r.postingAllowed},
            {"removeReturnReceipt", r.removeReturnReceipt}};
}

// Directory values need not be UTF-8: bytes that are not are shown as U+FFFD.
std::string Dump(const json& value)
{
    return value.dump(2, ' ', false, json::error_handler_t::replace);
}

int Lists(const Args& args)
{
    if (!args.empty()) throw UsageError{"no arguments expected"};
    MailingListDirectory directory;
    if (!directory.Load()) {
        std::fprintf(stderr,
                     "dlarchive: the directory could not be loaded (connect or bind failed; see the "
                     "\"Ldap\" keys of kelmo.ini)\n");
        return kExitFailure;
    }
    json out = json::array();
    for (const MailingListRecord& record : directory.GetRecords()) out.push_back(RecordToJson(record));
    std::printf("%s\n", Dump(out).c_str());
    return kExitOk;
}
const Register lists{{"lists", "", "print every list of the LDAP directory with its options as JSON", Lists}};

struct BatchSummary {
    bool terminal = ::isatty(STDERR_FILENO) == 1;
    long lists = 0, archived = 0, reloaded = 0, pages = 0;
};

void OnBatchStep(const CDlArchive::BatchStep& step, void* context)
{
    auto& summary = *static_cast<BatchSummary*>(context);
    ++summary.lists;
    summary.archived += step.archiveFlag == 1;
    summary.reloaded += step.reloaded;
    summary.pages += step.pagesWritten;
    if (!summary.terminal) return;
    const char* what = step.archiveFlag != 1 ? "not archived"
                       : step.reloaded       ? "relations reloaded, pages written"
                       : step.pagesWritten   ? "pages written"
                                             : "no messages";
    std::fprintf(stderr, "%s: %s\n", step.list, what);
}

void PrintSummary(const BatchSummary& s)
{
    std::printf("%s\n", json{{"lists", s.lists}, {"archived", s.archived}, {"reloaded", s.reloaded}, {"pages", s.pages}}
                            .dump()
                            .c_str());
}

// The summary is printed also when a page failure ends the run, before its error.
int Batch(const Args& args)
{
    if (!args.empty()) throw UsageError{"no arguments expected"};
    BatchSummary summary;
    CDlArchive archive("dlarchive");
    CDlArchive::SetBatchHandler(OnBatchStep, &summary);
    try {
        archive.StartArchive();
    } catch (...) {
        CDlArchive::SetBatchHandler(nullptr, nullptr);
        PrintSummary(summary);
        throw;
    }
    CDlArchive::SetBatchHandler(nullptr, nullptr);
    PrintSummary(summary);
    if (summary.lists == 0) std::fprintf(stderr, "dlarchive: no lists (is the directory server reachable?)\n");
    return kExitOk;
}
const Register batch{{"batch", "",
                      "bring the web archive of every archived list of the LDAP directory up to date "
                      "(summary as JSON)",
                      Batch}};

}  // namespace
}  // namespace cli
