#include "support/slapd_server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>

#include "support/test_env.h"

namespace testenv {
namespace {

const std::string kScript = std::string(DLARCHIVE_SOURCE_DIR) + "/scripts/slapd.sh";
std::unique_ptr<TempDir> g_dir;

struct StopAtEnd : testing::Environment {
    void TearDown() override
    {
        if (g_dir) Run(kScript + " stop " + Quote(g_dir->path()));
    }
};
[[maybe_unused]] testing::Environment* const g_stop = testing::AddGlobalTestEnvironment(new StopAtEnd);

}  // namespace

Slapd& Slapd::Get()
{
    static Slapd server = [] {
        g_dir = std::make_unique<TempDir>();
        const RunResult started =
            Run("SLAPD_WATCH_PID=" + std::to_string(::getpid()) + " " + kScript + " start " + Quote(g_dir->path()));
        if (started.status != 0) throw std::runtime_error("slapd did not start: " + started.err);
        return Slapd{g_dir->path(), Lines(started.out)[0], Lines(ReadFile(*g_dir / "ldapi-url"))[0],
                     ReadFile(*g_dir / "password")};
    }();
    return server;
}

void Slapd::Reset(const std::string& ldif) const
{
    WriteFile(dir + "/lists.ldif",
              "dn: ou=lists,dc=example,dc=org\nobjectClass: organizationalUnit\nou: lists\n\n" + ldif);
    const RunResult r = Run(kScript + " clear " + Quote(dir) + " && " + kScript + " load " + Quote(dir) + " " +
                            Quote(dir + "/lists.ldif"));
    if (r.status != 0) throw std::runtime_error("cannot load the lists: " + r.err);
}

std::string Slapd::Ini(const std::string& pw, const std::string& host) const
{
    return "[Ldap]\nHostName=" + (host.empty() ? url : host) +
           "\nUsername=cn=admin,dc=example,dc=org\nPassword=" + (pw.empty() ? password : pw) + "\nTimeout=1\n";
}

std::string ListEntry(const std::string& cn, const std::string& attributes)
{
    return "dn: cn=" + cn + ",ou=lists,dc=example,dc=org\nobjectClass: vklist\ncn: " + cn + "\n" + attributes + "\n";
}

}  // namespace testenv
