// Paths: the executable's directory and the small path helpers the shell needs ("/" separates).
#pragma once

#include <string>

namespace larkpost {

// Directory of /proc/self/exe with one trailing "/".
std::string ExeDir();
// Everything up to and including the last "/"; empty when there is none.
std::string ExtractFilePath(const std::string& path);
// Everything after the last "/".
std::string ExtractFileName(const std::string& path);
// True when the path names a directory part (holds a "/").
bool HasDirectoryPart(const std::string& path);
// True for an existing file that is not a directory.
bool FileExists(const std::string& path);

}  // namespace larkpost
