// The digest schedule file of a list and the time it holds.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "dlarchive/list_directory.h"
#include "platform/config.h"

namespace {

bool IsLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 1 && IsLeapYear(year) ? 29 : kDays[month];
}

// The file's name must stay inside the database directory: one file name, as for archives.
bool IsOneFileName(const std::string& name)
{
    if (name.empty() || name == "." || name == "..") return false;
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

}  // namespace

// Today at the delivery time for daily lists, even when it has passed; the coming delivery
// weekday for weekly ones; the given day of this month (cut to the month's length) for
// monthly ones. The time of day is local: tm_isdst is left to mktime, so a delivery at 7:30
// stays at 7:30 on the far side of a daylight-saving change.
std::time_t NextDigestTime(std::time_t now, int32_t hour, int32_t minute, int32_t frequency, int32_t weekday,
                           int32_t dayOfMonth)
{
    std::tm t{};
    if (localtime_r(&now, &t) == nullptr) return now;
    switch (frequency) {
        case MailingListRecord::Daily:
            t.tm_hour = hour, t.tm_min = minute, t.tm_sec = 0;
            break;
        case MailingListRecord::Weekly: {
            t.tm_hour = hour, t.tm_min = minute, t.tm_sec = 0;
            const int d = t.tm_wday - weekday;
            t.tm_mday += d < 0 ? -d : (7 - d == 7 ? 0 : 7 - d);
            break;
        }
        case MailingListRecord::Monthly:
            t.tm_hour = hour, t.tm_min = minute, t.tm_sec = 0;
            t.tm_mday = std::min(dayOfMonth, DaysInMonth(t.tm_year + 1900, t.tm_mon));
            break;
        default:
            return now;
    }
    t.tm_isdst = -1;
    return std::mktime(&t);
}

std::string DigestSchedulePath(const std::string& listName)
{
    std::string home = dlarchive::platform::GetProfileString("DlManager", "DbPath", "", 259);
    if (!home.empty() && home.back() == '/') home.pop_back();
    if (!IsOneFileName(listName)) return "";
    const std::string path = home + "/" + listName + "/digest/digest.dt";
    return path.size() < 260 ? path : "";
}

// Created with O_EXCL, so a file that exists (or appears meanwhile) is never changed, and a
// link in its place is never followed. A write that fails removes the file it made, so the
// next load tries again instead of reading a partial time.
bool CreateDigestSchedule(const MailingListRecord& record, std::time_t now)
{
    const std::string path = DigestSchedulePath(record.name);
    if (path.empty()) return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const std::time_t next =
        NextDigestTime(now, record.digestHour, record.digestMinute, record.frequency, record.whichDay, record.whichDay);
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%ld", static_cast<long>(next));
    // A few bytes to a regular file: written whole or not at all.
    const bool written = ::write(fd, text, static_cast<std::size_t>(length)) == length;
    const bool ok = ::close(fd) == 0 && written;
    if (!ok) ::unlink(path.c_str());
    return ok;
}
