#include <gtest/gtest.h>

#include <cstring>

#include "platform/hash_key.h"

TEST(HashKey, KeysVerifyAgainstTheirPasswordOnly)
{
    CHashKey first, second;
    ASSERT_TRUE(first.Hash("s3cret"));
    ASSERT_TRUE(second.Hash("s3cret"));
    const std::string key = first.GetKey();
    EXPECT_EQ(key.rfind("$y$", 0), 0u);
    EXPECT_EQ(key.find("s3cret"), std::string::npos);
    // A fresh setting per key: the same password never gives the same key twice.
    EXPECT_NE(key, second.GetKey());
    EXPECT_TRUE(CHashKey::Verify("s3cret", key.c_str()));
    EXPECT_TRUE(CHashKey::Verify("s3cret", second.GetKey()));
    EXPECT_FALSE(CHashKey::Verify("s3cre", key.c_str()));
    EXPECT_FALSE(CHashKey::Verify("", key.c_str()));
    // Settings that are not yescrypt would fall back to weak schemes: refused.
    EXPECT_FALSE(CHashKey::Verify("s3cret", "ab01FAX.bQRSU"));
    EXPECT_FALSE(CHashKey::Verify("s3cret", "$y$"));
    EXPECT_FALSE(CHashKey::Verify("s3cret", ""));
    EXPECT_FALSE(CHashKey::Verify(nullptr, key.c_str()));

    CHashKey empty;
    EXPECT_STREQ(empty.GetKey(), "");
    ASSERT_TRUE(empty.Hash(""));
    EXPECT_TRUE(CHashKey::Verify("", empty.GetKey()));
}
