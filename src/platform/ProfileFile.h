// Our INI file layer: read, write and delete one key at a time, nothing cached between calls,
// every write a replacement of the whole file (see WriteFileContent: temporary file + rename in
// its folder, in place when the folder is read-only, through a link to the file it names).
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/Exception.h"

namespace larkpost {

// A key could not be written: the file, its folder or the disk refused. The file on disk is
// then the one from before the write.
class ELpIniFileException : public ELpException {
public:
    using ELpException::ELpException;
    const char* ClassName() const noexcept override { return "ELpIniFileException"; }
};

// Section and key names are matched ignoring case. Values are read with surrounding blanks and
// one pair of enclosing quotes removed, cut at 2047 characters; a value that would lose
// something that way is written inside double quotes, so it reads back as it was written.
// Reading never fails: a missing or unreadable file gives the default. A file that is not valid
// UTF-8 is read as Windows-1252 (UTF-16 with a byte-order mark is understood too); every write
// stores UTF-8 and keeps all other lines, comments included.
class TLpProfileFile {
public:
    static constexpr size_t kMaxValueLength = 2047;

    // A file the first write creates gets newFileMode, less the umask; an existing file keeps
    // its mode.
    explicit TLpProfileFile(std::string fileName, mode_t newFileMode = 0666)
        : m_fileName(std::move(fileName)), m_newFileMode(newFileMode) {}

    const std::string& FileName() const noexcept { return m_fileName; }

    bool ValueExists(std::string_view section, std::string_view key) const;
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view defaultValue) const;
    // More than two characters starting "0x" or "0X" is hexadecimal, anything else decimal;
    // a value that is not a 32-bit integer gives the default.
    int ReadInteger(std::string_view section, std::string_view key, int defaultValue) const;
    bool ReadBool(std::string_view section, std::string_view key, bool defaultValue) const;
    // The value as UTF-16 code units the way it is stored: in an 8-bit file each byte is the
    // unit of the same number, whatever the file's encoding. For values whose stored bytes
    // matter more than their characters (the complemented legacy password).
    std::u16string ReadStoredUnits(std::string_view section, std::string_view key) const;

    // Each raises ELpIniFileException "Unable to write to <file name>" when the file cannot be
    // replaced. A CR or LF in a value is stored as a space: it would otherwise start a new line.
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int value);
    void WriteBool(std::string_view section, std::string_view key, bool value);
    void DeleteKey(std::string_view section, std::string_view key);
    // Writes key := value and removes removedKey in one replacement of the file, so a failure
    // leaves both as they were (a key moving to a new name is never lost or doubled).
    void WriteStringRemovingKey(std::string_view section, std::string_view key,
                                std::string_view value, std::string_view removedKey);

private:
    std::string m_fileName;
    mode_t m_newFileMode;
};

// Parses a profile integer by the rule of ReadInteger; false when the text is no such number.
bool ParseProfileInteger(std::string_view text, int& value);

}  // namespace larkpost
