// The settings file: every key read and written, the skip rules of /S, the legacy password
// migration, the body file and attachment rules, and what a failed save leaves on disk.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>

#include "RecordingWindows.h"
#include "TempDir.h"
#include "app/BodyFile.h"
#include "app/RunState.h"
#include "app/SettingsFile.h"
#include "app/Shell.h"
#include "crypto/PasswordCipher.h"
#include "platform/ProfileFile.h"

namespace larkpost {
namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

const std::string kData = LARKPOST_TEST_DATA_DIR;

using TRecordingWindows = TBoxRecordingWindows;

// A shell whose executable lives in a folder of the test's own.
struct TSettingsRun {
    TSettingsRun() : shell({"/opt/larkpost/larkpost"}) {
        RunState = TRunState{};
        RunState.ExeDir = dir.Dir();
        RunState.SettingsPath = dir.File("Larkpost.ini");
        shell.ActivityLog.Clock = [] { return std::string("TS"); };
        shell.SetWindows(&windows);
        shell.StartSMTPLog = [this](const std::string& f) { smtpLogs.push_back(f); };
    }
    void Ini(const std::string& text) const { dir.Write("Larkpost.ini", text); }
    std::string IniText() const { return dir.Read("Larkpost.ini"); }
    const Lines& Log() const { return shell.ActivityLog.Lines(); }

    TTempDir dir;
    TLpShell shell;
    TRecordingWindows windows;
    Lines smtpLogs;
};

// Every field as text, to compare whole settings at once.
std::map<std::string, std::string> Fields(const TSendSettings& s) {
    auto join = [](const Lines& l) {
        std::string out;
        for (const auto& x : l) out += x + "|";
        return out;
    };
    return {{"Host", s.Host()},         {"Port", s.Port()},
            {"Timeout", s.Timeout()},   {"AuthType", std::to_string(s.AuthType())},
            {"UserID", s.UserID()},     {"Password", s.Password()},
            {"SaveLog", std::to_string(s.SaveLog())},
            {"SaveSMTPLog", std::to_string(s.SaveSMTPLog())},
            {"FromName", s.FromName()}, {"FromAddr", s.FromAddr()},
            {"To", s.To()},             {"ReplyTo", s.ReplyTo()},
            {"Cc", s.Cc()},             {"Bcc", s.Bcc()},
            {"Subject", s.Subject()},   {"ContentType", std::to_string(s.ContentType())},
            {"Body", join(s.Body())},   {"Files", join(s.Files())},
            {"MailAgent", s.MailAgent()}, {"HeloName", s.HeloName()},
            {"Retries", s.Retries()},   {"RetryWait", s.RetryWait()}};
}

std::string FullIni(const TTempDir& dir) {
    return "[Larkpost]\n"
           "Host=mail.example.com\nPort=587\nAuthType=2\nTimeout=45\nUserID=alice\n"
           "Password3=" + EncryptPassword("pw from file") + "\n"
           "SaveLog=1\nSaveSMTPLog=1\nContentType=1\n"
           "FromName=Alice\nFromAddr=alice@example.com\nTo=bob@example.com\n"
           "ReplyTo=replies@example.com\ncc=carol@example.com\nbcc=dave@example.com\n"
           "Subject=Weekly report\nBodyFile=LarkpostBody.rtf\n"
           "FileCount=2\nFile0=" + dir.File("report.pdf") + "\nFile1=" + dir.File("sub/Data.csv") + "\n"
           "MailAgent=Agent 1\nHeloName=client.example\nRetries=3\nRetryWait=45\n";
}

void MakeFullFolder(const TTempDir& dir) {
    dir.Write("LarkpostBody.rtf", LinesToRtf({"Hello,", "the report."}));
    dir.Write("report.pdf", "%PDF");
    fs::create_directory(dir.File("sub"));
    dir.Write("sub/Data.csv", "a,b");
}

std::map<std::string, std::string> FullIniFields(const TTempDir& dir) {
    return {{"Host", "mail.example.com"}, {"Port", "587"}, {"Timeout", "45"}, {"AuthType", "2"},
            {"UserID", "alice"}, {"Password", "pw from file"}, {"SaveLog", "1"},
            {"SaveSMTPLog", "1"}, {"FromName", "Alice"}, {"FromAddr", "alice@example.com"},
            {"To", "bob@example.com"}, {"ReplyTo", "replies@example.com"},
            {"Cc", "carol@example.com"}, {"Bcc", "dave@example.com"},
            {"Subject", "Weekly report"}, {"ContentType", "1"}, {"Body", "Hello,|the report.|"},
            {"Files", dir.File("sub/Data.csv") + "|report.pdf|"},
            {"MailAgent", "Agent 1"}, {"HeloName", "client.example"},
            {"Retries", "3"}, {"RetryWait", "45"}};
}

TEST(ReadINISettings, ReadsEveryKey) {
    TSettingsRun run;
    MakeFullFolder(run.dir);
    run.Ini(FullIni(run.dir));
    ReadINISettings(run.shell);
    EXPECT_EQ(Fields(run.shell.SendSettings), FullIniFields(run.dir));
    EXPECT_EQ(run.smtpLogs, Lines{run.dir.File("Larkpost_SMTP.log")});
    EXPECT_EQ(RunState.BodyFilePath, "LarkpostBody.rtf");
    EXPECT_EQ(RunState.ReturnCode, 0);
    EXPECT_EQ(run.Log(), Lines{"TS Settings read from " + run.dir.File("Larkpost.ini")});
}

TEST(ReadINISettings, AbsentKeysGiveTheirDefaults) {
    TSettingsRun run;
    run.Ini("[Larkpost]\n");
    ReadINISettings(run.shell);
    const auto f = Fields(run.shell.SendSettings);
    EXPECT_EQ(f.at("Host"), "localhost");
    EXPECT_EQ(f.at("Port"), "25");
    EXPECT_EQ(f.at("AuthType"), "0");
    EXPECT_EQ(f.at("UserID"), "guest");
    EXPECT_EQ(f.at("Timeout"), "30");
    EXPECT_EQ(f.at("ContentType"), "0");
    EXPECT_EQ(f.at("Password"), "");
    EXPECT_EQ(f.at("SaveLog"), "0");
    EXPECT_EQ(run.Log(), (Lines{"TS ERROR: INI Setting=BodyFile Value=LarkpostBody.rtf File could not be found.",
                                "TS Settings read from " + run.dir.File("Larkpost.ini")}));
    EXPECT_EQ(RunState.ReturnCode, 0) << "a missing body file does not fail the run";
}

TEST(ReadINISettings, ValuesOutsideTheirRange) {
    struct Case { const char* key; const char* value; const char* field; const char* read; };
    const Case cases[] = {
        {"ContentType", "7", "ContentType", "1"},     {"ContentType", "-5", "ContentType", "-1"},
        {"ContentType", "0x1", "ContentType", "1"},   {"ContentType", "html", "ContentType", "0"},
        {"AuthType", "9", "AuthType", "-1"},          {"AuthType", "0x2", "AuthType", "2"},
        {"AuthType", "two", "AuthType", "0"},         {"Timeout", "abc", "Timeout", "abc"},
        {"SaveLog", "2", "SaveLog", "1"},             {"SaveLog", "yes", "SaveLog", "0"},
        {"Port", "0x19", "Port", "0x19"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        TSettingsRun run;
        run.Ini(std::string("[Larkpost]\n") + c.key + "=" + c.value + "\n");
        ReadINISettings(run.shell);
        EXPECT_EQ(Fields(run.shell.SendSettings).at(c.field), c.read);
    }
}

TEST(ReadINISettings, PresentSwitchesLeaveTheirKeysAlone) {
    using Sw = TSwitchValues;
    struct Case {
        const char* name;
        std::function<void(Sw&)> set;
        std::vector<const char*> kept;
    };
    const Case cases[] = {
        {"/HOST", [](Sw& s) { s.Host.Present = true; }, {"Host"}},
        {"/PORT", [](Sw& s) { s.Port.Present = true; }, {"Port"}},
        {"/AUTH", [](Sw& s) { s.Auth.Present = true; }, {"AuthType"}},
        {"/USERID", [](Sw& s) { s.UserID.Present = true; }, {"UserID"}},
        {"/PASS", [](Sw& s) { s.Pass.Present = true; }, {"Password"}},
        {"/PASSX", [](Sw& s) { s.PassX.Present = true; }, {"Password"}},
        {"/PASS3", [](Sw& s) { s.Pass3.Present = true; }, {"Password"}},
        {"/FROM", [](Sw& s) { s.From.Present = true; }, {"FromName", "FromAddr"}},
        {"/TO", [](Sw& s) { s.To.Present = true; }, {"To"}},
        {"/REPLYTO", [](Sw& s) { s.ReplyTo.Present = true; }, {"ReplyTo"}},
        {"/CC", [](Sw& s) { s.Cc.Present = true; }, {"Cc"}},
        {"/BCC", [](Sw& s) { s.Bcc.Present = true; }, {"Bcc"}},
        {"/SUBJECT", [](Sw& s) { s.Subject.Present = true; }, {"Subject"}},
        {"/TYPE", [](Sw& s) { s.Type.Present = true; }, {"ContentType"}},
        {"/BODYFILE", [](Sw& s) { s.BodyFile.Present = true; }, {"Body"}},
        {"/FILES", [](Sw& s) { s.Files = true; }, {"Files"}},
        {"/MAILAGENT", [](Sw& s) { s.MailAgent.Present = true; }, {"MailAgent"}},
        {"/HELONAME", [](Sw& s) { s.HeloName.Present = true; }, {"HeloName"}},
        {"/RETRY", [](Sw& s) { s.Retry.Present = true; }, {"Retries"}},
        {"/RETRYWAIT", [](Sw& s) { s.RetryWait.Present = true; }, {"RetryWait"}},
        // Switches without a key of their own skip nothing.
        {"/LOG /LOGSMTP /BODY /S", [](Sw& s) { s.Log = s.LogSMTP = s.Body.Present = s.S.Present = true; }, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TSettingsRun run;
        MakeFullFolder(run.dir);
        run.Ini(FullIni(run.dir));
        TSendSettings& s = run.shell.SendSettings;
        s.SetHost("sw-host"); s.SetPort("2525"); s.SetAuthType(1); s.SetUserID("sw-user");
        s.SetPassword("sw-pass"); s.SetFromName("sw-from"); s.SetFromAddr("sw-from");
        s.SetTo("sw-to"); s.SetReplyTo("sw-reply"); s.SetCc("sw-cc"); s.SetBcc("sw-bcc");
        s.SetSubject("sw-subject"); s.SetContentType(0); s.SetBody({"sw body"});
        s.AddFile("sw-file"); s.SetMailAgent("sw-agent"); s.SetHeloName("sw-helo");
        s.SetRetries("7"); s.SetRetryWait("9");
        const auto before = Fields(s);
        c.set(run.shell.SwitchValues);

        ReadINISettings(run.shell);

        auto expected = FullIniFields(run.dir);
        for (const char* k : c.kept) expected[k] = before.at(k);
        // Files are added to what the list holds; only /FILES keeps the file's entries out.
        if (c.kept.empty() || std::string(c.kept.front()) != "Files")
            expected["Files"] = run.dir.File("sub/Data.csv") + "|report.pdf|sw-file|";
        EXPECT_EQ(Fields(s), expected);
    }
}

TEST(ReadINISettings, LegacyPasswordIsMigratedToPassword3) {
    TSettingsRun run;
    fs::copy_file(kData + "/settings-legacy-password.ini", run.dir.File("Larkpost.ini"));
    ReadINISettings(run.shell);
    // The complement of "  s3cret!\t": the blanks go on the way through Password3.
    EXPECT_EQ(run.shell.SendSettings.Password(), "s3cret!");
    EXPECT_EQ(run.shell.SendSettings.Subject(), "Scan f\xC3\xBCr Sie");
    TLpProfileFile ini(RunState.SettingsPath);
    EXPECT_FALSE(ini.ValueExists("Larkpost", "Password"));
    EXPECT_EQ(ini.ReadString("Larkpost", "Password3", ""), EncryptPassword("  s3cret!\t"));
    const std::string text = run.IniText();
    EXPECT_EQ(text.rfind("; Larkpost settings from the old version\r\n[Larkpost]\r\nHost=mail.example.com\r\n", 0), 0u);

    // A second read finds nothing left to migrate.
    ReadINISettings(run.shell);
    EXPECT_EQ(run.IniText(), text);
    EXPECT_EQ(run.shell.SendSettings.Password(), "s3cret!");
}

TEST(ReadINISettings, PasswordAESWinsOverPassword3) {
    TSettingsRun run;
    fs::copy_file(kData + "/settings-legacy-aes-and-password3.ini", run.dir.File("Larkpost.ini"));
    ReadINISettings(run.shell);
    EXPECT_EQ(run.shell.SendSettings.Password(), " aes pw ") << "nothing trims the legacy AES form";
    TLpProfileFile ini(RunState.SettingsPath);
    EXPECT_FALSE(ini.ValueExists("Larkpost", "Password_AES"));
    EXPECT_EQ(DecryptPassword(ini.ReadString("Larkpost", "Password3", "")), "aes pw");
}

TEST(ReadINISettings, PasswordSwitchesWinOverLegacyKeysWhichAreStillMigrated) {
    for (const char* which : {"PASS", "PASSX", "PASS3"}) {
        SCOPED_TRACE(which);
        TSettingsRun run;
        fs::copy_file(kData + "/settings-legacy-password.ini", run.dir.File("Larkpost.ini"));
        auto& sw = run.shell.SwitchValues;
        (std::string(which) == "PASS" ? sw.Pass : std::string(which) == "PASSX" ? sw.PassX : sw.Pass3).Present = true;
        run.shell.SendSettings.SetPassword("from the switch");
        ReadINISettings(run.shell);
        EXPECT_EQ(run.shell.SendSettings.Password(), "from the switch");
        EXPECT_FALSE(TLpProfileFile(RunState.SettingsPath).ValueExists("Larkpost", "Password"));
    }
}

// Root may write anywhere, so the unwritable file is a full disk here (the file-size limit).
TEST(ReadINISettings, MigrationThatCannotWriteRaisesAndKeepsTheFile) {
    TSettingsRun run;
    fs::copy_file(kData + "/settings-legacy-password.ini", run.dir.File("Larkpost.ini"));
    const std::string before = run.IniText();
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit tight = old;
    tight.rlim_cur = 64;
    ::setrlimit(RLIMIT_FSIZE, &tight);
    std::string message;
    try {
        ReadINISettings(run.shell);
    } catch (const ELpIniFileException& e) {
        message = e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);
    EXPECT_EQ(message, "Unable to write to " + RunState.SettingsPath);
    EXPECT_EQ(run.IniText(), before);
}

TEST(ReadINISettings, BodyFileIsFoundBesideTheExecutableOrByItsPath) {
    ::setenv("LP_SETTINGS_TEST_DIR", "", 1);
    struct Case { const char* name; std::string value; bool create; Lines log; };
    const Case cases[] = {
        {"bare name beside the executable", "body.txt", true, {}},
        {"bare name missing", "missing.rtf", false,
         {"TS ERROR: INI Setting=BodyFile Value=missing.rtf File could not be found."}},
        {"directory part missing", "/no/such/dir/body.rtf", false,
         {"TS ERROR: INI Setting=BodyFile Value=/no/such/dir/body.rtf File could not be found."}},
        {"environment reference", "%LP_SETTINGS_TEST_DIR%body.txt", true, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TSettingsRun run;
        ::setenv("LP_SETTINGS_TEST_DIR", run.dir.Dir().c_str(), 1);
        if (c.create) run.dir.Write("body.txt", "from the file\n");
        run.Ini("[Larkpost]\nBodyFile=" + c.value + "\n");
        run.shell.SendSettings.SetBody({"as it was"});
        ReadINISettings(run.shell);
        EXPECT_EQ(run.shell.SendSettings.Body(), c.create ? Lines{"from the file"} : Lines{"as it was"});
        Lines log = c.log;
        log.push_back("TS Settings read from " + RunState.SettingsPath);
        EXPECT_EQ(run.Log(), log);
    }
    ::unsetenv("LP_SETTINGS_TEST_DIR");
}

TEST(ReadINISettings, AttachmentsBesideTheExecutableKeepOnlyTheirName) {
    TSettingsRun run;
    RunState.ExeDir = run.dir.File("exe/");
    fs::create_directory(run.dir.File("exe"));
    fs::create_directory(run.dir.File("EXE"));
    run.dir.Write("exe/b.txt", "b");
    run.dir.Write("EXE/c.txt", "c");
    run.dir.Write("A.txt", "a");
    run.Ini("[Larkpost]\nFileCount=5\n"
            "File0=" + run.dir.File("exe/b.txt") + "\n"
            "File1=" + run.dir.File("EXE/c.txt") + "\n"
            "File2=" + run.dir.File("A.txt") + "\n");
    ReadINISettings(run.shell);
    EXPECT_EQ(run.shell.SendSettings.Files(),
              (Lines{run.dir.File("A.txt"), run.dir.File("EXE/c.txt"), "b.txt"}));
    EXPECT_EQ(run.Log(), (Lines{
        "TS ERROR: INI Setting=BodyFile Value=LarkpostBody.rtf File could not be found.",
        "TS ERROR: INI Setting=File3 Value=ERROR!!! File could not be found.",
        "TS ERROR: INI Setting=File4 Value=ERROR!!! File could not be found.",
        "TS Settings read from " + RunState.SettingsPath}));
    EXPECT_EQ(RunState.ReturnCode, 1);
}

TEST(ReadINISettings, HugeFileCountEndsInReasonableTime) {
    TSettingsRun run;
    run.Ini("[Larkpost]\nFileCount=2147483647\n");
    ReadINISettings(run.shell);
    EXPECT_EQ(run.Log().size(), 10000u + 2);
    EXPECT_EQ(run.Log()[10000], "TS ERROR: INI Setting=File9999 Value=ERROR!!! File could not be found.");
}

void FillForSave(TSendSettings& s) {
    s.SetHost("smtp.example.org"); s.SetPort("465"); s.SetTimeout("60"); s.SetAuthType(1);
    s.SetUserID("bob"); s.SetPassword("p w"); s.SetSaveLog(true); s.SetSaveSMTPLog(false);
    s.SetContentType(-1); s.SetFromName("Bob B."); s.SetFromAddr("bob@example.org");
    s.SetTo("a@example.org, b@example.org"); s.SetReplyTo(""); s.SetCc("c@example.org");
    s.SetBcc(""); s.SetSubject("  Gr\xC3\xBC\xC3\x9F" "e  "); s.SetBody({"Line one", "", "\xE2\x82\xAC 5"});
    s.AddFile("z.txt"); s.AddFile("/data/A.pdf"); s.SetMailAgent(""); s.SetHeloName("me.example.org");
    s.SetRetries("4");
}

TEST(WriteINISettings, NewFileHoldsEveryKeyInOrder) {
    TSettingsRun run;
    FillForSave(run.shell.SendSettings);
    WriteINISettings(run.shell);
    EXPECT_EQ(run.IniText(),
              "[Larkpost]\nHost=smtp.example.org\nPort=465\nAuthType=1\nTimeout=60\nUserID=bob\n"
              "Password3=" + EncryptPassword("p w") + "\n"
              "SaveLog=1\nSaveSMTPLog=0\nContentType=-1\nFromName=Bob B.\nFromAddr=bob@example.org\n"
              "To=a@example.org, b@example.org\nReplyTo=\ncc=c@example.org\nbcc=\n"
              "Subject=\"  Gr\xC3\xBC\xC3\x9F" "e  \"\nBodyFile=LarkpostBody.rtf\n"
              "FileCount=2\nFile0=/data/A.pdf\nFile1=z.txt\nMailAgent=\nHeloName=me.example.org\n"
              "Retries=4\n");
    EXPECT_EQ(LoadBodyFile(run.dir.File("LarkpostBody.rtf")), (Lines{"Line one", "", "\xE2\x82\xAC 5"}));
    EXPECT_EQ(run.Log(), Lines{"TS Settings saved to " + run.dir.File("Larkpost.ini")});
    EXPECT_TRUE(run.windows.Events.empty()) << "no box in an unattended run";
}

TEST(WriteINISettings, SavedSettingsReadBackTheSame) {
    TSettingsRun run;
    run.dir.Write("z.txt", "z");
    FillForSave(run.shell.SendSettings);
    run.shell.SendSettings.ClearFiles();
    run.shell.SendSettings.AddFile("z.txt");
    RunState.Interactive = true;
    WriteINISettings(run.shell);
    EXPECT_EQ(run.windows.Events, Lines{"information:Settings saved to " + RunState.SettingsPath});

    TLpShell fresh({"/opt/larkpost/larkpost"});
    fresh.ActivityLog.Clock = [] { return std::string("TS"); };
    const std::string cwd = fs::current_path();
    fs::current_path(run.dir.Dir());  // attachments beside the executable are looked up there
    ReadINISettings(fresh);
    fs::current_path(cwd);
    auto expected = Fields(run.shell.SendSettings);
    expected["Password"] = "p w";
    EXPECT_EQ(Fields(fresh.SendSettings), expected);
}

TEST(WriteINISettings, OtherFolderGetsTheSettingsButTheBodyStaysBesideTheExecutable) {
    TSettingsRun run;
    fs::create_directory(run.dir.File("jobs"));
    RunState.SettingsPath = run.dir.File("jobs/nightly.ini");
    run.shell.SendSettings.SetBody({"nightly body"});
    WriteINISettings(run.shell);
    EXPECT_TRUE(fs::exists(run.dir.File("LarkpostBody.rtf")));
    EXPECT_FALSE(fs::exists(run.dir.File("jobs/LarkpostBody.rtf")));
    EXPECT_EQ(TLpProfileFile(RunState.SettingsPath).ReadString("Larkpost", "BodyFile", ""), "LarkpostBody.rtf");

    TLpShell later({"/opt/larkpost/larkpost"});  // a later run reads it back
    ReadINISettings(later);
    EXPECT_EQ(later.SendSettings.Body(), Lines{"nightly body"});
}

TEST(WriteINISettings, LeavesLegacyKeysAndFileKeysBeyondTheCount) {
    TSettingsRun run;
    run.Ini("[Larkpost]\nPassword=\x9E\nPassword_AES=abcd\nFileCount=3\nFile0=a\nFile1=b\nFile2=c\n");
    run.shell.SendSettings.AddFile("only.txt");
    WriteINISettings(run.shell);
    TLpProfileFile ini(RunState.SettingsPath);
    EXPECT_EQ(ini.ReadInteger("Larkpost", "FileCount", -1), 1);
    EXPECT_EQ(ini.ReadString("Larkpost", "File0", ""), "only.txt");
    EXPECT_EQ(ini.ReadString("Larkpost", "File1", ""), "b");
    EXPECT_EQ(ini.ReadString("Larkpost", "File2", ""), "c");
    EXPECT_TRUE(ini.ValueExists("Larkpost", "Password"));
    EXPECT_EQ(ini.ReadString("Larkpost", "Password_AES", ""), "abcd");
}

TEST(WriteINISettings, OpenPointsSaveWhatTheSendWouldUse) {
    TSettingsRun run;
    run.shell.SendSettings.SetAuthType(9);  // no entry selected
    RunState.SettingsPath.clear();          // as after /NOS
    WriteINISettings(run.shell);
    EXPECT_EQ(RunState.SettingsPath, run.dir.File("Larkpost.ini"));
    EXPECT_EQ(TLpProfileFile(RunState.SettingsPath).ReadInteger("Larkpost", "AuthType", -1), 0);
    EXPECT_EQ(run.Log(), Lines{"TS Settings saved to " + run.dir.File("Larkpost.ini")});
}

// The file holds Password3, so one the save creates is its owner's alone; the body beside it is
// not secret. A file that exists keeps the mode its owner gave it.
TEST(WriteINISettings, NewSettingsFileIsPrivateAndAnExistingOneKeepsItsMode) {
    TSettingsRun run;
    FillForSave(run.shell.SendSettings);
    const mode_t oldMask = ::umask(022);
    WriteINISettings(run.shell);
    EXPECT_EQ(fs::status(run.dir.File("Larkpost.ini")).permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(run.dir.File("LarkpostBody.rtf")).permissions(), fs::perms(0644));
    fs::permissions(run.dir.File("Larkpost.ini"), fs::perms(0640));
    run.shell.SendSettings.SetHost("other.example.org");
    WriteINISettings(run.shell);
    EXPECT_EQ(fs::status(run.dir.File("Larkpost.ini")).permissions(), fs::perms(0640));
    ::umask(oldMask);
}

TEST(WriteINISettings, UnwritableFileRaisesTheSpecifiedError) {
    TSettingsRun run;
    fs::create_directory(run.dir.File("Larkpost.ini"));
    try {
        WriteINISettings(run.shell);
        ADD_FAILURE() << "no exception";
    } catch (const ELpIniFileException& e) {
        EXPECT_EQ(std::string(e.what()), "Unable to write to " + run.dir.File("Larkpost.ini"));
    }
    EXPECT_TRUE(run.Log().empty());
}

// The disk fills up in the middle of a save: the keys before stay written, the file is whole.
TEST(WriteINISettings, FullDiskKeepsEveryKeyWrittenBeforeAndAWholeFile) {
    TSettingsRun run;
    TSendSettings& s = run.shell.SendSettings;
    s.SetHost("h");
    s.SetSubject(std::string(600, 's'));
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old;
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit tight = old;
    tight.rlim_cur = 512;
    ::setrlimit(RLIMIT_FSIZE, &tight);
    EXPECT_THROW(WriteINISettings(run.shell), ELpIniFileException);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, SIG_DFL);
    const std::string text = run.IniText();
    EXPECT_EQ(text.rfind("[Larkpost]\nHost=h\nPort=25\nAuthType=0\n", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 5), "bcc=\n");
    EXPECT_EQ(text.find("Subject"), std::string::npos);
    for (const auto& e : fs::directory_iterator(run.dir.Dir()))
        EXPECT_EQ(e.path().filename(), "Larkpost.ini") << "no temporary file is left behind";
}

// The precedence of the two loading orders, through Init as a run would go.
TEST(SettingsPrecedence, DefaultModeSwitchesWinSlashSSkipsAndTakesTheRest) {
    struct Case { std::vector<const char*> args; const char* host; const char* port; bool saveLog; };
    const Case cases[] = {
        {{"/I", "/HOST", "cmd.example", "/LOG"}, "cmd.example", "2525", true},
        {{"/I", "/S", "Larkpost.ini", "/HOST", "cmd.example", "/LOG"}, "cmd.example", "2525", false},
        {{"/I", "/NOS", "/LOG"}, "localhost", "25", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.size());
        TTempDir dir;
        dir.Write("Larkpost.ini", "[Larkpost]\nHost=file.example\nPort=2525\nSaveLog=0\n");
        TLpArgs args{"/opt/larkpost/larkpost"};
        for (const char* a : c.args) args.emplace_back(a);
        RunState = TRunState{};
        TLpShell shell(args);
        TRecordingWindows windows;
        shell.SetWindows(&windows);
        shell.LocateExeDir = [&] { return dir.Dir(); };
        shell.Init();
        EXPECT_EQ(shell.SendSettings.Host(), c.host);
        EXPECT_EQ(shell.SendSettings.Port(), c.port);
        EXPECT_EQ(shell.SendSettings.SaveLog(), c.saveLog);
    }
}

}  // namespace
}  // namespace larkpost
