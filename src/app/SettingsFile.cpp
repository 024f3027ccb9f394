#include "app/SettingsFile.h"

#include <algorithm>

#include "app/BodyFile.h"
#include "app/RunState.h"
#include "app/Shell.h"
#include "crypto/PasswordCipher.h"
#include "platform/FileWrite.h"
#include "platform/Paths.h"
#include "platform/ProfileFile.h"

namespace larkpost {

namespace {

constexpr const char* kSection = kSettingsSection;

// A FileCount beyond any real list of attachments: reading stops there, so a damaged file
// cannot keep the program busy writing millions of "could not be found" lines.
constexpr int kMaxFileCount = 10000;

const char* const kNotFound = " File could not be found.";

void ReadPasswords(TLpProfileFile& ini, const TSwitchValues& sw, TSendSettings& s) {
    // Any password switch wins over what the file holds, as /PASS does; the migration runs
    // regardless, so the legacy key is gone after one read. Password3 and the removal of the
    // legacy key go to disk together: a failure between them would leave the legacy key in a
    // file already rewritten as UTF-8, whose bytes would then decode to another password.
    const bool passwordSwitch = sw.Pass.Present || sw.PassX.Present || sw.Pass3.Present;

    const std::u16string complemented = ini.ReadStoredUnits(kSection, "Password");
    if (!complemented.empty()) {
        const std::string decoded = DecodeLegacyPassword(complemented);
        if (!passwordSwitch) s.SetPassword(decoded);
        ini.WriteStringRemovingKey(kSection, "Password3", EncryptPassword(decoded), "Password");
    }

    const std::string aes = ini.ReadString(kSection, "Password_AES", "");
    if (!aes.empty()) {
        const std::string decoded = DecryptLegacyAES(aes);
        if (!passwordSwitch) s.SetPassword(decoded);
        ini.WriteStringRemovingKey(kSection, "Password3", EncryptPassword(decoded), "Password_AES");
        return;
    }
    if (passwordSwitch) return;
    s.SetPassword(DecryptPassword(ini.ReadString(kSection, "Password3", "")));
}

void ReadBody(TLpProfileFile& ini, TLpShell& shell) {
    const std::string v = ExpandEnvVars(ini.ReadString(kSection, "BodyFile", kBodyFileName));
    RunState.BodyFilePath = v;
    const std::string path = HasDirectoryPart(v) ? v : ConfigDirOf(RunState) + v;
    if (FileExists(path)) {
        shell.SendSettings.SetBody(LoadBodyFile(path));
        return;
    }
    shell.ActivityLog.Add(" ERROR: INI Setting=BodyFile Value=" + v + kNotFound);
}

void ReadFiles(TLpProfileFile& ini, TLpShell& shell) {
    const int count = std::min(ini.ReadInteger(kSection, "FileCount", 0), kMaxFileCount);
    for (int k = 0; k < count; ++k) {
        const std::string number = std::to_string(k);
        const std::string v = ExpandEnvVars(ini.ReadString(kSection, "File" + number, "ERROR!!!"));
        if (!FileExists(v)) {
            shell.ActivityLog.Add(" ERROR: INI Setting=File" + number + " Value=" + v + kNotFound);
            RunState.ReturnCode = 1;
            continue;
        }
        // Files beside the executable are kept by bare name; the comparison is exact, so a
        // directory that differs only in letter case keeps the full path.
        shell.SendSettings.AddFile(ExtractFilePath(v) == RunState.ExeDir ? ExtractFileName(v) : v);
    }
}

}  // namespace

void ReadINISettings(TLpShell& shell) {
    TSendSettings& s = shell.SendSettings;
    const TSwitchValues& sw = shell.SwitchValues;
    TLpProfileFile ini(RunState.SettingsPath, kPrivateFileMode);

    if (!sw.Host.Present) s.SetHost(ini.ReadString(kSection, "Host", "localhost"));
    if (!sw.Port.Present) s.SetPort(ini.ReadString(kSection, "Port", "25"));
    if (!sw.Auth.Present) s.SetAuthType(ini.ReadInteger(kSection, "AuthType", 0));
    if (!sw.UserID.Present) s.SetUserID(ini.ReadString(kSection, "UserID", "guest"));

    s.SetTimeout(ini.ReadString(kSection, "Timeout", "30"));
    s.SetSaveLog(ini.ReadBool(kSection, "SaveLog", false));
    s.SetSaveSMTPLog(ini.ReadBool(kSection, "SaveSMTPLog", false));

    ReadPasswords(ini, sw, s);

    if (!sw.From.Present) {
        s.SetFromName(ini.ReadString(kSection, "FromName", ""));
        s.SetFromAddr(ini.ReadString(kSection, "FromAddr", ""));
    }
    if (!sw.To.Present) s.SetTo(ini.ReadString(kSection, "To", ""));
    if (!sw.ReplyTo.Present) s.SetReplyTo(ini.ReadString(kSection, "ReplyTo", ""));
    if (!sw.Cc.Present) s.SetCc(ini.ReadString(kSection, "cc", ""));
    if (!sw.Bcc.Present) s.SetBcc(ini.ReadString(kSection, "bcc", ""));
    if (!sw.Type.Present) s.SetContentType(ini.ReadInteger(kSection, "ContentType", 0));
    if (!sw.Subject.Present) s.SetSubject(ini.ReadString(kSection, "Subject", ""));

    if (!sw.BodyFile.Present) ReadBody(ini, shell);
    if (!sw.Files) ReadFiles(ini, shell);

    if (!sw.MailAgent.Present) s.SetMailAgent(ini.ReadString(kSection, "MailAgent", ""));
    if (!sw.HeloName.Present) s.SetHeloName(ini.ReadString(kSection, "HeloName", ""));
    if (!sw.PassCmd.Present) s.SetPasswordCommand(ini.ReadString(kSection, "PasswordCommand", ""));
    if (!sw.Retry.Present) s.SetRetries(ini.ReadString(kSection, "Retries", "0"));
    if (!sw.RetryWait.Present) s.SetRetryWait(ini.ReadString(kSection, "RetryWait", "30"));

    // Absent (or no mode's number): none chosen, so port 465 still means implicit TLS.
    if (!sw.Tls.Present) s.SetUseTLS(ini.ReadInteger(kSection, "UseTLS", kUseTLSNotChosen));
    if (!sw.Verify && !sw.CAFile.Present)
        s.SetVerifyCertificate(ini.ReadBool(kSection, "VerifyCertificate", false));
    if (!sw.CAFile.Present) s.SetCAFile(ini.ReadString(kSection, "CAFile", ""));
    if (!sw.Fingerprint.Present)
        s.SetCertificateFingerprint(ini.ReadString(kSection, "CertificateFingerprint", ""));

    shell.ActivityLog.Add(" Settings read from " + RunState.SettingsPath);
}

void WriteINISettings(TLpShell& shell) {
    const TSendSettings& s = shell.SendSettings;
    // After /NOS there is no settings file in use; "as Default" then means the default one.
    if (RunState.SettingsPath.empty()) RunState.SettingsPath = ConfigDirOf(RunState) + "Larkpost.ini";
    if (ExtractFilePath(RunState.SettingsPath) == ConfigDirOf(RunState)) MakePrivateFolder(ConfigDirOf(RunState));
    TLpProfileFile ini(RunState.SettingsPath, kPrivateFileMode);

    ini.WriteString(kSection, "Host", s.Host());
    ini.WriteString(kSection, "Port", s.Port());
    // With no entry selected a send uses "No Authentication", so that is what is saved.
    ini.WriteInteger(kSection, "AuthType", s.AuthType() == kAuthNoEntry ? kAuthNone : s.AuthType());
    ini.WriteString(kSection, "Timeout", s.Timeout());
    ini.WriteString(kSection, "UserID", s.UserID());
    ini.WriteString(kSection, "Password3", EncryptPassword(s.Password()));
    ini.WriteBool(kSection, "SaveLog", s.SaveLog());
    ini.WriteBool(kSection, "SaveSMTPLog", s.SaveSMTPLog());
    ini.WriteInteger(kSection, "ContentType", s.ContentType());
    ini.WriteString(kSection, "FromName", s.FromName());
    ini.WriteString(kSection, "FromAddr", s.FromAddr());
    ini.WriteString(kSection, "To", s.To());
    ini.WriteString(kSection, "ReplyTo", s.ReplyTo());
    ini.WriteString(kSection, "cc", s.Cc());
    ini.WriteString(kSection, "bcc", s.Bcc());
    ini.WriteString(kSection, "Subject", s.Subject());

    // The body always goes beside the executable, whichever settings file is in use.
    SaveBodyFile(ConfigDirOf(RunState) + kBodyFileName, s.Body());
    ini.WriteString(kSection, "BodyFile", kBodyFileName);

    const std::vector<std::string>& files = s.Files();
    ini.WriteInteger(kSection, "FileCount", static_cast<int>(files.size()));
    for (size_t k = 0; k < files.size(); ++k)
        ini.WriteString(kSection, "File" + std::to_string(k), files[k]);

    ini.WriteString(kSection, "MailAgent", s.MailAgent());
    ini.WriteString(kSection, "HeloName", s.HeloName());
    // Written only when set, so a file saved without one stays as it always was.
    if (!s.PasswordCommand().empty())
        ini.WriteString(kSection, "PasswordCommand", s.PasswordCommand());
    else if (ini.ValueExists(kSection, "PasswordCommand"))
        ini.DeleteKey(kSection, "PasswordCommand");
    // Only a chosen mode is saved: a file without one keeps following the port.
    if (s.UseTLS() != kUseTLSNotChosen) ini.WriteInteger(kSection, "UseTLS", s.UseTLS());
    // Written only when set, so that a file saved without them reads as it always did.
    const auto writeOrRemove = [&](const char* key, const std::string& value) {
        if (!value.empty())
            ini.WriteString(kSection, key, value);
        else if (ini.ValueExists(kSection, key))
            ini.DeleteKey(kSection, key);
    };
    writeOrRemove("VerifyCertificate", s.VerifyCertificate() ? "1" : "");
    writeOrRemove("CAFile", s.CAFile());
    writeOrRemove("CertificateFingerprint", s.CertificateFingerprint());
    // Like the password command: a file saved with the defaults stays as it always was.
    const struct {
        const char* key;
        const std::string& value;
        const char* initial;
    } retryKeys[] = {{"Retries", s.Retries(), "0"}, {"RetryWait", s.RetryWait(), "30"}};
    for (const auto& k : retryKeys) {
        if (k.value != k.initial)
            ini.WriteString(kSection, k.key, k.value);
        else if (ini.ValueExists(kSection, k.key))
            ini.DeleteKey(kSection, k.key);
    }

    if (RunState.Interactive) shell.Windows().ShowInformation("Settings saved to " + RunState.SettingsPath);
    shell.ActivityLog.Add(" Settings saved to " + RunState.SettingsPath);
}

}  // namespace larkpost
