// The remote access file: member addresses with the hash keys of their passwords.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>

#include "dlarchive/archive.h"
#include "platform/hash_key.h"

namespace {

bool IsSeparator(char c)
{
    return c == ',' || c == ' ' || c == '\t';
}

// Next token of the entry, terminated in place (as strtok would leave it).
char* NextToken(char*& cursor)
{
    while (*cursor != '\0' && IsSeparator(*cursor)) ++cursor;
    if (*cursor == '\0') return nullptr;
    char* token = cursor;
    while (*cursor != '\0' && !IsSeparator(*cursor)) ++cursor;
    if (*cursor != '\0') *cursor++ = '\0';
    return token;
}

constexpr std::size_t kMaxPassword = 259;

// The failures of UpdateRemoteFile, with their codes and texts. An address holding ";" or a
// control character, or an empty password, would not make exactly one line of the file.
struct RemoteFailure {
    int32_t code;
    const char* text;
};
constexpr RemoteFailure kCannotOpen{19, "Out of memory"};
constexpr RemoteFailure kNoAddress{22, "Member's email not found."};
constexpr RemoteFailure kInvalidAddress{22, "Member's email is invalid."};
constexpr RemoteFailure kNoPassword{23, "Password not found."};
constexpr RemoteFailure kEmptyPassword{23, "Password is empty."};

bool IsValidAddress(const char* address)
{
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(address); *p != '\0'; ++p)
        if (*p == ';' || *p < 0x20 || *p == 0x7F) return false;
    return true;
}

}  // namespace

bool CDlArchive::UpdateRemoteFile(char* entry)
{
    int fd = -1;
    if (m_szArchivePath[0] != '\0') {
        const std::string path = std::string(m_szArchivePath) + "remote.txt";
        // Never through a link, never blocked by a FIFO: only a regular file takes the line.
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        struct stat st {};
        if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0) ThrowError(kCannotOpen.code, kCannotOpen.text);

    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    char* cursor = entry != nullptr ? entry : const_cast<char*>("");
    const char* address = NextToken(cursor);
    if (address == nullptr) ThrowError(kNoAddress.code, kNoAddress.text);
    char* token = NextToken(cursor);
    // The token carries the entry's two-character line end; without room for it, or with a
    // password that would not fit the system's buffers, there is no password.
    const std::size_t tokenLength = token != nullptr ? std::strlen(token) : 0;
    if (token == nullptr || tokenLength < 2 || tokenLength - 2 > kMaxPassword)
        ThrowError(kNoPassword.code, kNoPassword.text);
    if (!IsValidAddress(address)) ThrowError(kInvalidAddress.code, kInvalidAddress.text);
    if (tokenLength == 2) ThrowError(kEmptyPassword.code, kEmptyPassword.text);
    token[tokenLength - 2] = '\0';

    CHashKey key;
    if (!key.Hash(token)) ThrowError(kCannotOpen.code, kCannotOpen.text);
    const std::string line = std::string(address) + ";" + key.GetKey() + "\r\n";
    // One write with O_APPEND: concurrent appenders interleave whole lines only.
    ssize_t written;
    do {
        written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(line.size())) ThrowError(kCannotOpen.code, kCannotOpen.text);
    return true;
}
