#pragma once
// The automatic rebuild policy, in one place: whether it is on, and that it never starts for
// a list whose rebuild already runs in this process (it would start again from inside the
// rebuild, without end).
#include <string>

namespace dlarchive::archive {

// "Y" in either case turns the automatic rebuild on.
bool IsOn(const std::string& value);
// The record functions that take a list name read "DlManager"/"AutoRebuild"; missing is off.
bool RecordFunctionsRebuildOn();

bool RebuildRunning(const std::string& listName);

// Rebuilds the list unless a rebuild of it already runs in this process; logs at level 1 why
// (`reason`: what was found where) and how it ended. True when the rebuild ran to its end.
bool RebuildUnlessRunning(const std::string& listName, const char* reason);

// Marks the list's rebuild as running for the scope's lifetime.
class RebuildScope {
public:
    explicit RebuildScope(std::string listName);
    ~RebuildScope();
    RebuildScope(const RebuildScope&) = delete;
    RebuildScope& operator=(const RebuildScope&) = delete;

private:
    std::string m_listName;
};

}  // namespace dlarchive::archive
