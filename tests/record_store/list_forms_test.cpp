#include <gtest/gtest.h>

#include "dlarchive/dlarchive.h"
#include "dlarchive/record_functions.h"
#include "platform/cclient.h"
#include "platform/cclient_records.h"
#include "support/archive_home.h"

namespace {

struct ListForms : testing::Test {
    testenv::ArchiveHome home;
    std::string archive = home.CreateList("sales");

    // Parsed records of a message with an encoded From name and two parts.
    void Parse(mail_envelope** env, mail_bodystruct** body, std::string& text)
    {
        text = testenv::SimpleMessage(
            "=?iso-8859-1?Q?Gr=FC=DFe?=", "=?iso-8859-1?Q?J=F6rg?= <joerg@example.org>",
            "Mon, 1 Oct 2001 09:00:00 +0000", "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=b\n",
            "--b\nContent-Type: text/plain\n\none\n--b\nContent-Type: text/plain\n\ntwo\n--b--\n");
        const uint32_t header = static_cast<uint32_t>(text.find("\n\n") + 2);
        dlarchive::cclient::ParseMessage(text.data(), static_cast<uint32_t>(text.size()), header, env, body);
    }
};

}  // namespace

TEST_F(ListForms, BehaveAsThePlainFormsWhileTheStoreWorks)
{
    std::string text;
    mail_envelope* env = nullptr;
    mail_bodystruct* body = nullptr;
    Parse(&env, &body, text);
    diamondBase base;
    archiveenv envelopes(base, archive.c_str());
    archivebody bodies(base, archive.c_str());
    idxkey envKey{1, 0}, bodyKey{1, 0};
    ASSERT_EQ(AddArchiveEnv(&envelopes, &envKey, env, 100, 50, "sales"), 0);
    ASSERT_EQ(AddArchiveBody(&bodies, &envelopes, &bodyKey, &envKey, body, 100, 50, "sales"), 0);
    EXPECT_EQ(bodyKey.seq, 2);

    mail_envelope* back = nullptr;
    uint32_t size = 0, header = 0;
    idxkey key{1, 0};
    ASSERT_EQ(GetArchiveEnv(&envelopes, &key, &back, size, header, "sales"), 0);
    // This form stores the From names as written; the subject is converted all the same.
    EXPECT_STREQ(back->from->personal, "=?iso-8859-1?Q?J=F6rg?=");
    EXPECT_STREQ(back->subject,
                 "Gr\xC3\xBC\xC3\x9F"
                 "e");
    EXPECT_EQ(size, 100u);
    dlarchive::cclient::FreeEnvelope(&back);
    mail_bodystruct* bodyBack = nullptr;
    ASSERT_EQ(GetArchiveBody(&bodies, &envelopes, &key, &bodyBack, size, header, "sales"), 0);
    ASSERT_NE(bodyBack->nested.part, nullptr);
    dlarchive::cclient::FreeBody(&bodyBack);

    // A missing key is no store failure: no rebuild, 3 as usual.
    idxkey missing{9, 0};
    EXPECT_EQ(RemoveArchiveEnv(&envelopes, &missing, "sales"), 3);
    EXPECT_EQ(RemoveArchiveBody(&bodies, &envelopes, &missing, "sales"), 3);
    EXPECT_EQ(RemoveArchiveBody(&bodies, &envelopes, &key, "sales"), 0);
    key = idxkey{1, 0};  // the body functions move the key's seq along
    EXPECT_EQ(RemoveArchiveEnv(&envelopes, &key, "sales"), 0);
    dlarchive::cclient::FreeEnvelope(&env);
    dlarchive::cclient::FreeBody(&body);
}

TEST_F(ListForms, StoreFailuresRebuildWhenAutoRebuildIsOn)
{
    std::string text;
    mail_envelope* env = nullptr;
    mail_bodystruct* body = nullptr;
    Parse(&env, &body, text);
    home.WriteMessage("sales", 1, text);
    home.WriteMessage("sales", 2, testenv::SimpleMessage("Two"));
    {
        diamondBase base;
        archiveenv envelopes(base, archive.c_str());
        idxkey key{1, 0};
        ASSERT_EQ(AddArchiveEnv(&envelopes, &key, env, 1, 1), 0);
    }
    const auto duplicateAdd = [&] {
        diamondBase base;
        archiveenv envelopes(base, archive.c_str());
        idxkey key{1, 0};
        return AddArchiveEnv(&envelopes, &key, env, 1, 1, "sales");
    };
    // "AutoRebuild" missing (off) or N: the store's result comes back as it is.
    EXPECT_EQ(duplicateAdd(), 9);
    home.WriteIni("Y", "[DlManager]\nAutoRebuild=N\n");
    EXPECT_EQ(duplicateAdd(), 9);
    // On ("y"): the failing put starts the rebuild, which stores both message files.
    home.WriteIni("Y", "[DlManager]\nAutoRebuild=y\n");
    EXPECT_EQ(duplicateAdd(), 9);
    EXPECT_TRUE(testenv::Exists(archive + "en-us-thread.html"));
    {
        diamondBase base;
        archiveenv envelopes(base, archive.c_str());
        int stored = 0;
        envelopes.begin(0);
        for (envelopes.first(); envelopes.status() == db_ok; envelopes.next()) ++stored;
        EXPECT_EQ(stored, 2);
    }
    // A rebuild that fails (an empty message file stops it) turns the result into 22.
    home.WriteMessage("sales", 3, "");
    EXPECT_EQ(duplicateAdd(), 22);

    // A failing get on a damaged relation: the step runs (and fails on the empty message
    // file), the envelope output is null.
    {
        diamondBase::ReleaseIdle();
        testenv::WriteFile(archive + "archiveenv.db", std::string(8192, 'G'));
        diamondBase base;
        archiveenv envelopes(base, archive.c_str());
        EXPECT_NE(envelopes.status(), db_ok);
        mail_envelope* out = dlarchive::cclient::NewEnvelope();
        mail_envelope* keep = out;
        uint32_t size = 0, header = 0;
        idxkey key{1, 0};
        EXPECT_EQ(GetArchiveEnv(&envelopes, &key, &out, size, header, "sales"), 22);
        EXPECT_EQ(out, nullptr);
        dlarchive::cclient::FreeEnvelope(&keep);
    }
    // The failed rebuild still started the relations afresh and stored the messages before
    // the empty file.
    diamondBase base;
    archiveenv repaired(base, archive.c_str());
    ASSERT_EQ(repaired.status(), db_ok);
    repaired.setKey(idxkey{2, 0});
    EXPECT_EQ(repaired.get(0), db_ok);
    dlarchive::cclient::FreeEnvelope(&env);
    dlarchive::cclient::FreeBody(&body);
}
