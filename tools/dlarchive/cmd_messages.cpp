// Commands on the messages of one list: intake, import, reload, rebuild, retrieval, pages.
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "cli.h"
#include "dlarchive/dlarchive.h"
#include "support/json_records.h"
#include "support/mbox.h"
#include "support/progress.h"
#include "support/records_release.h"

namespace cli {

std::unique_ptr<CDlArchive> OpenList(const std::string& list)
{
    auto archive = std::make_unique<CDlArchive>("dlarchive");
    if (!archive->SetListName(list.c_str())) ThrowArchiveError(*archive, dlarchive::errors::kListNameTooLong);
    archive->GetArchivePath();
    if (archive->GetArchivePathText()[0] == '\0')
        throw CDlArchiveException(archive->GetLastError(), archive->GetLastErrorMsg());
    return archive;
}

uint32_t ParseNumber(const std::string& text)
{
    if (text.size() > 4 && text.compare(text.size() - 4, 4, ".msg") == 0) return CDlArchive::GetId(text.c_str());
    const bool hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0;
    const std::string digits = hex ? text.substr(2) : text;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(digits.c_str(), &end, hex ? 16 : 10);
    if (digits.empty() || *end != '\0' || errno != 0 || value > UINT32_MAX || digits[0] == '-' || digits[0] == '+')
        throw UsageError{"not a message number: " + text};
    return static_cast<uint32_t>(value);
}

namespace {

void ExpectAtLeast(const Args& args, std::size_t count)
{
    if (args.size() < count) throw UsageError{"missing arguments"};
}

// Shows the progress of a reload or rebuild while the library stores the message files.
class ProgressHook {
public:
    ProgressHook() { CDlArchive::SetProgressHandler(&ProgressHook::Step, this); }
    ~ProgressHook() { CDlArchive::SetProgressHandler(nullptr, nullptr); }
    ProgressHook(const ProgressHook&) = delete;
    ProgressHook& operator=(const ProgressHook&) = delete;

private:
    static void Step(uint32_t done, uint32_t total, void* context)
    {
        auto* self = static_cast<ProgressHook*>(context);
        if (!self->m_progress) self->m_progress = std::make_unique<Progress>(total);
        self->m_progress->Step(done - self->m_progress->count());
        if (done == total) self->m_progress.reset();
    }
    std::unique_ptr<Progress> m_progress;
};

// Archives one message; reports it when it was not archived.
bool Archive(CDlArchive& archive, const std::string& shown, uint32_t number)
{
    archive.SetLastError(0);
    archive.SetLastErrorMsg("Archive relations not found");
    try {
        if (archive.AddArchive(archive.GetArchivePathText(), number)) return true;
    } catch (const CDlArchiveException& e) {
        archive.SetLastError(e.GetLastError());
        archive.SetLastErrorMsg(e.GetLastErrorMsg());
    }
    std::fprintf(stderr, "dlarchive: not archived: %s: error %d: %s\n", shown.c_str(), archive.GetLastError(),
                 archive.GetLastErrorMsg());
    return false;
}

int Add(const Args& args)
{
    ExpectAtLeast(args, 2);
    std::vector<uint32_t> numbers;
    for (std::size_t i = 1; i < args.size(); ++i) numbers.push_back(ParseNumber(args[i]));
    auto archive = OpenList(args[0]);
    bool all = true;
    for (std::size_t i = 0; i < numbers.size(); ++i) all = Archive(*archive, args[i + 1], numbers[i]) && all;
    return all ? kExitOk : kExitFailure;
}
const Register add{{"add", "LIST NUMBER...", "archive message files of LIST (decimal, 0xHEX or NAME.msg)", Add}};

int Import(const Args& args)
{
    ExpectAtLeast(args, 2);
    auto archive = OpenList(args[0]);
    const std::string dir = archive->GetArchivePathText();
    std::filesystem::create_directories(dir);
    // A list that has no relations yet gets them from the templates (with whatever message
    // files it already has).
    if (!archive->CheckArchiveDatabase()) archive->ProcessArchivedMessages(args[0].c_str());
    if (!archive->CheckArchiveDatabase())
        return ReportError(7, "Could not create the archive relations of " + args[0] +
                                  " (are the templates there? see dlarchive init)");

    std::vector<std::unique_ptr<MessageFileReader>> readers;
    uint64_t total = 0;
    for (std::size_t i = 1; i < args.size(); ++i) {
        readers.push_back(std::make_unique<MessageFileReader>(args[i]));
        total += readers.back()->Count();
    }
    // Marks the archive until every file written is archived: a killed import is repaired.
    CDlArchiveIntakeRun run(*archive);
    Progress progress(total);
    uint32_t next = NextMessageNumber(dir);
    uint64_t imported = 0, failed = 0;
    std::string message;
    for (std::size_t r = 0; r < readers.size(); ++r) {
        auto& reader = readers[r];
        for (uint64_t entry = 1; reader->Next(message); ++entry) {
            // A message past the bound is refused whole: no file of it is left behind, and the
            // import goes on with the next message.
            if (reader->TooLarge()) {
                std::fprintf(stderr, "dlarchive: not archived: %s message %llu: larger than %zu MiB\n",
                             args[r + 1].c_str(), static_cast<unsigned long long>(entry), kMaxMessageSize >> 20);
                ++failed;
                progress.Step();
                continue;
            }
            // An empty mbox entry holds no message: an empty message file would stop nothing
            // now, but it is no message of the list either.
            if (message.empty()) {
                std::fprintf(stderr, "dlarchive: passed over: %s message %llu: empty\n", args[r + 1].c_str(),
                             static_cast<unsigned long long>(entry));
                progress.Step();
                continue;
            }
            // The source files stay: one sync of the whole archive at the end is enough.
            const uint32_t number = WriteMessageFile(dir, message, next, false);
            next = number + 1;
            ++imported;
            if (!Archive(*archive, MessageFileName(number), number)) ++failed;
            progress.Step();
        }
    }
    progress.Finish();
    run.Finish();
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::syncfs(dirFd);
        ::close(dirFd);
    }
    std::printf("imported %llu messages into %s (%llu not archived)\n", static_cast<unsigned long long>(imported),
                args[0].c_str(), static_cast<unsigned long long>(failed));
    return failed == 0 ? kExitOk : kExitFailure;
}
const Register import{
    {"import", "LIST FILE...",
     "write mbox or message files into LIST's archive and archive them (a message over 64 MiB is refused)", Import}};

int Reload(const Args& args)
{
    if (args.size() != 1) throw UsageError{"wrong number of arguments"};
    auto archive = OpenList(args[0]);
    const ProgressHook hook;
    CLogging failure;
    archive->ProcessArchivedMessages(args[0].c_str(), &failure);
    return failure.GetLastError() == 0 ? kExitOk : ReportError(failure);
}
const Register reload{{"reload", "LIST", "start LIST's relations afresh and store every message file", Reload}};

int Rebuild(const Args& args)
{
    if (args.size() != 1) throw UsageError{"wrong number of arguments"};
    const ProgressHook hook;
    CLogging failure;
    if (RebuildArchiveDb(args[0].c_str(), &failure)) return kExitOk;
    return ReportError(failure);
}
const Register rebuild{
    {"rebuild", "LIST", "rebuild LIST's relations from its message files and write its pages", Rebuild}};

// The value of the one option a command takes ("--seq N", "--locale L") after its two
// arguments; the default when it is not given.
std::string OptionValue(const Args& args, const char* name, const std::string& defaultValue)
{
    std::string value = defaultValue;
    for (std::size_t i = 2; i < args.size(); ++i) {
        if (args[i] == name && i + 1 < args.size())
            value = args[++i];
        else
            throw UsageError{"unknown option " + args[i]};
    }
    return value;
}

int Show(const Args& args)
{
    ExpectAtLeast(args, 2);
    const uint32_t seq = ParseNumber(OptionValue(args, "--seq", "0"));
    if (seq > 127) throw UsageError{"--seq takes 0 to 127"};
    const uint32_t number = ParseNumber(args[1]);
    auto archive = OpenList(args[0]);
    StoredRecords stored;
    archive->GetArchiveEnv(number, static_cast<int8_t>(seq), stored.envelope, stored.size, stored.header);
    archive->GetArchiveBody(number, static_cast<int8_t>(seq), stored.body, stored.size, stored.header);
    std::printf("%s\n",
                MessageToJson(number, static_cast<int>(seq), stored.size, stored.header, stored.envelope, stored.body)
                    .dump(2)
                    .c_str());
    return kExitOk;
}
const Register show{{"show", "LIST NUMBER [--seq N]", "print a stored message's envelope and body as JSON", Show}};

int Texts(const Args& args)
{
    ExpectAtLeast(args, 2);
    const std::string locale = OptionValue(args, "--locale", "en-us");
    const uint32_t number = ParseNumber(args[1]);
    auto archive = OpenList(args[0]);
    StoredRecords stored;
    archive->GetArchiveEnv(number, 0, stored.envelope, stored.size, stored.header);
    char author[CDlArchive::kDisplayTextSize] = {}, date[CDlArchive::kDisplayTextSize] = {},
         subject[CDlArchive::kDisplayTextSize] = {};
    archive->GetAuthorOfMessage(stored.envelope, author, locale.c_str());
    archive->GetDateOfMessage(stored.envelope, date, locale.c_str());
    archive->GetSubjectOfMessage(stored.envelope, subject, locale.c_str());
    const nlohmann::json texts = {
        {"author", SanitizeUtf8(author)}, {"date", SanitizeUtf8(date)}, {"subject", SanitizeUtf8(subject)}};
    std::printf("%s\n", texts.dump(2).c_str());
    return kExitOk;
}
const Register texts{{"texts", "LIST NUMBER [--locale L]", "print a message's author, date and subject texts", Texts}};

int Pages(const Args& args)
{
    if (args.size() != 1) throw UsageError{"wrong number of arguments"};
    auto archive = OpenList(args[0]);
    archive->GenerateIndexPages(args[0].c_str());
    return kExitOk;
}
const Register pages{{"pages", "LIST", "write LIST's index pages for every configured language", Pages}};

}  // namespace
}  // namespace cli
