// Items in relation fields: Parser and StrParser.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dlarchive/parser.h"
#include "dlarchive/relation_store.h"

namespace {

std::string Bytes(const dbData& value)
{
    return value.data() == nullptr ? std::string()
                                   : std::string(reinterpret_cast<const char*>(value.data()), value.length());
}

std::string Prefixed(const std::string& items)
{
    const auto n = static_cast<uint32_t>(items.size());
    std::string out;
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(n >> (8 * i)));
    return out + items;
}

void Set(dbData& value, const std::string& bytes)
{
    ASSERT_EQ(value.cpy(bytes.data(), static_cast<uint32_t>(bytes.size())), db_ok);
}

std::string Take(char* text)
{
    std::string s = text != nullptr ? text : "<null>";
    std::free(text);
    return s;
}

}  // namespace

TEST(Parser, ItemsCountsAndPrefixes)
{
    Parser parser;
    dbData out(dbData::kBytes);
    // [a, b] with length: count 5, then a \0 b \0 \0.
    EXPECT_EQ(parser.Parse(std::string("a\0b\0\0", 5).c_str(), out, true), 0);
    EXPECT_EQ(Bytes(out), std::string("\x05\0\0\0a\0b\0\0", 9));
    EXPECT_EQ(parser.Parse(std::string("a\0b\0\0", 5).c_str(), out, false), 0);
    EXPECT_EQ(Bytes(out), std::string("a\0b\0\0", 5));
    // The list of no strings is the single empty item: with length, the count 0 alone.
    EXPECT_EQ(parser.Parse("", out, true), 0);
    EXPECT_EQ(Bytes(out), std::string(4, '\0'));
    EXPECT_EQ(parser.Parse(nullptr, out, true), 0);
    EXPECT_EQ(out.length(), 0u);

    dbData v(dbData::kBytes);
    parser.AddLen(v);  // nothing stays nothing
    EXPECT_EQ(v.length(), 0u);
    parser.AddItem(v, static_cast<const char*>(nullptr));
    EXPECT_EQ(Bytes(v), std::string(1, '\0'));
    parser.AddLen(v);
    EXPECT_EQ(Bytes(v), std::string(4, '\0'));
    v.clr();
    parser.AddItem(v, "xy");
    parser.AddItem(v, 0x01020304u);
    parser.AddItem(v, "");
    EXPECT_EQ(Bytes(v), std::string("xy\0\x04\x03\x02\x01\0", 8));
    parser.AddLen(v);
    EXPECT_EQ(Bytes(v), Prefixed(std::string("xy\0\x04\x03\x02\x01\0", 8)));

    // Reading it back.
    StrParser reader(v);
    EXPECT_EQ(reader.GetLen(), 8u);
    EXPECT_EQ(Take(reader.GetStr()), "xy");
    EXPECT_EQ(reader.GetNum(), 0x01020304u);
    EXPECT_FALSE(reader.IsEnd());
    EXPECT_EQ(reader.GetStr(), nullptr);  // the empty item
    EXPECT_TRUE(reader.IsEnd());
    EXPECT_EQ(reader.GetStr(), nullptr);
    EXPECT_EQ(reader.GetNum(), 0u);  // nothing left: reads as zero, no overrun
}

TEST(Parser, EmptyItemLongValuesAndUnterminatedBytes)
{
    Parser parser;
    // A value that is only the empty item reads back as an empty parser.
    dbData empty(dbData::kBytes);
    parser.AddItem(empty, "");
    parser.AddLen(empty);
    StrParser reader(empty);
    EXPECT_TRUE(reader.IsEnd());
    EXPECT_EQ(reader.GetLen(), 0u);
    EXPECT_EQ(reader.GetStr(), nullptr);
    char* copy = reinterpret_cast<char*>(1);
    EXPECT_EQ(reader.Parse(empty, &copy), 0);
    EXPECT_EQ(copy, nullptr);

    // A length-prefixed value of exactly 256 bytes (and one of 65536) reads back whole.
    for (std::size_t total : {std::size_t{256}, std::size_t{65536}}) {
        dbData value(dbData::kBytes);
        std::size_t written = 0;
        int strings = 0;
        while (written < total - 1) {
            const std::size_t length = std::min<std::size_t>(9, total - 1 - written - 1);
            parser.AddItem(value, std::string(length, static_cast<char>('a' + strings % 26)).c_str());
            written += length + 1;
            ++strings;
        }
        parser.AddItem(value, "");
        ASSERT_EQ(value.length(), total);
        parser.AddLen(value);
        ASSERT_EQ(value.length(), total + 4);
        StrParser whole(value);
        EXPECT_EQ(whole.GetLen(), total);
        int read = 0;
        for (char* s; (s = whole.GetStr()) != nullptr; ++read) {
            EXPECT_EQ(s[0], 'a' + read % 26);
            std::free(s);
        }
        EXPECT_EQ(read, strings);
        EXPECT_TRUE(whole.IsEnd());
        char* bytes = nullptr;
        EXPECT_EQ(whole.Parse(value, &bytes), 0);
        ASSERT_NE(bytes, nullptr);
        EXPECT_EQ(std::memcmp(bytes, value.data() + 4, total), 0);
        std::free(bytes);
    }

    // No zero byte left: GetStr returns null and does not move.
    dbData raw(dbData::kBytes);
    Set(raw, Prefixed(std::string("ab\0\0cd", 6)));
    StrParser partial(raw);
    EXPECT_EQ(Take(partial.GetStr()), "ab");
    EXPECT_EQ(partial.GetStr(), nullptr);
    EXPECT_EQ(partial.GetLen(), 2u);
    EXPECT_EQ(partial.GetStr(), nullptr);
    EXPECT_EQ(partial.GetLen(), 2u);
    // A count larger than the bytes present is cut to them; a field of 1 to 3 bytes is empty.
    dbData lying(dbData::kBytes);
    Set(lying, std::string("\xff\0\0\0xy\0", 7));
    StrParser cut(lying);
    EXPECT_EQ(cut.GetLen(), 3u);
    Set(lying, std::string("\x05\0", 2));
    StrParser shortField(lying);
    EXPECT_TRUE(shortField.IsEnd());
}

TEST(Parser, StringListsLengthsAndCopies)
{
    EXPECT_EQ(StrParser::StrLen(nullptr), 0u);
    EXPECT_EQ(StrParser::StrLen(""), 1u);
    EXPECT_EQ(StrParser::StrLen(std::string("a\0\0", 3).c_str()), 3u);
    EXPECT_EQ(StrParser::StrLen(std::string("ab\0c\0\0x", 7).c_str()), 6u);
    StrParser list(std::string("ab\0c\0\0x", 7).c_str());
    EXPECT_EQ(list.GetLen(), 6u);
    EXPECT_EQ(Take(list.GetStr()), "ab");
    EXPECT_EQ(Take(list.GetStr()), "c");
    EXPECT_EQ(list.GetStr(), nullptr);
    EXPECT_TRUE(list.IsEnd());
    list.Init(static_cast<const char*>(nullptr));
    EXPECT_TRUE(list.IsEnd());
    EXPECT_EQ(list.GetData(), nullptr);

    StrParser p;
    char* out = nullptr;
    EXPECT_EQ(p.Parse("text", &out), 0);
    EXPECT_EQ(Take(out), "text");
    out = reinterpret_cast<char*>(1);
    EXPECT_EQ(p.Parse("", &out), 0);
    EXPECT_EQ(out, nullptr);
    out = reinterpret_cast<char*>(1);
    EXPECT_EQ(p.Parse(static_cast<const char*>(nullptr), &out), 0);
    EXPECT_EQ(out, nullptr);
    dbString s;
    s.cpy("subject");
    EXPECT_EQ(p.Parse(s, &out), 0);
    EXPECT_EQ(Take(out), "subject");
    dbString settled;
    settled.settleText();
    out = reinterpret_cast<char*>(1);
    EXPECT_EQ(p.Parse(settled, &out), 0);
    EXPECT_EQ(out, nullptr);
}

TEST(Parser, FindAddAndDelete)
{
    Parser parser;
    dbData field(dbData::kBytes);
    ASSERT_EQ(parser.Parse(std::string("alpha\0Beta\0c\0\0", 14).c_str(), field, true), 0);
    const std::string abc = Bytes(field);

    EXPECT_EQ(parser.FindStr(field, "BETA"), 1);
    EXPECT_EQ(parser.FindStr(field, "alpha"), 1);
    EXPECT_EQ(parser.FindStr(field, "alph"), 0);
    EXPECT_EQ(parser.FindStr(field, nullptr), 0);
    EXPECT_EQ(parser.FindStr(dbData(dbData::kBytes), "alpha"), 0);
    // The scan stops at the first empty item.
    dbData gap(dbData::kBytes);
    Set(gap, Prefixed(std::string("a\0\0b\0", 5)));
    EXPECT_EQ(parser.FindStr(gap, "a"), 1);
    EXPECT_EQ(parser.FindStr(gap, "b"), 0);

    // Delete of a present string, ignoring case; of an absent one; of several.
    dbData d(field);
    EXPECT_EQ(parser.Delete(d, std::string("BETA\0\0", 6).c_str()), 0);
    EXPECT_EQ(Bytes(d), Prefixed(std::string("alpha\0c\0\0", 9)));
    EXPECT_EQ(parser.Delete(d, std::string("zeta\0\0", 6).c_str()), 0);
    EXPECT_EQ(Bytes(d), Prefixed(std::string("alpha\0c\0\0", 9)));
    d.cpy(field);
    EXPECT_EQ(parser.Delete(d, std::string("c\0zeta\0ALPHA\0\0", 14).c_str()), 0);
    EXPECT_EQ(Bytes(d), Prefixed(std::string("Beta\0\0", 6)));
    EXPECT_EQ(parser.Delete(d, std::string("beta\0\0", 6).c_str()), 0);
    EXPECT_EQ(Bytes(d), std::string(4, '\0'));  // the empty list
    // Only the first equal item goes per string.
    Set(d, Prefixed(std::string("b\0a\0b\0\0", 7)));
    EXPECT_EQ(parser.Delete(d, std::string("b\0\0", 3).c_str()), 0);
    EXPECT_EQ(Bytes(d), Prefixed(std::string("a\0b\0\0", 5)));
    // Decided cases: nothing to delete leaves the field alone.
    d.cpy(field);
    EXPECT_EQ(parser.Delete(d, ""), 0);
    EXPECT_EQ(Bytes(d), abc);
    EXPECT_EQ(parser.Delete(d, nullptr), 0);
    EXPECT_EQ(Bytes(d), abc);
    dbData none(dbData::kBytes);
    EXPECT_EQ(parser.Delete(none, std::string("a\0\0", 3).c_str()), 0);
    EXPECT_EQ(none.length(), 0u);
    // A stored list without its final empty item gets one.
    Set(d, Prefixed(std::string("a\0b\0", 4)));
    EXPECT_EQ(parser.Delete(d, std::string("x\0\0", 3).c_str()), 0);
    EXPECT_EQ(Bytes(d), Prefixed(std::string("a\0b\0\0", 5)));

    // Add appends before the final empty item.
    dbData a(field);
    EXPECT_EQ(parser.Add(a, std::string("d\0e\0\0", 5).c_str()), 0);
    EXPECT_EQ(Bytes(a), Prefixed(std::string("alpha\0Beta\0c\0d\0e\0\0", 18)));
    EXPECT_EQ(parser.FindStr(a, "E"), 1);
    // Decided cases: a null list changes nothing; an empty field, or the empty list, takes
    // the new list as it is; a stored list without its final empty item keeps its bytes.
    EXPECT_EQ(parser.Add(a, nullptr), 0);
    EXPECT_EQ(Bytes(a), Prefixed(std::string("alpha\0Beta\0c\0d\0e\0\0", 18)));
    dbData fresh(dbData::kBytes);
    EXPECT_EQ(parser.Add(fresh, std::string("x\0\0", 3).c_str()), 0);
    EXPECT_EQ(Bytes(fresh), Prefixed(std::string("x\0\0", 3)));
    dbData emptyList(dbData::kBytes);
    Set(emptyList, std::string(4, '\0'));
    EXPECT_EQ(parser.Add(emptyList, std::string("x\0\0", 3).c_str()), 0);
    EXPECT_EQ(Bytes(emptyList), Prefixed(std::string("x\0\0", 3)));
    EXPECT_EQ(parser.Add(emptyList, ""), 0);  // the list of no strings
    EXPECT_EQ(Bytes(emptyList), Prefixed(std::string("x\0\0", 3)));
    Set(d, Prefixed(std::string("a\0", 2)));
    EXPECT_EQ(parser.Add(d, std::string("b\0\0", 3).c_str()), 0);
    EXPECT_EQ(Bytes(d), Prefixed(std::string("a\0b\0\0", 5)));
}

// Allocation failures are real ones: a child process limits its address space and asks for
// copies that cannot fit. (Not under AddressSanitizer, which needs the address space.)
TEST(Parser, RunningOutOfMemoryGives18AndLeavesFieldsAlone)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address space limits do not work under AddressSanitizer";
#else
    const pid_t pid = ::fork();
    if (pid == 0) {
        int failures = 0;
        Parser parser;
        // A large list: "x" repeated, about 48 MB of items.
        dbData big(dbData::kBytes);
        std::string chunk;
        for (int i = 0; i < 1 << 20; ++i) chunk.append("xyz\0", 4);
        for (int i = 0; i < 12 && failures == 0; ++i)
            if (big.cat(chunk.data(), static_cast<uint32_t>(chunk.size())) != db_ok) failures |= 1;
        parser.AddItem(big, "");
        parser.AddLen(big);
        const std::string before(reinterpret_cast<const char*>(big.data()), 64);
        const uint32_t lengthBefore = big.length();
        chunk.clear();
        chunk.shrink_to_fit();

        // Limit the address space to what is in use plus a little.
        long pages = 0;
        if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
            std::fclose(statm);
        }
        const rlim_t limit = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + (16 << 20);
        struct rlimit rl = {limit, limit};
        if (pages == 0 || ::setrlimit(RLIMIT_AS, &rl) != 0) ::_exit(90);

        if (parser.FindStr(big, "abc") != db_nomem) failures |= 2;
        if (parser.Delete(big, std::string("xyz\0\0", 5).c_str()) != db_nomem) failures |= 4;
        if (parser.Add(big, std::string("q\0\0", 3).c_str()) != db_nomem) failures |= 8;
        if (big.length() != lengthBefore || std::memcmp(big.data(), before.data(), before.size()) != 0) failures |= 16;
        StrParser reader;
        char* out = reinterpret_cast<char*>(1);
        if (reader.Parse(big, &out) != db_nomem || out != nullptr) failures |= 32;
        try {
            StrParser direct(big);
            failures |= 64;
        } catch (dbError e) {
            if (e != db_nomem) failures |= 64;
        }
        ::_exit(failures);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}
