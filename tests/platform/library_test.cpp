#include <gtest/gtest.h>

#include <dlfcn.h>

#include "support/test_env.h"

// The shared library exports the system's names and nothing of its platform layer.
TEST(Library, LoadsAndExportsOnlyItsInterface)
{
    void* handle = dlopen(DLARCHIVE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    // c-client needs its callbacks from the library.
    EXPECT_NE(dlsym(handle, "mm_dlog"), nullptr);
    EXPECT_NE(dlsym(handle, "appendString"), nullptr);
    dlclose(handle);

    const auto r = testenv::Run("nm -D --defined-only -C " + testenv::Quote(DLARCHIVE_LIBRARY));
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("CDlArchive::GetArchivePath()"), std::string::npos);
    EXPECT_NE(r.out.find("CDlArchiveException::CDlArchiveException(int, char const*)"), std::string::npos);
    EXPECT_NE(r.out.find("LogMessage(int, char const*, char const*)"), std::string::npos);
    EXPECT_EQ(r.out.find("dlarchive::platform::"), std::string::npos);
    EXPECT_EQ(r.out.find("CFileUtil::"), std::string::npos);
    EXPECT_EQ(r.out.find("CHashKey::"), std::string::npos);
}
