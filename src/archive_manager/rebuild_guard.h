#pragma once
// Lists whose archive rebuild runs in this process: an automatic rebuild of the same list
// would otherwise start again from inside the rebuild, without end.
#include <string>

namespace dlarchive::archive {

bool RebuildRunning(const std::string& listName);

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
