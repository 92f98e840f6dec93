#pragma once
// A DL manager home of the test's own: kelmo.ini, the relation templates, the shipped
// language files, and list archive directories holding message files.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "dlarchive/archive.h"

#include "support/test_env.h"

namespace testenv {

class ArchiveHome {
public:
    // `extraIni` is appended to the configuration (other sections or keys).
    explicit ArchiveHome(const std::string& autoRebuild = "Y", const std::string& extraIni = "");
    const std::string& path() const { return m_home.path(); }
    // "<home>/<list>/archive/", created with fresh relations copied from the templates.
    std::string CreateList(const std::string& list, bool withRelations = true);
    std::string ArchivePath(const std::string& list) const;
    // Writes "<number in lower-case hex>.msg" into the list's archive directory.
    std::string WriteMessage(const std::string& list, uint32_t number, const std::string& content);
    void WriteIni(const std::string& autoRebuild, const std::string& extraIni = "");
    Config& config() { return m_config; }

private:
    TempDir m_home;
    Config m_config;
};

// A test with a home, the list "sales" with fresh relations, and an archive manager
// pointed at it.
struct SalesList : testing::Test {
    ArchiveHome home;
    std::string archive = home.CreateList("sales");
    CDlArchive manager{"DL Manager"};

    void SetUp() override
    {
        ASSERT_TRUE(manager.SetListName("sales"));
        manager.GetArchivePath();
        ASSERT_EQ(std::string(manager.GetArchivePathText()), archive);
    }
    // The code and text the intake of message `number` throws ({0, ""} when none).
    std::pair<int, std::string> Add(uint32_t number);
    // The numbers of the messages whose envelope is stored, in key order.
    std::vector<uint32_t> Stored();
    // The code and text that reading message `number`'s envelope (or body) throws; what the
    // read hands out is released.
    std::pair<int, std::string> Read(uint32_t number, bool body = false);
};

// A small realistic message; `extraHeaders` end in "\n".
std::string SimpleMessage(const std::string& subject, const std::string& from = "Ann Lee <ann@example.org>",
                          const std::string& date = "Mon, 1 Oct 2001 09:00:00 +0000",
                          const std::string& extraHeaders = "", const std::string& body = "Hello.\n");

// The code and text of the CDlArchiveException that `call` throws; {0, ""} when none.
template <typename Call>
std::pair<int, std::string> Thrown(Call call)
{
    try {
        call();
    } catch (const CDlArchiveException& e) {
        return {e.GetLastError(), e.GetLastErrorMsg()};
    }
    return {0, ""};
}

// The file name of message `number`: lower-case hex and ".msg".
std::string MessageName(uint32_t number);

}  // namespace testenv
