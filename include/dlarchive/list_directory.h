#pragma once
// The mailing lists of the server as its LDAP directory defines them (entries of object class
// "vklist"), and the digest schedule file of each list.
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dlarchive/export.h"

// One accepted "listmember" value.
struct ListMemberEntry {
    enum Delivery : int32_t { Immediate = 0, Digest = 1 };
    std::string address;
    int32_t delivery = Immediate;
    bool blocked = false;
};

// A list's options. Texts not set by the entry are empty optionals.
struct MailingListRecord {
    enum Frequency : int32_t { Daily = 0, Weekly = 1, Monthly = 2 };
    enum InvalidPostingAction : int32_t { Discard = 0, Bounce = 1, Forward = 2, Unset = 3 };

    std::string name;  // the entry's first "mail" value
    std::optional<std::string> spareText;
    std::optional<std::string> subscribeTextPath;
    std::optional<std::string> unsubscribeTextPath;
    std::optional<std::string> welcomeTextPath;
    std::optional<std::string> disclaimerTextPath;
    std::optional<std::string> disclaimerHtmlPath;
    std::vector<ListMemberEntry> digestMembers;
    std::vector<ListMemberEntry> immediateMembers;
    int32_t mode = 0;
    int32_t archive = 1;
    int32_t digestMemberCount = 0;
    int32_t immediateMemberCount = 0;
    int32_t digestHour = 0;
    int32_t digestMinute = 0;
    int32_t digestSizeLimit = 0;  // bytes
    int32_t frequency = Daily;
    int32_t invalidPostingAction = Unset;
    int32_t whichDay = 1;
    bool useMimeDigest = true;
    bool autoSubscription = false;
    bool postingAllowed = true;
    bool removeReturnReceipt = true;
};

// The record of one directory entry (its attributes as (name, value) pairs, one per value,
// in the server's order) named `name`: defaults, then every attribute rule, the last
// occurrence deciding.
DLARCHIVE_API MailingListRecord
ParseMailingListEntry(const std::string& name, const std::vector<std::pair<std::string, std::string>>& attributes);

// The next digest delivery after the local date and time of `now` for a list's digest hour
// and minute, frequency (0 daily, 1 weekly, 2 monthly), weekday (1 Monday .. 7 Sunday) and
// day of the month, on the local calendar.
DLARCHIVE_API std::time_t NextDigestTime(std::time_t now, int32_t hour, int32_t minute, int32_t frequency,
                                         int32_t weekday, int32_t dayOfMonth);

// "<DbPath>/<list>/digest/digest.dt"; empty when the list name is not one file name or the
// path would not fit 260 bytes.
DLARCHIVE_API std::string DigestSchedulePath(const std::string& listName);
// Creates the list's digest schedule file holding the next delivery time when it is missing;
// an existing file is never changed, and a missing digest folder skips it silently. True when
// a file was created.
DLARCHIVE_API bool CreateDigestSchedule(const MailingListRecord& record, std::time_t now);

// The lists of the directory, read in one search. One object per batch run.
class DLARCHIVE_API MailingListDirectory {
public:
    MailingListDirectory() = default;
    ~MailingListDirectory();
    MailingListDirectory(const MailingListDirectory&) = delete;
    MailingListDirectory& operator=(const MailingListDirectory&) = delete;

    // Connects with the "Ldap" keys of kelmo.ini, reads every list and makes sure each has its
    // digest schedule file. False (no records) when connect or bind failed or memory ran out;
    // true otherwise, also for a directory without lists.
    bool Load();
    // 1 or 0, the archive option of the first list named `name` (compared without regard to
    // case); -1 when none is. Loads first when no records are held.
    int32_t FindArchiveFlag(const char* name);
    // The first list's name (the cursor moves to it); null when there are none.
    const char* First();
    // The next list's name; null at the end and on every call after it.
    const char* Next();
    // Releases every record.
    void Free();

    bool IsConnected() const { return m_bConnected; }
    int32_t GetCount() const { return m_nCount; }
    const std::vector<MailingListRecord>& GetRecords() const { return m_records; }

private:
    bool m_bConnected = false;
    std::vector<MailingListRecord> m_records;
    int32_t m_nCount = 0;
    int32_t m_nCursor = -1;
};
