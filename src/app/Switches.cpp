#include "app/Switches.h"

#include <strings.h>

#include "app/BodyFile.h"
#include "app/Conversions.h"
#include "crypto/PasswordCipher.h"
#include "mail/EMailAddress.h"
#include "platform/Environment.h"

namespace larkpost {

namespace {

std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

std::string Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The character of code `code` (0..255) in UTF-8.
void AppendCode(std::string& out, int code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
        return;
    }
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
}

bool IsSwitchArgument(const std::string& arg) {
    return !arg.empty() && (arg[0] == '/' || arg[0] == '-');
}

// Every switch the program knows. On this platform an absolute path begins with "/", so a "/"
// argument ends the /FILES list only when it is one of these; a "-" argument always ends it.
// "-HELP" and "-VERSION" are --help and --version.
const char* const kNames[] = {
        "?",      "H",    "V",   "I",    "D",       "S",     "NOS",       "LOG",
        "LOGSMTP", "HOST", "PORT", "AUTH", "USERID", "PASS", "PASS3",     "PASSX",
        "FROM",   "TO",   "REPLYTO", "CC", "BCC",    "SUBJECT", "BODY",   "BODYFILE",
        "FILES",  "MAILAGENT", "HELONAME", "TYPE",
        "PASSCMD",
        "TLS", "VERIFY", "CAFILE", "FINGERPRINT",
        "RETRY",  "RETRYWAIT",
        "-HELP",  "-VERSION",
};

bool IsKnownSwitch(const std::string& arg) {
    if (!IsSwitchArgument(arg)) return false;
    for (const char* name : kNames)
        if (strcasecmp(arg.c_str() + 1, name) == 0) return true;
    return false;
}

// The name of the switch in `arg` when it is one of ours, in upper case; empty otherwise.
std::string KnownSwitchName(const std::string& arg) {
    if (!IsSwitchArgument(arg)) return {};
    for (const char* name : kNames)
        if (strcasecmp(arg.c_str() + 1, name) == 0) return name;
    return {};
}

// Switches that stand alone; every other switch of ours takes the argument after it, so that
// argument is never taken for a switch of its own ("/SUBJECT /tmp", "/CAFILE /etc/ssl/x.pem").
const char* const kFlagNames[] = {"?", "H", "V", "I", "D", "NOS", "LOG", "LOGSMTP", "VERIFY", "-HELP",
                                  "-VERSION"};

// Switches whose value a run cannot do without: standing last, each gets a warning. Names that
// are not (yet) in kNames are never looked at.
const char* const kValueNames[] = {
    "S",    "HOST",    "PORT", "AUTH",     "USERID",    "PASS",     "PASS3",
    "PASSX", "FROM",   "TO",   "REPLYTO",  "CC",        "BCC",      "SUBJECT",
    "BODY", "BODYFILE", "FILES", "MAILAGENT", "HELONAME", "TYPE",    "TLS",
    "CAFILE", "FINGERPRINT", "PASSCMD", "RETRY", "RETRYWAIT",
};

bool IsOneOf(const std::string& name, const char* const* begin, const char* const* end) {
    for (const char* const* n = begin; n != end; ++n)
        if (name == *n) return true;
    return false;
}

}  // namespace

int ParseUseTLS(const std::string& value) {
    static const char* const kNames[] = {"NONE", "IMPLICIT", "REQUIRED", "AUTO"};
    const std::string text = Trim(value);
    for (int mode = kUseTLSNone; mode <= kUseTLSAuto; ++mode)
        if (strcasecmp(text.c_str(), kNames[mode]) == 0) return mode;
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '3') return text[0] - '0';
    throw ELpConvertError("Unknown connection security \"" + value +
                          "\" for /TLS: use NONE, IMPLICIT, REQUIRED or AUTO (or 0 to 3).");
}

std::vector<std::string> KnownSwitchNames() {
    std::vector<std::string> names;
    for (const char* name : kNames) names.push_back((name[0] == '-' ? "-" : "/") + std::string(name));
    return names;
}

std::vector<std::string> CommandLineWarnings(const TLpArgs& args) {
    std::vector<std::string> warnings;
    const size_t last = args.size() - 1;
    bool inFiles = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const std::string name = KnownSwitchName(arg);
        if (name.empty()) {
            // A /FILES entry or a plain word: only an argument that looks like a switch is ours
            // to warn about, and a "/path" after /FILES is a file ("-" ends the list).
            if (arg.rfind('-', 0) == 0) inFiles = false;
            if (!inFiles && IsSwitchArgument(arg))
                warnings.push_back("unknown switch " + arg + " (ignored)");
            continue;
        }
        inFiles = name == "FILES";
        if (IsOneOf(name, std::begin(kFlagNames), std::end(kFlagNames))) continue;
        if (i == last) {
            // Only the first occurrence gives a value, so a repeat standing last loses nothing.
            bool earlier = false;
            for (size_t j = 1; j < last; ++j) earlier = earlier || KnownSwitchName(args[j]) == name;
            if (!earlier && IsOneOf(name, std::begin(kValueNames), std::end(kValueNames)))
                warnings.push_back(arg + " is the last argument and has no value (taken as empty)");
        } else if (!inFiles) {
            ++i;  // its value, whatever it looks like
        }
    }
    return warnings;
}

bool FindSwitch(const TLpArgs& args, const std::string& name) {
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (IsSwitchArgument(arg) && strcasecmp(arg.c_str() + 1, name.c_str()) == 0) return true;
    }
    return false;
}

std::string GetParam(const TLpArgs& args, const std::string& name) {
    const std::string p = LowerAscii("/" + name);
    const std::string m = LowerAscii("-" + name);
    // The last argument cannot have a value after it, so it is never looked at.
    for (size_t i = 1; i + 1 < args.size(); ++i) {
        const std::string arg = LowerAscii(args[i]);
        if (arg == p || arg == m) return args[i + 1];
    }
    return {};
}

std::string ExpandEnvVars(const std::string& text) {
    return Trim(ExpandEnvironmentStrings(text));
}

std::string DecodeHexEscapes(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '|') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size()) throw ELpConvertError("Invalid hex digit in URL");
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) throw ELpConvertError("Invalid hex digit in URL");
        AppendCode(out, high * 16 + low);
        i += 2;
    }
    return out;
}

void SplitList(std::vector<std::string>& list, const std::string& text, char delimiter) {
    std::string t = text + delimiter;
    while (!t.empty()) {
        const size_t p = t.find(delimiter);
        if (p == std::string::npos) {
            // Only reachable when trimming removed the final delimiter (a blank delimiter).
            list.push_back(DecodeHexEscapes(t));
            return;
        }
        list.push_back(DecodeHexEscapes(t.substr(0, p)));
        t = Trim(t.substr(p + 1));
    }
}

std::vector<std::string> CollectFiles(const TLpArgs& args) {
    std::vector<std::string> entries;
    size_t first = 0;
    for (size_t i = 1; i + 1 < args.size(); ++i) {
        const std::string arg = LowerAscii(args[i]);
        if (arg == "/files" || arg == "-files") {
            first = i;
            break;
        }
    }
    if (first == 0) return entries;
    for (size_t j = first + 1; j < args.size(); ++j) {
        if (args[j].rfind('-', 0) == 0 || IsKnownSwitch(args[j])) break;
        std::string s = Trim(args[j]);
        if (!s.empty() && s.front() == ',') s.erase(0, 1);
        if (!s.empty() && s.back() == ',') s.pop_back();
        if (s.find(',') == std::string::npos)
            entries.push_back(s);  // taken literally: "|" escapes only count inside a list
        else
            SplitList(entries, s, ',');
    }
    return entries;
}

void ReadCmdLineSettings(const TLpArgs& args, TSwitchValues& sw, TSendSettings& settings) {
    struct Entry {
        const char* name;
        TSwitchValue* value;
    };
    // The order in which values are taken.
    const Entry entries[] = {
        {"HOST", &sw.Host},
        {"PORT", &sw.Port},
        {"USERID", &sw.UserID},
        {"PASS", &sw.Pass},
        {"PASSX", &sw.PassX},
        {"PASS3", &sw.Pass3},
        {"AUTH", &sw.Auth},
        {"FROM", &sw.From},
        {"TO", &sw.To},
        {"REPLYTO", &sw.ReplyTo},
        {"CC", &sw.Cc},
        {"BCC", &sw.Bcc},
        {"SUBJECT", &sw.Subject},
        {"BODYFILE", &sw.BodyFile},
        {"BODY", &sw.Body},
        {"MAILAGENT", &sw.MailAgent},
        {"HELONAME", &sw.HeloName},
        {"TYPE", &sw.Type},
        {"PASSCMD", &sw.PassCmd},
        {"RETRY", &sw.Retry},
        {"RETRYWAIT", &sw.RetryWait},
    };
    for (const Entry& e : entries) e.value->Present = FindSwitch(args, e.name);
    sw.Files = FindSwitch(args, "FILES");
    sw.Log = FindSwitch(args, "LOG");
    sw.LogSMTP = FindSwitch(args, "LOGSMTP");

    for (const Entry& e : entries) e.value->Value = e.value->Present ? GetParam(args, e.name) : "";
    if (sw.BodyFile.Present) sw.BodyFile.Value = ExpandEnvVars(sw.BodyFile.Value);

    sw.FileEntries.clear();
    if (sw.Files) {
        settings.ClearFiles();
        sw.FileEntries = CollectFiles(args);
    }

    if (sw.Host.Present) settings.SetHost(sw.Host.Value);
    if (sw.Port.Present) settings.SetPort(sw.Port.Value);
    if (sw.UserID.Present) settings.SetUserID(sw.UserID.Value);
    // Applied weakest first, so /PASS wins over /PASSX, which wins over /PASS3.
    if (sw.Pass3.Present) settings.SetPassword(DecryptPassword(sw.Pass3.Value));
    if (sw.PassX.Present) settings.SetPassword(DecryptLegacyAES(sw.PassX.Value));
    if (sw.Pass.Present) settings.SetPassword(sw.Pass.Value);
    if (sw.Auth.Present) settings.SetAuthType(StrToInt(sw.Auth.Value));
    if (sw.Log) settings.SetSaveLog(true);
    if (sw.LogSMTP) settings.SetSaveSMTPLog(true);
    if (sw.From.Present) {
        // "Jane Doe <jane@example.com>" as a whole would go into MAIL FROM and be refused; a bare
        // address stays both name and address.
        TLpEMailAddressItem from;
        if (sw.From.Value.find('<') != std::string::npos) from.SetText(sw.From.Value);
        if (!from.Address().empty()) {
            settings.SetFromName(from.Name());
            settings.SetFromAddr(from.Address());
        } else {
            settings.SetFromName(sw.From.Value);
            settings.SetFromAddr(sw.From.Value);
        }
    }
    if (sw.To.Present) settings.SetTo(sw.To.Value);
    if (sw.ReplyTo.Present) settings.SetReplyTo(sw.ReplyTo.Value);
    if (sw.Cc.Present) settings.SetCc(sw.Cc.Value);
    if (sw.Bcc.Present) settings.SetBcc(sw.Bcc.Value);
    if (sw.Subject.Present) settings.SetSubject(sw.Subject.Value);
    if (sw.MailAgent.Present) settings.SetMailAgent(sw.MailAgent.Value);
    if (sw.HeloName.Present) settings.SetHeloName(sw.HeloName.Value);
    if (sw.PassCmd.Present) settings.SetPasswordCommand(sw.PassCmd.Value);
    if (sw.Body.Present) settings.SetBody({sw.Body.Value});
    if (sw.BodyFile.Present) {
        settings.ClearBody();
        settings.SetBody(LoadBodyFile(sw.BodyFile.Value));
    }
    if (sw.Files) {
        settings.ClearFiles();
        for (const std::string& entry : sw.FileEntries) settings.AddFile(ExpandEnvVars(entry));
    }
    if (sw.Type.Present) {
        const std::string type = LowerAscii(sw.Type.Value);
        settings.SetContentType(type == "html" ? kContentTypeHtml : kContentTypeText);
    }

    sw.Tls.Present = FindSwitch(args, "TLS");
    sw.Tls.Value = sw.Tls.Present ? GetParam(args, "TLS") : "";
    if (sw.Tls.Present) settings.SetUseTLS(ParseUseTLS(sw.Tls.Value));

    sw.Verify = FindSwitch(args, "VERIFY");
    sw.CAFile.Present = FindSwitch(args, "CAFILE");
    sw.CAFile.Value = sw.CAFile.Present ? ExpandEnvVars(GetParam(args, "CAFILE")) : "";
    sw.Fingerprint.Present = FindSwitch(args, "FINGERPRINT");
    sw.Fingerprint.Value = sw.Fingerprint.Present ? GetParam(args, "FINGERPRINT") : "";
    // Naming the authorities to trust says that certificates are to be checked: /CAFILE alone
    // must not leave the server unchecked. Neither switch can switch the check off.
    if (sw.Verify || sw.CAFile.Present) settings.SetVerifyCertificate(true);
    if (sw.CAFile.Present) settings.SetCAFile(sw.CAFile.Value);
    if (sw.Fingerprint.Present) settings.SetCertificateFingerprint(sw.Fingerprint.Value);
    if (sw.Retry.Present) settings.SetRetries(sw.Retry.Value);
    if (sw.RetryWait.Present) settings.SetRetryWait(sw.RetryWait.Value);
}

bool WantsWindows(const TLpArgs& args) {
    return args.size() <= 1 || FindSwitch(args, "I") || FindSwitch(args, "D") ||
           FindSwitch(args, "?") || FindSwitch(args, "H") || FindSwitch(args, "V") ||
           FindSwitch(args, "-HELP") || FindSwitch(args, "-VERSION");
}

}  // namespace larkpost
