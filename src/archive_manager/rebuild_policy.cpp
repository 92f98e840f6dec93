#include "archive_manager/rebuild_policy.h"

#include <strings.h>
#include <mutex>
#include <set>

#include "dlarchive/archive.h"
#include "dlarchive/logging.h"
#include "platform/config.h"

namespace dlarchive::archive {

namespace {
std::mutex& Mutex()
{
    static std::mutex mutex;
    return mutex;
}
std::multiset<std::string>& Running()
{
    static std::multiset<std::string> running;
    return running;
}
}  // namespace

bool IsOn(const std::string& value)
{
    return strcasecmp(value.c_str(), "Y") == 0;
}

bool RecordFunctionsRebuildOn()
{
    return IsOn(platform::GetProfileString("DlManager", "AutoRebuild", "", 259));
}

bool RebuildRunning(const std::string& listName)
{
    const std::lock_guard<std::mutex> lock(Mutex());
    return Running().count(listName) != 0;
}

bool RebuildUnlessRunning(const std::string& listName, const char* reason)
{
    const char* why = reason != nullptr ? reason : "Damage";
    const CLogging log("DL Archive");
    if (RebuildRunning(listName)) {
        log.PrintLogMessage(LOG_LEVEL_ERROR, "%s in list %s: not rebuilt, its rebuild is running", why,
                            listName.c_str());
        return false;
    }
    log.PrintLogMessage(LOG_LEVEL_ERROR, "%s in list %s: automatic rebuild", why, listName.c_str());
    CLogging failure("DL Archive");
    if (RebuildArchiveDb(listName.c_str(), &failure)) return true;
    log.PrintLogMessage(LOG_LEVEL_ERROR, "Automatic rebuild of list %s failed (%d): %s", listName.c_str(),
                        failure.GetLastError(), failure.GetLastErrorMsg());
    return false;
}

RebuildScope::RebuildScope(std::string listName) : m_listName(std::move(listName))
{
    const std::lock_guard<std::mutex> lock(Mutex());
    Running().insert(m_listName);
}

RebuildScope::~RebuildScope()
{
    const std::lock_guard<std::mutex> lock(Mutex());
    Running().erase(Running().find(m_listName));
}

}  // namespace dlarchive::archive
