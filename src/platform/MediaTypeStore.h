// The system's media-type associations (mime.types files), standing in for a file-association
// store.
#pragma once

#include <string>
#include <vector>

namespace larkpost {

struct TLpMediaTypePair {
    std::string Extension;
    std::string MediaType;
};

// Two passes of associations, as a media-type table consumes them:
// - per extension: the user's own file (~/.mime.types), each extension with its full stop;
// - per media type: the system file (/etc/mime.types), each extension as the file writes it.
// A file that is missing or unreadable yields nothing; values are returned as written (the
// table lower-cases them).
class TLpMediaTypeStore {
public:
    // The system's files; the user's file is found through HOME.
    TLpMediaTypeStore();
    // Explicit files (tests); an empty path stands for no file.
    TLpMediaTypeStore(std::string perTypePath, std::string perExtensionPath);

    std::vector<TLpMediaTypePair> PerExtensionTypes() const;
    std::vector<TLpMediaTypePair> PerTypeExtensions() const;

    const std::string& PerTypePath() const { return m_perTypePath; }
    const std::string& PerExtensionPath() const { return m_perExtensionPath; }

private:
    std::string m_perTypePath;
    std::string m_perExtensionPath;
};

// Parses mime.types text: one type per line followed by its extensions, blanks between, "#"
// starting a comment. Pairs come in file order, one per extension.
std::vector<TLpMediaTypePair> ParseMimeTypesText(const std::string& text);

}  // namespace larkpost
