#include "platform/ProfileFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/CodePage.h"
#include "platform/FileWrite.h"

namespace larkpost {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// The file as found on disk, and its text as UTF-8.
struct Loaded {
    bool exists = false;
    std::string raw;
    std::string text;
    bool utf8Bom = false;
    bool utf16 = false;
};

enum class LoadResult { Ok, Missing, Failed };

std::string DecodeUtf16(std::string_view bytes, bool bigEndian) {
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto a = static_cast<uint8_t>(bytes[i]), b = static_cast<uint8_t>(bytes[i + 1]);
        units += static_cast<char16_t>(bigEndian ? (a << 8 | b) : (b << 8 | a));
    }
    return Utf16ToUtf8(units);
}

LoadResult Load(const std::string& path, Loaded& out) {
    struct stat st;
    if (path.empty() || ::stat(path.c_str(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR || path.empty() ? LoadResult::Missing
                                                                   : LoadResult::Failed;
    if (!S_ISREG(st.st_mode)) return LoadResult::Failed;
    std::ifstream in(path, std::ios::binary);
    if (!in) return LoadResult::Failed;
    out.raw.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return LoadResult::Failed;
    out.exists = true;
    const std::string_view raw = out.raw;
    if (raw.substr(0, 3) == kUtf8Bom) {
        out.utf8Bom = true;
        out.text = BytesToText(raw.substr(3));
    } else if (raw.substr(0, 2) == "\xFF\xFE" || raw.substr(0, 2) == "\xFE\xFF") {
        out.utf16 = true;
        out.text = DecodeUtf16(raw.substr(2), raw[0] == '\xFE');
    } else {
        out.text = BytesToText(raw);
    }
    return LoadResult::Ok;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
        if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
        if (x != y) return false;
    }
    return true;
}

struct Line {
    size_t begin;  // first character
    size_t end;    // one past the last character before the line break
    size_t next;   // start of the following line
};

std::vector<Line> SplitLines(std::string_view s) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t end = s.find_first_of("\r\n", pos);
        if (end == std::string_view::npos) {
            lines.push_back({pos, s.size(), s.size()});
            break;
        }
        size_t next = end + 1;
        if (s[end] == '\r' && next < s.size() && s[next] == '\n') ++next;
        lines.push_back({pos, end, next});
        pos = next;
    }
    return lines;
}

bool SectionName(std::string_view content, std::string_view& name) {
    content = TrimBlanks(content);
    if (content.empty() || content.front() != '[') return false;
    content.remove_prefix(1);
    const size_t close = content.find(']');
    name = TrimBlanks(content.substr(0, close));
    return true;
}

bool KeyAndValue(std::string_view content, std::string_view& key, std::string_view& value) {
    content = TrimBlanks(content);
    if (content.empty() || content.front() == ';' || content.front() == '#' ||
        content.front() == '[')
        return false;
    const size_t eq = content.find('=');
    if (eq == std::string_view::npos) return false;
    key = TrimBlanks(content.substr(0, eq));
    value = TrimBlanks(content.substr(eq + 1));
    return true;
}

// Where a key sits in a text: the first section of that name, and in it the key lines.
struct Location {
    bool sectionFound = false;
    size_t insertAt = 0;  // just after the section's last key line (or its header)
    std::vector<size_t> keyLines;
    std::string_view firstValue;
};

Location Locate(std::string_view text, const std::vector<Line>& lines, std::string_view section,
                std::string_view key) {
    Location loc;
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string_view content = text.substr(lines[i].begin, lines[i].end - lines[i].begin);
        std::string_view name, k, v;
        if (SectionName(content, name)) {
            if (inSection) break;
            if (!loc.sectionFound && EqualsIgnoringCase(name, section)) {
                inSection = loc.sectionFound = true;
                loc.insertAt = i + 1;
            }
            continue;
        }
        if (!inSection || !KeyAndValue(content, k, v)) continue;
        loc.insertAt = i + 1;
        if (!EqualsIgnoringCase(k, key)) continue;
        if (loc.keyLines.empty()) loc.firstValue = v;
        loc.keyLines.push_back(i);
    }
    return loc;
}

std::string_view Unquote(std::string_view v) {
    if (v.size() >= 2 && v.front() == v.back() && (v.front() == '"' || v.front() == '\''))
        return v.substr(1, v.size() - 2);
    return v;
}

// Cuts UTF-8 text after maxChars code points.
std::string_view CutCharacters(std::string_view s, size_t maxChars) {
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<uint8_t>(s[i]) & 0xC0) == 0x80) continue;
        if (chars++ == maxChars) return s.substr(0, i);
    }
    return s;
}

std::string StoredForm(std::string_view value) {
    std::string v(value);
    for (char& c : v)
        if (c == '\r' || c == '\n') c = ' ';
    const bool quote = !v.empty() && (IsBlank(v.front()) || IsBlank(v.back()) ||
                                      Unquote(v).size() != v.size());
    return quote ? '"' + v + '"' : v;
}

std::string LineBreakOf(std::string_view text) {
    const size_t pos = text.find_first_of("\r\n");
    if (pos == std::string_view::npos) return "\n";
    if (text[pos] == '\n') return "\n";
    return pos + 1 < text.size() && text[pos + 1] == '\n' ? "\r\n" : "\r";
}

[[noreturn]] void Fail(const std::string& path) {
    throw ELpIniFileException("Unable to write to " + path);
}

// Reads the file for a change; a file that exists but cannot be read cannot be rewritten
// without losing it, so that is a write failure too.
Loaded LoadForChange(const std::string& path) {
    Loaded loaded;
    if (Load(path, loaded) == LoadResult::Failed) Fail(path);
    return loaded;
}

void Store(const std::string& path, const Loaded& old, const std::string& text, mode_t newFileMode) {
    std::string bytes = old.utf8Bom ? std::string(kUtf8Bom) + text : text;
    if (old.exists && bytes == old.raw) return;
    if (WriteFileContent(path, bytes, newFileMode) != 0) Fail(path);
}

}  // namespace

bool ParseProfileInteger(std::string_view text, int& value) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        const std::string_view digits = text.substr(2);
        if (digits.size() > 8) return false;
        uint32_t v = 0;
        for (char c : digits) {
            int d;
            if (c >= '0' && c <= '9') d = c - '0';
            else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
            else return false;
            v = v << 4 | static_cast<uint32_t>(d);
        }
        value = static_cast<int>(v);
        return true;
    }
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    if (i == text.size()) return false;
    int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
        if (v > int64_t(INT_MAX) + 1) return false;
    }
    if (negative) v = -v;
    if (v > INT_MAX || v < INT_MIN) return false;
    value = static_cast<int>(v);
    return true;
}

bool TLpProfileFile::ValueExists(std::string_view section, std::string_view key) const {
    Loaded loaded;
    if (Load(m_fileName, loaded) != LoadResult::Ok) return false;
    return !Locate(loaded.text, SplitLines(loaded.text), section, key).keyLines.empty();
}

std::string TLpProfileFile::ReadString(std::string_view section, std::string_view key,
                                       std::string_view defaultValue) const {
    Loaded loaded;
    if (Load(m_fileName, loaded) != LoadResult::Ok) return std::string(defaultValue);
    const Location loc = Locate(loaded.text, SplitLines(loaded.text), section, key);
    if (loc.keyLines.empty()) return std::string(defaultValue);
    return std::string(CutCharacters(Unquote(loc.firstValue), kMaxValueLength));
}

int TLpProfileFile::ReadInteger(std::string_view section, std::string_view key,
                                int defaultValue) const {
    const std::string text = ReadString(section, key, "");
    int value;
    return ParseProfileInteger(text, value) ? value : defaultValue;
}

bool TLpProfileFile::ReadBool(std::string_view section, std::string_view key,
                              bool defaultValue) const {
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

std::u16string TLpProfileFile::ReadStoredUnits(std::string_view section,
                                               std::string_view key) const {
    Loaded loaded;
    if (Load(m_fileName, loaded) != LoadResult::Ok) return {};
    if (loaded.utf16) {
        const Location loc = Locate(loaded.text, SplitLines(loaded.text), section, key);
        if (loc.keyLines.empty()) return {};
        return Utf8ToUtf16(Unquote(loc.firstValue)).substr(0, kMaxValueLength);
    }
    // Structure characters are ASCII, so the raw bytes parse the same way as the decoded text.
    const std::string_view raw = std::string_view(loaded.raw).substr(loaded.utf8Bom ? 3 : 0);
    const Location loc = Locate(raw, SplitLines(raw), section, key);
    if (loc.keyLines.empty()) return {};
    const std::string_view value = Unquote(loc.firstValue).substr(0, kMaxValueLength);
    std::u16string units;
    for (char c : value) units += static_cast<char16_t>(static_cast<uint8_t>(c));
    return units;
}

namespace {

std::string WithValue(const std::string& text, std::string_view section, std::string_view key,
                      std::string_view value) {
    const std::vector<Line> lines = SplitLines(text);
    const Location loc = Locate(text, lines, section, key);
    const std::string lineBreak = LineBreakOf(text);
    const std::string stored = StoredForm(value);

    std::string out;
    out.reserve(text.size() + key.size() + stored.size() + section.size() + 8);
    if (!loc.keyLines.empty()) {
        const Line& line = lines[loc.keyLines.front()];
        const std::string_view content = std::string_view(text).substr(line.begin, line.end - line.begin);
        std::string_view k, v;
        KeyAndValue(content, k, v);
        out.append(text, 0, line.begin);
        out.append(k).append("=").append(stored);
        out.append(text, line.end, std::string::npos);
    } else if (loc.sectionFound) {
        const size_t at = loc.insertAt < lines.size() ? lines[loc.insertAt].begin : text.size();
        out.append(text, 0, at);
        if (!out.empty() && out.back() != '\n' && out.back() != '\r') out += lineBreak;
        out.append(key).append("=").append(stored).append(lineBreak);
        out.append(text, at, std::string::npos);
    } else {
        out = text;
        if (!out.empty() && out.back() != '\n' && out.back() != '\r') out += lineBreak;
        out.append("[").append(section).append("]").append(lineBreak);
        out.append(key).append("=").append(stored).append(lineBreak);
    }
    return out;
}

std::string WithoutKey(const std::string& text, std::string_view section, std::string_view key) {
    const std::vector<Line> lines = SplitLines(text);
    const Location loc = Locate(text, lines, section, key);
    std::string out;
    size_t from = 0;
    for (size_t i : loc.keyLines) {
        out.append(text, from, lines[i].begin - from);
        from = lines[i].next;
    }
    out.append(text, from, std::string::npos);
    return out;
}

}  // namespace

void TLpProfileFile::WriteString(std::string_view section, std::string_view key,
                                 std::string_view value) {
    const Loaded old = LoadForChange(m_fileName);
    Store(m_fileName, old, WithValue(old.text, section, key, value), m_newFileMode);
}

void TLpProfileFile::WriteStringRemovingKey(std::string_view section, std::string_view key,
                                            std::string_view value, std::string_view removedKey) {
    const Loaded old = LoadForChange(m_fileName);
    Store(m_fileName, old, WithoutKey(WithValue(old.text, section, key, value), section, removedKey),
          m_newFileMode);
}

void TLpProfileFile::WriteInteger(std::string_view section, std::string_view key, int value) {
    WriteString(section, key, std::to_string(value));
}

void TLpProfileFile::WriteBool(std::string_view section, std::string_view key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

void TLpProfileFile::DeleteKey(std::string_view section, std::string_view key) {
    const Loaded old = LoadForChange(m_fileName);
    if (!old.exists) return;
    Store(m_fileName, old, WithoutKey(old.text, section, key), m_newFileMode);
}

}  // namespace larkpost
