// Message store rebuild: the path split, bad templates, and the report
// mail as a real SMTP server (tests/support/smtp_sink.py) receives it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "dlarchive/dlarchive.h"
#include "message_store/message_store.h"
#include "platform/mime_msg.h"
#include "support/test_env.h"

using namespace dlarchive::msgstore;
using namespace testenv;

namespace {

// A running SMTP sink; a user's store files, templates, damaged relations of the folder "ïnbox" (not ASCII,
// so its subject goes out as encoded words) below the base; kelmo.ini naming them all, the log in the root.
struct Store {
    TempDir root, mail;
    pid_t sink = Spawn([this] {  // argv[0] in full: Python finds its modules from it, not from PATH's python3
        return execl("/usr/bin/python3", "/usr/bin/python3", "-u", DLARCHIVE_SOURCE_DIR "/tests/support/smtp_sink.py",
                     mail.path().c_str(), nullptr);
    });
    Config config;
    std::string tmp = root / "tmp", tmpl = root / "tmpl", inbox = root / "ïnbox", log = root / "kelmo.log",
                user = root / "s/u@d.com/", port;
    explicit Store(const std::string& recipient = "debug@example.org")
    {
        for (const std::string& d : {tmp, tmpl, inbox, user + "ïnbox"}) MakeDirs(d);
        for (const char* r : {"archiveenv", "archivebody"})
            diaRel::Create(tmpl.c_str(), r), WriteFile(inbox + "/" + r + ".db", "damaged");
        for (const char* f : {"mailbox.db", "mailbox.id0", "ïnbox/archiveenv.db", "ïnbox/archivebody.db"})
            WriteFile(user + f, std::string(300, *f));
        for (int i = 0; i < 1000 && !Exists(mail / "port"); ++i) usleep(10000);
        Configure(recipient, port = ReadFile(mail / "port"));
    }
    ~Store() { kill(sink, SIGTERM), Wait(sink); }
    void Configure(const std::string& recipient, const std::string& smtpPort)
    {
        config.Write("[Options]\nQRNDebugEmailAddr=" + recipient + "\nPostmaster=pm@mail.example.com\nTempDirectory=" +
                     tmp + "\nSmtpServer=smtp://127.0.0.1:" + smtpPort + "\n[Gateway]\nLogDirectory=" + root.path() +
                     "\n[DLManager]\nDbPath=" + tmpl + "\n[MsgStore]\nBaseDirectory=" + root.path() + "\n");
    }
    // The log lines without their time stamps; the log starts afresh.
    std::vector<std::string> TakeLog()
    {
        std::vector<std::string> lines = Lines(ReadFile(log));
        for (std::string& l : lines) l.erase(0, 20);
        return WriteFile(log, ""), lines;
    }
    nlohmann::json Mail(int n) { return nlohmann::json::parse(ReadFile(mail / (std::to_string(n) + ".json"))); }
    bool Open()
    {
        diamondBase b;
        return archiveenv(b, inbox.c_str()).isOpen() && archivebody(b, inbox.c_str()).isOpen();
    }
};

std::string Stdout(const std::function<bool()>& step, bool expected)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(step(), expected);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(MessageStore, SplitStorePath)
{
    // clang-format off
    struct { const char* path; DatabaseType type; const char* parts; } cases[] = {
        {"/s/u@d.com/inbox/", DbMessageEnvelope, "/s/u@d.com/|u@d.com|inbox"}, {"@", DbMailbox, "@/||"},
        {"\\s\\u@d.com\\inbox\\", DbMessageEnvelope, "/s/u@d.com/|u@d.com|inbox"}, {"", DbMessageEnvelope, "||"},
        {"C:\\s/u@d.com\\a/b\\", DbMessageBody, "C:/s/u@d.com/|u@d.com|a/b"}, {"u@d/x@y/", DbMessageStatus, "u@d/|u@d|x@y"},
        {"/s/u@d.com/", DbMailbox, "/s/u@d.com/|u@d.com|"}, {"/s/u@d.com/", DbMessageEnvelope, "/s/u@d.com/||"},
        {"/s/nobody/inbox/", DbMessageEnvelope, "||"}};
    // clang-format on
    for (const auto& c : cases) {
        const StorePath p = SplitStorePath(c.path, c.type);
        EXPECT_EQ(p.userDirectory + "|" + p.userName + "|" + p.folder, c.parts) << c.path;
    }
}

TEST(MessageStore, BadTemplatesReplaceNothing)
{
    Store s;
    const std::string copy = "archiveenv.db.template-" + std::to_string(getpid()),
                      damaged =
                          " database template may "
                          "already be corrupted.\nPlease contact QRN technical support for assistance.\n";
    // clang-format off
    struct { std::string relation, content, folder, out; } cases[] = {
        {"archivebody", "", "ïnbox", "Unable to open file " + s.tmpl + "/archivebody.db!\n"},  // missing
        {"archiveenv", "", "ïnbox", "Archive envelope" + damaged}, {"", "", "a/../../inbox", ""},
        {"archivebody", std::string(512, 'x'), "ïnbox", "Archive body" + damaged}, {"", "", std::string(300, 'f'), ""},
        {"", "", "gone", "Unable to open file " + s.root / "gone/" + copy + "!\n"}};
    // clang-format on
    for (const auto& c : cases) {
        const std::string t = s.tmpl + "/" + c.relation + ".db", saved = ReadFile(t);
        if (!c.relation.empty()) c.out[0] == 'U' ? (void)unlink(t.c_str()) : WriteFile(t, c.content);
        EXPECT_EQ(Stdout([&] { return RebuildFromTemplates(c.folder); }, false), c.out);
        EXPECT_EQ(ReadFile(s.inbox + "/archiveenv.db") + ReadFile(s.inbox + "/archivebody.db"), "damageddamaged");
        if (!c.relation.empty()) WriteFile(t, saved);
    }
    EXPECT_EQ(ReadFile(s.inbox + "/" + copy), ReadFile(s.tmpl + "/archiveenv.db"));  // copied before the missing one
}

TEST(MessageStore, ReportMailAndRebuildEdgeCases)
{
    Store s;
    const std::string api = "Message Store API: ", ini = s.config.ini(), subject = "6 " + api + "Message subject is <";
    const std::string sending = "6 " + api + "Sending corrupted database and relevant files to <debug@example.org>";
    const std::string domain = "mail.example.com - Message Store - ", box = "6 " + api + "Rebuilding mailbox database";
    const std::string env = "1 " + api + "Message Envelope database: Not found",
                      rebuilding = "6 MsgStore: Rebuilding mailbox";
    // clang-format off
    struct { std::string path; int type, error; bool result; std::vector<std::string> log, attached; } cases[] = {
        {s.user, 2, 22, true, {"1 " + api + "Mailbox database: Corrupt", sending, subject + domain + "u@d.com>", box,
          "6 " + api + "OK"}, {s.tmp + "/mailbox.db", s.tmp + "/mailbox.id0", ini, s.log}},
        {s.root / "s\\u@d.com\\ïnbox\\", 3, 3, true, {env, sending, subject + domain + "u@d.com - ïnbox>", rebuilding,
          "6 MsgStore: OK"}, {s.tmp + "/archiveenv.db", ini, s.log}},
        {s.user + "ïnbox/", 4, 11, true, {"1 " + api + "Message Body database: Not opened", rebuilding, "6 MsgStore: OK"}, {}},
        {s.root / "s/nobody/", 7, 99, false, {"1 " + api + "Unknown database: Unknown database", sending,
          subject + domain + ">", rebuilding, "1 MsgStore: Failed"}, {ini, s.log}}};
    // clang-format on
    int mails = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(RebuildMbx(c.path.c_str(), static_cast<DatabaseType>(c.type), c.error), c.result);
        const std::string logText = ReadFile(s.log);
        EXPECT_EQ(s.TakeLog(), c.log) << c.path;
        EXPECT_EQ(s.Open(), c.type != 2);  // type 2 touches no relation
        EXPECT_FALSE(bArcRebuild);
        if (c.attached.empty()) continue;
        // clang-format off
        nlohmann::json m = s.Mail(++mails), expected = {{"mail_from", "pm@mail.example.com"}, {"MIME-Version", "1.0"},
            {"From", "pm@mail.example.com"}, {"To", "debug@example.org"}, {"rcpt_tos", {"debug@example.org"}},
            {"date_ok", true}, {"body", "Corrupted database"}, {"Subject", c.log[2].substr(subject.size(),
            c.log[2].size() - subject.size() - 1)}};
        // clang-format on
        for (const auto& [key, value] : expected.items()) EXPECT_EQ(m[key], value) << key;
        EXPECT_TRUE(m["Message-ID"].get<std::string>().ends_with("@mail.example.com>"));
        ASSERT_EQ(m["attachments"].size(), c.attached.size());
        for (std::size_t i = 0; i < c.attached.size(); ++i) {
            const std::string got = ReadFile(m["attachments"][i]["path"]);
            EXPECT_EQ(m["attachments"][i]["name"], c.attached[i].substr(c.attached[i].rfind('/') + 1));
            // The log as it was up to the subject line; it grew since.
            EXPECT_EQ(c.attached[i] == s.log ? logText.substr(0, got.size()) : ReadFile(c.attached[i]), got);
            EXPECT_TRUE(!got.empty() && (c.attached[i] != s.log || got.ends_with(c.log[2] + "\n")));
        }
    }
    EXPECT_EQ(ReadFile(s.tmp + "/archiveenv.db"), std::string(300, '\xc3'));
    EXPECT_FALSE(Exists(s.tmp + "/archivebody.db"));  // error 11: no report, no copy
}

TEST(MessageStore, FailedMailNoRecipientHugeLogAndTool)
{
    Store s("");
    const std::string folder = s.user + "ïnbox/";
    EXPECT_TRUE(RebuildMbx(folder.c_str(), DbMessageStatus, 22));
    EXPECT_EQ(s.TakeLog().size(), 3u);  // no report lines
    EXPECT_TRUE(std::filesystem::is_empty(s.tmp));

    const auto [quiet, quietPort] = SilentServer();
    // clang-format off
    struct { std::string port, recipient, why; } cases[] = {{std::to_string(quietPort), "d@x", "timed out"},
        {s.port, "a\r\nRCPT TO:<x@y>", "Invalid recipient"}, {s.port, "refuse@x", "failed"}, {"1", "d@x", "failed"}};
    // clang-format on
    for (const auto& c : cases) {
        s.Configure(c.recipient, c.port);
        CMimeMsg mail("test", ",");
        mail.SetTimeouts(1000, 1500);
        const auto start = std::chrono::steady_clock::now();
        std::string why = "sent";
        try {
            mail.Send("pm@x", c.recipient.c_str(), "s", "b", "");
        } catch (const CMimeMsgException& e) {
            why = e.GetLastErrorMsg();
        }
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    }
    close(quiet);
    EXPECT_TRUE(RebuildMbx(folder.c_str(), DbMessageEnvelope, 22));  // the server at port 1 is down
    EXPECT_NE(ReadFile(s.log).find(" 1 Message Store API: Mail to <d@x> through smtp://127.0.0.1:1 "),
              std::string::npos);
    EXPECT_FALSE(Exists(s.mail / "1.json"));

    s.Configure("debug@example.org", s.port);
    truncate(s.log.c_str(), CMimeMsg::kMaxAttachmentBytes);  // with kelmo.ini: past the limit
    const std::string cli = std::string(DLARCHIVE_CLI) + " msgstore-rebuild ";
    EXPECT_EQ(testenv::Run(cli + Quote(s.user) + " 2 22").status, 0);
    EXPECT_EQ(s.Mail(1)["attachments"].size(), 3u);  // mailbox.db, mailbox.id0, kelmo.ini
    EXPECT_NE(ReadFile(s.log).find("Attachment " + s.log + " left out: 167772"), std::string::npos);
    EXPECT_EQ(testenv::Run(cli + "/s/u@d/ x 22").status, 2);
}
