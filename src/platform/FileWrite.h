// Writing the program's own files (settings, activity log, body file) so that a crash or a full
// disk leaves either the old content or the new, a link keeps pointing where it pointed, and a
// writable file in a folder the user may not write to can still be written; and the lock that
// keeps two runs from writing one file at the same time.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace larkpost {

// Mode for a file that only its owner may read (a settings file holding a password).
inline constexpr mode_t kPrivateFileMode = 0600;
// Mode for any other new file; the umask applies to both.
inline constexpr mode_t kSharedFileMode = 0666;

// The file a write to `path` lands on: a symbolic link, and a chain of them, is followed to the
// file it names, also when that file does not exist yet.
std::string ResolveFinalPath(const std::string& path);

// Replaces the content of `path` (followed through links) by `bytes`. First choice is a
// temporary file beside the target, flushed and renamed over it, keeping the old file's mode
// and (where allowed) its owner. When no temporary file can be made there (the folder is
// read-only) or the target cannot be renamed over (a file mounted on its own), an existing file
// is rewritten in place, with its space reserved first so that a full disk fails before the old
// content is touched. A new file gets `newFileMode` less the umask. An existing file that the
// user may not write, or that is not a regular file, is refused. Returns 0, or the error number.
int WriteFileContent(const std::string& path, std::string_view bytes,
                     mode_t newFileMode = kSharedFileMode);

// WriteFileContent raising ELpFileError "Cannot create file "<path>". <system text>" on failure.
void ReplaceFileAtomically(const std::string& path, std::string_view bytes,
                           mode_t newFileMode = kSharedFileMode);

// Takes an exclusive advisory lock on the open file. waitMs 0 tries once, a positive value waits
// up to that many milliseconds, a negative one as long as it takes. False when the lock was not
// had in time (errno EWOULDBLOCK) or could not be taken at all.
bool LockFileExclusive(int fd, int waitMs);

}  // namespace larkpost
