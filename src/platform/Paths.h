// Paths: the executable's directory, the small path helpers the shell needs ("/" separates), and
// replacing a file so that a crash or a full disk leaves either the old or the new one.
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

// Writes `bytes` to a temporary file in the same folder, flushes it to disk and renames it over
// `path`, keeping the old file's permissions. Raises ELpFileError "Cannot create file ..." and
// leaves the old file untouched on failure.
void ReplaceFileAtomically(const std::string& path, const std::string& bytes);

}  // namespace larkpost
