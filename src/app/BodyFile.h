// The body file: a rich-text (RTF) document whose plain-text lines are the message body, or a
// plain-text file (UTF-16 LE/BE or UTF-8 by byte-order mark, else the 8-bit code page).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace larkpost {

// Loads the file's lines. Raises ELpFileError "Cannot open file ..." when it cannot be read.
std::vector<std::string> LoadBodyFile(const std::string& path);

// Saves the lines as a rich-text document, replacing the file atomically. Raises ELpFileError
// "Cannot create file ..." and leaves the old file as it was on failure.
void SaveBodyFile(const std::string& path, const std::vector<std::string>& lines);

// The text of a rich-text document, one entry per paragraph or line break. Skips destinations
// (font and colour tables, pictures, ...), decodes \'hh bytes by the document's code page and
// \uN characters; a truncated document gives what it holds so far.
std::vector<std::string> RtfToLines(std::string_view rtf);
// A rich-text document holding the lines as plain paragraphs; characters outside ASCII are
// written as \uN with a "?" fallback, so any reader gets them back.
std::string LinesToRtf(const std::vector<std::string>& lines);
// True when the bytes start like a rich-text document ("{\rtf").
bool IsRtf(std::string_view bytes);

}  // namespace larkpost
