#include <gtest/gtest.h>

#include "support/test_env.h"

// The installed library is usable by a program of its own through pkg-config.
TEST(Install, HeadersLibraryToolAndPkgConfig)
{
    testenv::TempDir prefix;
    auto r = testenv::Run("cmake --install " + testenv::Quote(DLARCHIVE_BINARY_DIR) + " --prefix " +
                          testenv::Quote(prefix.path()));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* file : {"include/dlarchive/dlarchive.h", "include/dlarchive/archive.h", "bin/dlarchive",
                             "share/dlarchive/web/vubo/languages/dlarchives/en-us.txt"})
        EXPECT_TRUE(testenv::Exists(prefix / file)) << file;

    testenv::WriteFile(prefix / "user.cpp",
                       "#include <dlarchive/dlarchive.h>\n#include <cstdio>\n"
                       "int main() { CDlArchive a; std::printf(\"%u\\n\", CDlArchive::GetId(\"bb8.msg\")); "
                       "ms* chain = nullptr; appendString(&chain, \"x\"); freeStringChain(chain); return 0; }\n");
    const std::string pc = "PKG_CONFIG_PATH=" + testenv::Quote(prefix / "lib/pkgconfig") + " pkg-config";
    // The public headers stand alone: no c-client, no SQLite headers needed by a user.
    r = testenv::Run("g++ -std=c++20 -Wall -Werror " + testenv::Quote(prefix / "user.cpp") + " $(" + pc +
                     " --cflags --libs dlarchive) -Wl,-rpath," + testenv::Quote(prefix / "lib") +
                     " -Wl,--allow-shlib-undefined -o " + testenv::Quote(prefix / "user"));
    ASSERT_EQ(r.status, 0) << r.err;
    if (!DLARCHIVE_SANITIZED) {  // a sanitized library needs its runtime loaded first
        r = testenv::Run(testenv::Quote(prefix / "user"));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "3000\n");
    }
}
