#include "platform/MediaTypeStore.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

namespace larkpost {
namespace {

std::vector<TLpMediaTypePair> ReadMimeTypesFile(const std::string& path) {
    if (path.empty()) return {};
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return ParseMimeTypesText(text);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::vector<TLpMediaTypePair> ParseMimeTypesText(const std::string& text) {
    std::vector<TLpMediaTypePair> pairs;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        size_t lineEnd = text.find('#', pos);
        if (lineEnd == std::string::npos || lineEnd > end) lineEnd = end;
        std::string type;
        size_t p = pos;
        while (p < lineEnd) {
            while (p < lineEnd && IsBlank(text[p])) ++p;
            const size_t wordStart = p;
            while (p < lineEnd && !IsBlank(text[p])) ++p;
            if (p == wordStart) break;
            std::string word = text.substr(wordStart, p - wordStart);
            if (type.empty())
                type = std::move(word);
            else
                pairs.push_back({std::move(word), type});
        }
        pos = end + 1;
    }
    return pairs;
}

TLpMediaTypeStore::TLpMediaTypeStore() : m_perTypePath("/etc/mime.types") {
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') m_perExtensionPath = std::string(home) + "/.mime.types";
}

TLpMediaTypeStore::TLpMediaTypeStore(std::string perTypePath, std::string perExtensionPath)
    : m_perTypePath(std::move(perTypePath)), m_perExtensionPath(std::move(perExtensionPath)) {}

std::vector<TLpMediaTypePair> TLpMediaTypeStore::PerExtensionTypes() const {
    // Keys of a per-extension store carry their full stop; the user's file does not write it.
    std::vector<TLpMediaTypePair> pairs = ReadMimeTypesFile(m_perExtensionPath);
    for (TLpMediaTypePair& pair : pairs)
        if (pair.Extension.empty() || pair.Extension.front() != '.')
            pair.Extension.insert(0, 1, '.');
    return pairs;
}

std::vector<TLpMediaTypePair> TLpMediaTypeStore::PerTypeExtensions() const {
    return ReadMimeTypesFile(m_perTypePath);
}

}  // namespace larkpost
