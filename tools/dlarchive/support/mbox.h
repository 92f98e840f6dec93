#pragma once
// Reading messages out of an mbox file (or a file holding one message) and writing them into
// an archive directory as message files.
//
// mbox framing, as read here: a line that begins with exactly "From " at the start of the
// file or right after a line feed starts a message and is not part of it. The line end just
// before such a line (LF or CRLF) was added by the mbox writer and is removed; every other
// byte stays as it was, CR bytes included. Lines matching ^>+From  lose one ">". That is the
// mboxrd rule; an mboxo file is read the same way, because nothing in a file says which of the
// two wrote it and one rule keeps the split reproducible. For mboxo the only difference is
// that a body line that already began with ">From " before quoting comes back with one ">"
// less — mboxo itself cannot tell that line from a quoted one.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace cli {

// The largest message an import takes, in bytes of its input (for an mbox, from the start of
// its "From " line to the next one). A larger one is refused whole: no part of it is written.
constexpr std::size_t kMaxMessageSize = std::size_t{64} << 20;

// A file mapped read-only into memory (or, for something that cannot be mapped such as a
// pipe or a device, read into memory once). Throws std::system_error when it cannot be opened
// or read. Reading such a stream stops once its last message grows past kMaxMessageSize, so
// an endless input (/dev/zero) ends: Cut() then tells that the input was not read to its end.
class MappedFile {
public:
    explicit MappedFile(const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    std::string_view data() const { return m_view; }
    // Gives back the memory of the mapped pages between the pages of `begin` and `end` (they
    // are read again from the file if touched later), so that reading a large file front to
    // back keeps only a window of it resident. Nothing for an input read into memory.
    void Release(std::size_t begin, std::size_t end) const;
    bool Cut() const { return m_cut; }

private:
    void* m_map = nullptr;
    std::size_t m_mapSize = 0;
    std::string m_copy;  // only for inputs that cannot be mapped
    std::string_view m_view;
    bool m_cut = false;
};

// True when the text is an mbox: its first line starts with "From ".
bool IsMbox(std::string_view data);

// Splits mbox text into messages, one at a time; the text must outlive the splitter.
class MboxSplitter {
public:
    explicit MboxSplitter(std::string_view data);

    // The next message, unquoted, into `message` (replacing its contents). False when there is
    // none left. Two separator lines in a row give an empty message; it is returned as such.
    // A message that takes more than `limit` bytes of the text from its separator line on is
    // passed over without being copied: `message` stays empty and `*tooLarge` is set.
    bool Next(std::string& message, std::size_t limit = SIZE_MAX, bool* tooLarge = nullptr);
    // Where the separator line of the message that Next returned last starts.
    std::size_t SeparatorOffset() const { return m_separator; }
    // Where the next separator line starts: everything before it has been handed out.
    std::size_t Position() const { return m_pos; }
    // The number of messages in the whole text (counts separator lines; cheap). `reached`,
    // when given, is told the offset of each separator line found.
    std::size_t Count(const std::function<void(std::size_t)>& reached = {}) const;

private:
    std::string_view m_data;
    std::size_t m_pos = 0;  // start of the next separator line, or m_data.size()
    std::size_t m_separator = 0;
};

// The messages of one input file: an mbox is split, any other file is one message taken whole,
// byte for byte. An empty file holds no message.
class MessageFileReader {
public:
    explicit MessageFileReader(const std::string& path);

    bool IsMbox() const { return m_isMbox; }
    // The next message. One larger than kMaxMessageSize (or cut short by the end of a stream
    // input that was cut) is not copied: `message` is left empty and TooLarge() is true.
    bool Next(std::string& message);
    bool TooLarge() const { return m_tooLarge; }
    std::size_t Count() const;

private:
    MappedFile m_file;
    bool m_isMbox;
    MboxSplitter m_splitter;
    std::size_t m_released = 0;  // mapped memory before this offset has been given back
    bool m_done = false;         // single message handed out
    bool m_tooLarge = false;     // the last message handed out was refused for its size
};

// The number for the next message of an archive directory: one above the highest number that
// the directory's "*.msg" files carry (names ending in ".msg" in any case); 1 for a directory
// without message files. A file's number is its name before the first "." read as hexadecimal
// by the archive's own rule (CDlArchive::GetId): characters other than 1-9 and a-f count as 0,
// so "FF.MSG" is 0.
// Throws std::system_error when the directory cannot be read and std::overflow_error when the
// highest number leaves no room above it.
uint32_t NextMessageNumber(const std::string& archiveDir);

// The file name of a message number: lower-case hexadecimal and ".msg".
std::string MessageFileName(uint32_t number);

// Writes `message` as a new message file of the archive directory and returns its number. The
// text goes to a temporary file first, which is then linked to "<hex>.msg": a reader never sees
// a partial file, and an existing file is never replaced. A number that is taken (also by
// another process at the same moment) is passed over for the next one, starting at `first`
// (0 counts as 1). With `durable` the data is flushed to disk before the name appears.
// Throws std::system_error on a failing system call, std::overflow_error when no number is
// left.
uint32_t WriteMessageFile(const std::string& archiveDir, std::string_view message, uint32_t first, bool durable = true);

}  // namespace cli
