// Media types for attachment file names: a built-in extension table overridden by the system's
// mime.types associations (RFC 2046 types).
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "platform/MediaTypeStore.h"

namespace larkpost {

// Extension-to-type table. Extensions carry their leading full stop; both lists are lower case and
// parallel; the first pair for an extension wins.
class TLpMimeTable {
public:
    // usePlatformTypes: whether the store's associations override the built-in lines.
    explicit TLpMimeTable(bool usePlatformTypes = true);
    TLpMimeTable(bool usePlatformTypes, TLpMediaTypeStore store);

    bool UsePlatformTypes() const { return m_usePlatformTypes; }
    void SetUsePlatformTypes(bool value) { m_usePlatformTypes = value; }

    // Adds one pair. With raiseOnError an empty or repeated pair raises ELpException
    // ("Extension is empty", "Mimetype is empty", "Extension already exits"); without, it is
    // ignored.
    void AddMediaType(const std::string& ext, const std::string& type, bool raiseOnError = true);

    // The type for a file name's extension, or "application/octet-stream"; builds the table on
    // first use.
    std::string MediaTypeOf(const std::string& fileName);

    // The type for a file name in the table as it stands (no build).
    std::string Lookup(const std::string& fileName) const;

    // Fills the lists from the built-in lines and the store, when they are still empty.
    void BuildCache();

    const std::vector<std::string>& Extensions() const { return m_extensions; }
    const std::vector<std::string>& MediaTypes() const { return m_mediaTypes; }

private:
    bool m_usePlatformTypes;
    TLpMediaTypeStore m_store;
    std::vector<std::string> m_extensions;
    std::vector<std::string> m_mediaTypes;
    std::unordered_map<std::string, size_t> m_index;
};

// The built-in lines "ext=type", in their fixed order (duplicates included).
const std::vector<std::string>& BuiltInMediaTypeLines();

// Fills an empty list with the built-in lines and, with usePlatformTypes, the store's
// associations: the per-extension pass first, then the per-type pass, each replacing the value of
// the first line of that extension or appending a line. A list with lines is left unchanged.
void FillTypeTable(std::vector<std::string>& lines, bool usePlatformTypes,
                   const TLpMediaTypeStore& store = TLpMediaTypeStore());

// The extension of a file name: from the last full stop when it follows the last "/", else empty.
std::string FileNameExtension(const std::string& fileName);

// The media type of a file name, from the built-in lines and the system's associations. Building
// that table reads and parses /etc/mime.types, which costs milliseconds, so the table is built
// once per process and rebuilt only when either mime.types file changes (size or time stamp).
std::string MediaTypeForFile(const std::string& fileName);

}  // namespace larkpost
