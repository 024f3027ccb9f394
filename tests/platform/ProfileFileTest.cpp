// The INI layer: what it reads from files written by hand or by the original platform, what
// its writes leave in the file, and that a failed write leaves the old file as it was.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/CodePage.h"
#include "platform/ProfileFile.h"

namespace larkpost {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

class ProfileFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/lp-profile-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        m_path = m_dir / "Larkpost.ini";
    }
    void TearDown() override {
        fs::permissions(m_dir, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(m_dir);
    }
    std::vector<std::string> FolderEntries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(m_dir)) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path m_dir;
    fs::path m_path;
};

TEST_F(ProfileFileTest, ReadsSectionsAndKeysIgnoringCaseAndLayout) {
    WriteFile(m_path,
              "stray=before any section\r\n"
              "; a comment\r\n"
              "[Other]\r\n"
              "Host=wrong.example\r\n"
              "[LARKPOST]\r\n"
              "  hOsT  =  mail.example  \r\n"
              "Host=second occurrence\r\n"
              "; Port=9\r\n"
              "# Port=8\r\n"
              "line without equals\r\n"
              "Subject=\"  quoted blanks  \"\r\n"
              "Single='x'\r\n"
              "Half=\"open\r\n"
              "Empty=\r\n"
              "Eq=a=b\r\n"
              "[larkpost]\r\n"
              "Port=2525\r\n");
    TLpProfileFile ini(m_path);
    struct Case { const char* key; const char* expected; };
    const Case cases[] = {
        {"Host", "mail.example"},       {"stray", "dflt"},  {"Port", "dflt"},
        {"Subject", "  quoted blanks  "}, {"Single", "x"},  {"Half", "\"open"},
        {"Empty", ""},                  {"Eq", "a=b"},      {"Missing", "dflt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(ini.ReadString("Larkpost", c.key, "dflt"), c.expected);
    }
    EXPECT_TRUE(ini.ValueExists("larkpost", "EMPTY"));
    EXPECT_FALSE(ini.ValueExists("Larkpost", "Port"));
}

TEST_F(ProfileFileTest, MissingFileOrDirectoryReadsAsDefaults) {
    EXPECT_EQ(TLpProfileFile(m_path).ReadString("Larkpost", "Host", "localhost"), "localhost");
    EXPECT_EQ(TLpProfileFile(m_dir).ReadInteger("Larkpost", "Port", 25), 25);
    EXPECT_EQ(TLpProfileFile("").ReadString("Larkpost", "Host", "d"), "d");
}

TEST_F(ProfileFileTest, ValuesAreCutAt2047Characters) {
    const std::string euro = "\xE2\x82\xAC";
    std::string longEuro;
    for (int i = 0; i < 2048; ++i) longEuro += euro;
    struct Case { const char* name; std::string stored; std::string read; };
    const Case cases[] = {
        {"2047 kept", std::string(2047, 'a'), std::string(2047, 'a')},
        {"2048 cut", std::string(2048, 'b'), std::string(2047, 'b')},
        {"huge", std::string(100000, 'c'), std::string(2047, 'c')},
        {"counted in characters", longEuro, longEuro.substr(0, 2047 * 3)},
    };
    TLpProfileFile ini(m_path);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ini.WriteString("Larkpost", "Long", c.stored);
        EXPECT_EQ(ini.ReadString("Larkpost", "Long", ""), c.read);
    }
}

TEST(ProfileInteger, ParsesDecimalAndHexOrGivesTheDefault) {
    struct Case { const char* text; int value; };
    const Case cases[] = {
        {"12", 12},           {"-5", -5},         {"+7", 7},          {"0", 0},
        {"0x1F", 31},         {"0X1f", 31},       {"0xFFFFFFFF", -1}, {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"0x", 99},           {"abc", 99},        {"", 99},           {"12a", 99},
        {"2147483648", 99},   {"0x123456789", 99}, {"-", 99},         {"1.5", 99},
        {"$10", 99},          {"0xG", 99},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int v = 99;
        if (!ParseProfileInteger(c.text, v)) v = 99;
        EXPECT_EQ(v, c.value);
    }
}

TEST_F(ProfileFileTest, IntegersAndBooleansReadThroughTheFile) {
    WriteFile(m_path, "[Larkpost]\nA= 0x10 \nB=abc\nOn=2\nOff=0\nJunk=yes\n");
    TLpProfileFile ini(m_path);
    EXPECT_EQ(ini.ReadInteger("Larkpost", "A", 0), 16);
    EXPECT_EQ(ini.ReadInteger("Larkpost", "B", 7), 7);
    EXPECT_TRUE(ini.ReadBool("Larkpost", "On", false));
    EXPECT_FALSE(ini.ReadBool("Larkpost", "Off", true));
    EXPECT_FALSE(ini.ReadBool("Larkpost", "Junk", false));
    EXPECT_TRUE(ini.ReadBool("Larkpost", "Absent", true));
}

TEST_F(ProfileFileTest, NewFileListsKeysInWriteOrder) {
    TLpProfileFile ini(m_path);
    ini.WriteString("Larkpost", "Host", "mail.example");
    ini.WriteInteger("Larkpost", "Port", 587);
    ini.WriteBool("Larkpost", "SaveLog", true);
    EXPECT_EQ(ReadFile(m_path), "[Larkpost]\nHost=mail.example\nPort=587\nSaveLog=1\n");
    EXPECT_EQ(fs::status(m_path).permissions() & fs::perms::owner_read, fs::perms::owner_read);
}

TEST_F(ProfileFileTest, WritesKeepEveryOtherLineAsItStood) {
    const std::string before =
        "; settings for the nightly job\r\n"
        "[Other]\r\n"
        "Host=keep.me\r\n"
        "\r\n"
        "[Larkpost]\r\n"
        "HOST = old.example\r\n"
        "Port=25\r\n"
        "\r\n"
        "; trailing comment of the section\r\n"
        "[Third]\r\n"
        "x=1";
    WriteFile(m_path, before);
    TLpProfileFile ini(m_path);
    ini.WriteString("larkpost", "host", "new.example");
    ini.WriteString("Larkpost", "Subject", "Hello");
    ini.WriteString("Third", "y", "2");
    ini.WriteString("Fourth", "z", "3");
    EXPECT_EQ(ReadFile(m_path),
              "; settings for the nightly job\r\n"
              "[Other]\r\n"
              "Host=keep.me\r\n"
              "\r\n"
              "[Larkpost]\r\n"
              "HOST=new.example\r\n"
              "Port=25\r\n"
              "Subject=Hello\r\n"
              "\r\n"
              "; trailing comment of the section\r\n"
              "[Third]\r\n"
              "x=1\r\n"
              "y=2\r\n"
              "[Fourth]\r\n"
              "z=3\r\n");
}

TEST_F(ProfileFileTest, ValuesReadBackAsWritten) {
    struct Case { const char* name; std::string value; std::string read; };
    const Case cases[] = {
        {"plain", "a b c", "a b c"},
        {"empty", "", ""},
        {"leading and trailing blanks", "  padded\t", "  padded\t"},
        {"enclosed in quotes", "\"quoted\"", "\"quoted\""},
        {"enclosed in single quotes", "'x'", "'x'"},
        {"one quote", "\"", "\""},
        {"equals and semicolon", "a=b;c", "a=b;c"},
        {"brackets", "[Larkpost]", "[Larkpost]"},
        {"line breaks cannot start a line", "a\r\nHost=evil\nb", "a  Host=evil b"},
        {"non-ASCII", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC", "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC"},
    };
    TLpProfileFile ini(m_path);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ini.WriteString("Larkpost", "Subject", c.value);
        EXPECT_EQ(ini.ReadString("Larkpost", "Subject", "?"), c.read);
        EXPECT_EQ(ini.ReadString("Larkpost", "Host", "absent"), "absent");
    }
}

TEST_F(ProfileFileTest, DeleteRemovesEveryOccurrenceInTheSection) {
    WriteFile(m_path, "[Larkpost]\nPassword=a\nHost=h\npassword=b\n[Other]\nPassword=c\n");
    TLpProfileFile ini(m_path);
    ini.DeleteKey("Larkpost", "Password");
    EXPECT_EQ(ReadFile(m_path), "[Larkpost]\nHost=h\n[Other]\nPassword=c\n");
    ini.DeleteKey("Larkpost", "Absent");
    ini.DeleteKey("Nowhere", "Host");
    EXPECT_EQ(ReadFile(m_path), "[Larkpost]\nHost=h\n[Other]\nPassword=c\n");
    TLpProfileFile(m_dir / "absent.ini").DeleteKey("Larkpost", "Host");
    EXPECT_FALSE(fs::exists(m_dir / "absent.ini"));
}

TEST_F(ProfileFileTest, WriteRemovingKeyIsOneReplacement) {
    WriteFile(m_path, "[Larkpost]\nPassword=old\nHost=h\n");
    TLpProfileFile ini(m_path);
    ini.WriteStringRemovingKey("Larkpost", "Password3", "new", "password");
    EXPECT_EQ(ReadFile(m_path), "[Larkpost]\nHost=h\nPassword3=new\n");

    fs::remove(m_path);
    fs::create_directory(m_path);
    EXPECT_THROW(ini.WriteStringRemovingKey("Larkpost", "Password3", "x", "Password"), ELpIniFileException);
}

TEST_F(ProfileFileTest, NothingIsCachedBetweenOperations) {
    TLpProfileFile a(m_path), b(m_path);
    a.WriteString("Larkpost", "Host", "one");
    EXPECT_EQ(b.ReadString("Larkpost", "Host", ""), "one");
    WriteFile(m_path, "[Larkpost]\nHost=edited by hand\n");
    EXPECT_EQ(a.ReadString("Larkpost", "Host", ""), "edited by hand");
}

TEST_F(ProfileFileTest, Windows1252FileIsReadAndRewrittenAsUtf8) {
    // "Grüße €" and a comment in Windows-1252, as the original platform writes them.
    WriteFile(m_path, "; \xE9t\xE9\r\n[Larkpost]\r\nSubject=Gr\xFC\xDF" "e \x80\r\nPassword=\x9E\x9D\r\n");
    TLpProfileFile ini(m_path);
    EXPECT_EQ(ini.ReadString("Larkpost", "Subject", ""), "Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC");
    EXPECT_EQ(ini.ReadStoredUnits("Larkpost", "Password"), std::u16string(u"\x9E\x9D"));
    ini.WriteString("Larkpost", "Host", "h");
    EXPECT_EQ(ReadFile(m_path), "; \xC3\xA9t\xC3\xA9\r\n[Larkpost]\r\nSubject=Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC\r\n"
                                "Password=\xC5\xBE\xC2\x9D\r\nHost=h\r\n");
}

TEST_F(ProfileFileTest, ByteOrderMarkedFilesAreUnderstood) {
    WriteFile(m_path, std::string("\xEF\xBB\xBF[Larkpost]\nHost=bom\n"));
    TLpProfileFile ini(m_path);
    EXPECT_EQ(ini.ReadString("Larkpost", "Host", ""), "bom");
    ini.WriteString("Larkpost", "Port", "1");
    EXPECT_EQ(ReadFile(m_path), "\xEF\xBB\xBF[Larkpost]\nHost=bom\nPort=1\n");

    const std::u16string text = u"[Larkpost]\r\nSubject=\u00FC\u20AC\r\n";
    std::string le = "\xFF\xFE";
    for (char16_t u : text) le += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    WriteFile(m_path, le);
    EXPECT_EQ(ini.ReadString("Larkpost", "Subject", ""), "\xC3\xBC\xE2\x82\xAC");
    EXPECT_EQ(ini.ReadStoredUnits("Larkpost", "Subject"), std::u16string(u"\u00FC\u20AC"));
}

TEST_F(ProfileFileTest, UnwritablePlacesRaiseAndLeaveNoTrace) {
    fs::create_directory(m_dir / "dir.ini");
    struct Case { const char* name; std::string path; };
    const Case cases[] = {
        {"directory in place of the file", (m_dir / "dir.ini").string()},
        {"folder that does not exist", (m_dir / "no" / "such.ini").string()},
        {"empty path", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TLpProfileFile ini(c.path);
        try {
            ini.WriteString("Larkpost", "Host", "x");
            ADD_FAILURE() << "no exception";
        } catch (const ELpIniFileException& e) {
            EXPECT_EQ(std::string(e.what()), "Unable to write to " + c.path);
            EXPECT_STREQ(e.ClassName(), "ELpIniFileException");
        }
    }
    EXPECT_THROW(TLpProfileFile(m_dir / "dir.ini").DeleteKey("Larkpost", "Host"), ELpIniFileException);
    EXPECT_NO_THROW(TLpProfileFile(m_dir / "no" / "such.ini").DeleteKey("Larkpost", "Host"));
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"dir.ini"});
}

// A full disk: the file-size limit makes every write past it fail, as ENOSPC would.
TEST_F(ProfileFileTest, FullDiskLeavesTheOldFileWhole) {
    const std::string before = "[Larkpost]\nHost=old\n";
    WriteFile(m_path, before);
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit tight = old;
    tight.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    TLpProfileFile ini(m_path);
    EXPECT_THROW(ini.WriteString("Larkpost", "Subject", std::string(10000, 's')), ELpIniFileException);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(ReadFile(m_path), before);
    EXPECT_EQ(FolderEntries(), std::vector<std::string>{"Larkpost.ini"});
}

// Root writes anywhere, so the read-only cases run in a child that has given up root.
// A read-only file is never changed; a writable file in a read-only folder is written in place,
// since no temporary file can be made beside it. Runs as nobody, since root writes anything.
TEST_F(ProfileFileTest, ReadOnlyFileRaisesAndWritableFileInReadOnlyFolderIsWrittenInPlace) {
    const std::string before = "[Larkpost]\nHost=old\n";
    struct Case { const char* name; fs::perms folder; fs::perms file; bool written; };
    const Case cases[] = {
        {"read-only folder, writable file", fs::perms(0555), fs::perms(0666), true},
        {"read-only folder and file", fs::perms(0555), fs::perms(0444), false},
        {"read-only file", fs::perms(0777), fs::perms(0444), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::permissions(m_dir, fs::perms(0700));
        WriteFile(m_path, before);
        fs::permissions(m_dir, c.folder);
        fs::permissions(m_path, c.file);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
            try {
                TLpProfileFile(m_path).WriteString("Larkpost", "Host", "new");
            } catch (const ELpIniFileException& e) {
                ::_exit(std::string(e.what()) == "Unable to write to " + m_path.string() ? 0 : 2);
            }
            ::_exit(1);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), c.written ? 1 : 0) << "0: raised, 1: written, 2: other text";
        fs::permissions(m_dir, fs::perms(0700));
        EXPECT_EQ(ReadFile(m_path), c.written ? "[Larkpost]\nHost=new\n" : before);
        EXPECT_EQ(FolderEntries(), std::vector<std::string>{"Larkpost.ini"});
        EXPECT_EQ(fs::status(m_path).permissions(), c.file);
    }
}

TEST_F(ProfileFileTest, WritesKeepModeAndGoThroughSymbolicLinks) {
    const fs::path real = m_dir / "real.ini";
    WriteFile(real, "[Larkpost]\nHost=a\n");
    fs::permissions(real, fs::perms(0640));
    fs::create_symlink(real, m_path);
    TLpProfileFile(m_path).WriteString("Larkpost", "Host", "b");
    EXPECT_TRUE(fs::is_symlink(m_path));
    EXPECT_EQ(ReadFile(real), "[Larkpost]\nHost=b\n");
    EXPECT_EQ(fs::status(real).permissions(), fs::perms(0640));
}

TEST(CodePage, DecodesEachOriginAndStaysValid) {
    struct Case { const char* name; std::string in; std::string out; };
    const Case cases[] = {
        {"valid UTF-8 stays", "\xC3\xA4\xE2\x82\xAC", "\xC3\xA4\xE2\x82\xAC"},
        {"Windows-1252 euro and umlaut", "\x80\xE4", "\xE2\x82\xAC\xC3\xA4"},
        {"undefined 1252 bytes keep their number", "\x81\x9D", "\xC2\x81\xC2\x9D"},
        {"overlong form is not UTF-8", "\xC0\xAF", "\xC3\x80\xC2\xAF"},
        {"surrogate is not UTF-8", "\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(BytesToText(c.in), c.out);
        EXPECT_TRUE(IsValidUtf8(BytesToText(c.in)));
    }
    EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16("a\xF0\x9F\x94\x91")), "a\xF0\x9F\x94\x91");
    EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x94\x91").size(), 2u);
    EXPECT_EQ(Utf16ToUtf8(u"\xD800x"), "\xEF\xBF\xBDx");
}

}  // namespace
}  // namespace larkpost
