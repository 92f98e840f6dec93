#include "archive_manager/rebuild_guard.h"

#include <mutex>
#include <set>

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

bool RebuildRunning(const std::string& listName)
{
    const std::lock_guard<std::mutex> lock(Mutex());
    return Running().count(listName) != 0;
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
