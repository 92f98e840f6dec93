#pragma once
// Numbered language strings of the web pages.
//
// A language file is a text file of numbered lines ("1 Help", "2 ...") installed with the
// web administration files. Beside it lives a binary index of the byte offsets of every
// string's text (little-endian 32-bit words, the last one the file size), so that one string
// costs a seek and a short read. The index is built on first use and rebuilt whenever the
// language file is newer than it or the index cannot belong to it.
//
// Tables are opened for the length of one operation and closed at its end; nothing is
// cached between operations.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// Selects the subdirectory of "<WebAdminDirectory>/vubo/languages/" that holds the files.
// The enumeration has a fixed underlying type so that any number can be passed; numbers
// outside 1..6 make LanguageTable::Open fail.
enum LanguageModule : int32_t {
    LanguageModuleWmc = 1,         // "wmc"
    LanguageModuleLdap = 2,        // "ldap"
    LanguageModuleDlOwner = 3,     // "dlowner"
    LanguageModuleMailSort = 4,    // "mailsort"
    LanguageModuleUserAuth = 5,    // "userauth"
    LanguageModuleDlArchives = 6,  // "dlarchives": the archive's own strings
};

class LanguageTable {
public:
    static constexpr std::size_t kLanguageKeySize = 128;
    static constexpr std::size_t kCharsetSize = 129;
    static constexpr std::size_t kPathSize = 260;
    // Lines are read in pieces of at most this many characters.
    static constexpr std::size_t kMaxLinePiece = 1023;

    LanguageTable() = default;
    ~LanguageTable();
    LanguageTable(const LanguageTable&) = delete;
    LanguageTable& operator=(const LanguageTable&) = delete;

    // Locates the language file that "Language Selection"/<languageKey> of kelmo.ini names
    // for the module, (re)builds its index when needed and opens it. False on any failure;
    // whatever was taken before the failure is released by Close (or the destructor).
    bool Open(const char* languageKey, LanguageModule module);
    // String <number> (1-based) without its line end. Never null: a number the file lacks,
    // a closed table or any read failure gives "". The text belongs to the table and stays
    // valid until the next GetString or Close.
    const char* GetString(int32_t number);
    // Closes the language file and releases the offsets and the last result.
    void Close();

    // Writes the index of a language file, through a private file renamed over the index. On
    // a wrongly numbered line it stops with false and leaves the entries written so far
    // (without the final end-of-file entry); when writing fails the index stays as it was.
    static bool BuildIndex(const char* languagePath, const char* indexPath);

    bool IsOpened() const { return m_opened; }
    // Number of strings the index holds ((index size / 4) - 1).
    int32_t GetCount() const { return m_count; }
    // The key given to Open (at most 127 characters) and the charset of its selection value.
    const char* GetLanguageKey() const { return m_languageKey; }
    const char* GetCharset() const { return m_charset; }

private:
    // Reads the index into the offsets; false when it cannot have been built from a language
    // file of that size (no whole entries, offsets beyond the file or not rising).
    bool LoadIndex(const char* indexPath, uint64_t languageSize);
    // Builds an index of the language file in the temporary directory, loads it and removes it.
    bool LoadPrivateIndex(const char* languagePath, uint64_t languageSize);

    std::FILE* m_languageFile = nullptr;
    uint64_t m_fileSize = 0;                // of the language file when it was opened
    std::unique_ptr<uint32_t[]> m_offsets;  // count + 1 entries, host byte order
    int32_t m_count = 0;
    std::unique_ptr<char[]> m_result;
    bool m_opened = false;
    char m_languageKey[kLanguageKeySize] = {};
    char m_charset[kCharsetSize] = {};
};

// The rule every user of a table applies to a locale before opening it with module 6: when
// "Language Selection"/<locale> (up to 255 characters) holds two different commas, the
// language key is the locale and the charset the text between the first and the last
// comma; otherwise the key is "en-us" and the charset "iso-8859-1". A null locale counts
// as "".
void ResolveLanguageSelection(const char* locale, std::string& languageKey, std::string& charset);
// The same into caller buffers: both results are cut to fit and always terminated (when
// their size is not 0; a null buffer is left alone). True when both fitted whole.
bool ResolveLanguageSelection(const char* locale, char* languageKey, std::size_t languageKeySize, char* charset,
                              std::size_t charsetSize);
