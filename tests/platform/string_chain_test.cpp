#include <gtest/gtest.h>

#include <string>

#include "dlarchive/string_chain.h"

TEST(StringChain, AppendsCopiesInOrderAndFreesAll)
{
    ms* chain = nullptr;
    freeStringChain(chain);  // the empty chain is allowed
    char buffer[16] = "first";
    ASSERT_NE(appendString(&chain, buffer), 0);
    ASSERT_NE(chain, nullptr);
    std::snprintf(buffer, sizeof buffer, "second");  // the chain holds its own copy
    ASSERT_NE(appendString(&chain, buffer), 0);
    ASSERT_NE(appendString(&chain, ""), 0);
    EXPECT_STREQ(chain->text, "first");
    ASSERT_NE(chain->next, nullptr);
    EXPECT_STREQ(chain->next->text, "second");
    ASSERT_NE(chain->next->next, nullptr);
    EXPECT_STREQ(chain->next->next->text, "");
    EXPECT_EQ(chain->next->next->next, nullptr);
    EXPECT_EQ(appendString(nullptr, "x"), 0);
    freeStringChain(chain);
}
