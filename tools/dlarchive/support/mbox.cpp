#include "mbox.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dlarchive/archive.h"

namespace cli {

namespace {

constexpr std::string_view kFrom = "From ";

[[noreturn]] void ThrowErrno(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0) ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    // Closes now and reports the result (a delayed write error shows up here).
    int Close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd);
    }

private:
    int m_fd;
};

std::string JoinPath(const std::string& dir, const std::string& name)
{
    if (dir.empty()) return name;
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

bool EndsWithMsg(const char* name)
{
    const std::size_t n = std::strlen(name);
    return n >= 4 && strcasecmp(name + n - 4, ".msg") == 0;
}

// Lines of [begin, end) that match ^>+From  lose their first ">"; everything else is copied.
void AppendUnquoted(std::string& out, const char* begin, const char* end)
{
    const char* line = begin;
    while (line < end) {
        const char* lf = static_cast<const char*>(std::memchr(line, '\n', end - line));
        const char* next = lf != nullptr ? lf + 1 : end;
        if (*line == '>') {
            const char* p = line;
            while (p < end && *p == '>') ++p;
            if (static_cast<std::size_t>(end - p) >= kFrom.size() && std::memcmp(p, kFrom.data(), kFrom.size()) == 0)
                ++line;
        }
        out.append(line, next - line);
        line = next;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------

MappedFile::MappedFile(const std::string& path)
{
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) ThrowErrno("cannot open " + path);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) ThrowErrno("cannot read " + path);
    if (S_ISREG(st.st_mode)) {
        if (st.st_size == 0) return;
        m_mapSize = static_cast<std::size_t>(st.st_size);
        void* map = ::mmap(nullptr, m_mapSize, PROT_READ, MAP_PRIVATE, fd.get(), 0);
        if (map != MAP_FAILED) {
            ::madvise(map, m_mapSize, MADV_SEQUENTIAL);
            m_map = map;
            m_view = std::string_view(static_cast<const char*>(map), m_mapSize);
            return;
        }
        m_mapSize = 0;
    }
    // A pipe, a device or a file system without mapping: read it once, but only as far as the
    // message being read stays within the bound (a device may never end).
    char buffer[1 << 16];
    std::size_t runStart = 0;  // where the message being read starts (its separator line)
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowErrno("cannot read " + path);
        }
        const std::size_t before = m_copy.size();
        m_copy.append(buffer, static_cast<std::size_t>(n));
        if (cli::IsMbox(m_copy)) {
            const std::size_t from = before < kFrom.size() ? 0 : before - kFrom.size();
            const std::size_t hit = std::string_view(m_copy).substr(from).rfind("\nFrom ");
            if (hit != std::string_view::npos) runStart = from + hit + 1;
        }
        if (m_copy.size() - runStart > kMaxMessageSize) {
            m_cut = true;
            break;
        }
    }
    m_view = m_copy;
}

MappedFile::~MappedFile()
{
    if (m_map != nullptr) ::munmap(m_map, m_mapSize);
}

void MappedFile::Release(std::size_t begin, std::size_t end) const
{
    if (m_map == nullptr) return;
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    // Whole pages only, and never the page that holds `end`: it may still be needed.
    begin = begin / page * page;
    end = std::min(end, m_mapSize) / page * page;
    if (end > begin) ::madvise(static_cast<char*>(m_map) + begin, end - begin, MADV_DONTNEED);
}

// ---------------------------------------------------------------------------------------------

bool IsMbox(std::string_view data)
{
    return data.starts_with(kFrom);
}

namespace {
// The first separator line that starts at or after `from`: a line start (start of the text or
// after a line feed) followed by "From ". The size of the text when there is none.
std::size_t NextSeparator(std::string_view data, std::size_t from)
{
    if (from == 0 && data.starts_with(kFrom)) return 0;
    if (from >= data.size()) return data.size();
    static constexpr std::string_view kNeedle = "\nFrom ";
    const std::size_t searchFrom = from == 0 ? 0 : from - 1;
    const void* hit = ::memmem(data.data() + searchFrom, data.size() - searchFrom, kNeedle.data(), kNeedle.size());
    if (hit == nullptr) return data.size();
    return static_cast<std::size_t>(static_cast<const char*>(hit) - data.data()) + 1;
}
}  // namespace

MboxSplitter::MboxSplitter(std::string_view data) : m_data(data)
{
    // Text before the first separator line belongs to no message.
    m_pos = NextSeparator(m_data, 0);
}

bool MboxSplitter::Next(std::string& message, std::size_t limit, bool* tooLarge)
{
    message.clear();
    if (m_pos >= m_data.size()) return false;
    m_separator = m_pos;
    const char* base = m_data.data();
    const void* lf = std::memchr(base + m_pos, '\n', m_data.size() - m_pos);
    const std::size_t start =
        lf == nullptr ? m_data.size() : static_cast<std::size_t>(static_cast<const char*>(lf) - base) + 1;
    const std::size_t next = NextSeparator(m_data, start);

    // The one line end in front of the next separator (or the end of the file) is framing.
    std::size_t end = next;
    if (end > start && base[end - 1] == '\n') {
        --end;
        if (end > start && base[end - 1] == '\r') --end;
    }
    const bool over = next - m_separator > limit;
    if (tooLarge != nullptr) *tooLarge = over;
    if (!over) {
        message.reserve(end - start);
        AppendUnquoted(message, base + start, base + end);
    }
    m_pos = next;
    return true;
}

std::size_t MboxSplitter::Count(const std::function<void(std::size_t)>& reached) const
{
    std::size_t count = 0;
    for (std::size_t pos = NextSeparator(m_data, 0); pos < m_data.size(); pos = NextSeparator(m_data, pos + 1)) {
        ++count;
        if (reached) reached(pos);
    }
    return count;
}

// ---------------------------------------------------------------------------------------------

namespace {
// Mapped memory is given back in steps of some megabytes: a system call per message would cost
// more than it saves.
constexpr std::size_t kReleaseStep = std::size_t{16} << 20;
}  // namespace

MessageFileReader::MessageFileReader(const std::string& path)
    : m_file(path), m_isMbox(cli::IsMbox(m_file.data())), m_splitter(m_isMbox ? m_file.data() : std::string_view())
{
}

bool MessageFileReader::Next(std::string& message)
{
    m_tooLarge = false;
    if (m_isMbox) {
        const bool got = m_splitter.Next(message, kMaxMessageSize, &m_tooLarge);
        // The last message of a cut input lacks its end.
        if (got && m_file.Cut() && m_splitter.Position() >= m_file.data().size()) {
            m_tooLarge = true;
            message.clear();
        }
        // What has been handed out is not read again.
        const std::size_t pos = m_splitter.Position();
        if (pos >= m_released + kReleaseStep || (!got && pos > m_released)) {
            m_file.Release(m_released, pos);
            m_released = pos;
        }
        return got;
    }
    message.clear();
    if (m_done || m_file.data().empty()) return false;
    m_done = true;
    m_tooLarge = m_file.Cut() || m_file.data().size() > kMaxMessageSize;
    if (!m_tooLarge) message.assign(m_file.data());
    return true;
}

std::size_t MessageFileReader::Count() const
{
    if (m_isMbox) {
        // Counting reads every page; they are given back behind it as it goes (Next reads
        // them again).
        std::size_t released = m_released;
        const std::size_t count = m_splitter.Count([&](std::size_t pos) {
            if (pos >= released + kReleaseStep) {
                m_file.Release(released, pos);
                released = pos;
            }
        });
        m_file.Release(released, m_file.data().size());
        return count;
    }
    return m_file.data().empty() ? 0 : 1;
}

// ---------------------------------------------------------------------------------------------

uint32_t NextMessageNumber(const std::string& archiveDir)
{
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(archiveDir.c_str()), &::closedir);
    if (!dir) ThrowErrno("cannot read directory " + archiveDir);
    uint32_t highest = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) ThrowErrno("cannot read directory " + archiveDir);
            break;
        }
        if (!EndsWithMsg(entry->d_name)) continue;
        // The number is the name before the first ".", read by the archive's rule; GetId
        // cuts there only when it sees ".msg" spelled in lower case.
        std::string name = entry->d_name;
        std::transform(name.end() - 4, name.end(), name.end() - 4,
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const uint32_t id = CDlArchive::GetId(name.c_str());
        if (id > highest) highest = id;
    }
    if (highest == UINT32_MAX) throw std::overflow_error("no message number left in " + archiveDir);
    return highest + 1;
}

std::string MessageFileName(uint32_t number)
{
    char name[16];
    std::snprintf(name, sizeof name, "%x.msg", static_cast<unsigned>(number));
    return name;
}

uint32_t WriteMessageFile(const std::string& archiveDir, std::string_view message, uint32_t first, bool durable)
{
    // The temporary name never ends in ".msg", so no directory scan takes it for a message.
    static std::atomic<unsigned> s_counter{0};
    std::string tempPath;
    int rawFd = -1;
    for (;;) {
        tempPath =
            JoinPath(archiveDir, ".import-" + std::to_string(::getpid()) + "-" + std::to_string(s_counter++) + ".tmp");
        rawFd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (rawFd >= 0) break;
        if (errno != EEXIST) ThrowErrno("cannot create " + tempPath);
    }
    // Whatever happens from here on, the temporary name goes away again.
    struct Remove {
        const std::string& path;
        ~Remove() { ::unlink(path.c_str()); }
    } remove{tempPath};

    Fd fd(rawFd);
    const char* p = message.data();
    std::size_t left = message.size();
    while (left > 0) {
        const ssize_t n = ::write(fd.get(), p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowErrno("cannot write " + tempPath);
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (durable && ::fsync(fd.get()) != 0) ThrowErrno("cannot write " + tempPath);
    if (fd.Close() != 0) ThrowErrno("cannot write " + tempPath);

    // link() fails on an existing name instead of replacing it: whoever links first owns it.
    for (uint32_t number = first == 0 ? 1 : first;; ++number) {
        const std::string path = JoinPath(archiveDir, MessageFileName(number));
        if (::link(tempPath.c_str(), path.c_str()) == 0) return number;
        if (errno != EEXIST) ThrowErrno("cannot create " + path);
        if (number == UINT32_MAX) throw std::overflow_error("no message number left in " + archiveDir);
    }
}

}  // namespace cli
