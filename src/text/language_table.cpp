#include "text/language_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "platform/config.h"

namespace {

constexpr const char* kLanguageSelectionSection = "Language Selection";
constexpr std::size_t kWebAdminDirectoryMax = 259;
constexpr std::size_t kOpenSelectionMax = 1023;
constexpr std::size_t kResolveSelectionMax = 255;
constexpr std::size_t kCharsetMax = LanguageTable::kCharsetSize - 1;

const char* ModuleDirectory(LanguageModule module)
{
    switch (module) {
        case LanguageModuleWmc:
            return "wmc";
        case LanguageModuleLdap:
            return "ldap";
        case LanguageModuleDlOwner:
            return "dlowner";
        case LanguageModuleMailSort:
            return "mailsort";
        case LanguageModuleUserAuth:
            return "userauth";
        case LanguageModuleDlArchives:
            return "dlarchives";
    }
    return nullptr;
}

// The characters that make a line carry no string.
bool IsWhiteSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// Copies at most size - 1 bytes and always terminates (size > 0). True when all of text fit;
// a null target is a result the caller does not want, which always "fits".
bool CopyBounded(char* target, std::size_t size, std::string_view text)
{
    if (target == nullptr) return true;
    if (size == 0) return text.empty();
    const std::size_t n = text.size() < size ? text.size() : size - 1;
    std::memcpy(target, text.data(), n);
    target[n] = '\0';
    return n == text.size();
}

// Reads one piece of a line the way fgets with a 1024-byte buffer does: up to 1023 bytes,
// stopping after a line feed. Bytes are counted rather than measured with strlen, so a NUL
// inside a line cannot shift the offsets. Returns the number of bytes read (0 at the end).
std::size_t ReadLinePiece(std::FILE* file, char (&piece)[LanguageTable::kMaxLinePiece + 1])
{
    std::size_t len = 0;
    while (len < LanguageTable::kMaxLinePiece) {
        const int c = std::getc(file);
        if (c == EOF) break;
        piece[len++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    piece[len] = '\0';
    return len;
}

bool WriteEntry(std::FILE* index, uint64_t value)
{
    if (value > UINT32_MAX) return false;  // the format has no room for larger files
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(value & 0xFF), static_cast<unsigned char>((value >> 8) & 0xFF),
        static_cast<unsigned char>((value >> 16) & 0xFF), static_cast<unsigned char>((value >> 24) & 0xFF)};
    return std::fwrite(bytes, 1, sizeof bytes, index) == sizeof bytes;
}

bool IsLater(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

}  // namespace

LanguageTable::~LanguageTable()
{
    Close();
}

bool LanguageTable::Open(const char* languageKey, LanguageModule module)
{
    // A table is opened once; should an owner reuse one, nothing of the earlier file survives.
    Close();
    const std::string_view key = languageKey != nullptr ? languageKey : "";
    CopyBounded(m_languageKey, kLanguageKeySize, key);

    const std::string webAdminDirectory =
        dlarchive::platform::GetProfileString("Config", "WebAdminDirectory", "", kWebAdminDirectoryMax);
    const std::string selection =
        dlarchive::platform::GetProfileString(kLanguageSelectionSection, key, "", kOpenSelectionMax);

    // Value: "<unused>,<charset>,<file name>"; the file name may itself contain commas.
    const std::size_t firstComma = selection.find(',');
    if (firstComma == std::string::npos) return false;
    const std::size_t secondComma = selection.find(',', firstComma + 1);
    if (secondComma == std::string::npos) return false;
    const std::string_view charset = std::string_view(selection).substr(firstComma + 1, secondComma - firstComma - 1);
    if (charset.size() > kCharsetMax) return false;
    CopyBounded(m_charset, kCharsetSize, charset);

    const char* moduleDirectory = ModuleDirectory(module);
    if (moduleDirectory == nullptr) return false;
    // Paths that do not fit the 260-byte buffers are refused rather than cut.
    char languagePath[kPathSize];
    char indexPath[kPathSize];
    const int pathLength =
        std::snprintf(languagePath, sizeof languagePath, "%s/vubo/languages/%s/%s", webAdminDirectory.c_str(),
                      moduleDirectory, selection.c_str() + secondComma + 1);
    if (pathLength < 0 || static_cast<std::size_t>(pathLength) >= sizeof languagePath) return false;
    const int indexLength = std::snprintf(indexPath, sizeof indexPath, "%s.idx", languagePath);
    if (indexLength < 0 || static_cast<std::size_t>(indexLength) >= sizeof indexPath) return false;

    struct stat languageStatus {};
    if (::stat(languagePath, &languageStatus) != 0) return false;
    // An empty file name would name the directory itself, which must not pass for a file.
    if (!S_ISREG(languageStatus.st_mode)) return false;

    const auto languageSize = static_cast<uint64_t>(languageStatus.st_size);
    struct stat indexStatus {};
    bool stale;
    if (::stat(indexPath, &indexStatus) != 0) {
        if (errno != ENOENT) return false;
        stale = true;
    } else {
        // Equal times keep the index: only a strictly newer language file is re-read.
        stale = IsLater(languageStatus.st_mtim, indexStatus.st_mtim);
    }
    bool loaded = stale ? BuildIndex(languagePath, indexPath) && LoadIndex(indexPath, languageSize)
                        : LoadIndex(indexPath, languageSize);
    // An index that cannot belong to the language file (left empty by a full disk, damaged)
    // counts as missing: it is built afresh, once.
    if (!loaded && !stale) loaded = BuildIndex(languagePath, indexPath) && LoadIndex(indexPath, languageSize);
    // Where no index can be written beside the file (a folder this process may only read,
    // such as an installed one), a private one serves this table.
    if (!loaded && !LoadPrivateIndex(languagePath, languageSize)) return false;

    m_languageFile = std::fopen(languagePath, "r");
    if (m_languageFile == nullptr) return false;
    struct stat openedStatus {};
    if (::fstat(fileno(m_languageFile), &openedStatus) != 0) return false;
    m_fileSize = static_cast<uint64_t>(openedStatus.st_size);
    m_opened = true;
    return true;
}

bool LanguageTable::LoadPrivateIndex(const char* languagePath, uint64_t languageSize)
{
    static std::atomic<unsigned> s_counter{0};
    const char* temp = std::getenv("TMPDIR");
    const std::string path = std::string(temp != nullptr && *temp != '\0' ? temp : "/tmp") + "/dlarchive-language-" +
                             std::to_string(::getpid()) + "-" + std::to_string(s_counter++) + ".idx";
    const bool loaded = BuildIndex(languagePath, path.c_str()) && LoadIndex(path.c_str(), languageSize);
    ::unlink(path.c_str());
    return loaded;
}

bool LanguageTable::LoadIndex(const char* indexPath, uint64_t languageSize)
{
    m_offsets.reset();
    m_count = 0;
    std::FILE* index = std::fopen(indexPath, "rb");
    if (index == nullptr) return false;
    // The size of the file opened, not of the name: another process may rename a new index
    // over it meanwhile.
    struct stat indexStatus {};
    if (::fstat(fileno(index), &indexStatus) != 0) {
        std::fclose(index);
        return false;
    }
    const uint64_t indexSize = static_cast<uint64_t>(indexStatus.st_size);
    // Whole entries only, at least the closing one; a huge index cannot be counted in 32 bits.
    if (indexSize == 0 || indexSize % 4 != 0 || indexSize / 4 > static_cast<uint64_t>(INT32_MAX)) {
        std::fclose(index);
        return false;
    }
    const std::size_t words = static_cast<std::size_t>(indexSize / 4);
    m_offsets.reset(new (std::nothrow) uint32_t[words]);
    const std::size_t read = m_offsets ? std::fread(m_offsets.get(), 1, indexSize, index) : 0;
    std::fclose(index);
    if (read != indexSize) {
        m_offsets.reset();
        return false;
    }
    // The file is little-endian whatever the host; decode each entry in place. The builder
    // writes strictly rising offsets within the file (only the closing one, the file size,
    // may equal the one before it): anything else was not written for this file.
    for (std::size_t i = 0; i < words; ++i) {
        unsigned char bytes[4];
        std::memcpy(bytes, &m_offsets[i], sizeof bytes);
        m_offsets[i] = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                       (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
        const bool rising = i == 0 || m_offsets[i] > m_offsets[i - 1] ||
                            (i + 1 == words && m_offsets[i] == m_offsets[i - 1] && m_offsets[i] == languageSize);
        if (m_offsets[i] > languageSize || !rising) {
            m_offsets.reset();
            return false;
        }
    }
    m_count = static_cast<int32_t>(words) - 1;
    return true;
}

const char* LanguageTable::GetString(int32_t number)
{
    if (!m_opened || m_languageFile == nullptr || !m_offsets) return "";
    if (number > m_count || number < 1) return "";
    const uint32_t start = m_offsets[number - 1];
    // A damaged index (or one read while another process writes it) may point anywhere:
    // nothing past the language file is read, so no more than its size is allocated.
    const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(m_offsets[number], m_fileSize));
    // A hand-damaged index could list offsets backwards; such a string has no extent.
    if (start > m_fileSize || end < start) return "";
    if (std::fseek(m_languageFile, static_cast<long>(start), SEEK_SET) != 0) return "";

    const std::size_t span = end - start;
    m_result.reset(new (std::nothrow) char[span + 10]);
    if (!m_result) return "";
    // A few bytes beyond the span make sure the line end of the string is seen even when
    // the next entry points right behind it.
    const std::size_t read = std::fread(m_result.get(), 1, span + 9, m_languageFile);
    if (read == 0) return "";

    char* text = m_result.get();
    text[read] = '\n';
    char* lineEnd = static_cast<char*>(std::memchr(text, '\n', read + 1));
    if (lineEnd > text && lineEnd[-1] == '\r') --lineEnd;
    *lineEnd = '\0';
    return text;
}

void LanguageTable::Close()
{
    if (m_languageFile != nullptr) {
        std::fclose(m_languageFile);
        m_languageFile = nullptr;
    }
    m_result.reset();
    m_offsets.reset();
    m_count = 0;
    m_fileSize = 0;
    m_opened = false;
}

bool LanguageTable::BuildIndex(const char* languagePath, const char* indexPath)
{
    if (languagePath == nullptr || indexPath == nullptr) return false;
    std::FILE* language = std::fopen(languagePath, "r");
    if (language == nullptr) return false;
    // Written to a private file beside the index and renamed over it: a reader, or another
    // process building the same index, never meets a partial one, and a full disk leaves the
    // old index (or none) instead of an empty one.
    static std::atomic<unsigned> s_counter{0};
    const std::string temp =
        std::string(indexPath) + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(s_counter++);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    std::FILE* index = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (index == nullptr) {
        if (fd >= 0) {
            ::close(fd);
            ::unlink(temp.c_str());
        }
        std::fclose(language);
        return false;
    }

    bool ok = true;
    bool written = true;  // false when an entry could not be written
    long numbered = 0;
    uint64_t lineStart = 0;
    char piece[kMaxLinePiece + 1];
    for (;;) {
        const std::size_t len = ReadLinePiece(language, piece);
        if (len == 0) break;
        if (!IsWhiteSpace(piece[0])) {
            ++numbered;
            // The leading decimal number, read like strtol: sign and leading zeros allowed,
            // anything after the digits ignored. The first byte is not white space, so
            // strtol's own skipping of blanks never applies.
            if (std::strtol(piece, nullptr, 10) != numbered) {
                ok = false;
                break;
            }
            // The text starts after the first space behind the first character. A line
            // without such a space has no text: its entry points at the end of the line's
            // text (its line feed), so it reads as an empty string and the reader never
            // strays into the following line. (For a piece cut at 1023 bytes, the entry is
            // the end of the piece, and what follows it is the rest of that same line.)
            const void* space = len > 1 ? std::memchr(piece + 1, ' ', len - 1) : nullptr;
            std::size_t textStart;
            if (space != nullptr)
                textStart = static_cast<std::size_t>(static_cast<const char*>(space) - piece) + 1;
            else
                textStart = piece[len - 1] == '\n' ? len - 1 : len;
            if (!WriteEntry(index, lineStart + textStart)) {
                ok = written = false;
                break;
            }
        }
        lineStart += len;
    }
    if (ok && std::ferror(language)) ok = written = false;
    // The closing entry is the file size, which also ends the last string.
    if (ok && !WriteEntry(index, lineStart)) ok = written = false;
    std::fclose(language);
    if (std::fclose(index) != 0) ok = written = false;
    // A wrongly numbered line keeps the entries before it; a failed write keeps nothing.
    if (!written || ::rename(temp.c_str(), indexPath) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return ok;
}

void ResolveLanguageSelection(const char* locale, std::string& languageKey, std::string& charset)
{
    const std::string_view name = locale != nullptr ? locale : "";
    const std::string selection =
        dlarchive::platform::GetProfileString(kLanguageSelectionSection, name, "", kResolveSelectionMax);
    const std::size_t firstComma = selection.find(',');
    const std::size_t lastComma = selection.rfind(',');
    if (firstComma == std::string::npos || firstComma == lastComma) {
        languageKey = "en-us";
        charset = "iso-8859-1";
        return;
    }
    languageKey = std::string(name);
    charset = selection.substr(firstComma + 1, lastComma - firstComma - 1);
}

bool ResolveLanguageSelection(const char* locale, char* languageKey, std::size_t languageKeySize, char* charset,
                              std::size_t charsetSize)
{
    std::string key;
    std::string set;
    ResolveLanguageSelection(locale, key, set);
    const bool keyFits = CopyBounded(languageKey, languageKeySize, key);
    const bool charsetFits = CopyBounded(charset, charsetSize, set);
    return keyFits && charsetFits;
}
