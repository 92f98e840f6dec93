// Message store rebuild: the path split, the whole-file copy, the rebuild from bad templates,
// and the report mail as a real SMTP server receives it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

#include "dlarchive/dlarchive.h"
#include "message_store/message_store.h"
#include "platform/mime_msg.h"
#include "support/test_env.h"

using namespace dlarchive::msgstore;
using namespace testenv;

namespace {

// tests/support/smtp_sink.py on a free port of 127.0.0.1, stopped with the object.
struct SmtpSink {
    TempDir dir;
    pid_t pid = Spawn([this] {
        return execl("/usr/bin/python3", "python3", "-u", DLARCHIVE_SOURCE_DIR "/tests/support/smtp_sink.py",
                     dir.path().c_str(), nullptr);
    });
    std::string port = [this] {
        for (int i = 0; i < 1000 && !Exists(dir / "port"); ++i) usleep(10000);
        return ReadFile(dir / "port");
    }();
    ~SmtpSink() { kill(pid, SIGTERM), Wait(pid); }
    nlohmann::json Mail(int n)
    {
        return Exists(dir / (std::to_string(n) + ".json"))
                   ? nlohmann::json::parse(ReadFile(dir / (std::to_string(n) + ".json")))
                   : nullptr;
    }
};

// A store, templates, a folder of damaged relations below the base, and kelmo.ini naming them.
struct Store {
    TempDir root;
    SmtpSink sink;
    Config config;
    std::string tmp = root / "tmp", tmpl = root / "tmpl", base = root / "base", log = root / "log";
    explicit Store(const std::string& recipient = "debug@example.org")
    {
        for (const std::string& d : {tmp, tmpl, base + "/inbox", log, root / "s/u@d.com/inbox"}) MakeDirs(d);
        for (const char* r : {"archiveenv", "archivebody"})
            diaRel::Create(tmpl.c_str(), r), WriteFile(base + "/inbox/" + r + ".db", "damaged");
        for (const char* f : {"mailbox.db", "mailbox.id0", "inbox/archiveenv.db", "inbox/archivebody.db"})
            WriteFile(root / "s/u@d.com/" + f, std::string(300, *f));
        Configure(recipient, sink.port);
    }
    void Configure(const std::string& recipient, const std::string& port)
    {
        config.Write("[Options]\nQRNDebugEmailAddr=" + recipient + "\nPostmaster=pm@mail.example.com\nTempDirectory=" +
                     tmp + "\nSmtpServer=smtp://127.0.0.1:" + port + "\n[Gateway]\nLogDirectory=" + log +
                     "\n[DLManager]\nDbPath=" + tmpl + "\n[MsgStore]\nBaseDirectory=" + base + "\n");
    }
    // Log lines without their time stamps, and emptied for the next case.
    std::vector<std::string> TakeLog()
    {
        std::vector<std::string> lines = Lines(ReadFile(log + "/kelmo.log"));
        for (std::string& l : lines) l.erase(0, 20);
        if (!lines.empty() && lines.back().empty()) lines.pop_back();
        WriteFile(log + "/kelmo.log", "");
        return lines;
    }
    bool RelationsOpen(const std::string& folder)
    {
        diamondBase b;
        return archiveenv(b, (base + folder).c_str()).isOpen() && archivebody(b, (base + folder).c_str()).isOpen();
    }
};

std::string Captured(const std::function<bool()>& step, bool expected)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(step(), expected);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(MessageStore, SplitStorePathAcceptsBothDelimiters)
{
    struct {
        const char* path;
        DatabaseType type;
        const char *dir, *user, *folder;
    } cases[] = {
        {"/s/u@d.com/inbox/", DbMessageEnvelope, "/s/u@d.com/", "u@d.com", "inbox"},
        {"\\s\\u@d.com\\inbox\\", DbMessageEnvelope, "/s/u@d.com/", "u@d.com", "inbox"},
        {"C:\\s/u@d.com\\a/b\\", DbMessageBody, "C:/s/u@d.com/", "u@d.com", "a/b"},
        {"/s/u@d.com/", DbMailbox, "/s/u@d.com/", "u@d.com", ""},
        {"u@d/x@y/", DbMessageStatus, "u@d/", "u@d", "x@y"},
        {"/s/u@d.com/", DbMessageEnvelope, "/s/u@d.com/", "", ""},
        {"/s/nobody/inbox/", DbMessageEnvelope, "", "", ""},
        {"", DbMessageEnvelope, "", "", ""},
        {"@", DbMailbox, "@/", "", ""},
    };
    for (const auto& c : cases) {
        const StorePath p = SplitStorePath(c.path, c.type);
        EXPECT_EQ(p.userDirectory + "|" + p.userName + "|" + p.folder,
                  std::string(c.dir) + "|" + c.user + "|" + c.folder)
            << c.path;
    }
}

TEST(MessageStore, CopyWholeFileCopiesEveryBlockOrSaysWhy)
{
    TempDir dir;
    for (std::size_t size : {0, 1, 255, 256, 257, 512, 1000}) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + size);
        WriteFile(dir / "src", bytes);
        EXPECT_EQ(Captured([&] { return CopyWholeFile((dir / "src").c_str(), (dir / "dst").c_str()); }, true), "");
        EXPECT_EQ(ReadFile(dir / "dst"), bytes) << size;
    }
    EXPECT_EQ(Captured([&] { return CopyWholeFile((dir / "none").c_str(), (dir / "x").c_str()); }, false),
              "Unable to open file " + dir / "none" + "!\n");
    EXPECT_EQ(Captured([&] { return CopyWholeFile((dir / "src").c_str(), (dir / "no/x").c_str()); }, false),
              "Unable to open file " + dir / "no/x" + "!\n");
}

TEST(MessageStore, BadTemplatesReplaceNothing)
{
    Store s;
    const std::string copy = s.base + "/inbox/archiveenv.db.template-" + std::to_string(getpid());
    const std::string envText =
        "Archive envelope database template may already be corrupted.\nPlease contact QRN technical support for "
        "assistance.\n";
    struct {
        const char* relation;
        std::string content, folder, out;
    } cases[] = {
        {"archivebody", "", "inbox",
         "Unable to open file " + s.tmpl + "/archivebody.db!\n"},  // missing: the copy before it stays
        {"archiveenv", "", "inbox", envText},
        {"archivebody", std::string(512, 'x'), "inbox",
         "Archive body database template may already be corrupted.\nPlease contact QRN technical support for "
         "assistance.\n"},
        {nullptr, "", "gone",
         "Unable to open file " + s.base + "/gone/archiveenv.db.template-" + std::to_string(getpid()) + "!\n"},
        {nullptr, "", std::string(300, 'f'), ""},
        {nullptr, "", "../inbox", ""},
    };
    for (const auto& c : cases) {
        const std::string t = s.tmpl + "/" + (c.relation ? c.relation : "") + ".db", saved = ReadFile(t);
        if (c.relation) c.content.empty() && c.out[0] == 'U' ? (void)unlink(t.c_str()) : WriteFile(t, c.content);
        EXPECT_EQ(Captured([&] { return RebuildFromTemplates(c.folder); }, false), c.out);
        EXPECT_EQ(ReadFile(s.base + "/inbox/archiveenv.db") + ReadFile(s.base + "/inbox/archivebody.db"),
                  "damageddamaged");
        if (c.relation) WriteFile(t, saved);
    }
    EXPECT_EQ(ReadFile(copy), ReadFile(s.tmpl + "/archiveenv.db"));
}

TEST(MessageStore, ReportMailAndRebuildEdgeCases)
{
    Store s;
    const std::string api = "Message Store API: ",
                      sending = "6 " + api + "Sending corrupted database and relevant files to <debug@example.org>";
    const std::string ini = s.config.ini(), kelmoLog = s.log + "/kelmo.log", store = s.root / "s/u@d.com/";
    struct {
        std::string path;
        int type, error;
        bool result;
        std::vector<std::string> log, attached;
    } cases[] = {
        {store,
         2,
         22,
         true,
         {"1 " + api + "Mailbox database: Corrupt", sending,
          "6 " + api + "Message subject is <mail.example.com - Message Store - u@d.com>",
          "6 " + api + "Rebuilding mailbox database", "6 " + api + "OK"},
         {s.tmp + "/mailbox.db", s.tmp + "/mailbox.id0", ini, kelmoLog}},
        {s.root / "s\\u@d.com\\inbox\\",
         3,
         3,
         true,
         {"1 " + api + "Message Envelope database: Not found", sending,
          "6 " + api + "Message subject is <mail.example.com - Message Store - u@d.com - inbox>",
          "6 MsgStore: Rebuilding mailbox", "6 MsgStore: OK"},
         {s.tmp + "/archiveenv.db", ini, kelmoLog}},
        {store + "inbox/",
         4,
         11,
         true,
         {"1 " + api + "Message Body database: Not opened", "6 MsgStore: Rebuilding mailbox", "6 MsgStore: OK"},
         {}},
        {s.root / "s/nobody/",
         7,
         99,
         false,
         {"1 " + api + "Unknown database: Unknown database", sending,
          "6 " + api + "Message subject is <mail.example.com - Message Store - >", "6 MsgStore: Rebuilding mailbox",
          "1 MsgStore: Failed"},
         {ini, kelmoLog}},
    };
    int mails = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(RebuildMbx(c.path.c_str(), static_cast<DatabaseType>(c.type), c.error), c.result);
        const std::string logText = ReadFile(kelmoLog);
        EXPECT_EQ(s.TakeLog(), c.log) << c.path;
        EXPECT_EQ(s.RelationsOpen("/inbox"), c.type != 2);
        EXPECT_FALSE(bArcRebuild);
        if (c.attached.empty()) continue;
        nlohmann::json m = s.sink.Mail(++mails);
        ASSERT_FALSE(m.is_null());
        EXPECT_EQ(m["mail_from"].get<std::string>() + m["From"].get<std::string>() + m["To"].get<std::string>() +
                      m["MIME-Version"].get<std::string>(),
                  "pm@mail.example.compm@mail.example.comdebug@example.org1.0");
        EXPECT_EQ(m["rcpt_tos"], nlohmann::json({"debug@example.org"}));
        EXPECT_EQ(m["Subject"].get<std::string>(),
                  c.log[2].substr(c.log[2].find('<') + 1, c.log[2].size() - c.log[2].find('<') - 2));
        EXPECT_TRUE(m["date_ok"].get<bool>() &&
                    m["Message-ID"].get<std::string>().find("@mail.example.com>") != std::string::npos);
        EXPECT_EQ(m["body"].get<std::string>().substr(0, 18), "Corrupted database");
        ASSERT_EQ(m["attachments"].size(), c.attached.size());
        for (std::size_t i = 0; i < c.attached.size(); ++i) {
            const std::string got = ReadFile(m["attachments"][i]["path"]),
                              file = c.attached[i] == kelmoLog ? logText : ReadFile(c.attached[i]);
            EXPECT_EQ(m["attachments"][i]["name"], c.attached[i].substr(c.attached[i].rfind('/') + 1));
            EXPECT_EQ(c.attached[i] == kelmoLog ? file.substr(0, got.size()) : file, got);  // the log grew since
            EXPECT_FALSE(got.empty());
        }
    }
    EXPECT_EQ(ReadFile(s.tmp + "/archiveenv.db"), std::string(300, 'i'));
    EXPECT_FALSE(Exists(s.tmp + "/archivebody.db"));  // error 11: no copy
}

TEST(MessageStore, FailedMailIsLoggedAndBoundedAndTheRebuildGoesOn)
{
    Store s;
    const int quiet = socket(AF_INET, SOCK_STREAM, 0);  // accepts connections, never answers
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t n = sizeof a;
    ASSERT_EQ(bind(quiet, (sockaddr*)&a, n) | listen(quiet, 4) | getsockname(quiet, (sockaddr*)&a, &n), 0);
    struct {
        std::string port, recipient, why;
    } cases[] = {{std::to_string(ntohs(a.sin_port)), "debug@example.org", "timed out"},
                 {s.sink.port, "refuse@example.org", "failed"},
                 {"1", "debug@example.org", "failed"},
                 {s.sink.port, "a\r\nRCPT TO:<x@y>", "Invalid recipient address"}};
    for (const auto& c : cases) {
        s.Configure(c.recipient, c.port);
        CMimeMsg mail("test", ",");
        mail.SetTimeouts(1000, 1500);
        const auto start = std::chrono::steady_clock::now();
        try {
            mail.Send("pm@x", c.recipient.c_str(), "s", "b", "");
            ADD_FAILURE() << c.port;
        } catch (const CMimeMsgException& e) {
            EXPECT_NE(std::string(e.GetLastErrorMsg()).find(c.why), std::string::npos) << e.GetLastErrorMsg();
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        if (c.port == "1") {
            EXPECT_TRUE(RebuildMbx((s.root / "s/u@d.com/inbox/").c_str(), DbMessageEnvelope, 22));
        }
    }
    EXPECT_EQ(s.TakeLog()[3].substr(0, 45), "1 Message Store API: Mail to <debug@example.o");
    EXPECT_EQ(s.sink.Mail(1), nullptr);
    close(quiet);
}

TEST(MessageStore, NoRecipientHugeLogAndConcurrentRebuilds)
{
    Store s("");
    EXPECT_TRUE(RebuildMbx((s.root / "s/u@d.com/inbox/").c_str(), DbMessageStatus, 22));
    EXPECT_EQ(s.TakeLog().size(), 3u);  // no report lines, and nothing copied
    EXPECT_TRUE(std::filesystem::is_empty(s.tmp));
    auto rebuild = [&] {
        std::atomic<int> ok{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 3; ++i)
            threads.emplace_back([&] { ok += RebuildMbx((s.root / "s/u@d.com/inbox/").c_str(), DbMessageBody, 11); });
        for (std::thread& t : threads) t.join();
        return ok == 3 ? 0 : 1;
    };
    const pid_t other = Spawn(rebuild);
    EXPECT_EQ(rebuild(), 0);
    EXPECT_EQ(Wait(other), 0);
    EXPECT_TRUE(s.RelationsOpen("/inbox") && !bArcRebuild);
    for (const auto& e : std::filesystem::directory_iterator(s.base + "/inbox"))
        EXPECT_EQ(e.path().string().find(".tem"), std::string::npos);

    s.Configure("debug@example.org", s.sink.port);
    truncate((s.log + "/kelmo.log").c_str(), CMimeMsg::kMaxAttachmentBytes);  // with the config: over the limit
    const RunResult r =
        testenv::Run(std::string(DLARCHIVE_CLI) + " msgstore-rebuild " + Quote(s.root / "s/u@d.com/") + " 2 22");
    EXPECT_EQ(r.status, 0);
    ASSERT_FALSE(s.sink.Mail(1).is_null());
    EXPECT_EQ(s.sink.Mail(1)["attachments"].size(), 3u);  // mailbox.db, mailbox.id0, kelmo.ini
    EXPECT_NE(ReadFile(s.log + "/kelmo.log").find("Attachment " + s.log + "/kelmo.log left out: 16777"),
              std::string::npos);
    EXPECT_EQ(testenv::Run(std::string(DLARCHIVE_CLI) + " msgstore-rebuild /s/nobody/ 3 22").status, 1);
    EXPECT_EQ(testenv::Run(std::string(DLARCHIVE_CLI) + " msgstore-rebuild /s/u@d/ x 22").status, 2);
}
