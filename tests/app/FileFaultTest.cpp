// The settings file, the activity log and the connection log on file systems that refuse: a real
// read-only mount, a real full disk (a tiny tmpfs), a folder where the file should be, and a file
// the user may write but not read. The old file must stay as it was and the user get the error.
// And where the folder refuses but the file does not (a read-only mount with files mounted
// writable in it, a file mounted on its own, a link), the file is written all the same.
// The mounts need root (and a kernel that lets us mount); without them the cases skip.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "app/ActivityLog.h"
#include "app/BodyFile.h"
#include "net/LogFile.h"
#include "platform/ProfileFile.h"
#include "platform/SystemError.h"

namespace larkpost {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A 64 KiB tmpfs of this test's own, mounted on a folder inside the test's temporary folder.
class TinyDisk {
public:
    TinyDisk() : m_mountPoint(m_dir.File("disk")) {
        fs::create_directory(m_mountPoint);
        m_mounted = ::mount("tmpfs", m_mountPoint.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                            "size=64k,mode=0777") == 0;
        if (!m_mounted) m_why = std::strerror(errno);
    }
    ~TinyDisk() {
        for (auto it = m_binds.rbegin(); it != m_binds.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
        if (m_mounted) ::umount2(m_mountPoint.c_str(), MNT_DETACH);
    }
    bool Mounted() const { return m_mounted; }
    const std::string& Why() const { return m_why; }
    std::string File(const std::string& name) const { return m_mountPoint + "/" + name; }

    // A file beside the disk, in the test's own writable folder.
    std::string Outside(const std::string& name) const { return m_dir.File(name); }
    // Mounts the file `source` on its own at `name` on the disk, writable whatever the disk is.
    bool BindFile(const std::string& source, const std::string& name) {
        WriteAll(File(name), "");
        if (::mount(source.c_str(), File(name).c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
        m_binds.push_back(File(name));
        return true;
    }

    bool MakeReadOnly() {
        return ::mount(nullptr, m_mountPoint.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    // Fills the disk so that at most a few bytes remain.
    void Fill() {
        std::ofstream out(File("filler"), std::ios::binary);
        const std::string block(1024, 'f');
        while (out.write(block.data(), static_cast<std::streamsize>(block.size()))) {
        }
        std::ofstream tail(File("filler2"), std::ios::binary);
        while (tail.put('f')) {
        }
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(m_mountPoint)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

private:
    TTempDir m_dir;
    std::string m_mountPoint;
    std::vector<std::string> m_binds;
    bool m_mounted = false;
    std::string m_why;
};

#define NEED_DISK(disk)                                                            \
    if (!(disk).Mounted()) GTEST_SKIP() << "cannot mount a tmpfs: " << (disk).Why()

const std::string kIni = "[Larkpost]\nHost=old.example.test\nPort=25\n";
const std::string kLog = "10/12/26 09:00:00 old line\r\n";

// The three files' writers as a send and a save use them, each returning the error's message.
std::string SaveSettings(const std::string& path, size_t valueLength = 10) {
    try {
        TLpProfileFile(path).WriteString("Larkpost", "Subject", std::string(valueLength, 's'));
    } catch (const ELpIniFileException& e) {
        return e.what();
    }
    return "";
}

std::string SaveActivityLog(const std::string& path, size_t lines = 1) {
    TActivityLog log;
    log.Clock = [] { return "10/12/26 09:01:00"; };
    for (size_t i = 0; i < lines; ++i) log.Add(" new line of the activity log, number " + std::to_string(i));
    try {
        log.SaveLog(path);
    } catch (const ELpFileError& e) {
        return e.what();
    }
    return "";
}

std::string SaveBody(const std::string& path) {
    try {
        SaveBodyFile(path, {"new body"});
    } catch (const ELpFileError& e) {
        return e.what();
    }
    return "";
}

std::string OpenConnectionLog(const std::string& path) {
    TLpLogFile log;
    log.SetFilename(path);
    try {
        log.SetActive(true);
    } catch (const ELpException& e) {
        return e.what();
    }
    log.WriteFormattedEntry("Stat Connected.");
    log.SetActive(false);
    return "";
}

TEST(FileFaults, ReadOnlyFileSystemRefusesEveryWriterAndKeepsTheFiles) {
    TinyDisk disk;
    NEED_DISK(disk);
    WriteAll(disk.File("Larkpost.ini"), kIni);
    WriteAll(disk.File("Larkpost.log"), kLog);
    WriteAll(disk.File("LpSMTP.log"), kLog);
    ASSERT_TRUE(disk.MakeReadOnly()) << std::strerror(errno);
    const std::string rofs = std::strerror(EROFS);

    EXPECT_EQ(SaveSettings(disk.File("Larkpost.ini")), "Unable to write to " + disk.File("Larkpost.ini"));
    EXPECT_EQ(SaveActivityLog(disk.File("Larkpost.log")),
              "Cannot create file \"" + disk.File("Larkpost.log") + "\". " + rofs);
    EXPECT_EQ(OpenConnectionLog(disk.File("LpSMTP.log")),
              "Cannot open file \"" + disk.File("LpSMTP.log") + "\". " + rofs);

    EXPECT_EQ(ReadAll(disk.File("Larkpost.ini")), kIni);
    EXPECT_EQ(ReadAll(disk.File("Larkpost.log")), kLog);
    EXPECT_EQ(ReadAll(disk.File("LpSMTP.log")), kLog);
}

TEST(FileFaults, FullDiskLeavesTheOldFilesWholeAndNoTemporaryFile) {
    TinyDisk disk;
    NEED_DISK(disk);
    WriteAll(disk.File("Larkpost.ini"), kIni);
    WriteAll(disk.File("Larkpost.log"), kLog);
    disk.Fill();
    const std::string full = std::strerror(ENOSPC);

    EXPECT_EQ(SaveSettings(disk.File("Larkpost.ini"), 2000), "Unable to write to " + disk.File("Larkpost.ini"));
    EXPECT_EQ(SaveActivityLog(disk.File("Larkpost.log"), 200),
              "Cannot create file \"" + disk.File("Larkpost.log") + "\". " + full);

    EXPECT_EQ(ReadAll(disk.File("Larkpost.ini")), kIni);
    EXPECT_EQ(ReadAll(disk.File("Larkpost.log")), kLog);
    EXPECT_EQ(disk.Entries(), (std::vector<std::string>{"Larkpost.ini", "Larkpost.log", "filler", "filler2"}));
}

// The connection log appends as it goes; a full disk loses the entries that do not fit, never
// what was logged before, and the conversation goes on.
TEST(FileFaults, ConnectionLogOnAFullDiskKeepsWhatItHadAndGoesOn) {
    TinyDisk disk;
    NEED_DISK(disk);
    WriteAll(disk.File("LpSMTP.log"), kLog);
    disk.Fill();
    TLpLogFile log;
    log.SetFilename(disk.File("LpSMTP.log"));
    log.SetActive(true);
    for (int i = 0; i < 100; ++i) log.WriteFormattedEntry("Recv " + std::string(1000, 'r'));
    log.SetActive(false);
    const std::string after = ReadAll(disk.File("LpSMTP.log"));
    EXPECT_EQ(after.substr(0, kLog.size()), kLog);
    EXPECT_LT(after.size(), kLog.size() + 100 * 1000u);
}

TEST(FileFaults, ConnectionLogWhereAFolderStandsRaisesAndLogsNothing) {
    TTempDir dir;
    fs::create_directory(dir.File("LpSMTP.log"));
    EXPECT_EQ(OpenConnectionLog(dir.File("LpSMTP.log")),
              "Cannot open file \"" + dir.File("LpSMTP.log") + "\". " + std::strerror(EISDIR));
    EXPECT_TRUE(fs::is_directory(dir.File("LpSMTP.log")));
}

// A log the user may write but not read (mode 0222): appending to it must not replace what the
// file held with only this run's lines. Runs in a child that has given up root, since root reads
// anything.
TEST(FileFaults, ActivityLogThatCannotBeReadIsNotReplaced) {
    TTempDir dir;
    const std::string path = dir.File("Larkpost.log");
    WriteAll(path, kLog);
    fs::permissions(dir.Dir(), fs::perms(0777));
    fs::permissions(path, fs::perms(0222));
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
        const std::string error = SaveActivityLog(path);
        ::_exit(error == "Cannot open file \"" + path + "\". " + std::strerror(EACCES) ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no or another error";
    fs::permissions(dir.Dir(), fs::perms(0700));
    EXPECT_EQ(ReadAll(path), kLog);
}

const std::string kNewIni = "[Larkpost]\nHost=old.example.test\nPort=25\nSubject=ssssssssss\n";
const std::string kNewLog = kLog + "10/12/26 09:01:00 new line of the activity log, number 0\r\n";
// Longer than the new body, so a rewrite in place must also cut the file short.
const std::string kOldBody(600, 'b');

// A shared tool's folder is often read-only while its files are not; and a file mounted on its
// own (a container's single-file mount) can be written but not renamed over. Either way the
// three writers write the file in place, leave nothing else behind, and keep the file's mode.
TEST(FileFaults, WritableFileInAFolderThatTakesNoNewFileIsWrittenInPlace) {
    const std::vector<std::string> names = {"Larkpost.ini", "Larkpost.log", "LarkpostBody.rtf"};
    for (const bool readOnlyFolder : {true, false}) {
        SCOPED_TRACE(readOnlyFolder ? "read-only folder" : "files mounted on their own");
        TinyDisk disk;
        NEED_DISK(disk);
        WriteAll(disk.Outside("Larkpost.ini"), kIni);
        WriteAll(disk.Outside("Larkpost.log"), kLog);
        WriteAll(disk.Outside("LarkpostBody.rtf"), kOldBody);
        for (const std::string& name : names) {
            fs::permissions(disk.Outside(name), fs::perms(0640));
            ASSERT_TRUE(disk.BindFile(disk.Outside(name), name)) << std::strerror(errno);
        }
        if (readOnlyFolder) {
            ASSERT_TRUE(disk.MakeReadOnly()) << std::strerror(errno);
        }

        EXPECT_EQ(SaveSettings(disk.File("Larkpost.ini")), "");
        EXPECT_EQ(SaveActivityLog(disk.File("Larkpost.log")), "");
        EXPECT_EQ(SaveBody(disk.File("LarkpostBody.rtf")), "");

        EXPECT_EQ(ReadAll(disk.Outside("Larkpost.ini")), kNewIni);
        EXPECT_EQ(ReadAll(disk.Outside("Larkpost.log")), kNewLog);
        EXPECT_EQ(ReadAll(disk.Outside("LarkpostBody.rtf")), LinesToRtf({"new body"}));
        EXPECT_EQ(disk.Entries(), names);
        for (const std::string& name : names)
            EXPECT_EQ(fs::status(disk.Outside(name)).permissions(), fs::perms(0640)) << name;
    }
}

// A file that is a link stays a link: the file it names is written and keeps its mode, through a
// chain of relative links too, and a link to a file not yet there creates that file.
TEST(FileFaults, EveryWriterWritesThroughSymbolicLinks) {
    TTempDir dir;
    fs::create_directory(dir.File("real"));
    struct Writer {
        const char* name;
        std::function<std::string(const std::string&)> save;
        std::string old, written;
    };
    const Writer writers[] = {
        {"settings", [](const std::string& p) { return SaveSettings(p); }, kIni, kNewIni},
        {"activity log", [](const std::string& p) { return SaveActivityLog(p); }, kLog, kNewLog},
        {"body", SaveBody, kOldBody, LinesToRtf({"new body"})},
    };
    for (const Writer& w : writers) {
        SCOPED_TRACE(w.name);
        const std::string n = w.name;
        WriteAll(dir.File("real/" + n + "-1"), w.old);
        WriteAll(dir.File("real/" + n + "-2"), w.old);
        fs::permissions(dir.File("real/" + n + "-1"), fs::perms(0640));
        fs::permissions(dir.File("real/" + n + "-2"), fs::perms(0604));
        fs::create_symlink(dir.File("real/" + n + "-1"), dir.File(n + " absolute"));
        fs::create_symlink("real/" + n + "-2", dir.File(n + " middle"));
        fs::create_symlink(n + " middle", dir.File(n + " chain"));
        fs::create_symlink("real/" + n + "-3", dir.File(n + " dangling"));

        EXPECT_EQ(w.save(dir.File(n + " absolute")), "");
        EXPECT_EQ(w.save(dir.File(n + " chain")), "");
        EXPECT_EQ(w.save(dir.File(n + " dangling")), "");

        for (const char* link : {" absolute", " middle", " chain", " dangling"})
            EXPECT_TRUE(fs::is_symlink(dir.File(n + link))) << link;
        EXPECT_EQ(ReadAll(dir.File("real/" + n + "-1")), w.written);
        EXPECT_EQ(ReadAll(dir.File("real/" + n + "-2")), w.written);
        EXPECT_EQ(fs::status(dir.File("real/" + n + "-1")).permissions(), fs::perms(0640));
        EXPECT_EQ(fs::status(dir.File("real/" + n + "-2")).permissions(), fs::perms(0604));
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir.File("real/" + n + "-3"))));
    }
}

}  // namespace
}  // namespace larkpost
