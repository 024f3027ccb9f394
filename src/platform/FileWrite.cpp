#include "platform/FileWrite.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/Paths.h"
#include "platform/SystemError.h"

namespace larkpost {

namespace {

// As many links in a row as the kernel itself follows before it calls it a loop.
constexpr int kMaxLinkHops = 40;

std::atomic<unsigned> g_tempCounter{0};

int WriteAll(int fd, std::string_view bytes, bool positioned) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = positioned
                              ? ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                         static_cast<off_t>(done))
                              : ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// The second choice: the file keeps its inode, so nothing needs creating in its folder. The space
// is reserved before the first byte changes, so a full disk leaves the old content whole; an
// error after that (an I/O error mid-way) can leave the file part old, part new. When the file
// cannot even be opened for writing, the error that stopped the first choice is the one to tell.
int WriteInPlace(const std::string& target, std::string_view bytes, int firstChoiceError) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return firstChoiceError;
    int error = 0;
    if (!bytes.empty() &&
        ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes.size())) != 0 &&
        errno != EOPNOTSUPP && errno != ENOSYS)
        error = errno;
    if (error == 0) error = WriteAll(fd, bytes, true);
    if (error == 0 && ::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0) error = errno;
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    return error;
}

}  // namespace

std::string ResolveFinalPath(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        struct stat st {};
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        std::string target(static_cast<size_t>(std::max<off_t>(st.st_size, 0)) + 256, '\0');
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<size_t>(n) >= target.size()) return current;
        target.resize(static_cast<size_t>(n));
        current = target.front() == '/' ? target : ExtractFilePath(current) + target;
    }
    return current;
}

int WriteFileContent(const std::string& path, std::string_view bytes, mode_t newFileMode) {
    if (path.empty()) return ENOENT;
    const std::string target = ResolveFinalPath(path);
    struct stat st {};
    bool existed = false;
    if (::lstat(target.c_str(), &st) == 0) {
        if (S_ISLNK(st.st_mode)) return ELOOP;
        if (S_ISDIR(st.st_mode)) return EISDIR;
        if (!S_ISREG(st.st_mode)) return EINVAL;
        // A file made read-only is not to be changed, even where its folder would allow it.
        if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return errno;
        existed = true;
    } else if (errno != ENOENT) {
        return errno;
    }

    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);

    std::string temp;
    int fd = -1;
    int error = EEXIST;
    for (int attempt = 0; attempt < 100 && fd < 0 && error == EEXIST; ++attempt) {
        temp = dir + "/." + base + "." + std::to_string(::getpid()) + "." +
               std::to_string(g_tempCounter++) + ".tmp";
        // An existing file's mode is set below; until then nobody else may read the new text.
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                    existed ? kPrivateFileMode : newFileMode);
        if (fd < 0) error = errno;
    }
    if (fd < 0) return existed ? WriteInPlace(target, bytes, error) : error;

    error = WriteAll(fd, bytes, false);
    if (error == 0 && existed) {
        // Keeping the owner is a courtesy only root can extend; a refusal changes nothing else.
        if (::fchown(fd, st.st_uid, st.st_gid) != 0) errno = 0;
        if (::fchmod(fd, st.st_mode & 07777) != 0) error = errno;
    }
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) {
        error = errno;
        // A file mounted on its own cannot be renamed over, but can be written.
        if (existed && (error == EBUSY || error == EXDEV)) {
            ::unlink(temp.c_str());
            return WriteInPlace(target, bytes, error);
        }
    }
    if (error != 0) {
        ::unlink(temp.c_str());
        return error;
    }
    // Make the rename itself durable; a failure here no longer affects which file is seen.
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return 0;
}

void ReplaceFileAtomically(const std::string& path, std::string_view bytes, mode_t newFileMode) {
    const int error = WriteFileContent(path, bytes, newFileMode);
    if (error != 0) RaiseFileCreateError(path, error);
}

bool LockFileExclusive(int fd, int waitMs) {
    if (waitMs < 0) {
        while (::flock(fd, LOCK_EX) != 0)
            if (errno != EINTR) return false;
        return true;
    }
    // Polled rather than blocking, so the wait can end on time without signals.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    std::chrono::milliseconds pause(2);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return false;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) {
            errno = EWOULDBLOCK;
            return false;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

}  // namespace larkpost
