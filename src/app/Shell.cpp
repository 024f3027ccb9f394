#include "app/Shell.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <iostream>

#include "app/Conversions.h"
#include "app/RunState.h"
#include "app/SettingsFile.h"
#include "app/VersionInfo.h"
#include "platform/Paths.h"
#include "platform/SystemError.h"
#include "smtp/SMTPBase.h"

namespace larkpost {

namespace {

// Line feeds become spaces, then carriage returns full stops, so a CR LF pair reads ". ".
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n') c = ' ';
    // A CR after a full stop adds none: "SSL.\r\nerror" reads "SSL. error", not "SSL.. error".
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != '\r') {
            out += c;
        } else if (out.empty() || out.back() != '.') {
            out += '.';
        }
    }
    return out;
}

// How long a run waits for another run's hold on a log file they share: its own time-out, with
// the time-out's meaning (0 or less: no limit). A time-out that is not a number fails the send,
// but the log of that failure still waits the default time.
int LockWaitFor(const std::string& timeout) {
    int seconds = 30;
    try {
        seconds = StrToInt(timeout);
    } catch (const ELpConvertError&) {
    }
    if (seconds <= 0) return -1;
    return seconds > INT_MAX / 1000 ? INT_MAX : seconds * 1000;
}

std::string Flag(bool present) {
    return present ? "1" : "0";
}

std::string ValueLine(const char* label, const TSwitchValue& v) {
    return label + Flag(v.Present) + " Value=" + v.Value;
}

// Entries joined by ","; one holding a blank, a control character, a comma or a double quote is
// quoted with inner quotes doubled; a list of one empty entry is written as two quotes.
std::string CommaText(const std::vector<std::string>& entries) {
    if (entries.size() == 1 && entries[0].empty()) return "\"\"";
    std::string out;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i > 0) out += ',';
        const std::string& e = entries[i];
        bool quote = false;
        for (char c : e)
            if (static_cast<unsigned char>(c) <= ' ' || c == ',' || c == '"') quote = true;
        if (!quote) {
            out += e;
            continue;
        }
        out += '"';
        for (char c : e) {
            if (c == '"') out += '"';
            out += c;
        }
        out += '"';
    }
    return out;
}

}  // namespace

TLpShell::TLpShell(TLpArgs args) : m_args(std::move(args)) {
    SendSettings.OnSaveSMTPLogClick = [this](bool checked) { SaveSMTPLogCheckBoxClick(checked); };
    StartSMTPLog = [this](const std::string& fileName) {
        // Checked again while the log runs: it goes on into the same file (a running log
        // refuses a new file name).
        if (LpLogFile1.Active()) return;
        LpLogFile1.SetFilename(fileName);
        // A run started by a script waits while another run's conversation is being logged; a
        // person at the window is told at once rather than left facing a window that hangs.
        LpLogFile1.SetLockWait(RunState.Interactive ? 0 : LockWaitFor(SendSettings.Timeout()));
        LpLogFile1.SetActive(true);
    };
    StopSMTPLog = [this] { LpLogFile1.SetActive(false); };
}

void TLpShell::Init() {
    RunState.ExeDir = LocateExeDir();
    // Installed, the program's folder belongs to the system, not to the user who runs it; a
    // Larkpost.ini beside it keeps the portable layout.
    RunState.ConfigDir = RunState.ExeDir;
    RunState.LogDir = RunState.ExeDir;
    if (RunsInstalled(RunState.ExeDir) && !FileExists(RunState.ExeDir + "Larkpost.ini")) {
        RunState.ConfigDir = UserFolder("XDG_CONFIG_HOME", "/.config");
        RunState.LogDir = UserFolder("XDG_STATE_HOME", "/.local/state");
    }

    TSwitchValues& sw = SwitchValues;
    sw.I = FindSwitch(m_args, "I");
    sw.D = FindSwitch(m_args, "D");
    sw.Help = FindSwitch(m_args, "?") || FindSwitch(m_args, "H") || FindSwitch(m_args, "-HELP");
    sw.V = FindSwitch(m_args, "V") || FindSwitch(m_args, "-VERSION");
    sw.S.Present = FindSwitch(m_args, "S");
    sw.NOS = FindSwitch(m_args, "NOS");
    sw.Log = FindSwitch(m_args, "LOG");
    sw.LogSMTP = FindSwitch(m_args, "LOGSMTP");

    const bool hasArguments = m_args.size() > 1;
    RunState.Interactive = true;
    if (hasArguments) RunState.Interactive = false;
    if (sw.I) RunState.Interactive = true;
    if (!hasArguments) RunState.Interactive = true;

    RunState.Debug = false;
    if (sw.D) RunState.Debug = true;
    if (RunState.Debug) RunState.Interactive = true;

    if (sw.Help) {
        Windows().ShowHelp();
        RunState.ReturnCode = 0;
        ExitProgram();
        return;
    }
    if (sw.V) {
        Windows().ShowAbout();
        RunState.ReturnCode = 0;
        ExitProgram();
        return;
    }
    // A mistyped switch would otherwise be taken for a word of the message or silently dropped.
    for (const std::string& warning : CommandLineWarnings(m_args)) WarnOnStderr(warning);
    if (sw.NOS) {
        ReadCmdLineSettings(m_args, sw, SendSettings);
    } else if (sw.S.Present) {
        ReadCmdLineSettings(m_args, sw, SendSettings);
        const std::string v = ExpandEnvVars(GetParam(m_args, "S"));
        sw.S.Value = v;
        if (v.empty())
            RunState.SettingsPath = ConfigDirOf(RunState) + "Larkpost.ini";
        else if (!HasDirectoryPart(v))
            RunState.SettingsPath = ConfigDirOf(RunState) + v;
        else
            RunState.SettingsPath = v;
        if (FileExists(RunState.SettingsPath)) {
            ReadINISettings(*this);
        } else {
            const std::string message = "Could not find settings file " + RunState.SettingsPath;
            if (RunState.Interactive) Windows().ShowError(message);
            RunState.ReturnCode = 2;
            if (!RunState.Interactive) {
                // No window and no box, but a script's log should still say why.
                WarnOnStderr(message);
                ExitProgram();
                return;
            }
        }
    } else {
        RunState.SettingsPath = ConfigDirOf(RunState) + "Larkpost.ini";
        if (FileExists(RunState.SettingsPath)) ReadINISettings(*this);
        ReadCmdLineSettings(m_args, sw, SendSettings);
    }

    if (RunState.Debug) Windows().ShowInformation(DebugDump(sw));

    if (RunState.Interactive) {
        RevealOrEnd(true);
        return;
    }
    if (!SendMsgClick) throw ELpException("Sending is not available in this build of Larkpost");
    SendMsgClick();
    ExitProgram();
}

void TLpShell::RunInit() {
    HandleEvent([this] { Init(); });
}

void TLpShell::ExitProgram() {
    if (RunState.Debug)
        Windows().ShowMessage("Return Code = " + std::to_string(RunState.ReturnCode));
    if (SendSettings.SaveLog() && !ActivityLog.Lines().empty()) MakePrivateFolder(LogDirOf(RunState));
    if (SendSettings.SaveLog()) ActivityLog.SaveLog(LogDirOf(RunState) + "Larkpost.log", LockWaitFor(SendSettings.Timeout()));
    if (SendSettings.SaveSMTPLog() && StopSMTPLog) StopSMTPLog();
    Terminate(RunState.ReturnCode);
}

void TLpShell::AppException(const std::exception& e) {
    LogException(e);
    const auto* own = dynamic_cast<const ELpException*>(&e);
    const std::string what = own ? own->Message() : e.what();

    if (!RunState.Interactive) {
        // "SSL negotiation failed." alone leaves a script's author guessing; the cause (a missing
        // library, the peer's alert) travels inside it.
        std::string reason = what;
        if (const auto* tls = dynamic_cast<const ELpTLSClientTLSHandShakeFailed*>(&e);
            tls != nullptr && !tls->InnerMessage().empty())
            reason += " (" + tls->InnerMessage() + ")";
        if (!FailureContext.empty()) reason = FailureContext + ": " + reason;
        WarnOnStderr(reason);
        Terminate(1);
        return;
    }
    std::string message;
    for (char c : what) {
        if (c == '\0') message += "\\x00";
        else message += c;
    }
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') message += '.';
    const bool revealed = Windows().RevealMainWindow(false);
    Windows().ShowError(message);
    // Without a window the user has nothing to go on with.
    if (!revealed) Terminate(1);
}

void TLpShell::LogException(const std::exception& e) {
    // Taken first: anything below may touch errno.
    const int lastError = errno;
    const auto* own = dynamic_cast<const ELpException*>(&e);
    const std::string className = own ? own->ClassName() : "Exception";
    const std::string what = own ? own->Message() : e.what();
    ActivityLog.Add(" Exception: " + OneLine(className + " " + what));
    ActivityLog.Add(" Exception: " + OneLine(SysErrorMessage(lastError)));
}

void TLpShell::HandleEvent(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        AppException(e);
    } catch (...) {
        // Nothing of ours throws anything else, but an escape would end the process unlogged.
        AppException(ELpException("Unknown exception"));
    }
}

void TLpShell::Exit1Click() {
    RunState.ReturnCode = 0;
    ExitProgram();
}

void TLpShell::ShowHint(const std::string& hint) {
    Windows().SetStatusText(hint);
}

void TLpShell::SaveSMTPLogCheckBoxClick(bool checked) {
    // Unchecking does not stop a log already running; ExitProgram does at the end.
    if (checked && StartSMTPLog) {
        MakePrivateFolder(LogDirOf(RunState));
        StartSMTPLog(LogDirOf(RunState) + "Larkpost_SMTP.log");
    }
}

void TLpShell::ViewLogButtonClick() {
    const std::string path = LogDirOf(RunState) + "Larkpost_SMTP.log";
    if (FileExists(path)) Windows().OpenWithShell(path);
}

void TLpShell::Terminate(int exitCode) {
    m_exitCode = exitCode;
    m_terminated = true;
    if (m_windows) m_windows->Terminate();
}

void TLpShell::RevealOrEnd(bool selectFirstPage) {
    if (!Windows().RevealMainWindow(selectFirstPage)) Terminate(1);
}

std::string HelpBody();

std::string DebugDump(const TSwitchValues& sw) {
    const std::string lines[] = {
        "[Larkpost Switches and Settings]",
        "/V=" + Flag(sw.V),
        "/I=" + Flag(sw.I),
        "/D=" + Flag(sw.D),
        ValueLine("/S=", sw.S),
        "/NOS=" + Flag(sw.NOS),
        "/LOG=" + Flag(sw.Log),
        "/LOGSMTP=" + Flag(sw.LogSMTP),
        ValueLine("/HOST=", sw.Host),
        ValueLine("/PORT=", sw.Port),
        ValueLine("/AUTH=", sw.Auth),
        ValueLine("/USERID=", sw.UserID),
        ValueLine("/PASS=", sw.Pass),
        ValueLine("/PASSX=", sw.PassX),
        ValueLine("/PASS3=", sw.Pass3),
        ValueLine("/MailAgent=", sw.MailAgent),
        ValueLine("/HeloName=", sw.HeloName),
        ValueLine("/FROM=", sw.From),
        ValueLine("/TO=", sw.To),
        ValueLine("/REPLYTO=", sw.ReplyTo),
        ValueLine("/CC=", sw.Cc),
        ValueLine("/BCC=", sw.Bcc),
        ValueLine("/SUBJECT=", sw.Subject),
        ValueLine("/BODY=", sw.Body),
        ValueLine("/BODYFILE=", sw.BodyFile),
        ValueLine("/TYPE=", sw.Type),
        "/FILES=" + Flag(sw.Files) + " Value(s)=" + CommaText(sw.FileEntries),
        ValueLine("/PASSCMD=", sw.PassCmd),
        ValueLine("/TLS=", sw.Tls),
        "/VERIFY=" + Flag(sw.Verify),
        ValueLine("/CAFILE=", sw.CAFile),
        ValueLine("/FINGERPRINT=", sw.Fingerprint),
        ValueLine("/RETRY=", sw.Retry),
        ValueLine("/RETRYWAIT=", sw.RetryWait),
        "Settings folder=" + ConfigDirOf(RunState),
        "Log folder=" + LogDirOf(RunState),
    };
    std::string dump;
    for (const std::string& line : lines) {
        if (!dump.empty()) dump += '\n';
        dump += line;
    }
    return dump;
}

bool RunsFromInstallFolder(const std::string& exeDir) {
    char* here = realpath(exeDir.c_str(), nullptr);
    char* installed = realpath(LARKPOST_INSTALL_BINDIR, nullptr);
    const bool same = here != nullptr && installed != nullptr && std::strcmp(here, installed) == 0;
    std::free(here);
    std::free(installed);
    return same;
}

std::string UserFolder(const char* variable, const char* fallback) {
    // The base-directory rules count an absolute path only; a relative one is ignored.
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/') return std::string(value) + "/larkpost/";
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + fallback + "/larkpost/";
}

void MakePrivateFolder(const std::string& dir) {
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at < dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        struct stat st {};
        if (stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) RaiseFileCreateError(part, errno);
    }
}

std::string TerminalLine(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    const std::string line = OneLine(text);
    std::string out;
    out.reserve(line.size());
    const auto escape = [&](unsigned char c) {
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    };
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(line[i]); };
    for (size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = byte(i);
        if (c < 0x20 || c == 0x7F) {
            escape(c);
            continue;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        // A whole UTF-8 sequence is copied, except U+0080..U+009F, the C1 controls a terminal
        // obeys (CSI is U+009B); a stray byte that an 8-bit terminal would take for one of them
        // is escaped too.
        const size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 1;
        bool whole = length > 1 && c <= 0xF4 && i + length <= line.size();
        for (size_t k = 1; whole && k < length; ++k) whole = (byte(i + k) & 0xC0) == 0x80;
        if (!whole) {
            if (c <= 0x9F) escape(c); else out += static_cast<char>(c);
            continue;
        }
        if (c == 0xC2 && byte(i + 1) <= 0x9F) escape(byte(i + 1));
        else out.append(line, i, length);
        i += length - 1;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

void WarnOnStderr(const std::string& text) {
    std::cerr << "larkpost: " << TerminalLine(text) << std::endl;
}

std::string AboutText() {
    return "Larkpost " + GetVersionText() + "\n";
}

std::string HelpText() {
    return "Larkpost " + GetVersionText() + HelpBody() + "\nFiles in use:\n  settings and body: " +
           ConfigDirOf(RunState) + "\n  logs:              " + LogDirOf(RunState) + "\n";
}

std::string HelpBody() {
    return R"( - sends one e-mail message through an SMTP server.

Usage: larkpost [switches]
  Without switches, or with /I or /D, the window opens; /?, /H and /V show this help or the
  version; other switches send the message at once and the program ends with a return code.
  Switches start with "/" or "-", in any case; each value is the argument that follows its
  switch.

  /? or /H or --help  this help
  /V or --version     version
  /I                  interactive: open the window filled from the settings and switches
  /D                  debug: show the switches read (implies /I)
  /S file             read this settings file after the switches (default Larkpost.ini
                      beside the program; a bare name is looked for there)
  /NOS                read no settings file at all
  /LOG                append the activity log to Larkpost.log at the end (with /S the
                      settings file's SaveLog decides instead)
  /LOGSMTP            append the SMTP conversation to Larkpost_SMTP.log
  /HOST name          SMTP server (default localhost)
  /PORT number        SMTP port (default 25)
  /AUTH 0|1|2|3       0 none, 1 user name and password (AUTH LOGIN), 2 SASL,
                      3 OAuth 2.0 access token (OAUTHBEARER or XOAUTH2; the password is
                      the token)
  /USERID name        user name
  /PASS text          password in plain text
  /PASS3 text         password enciphered as in the settings file (Password3)
  /PASSX text         password in the older enciphered form
  /FROM address       sender's address, also the name; "Name <address>" gives both
  /TO list            recipients, separated by commas
  /REPLYTO address    reply address
  /CC list            carbon-copy recipients
  /BCC list           blind carbon-copy recipients
  /SUBJECT text       subject
  /BODY text          body: one line of text
  /BODYFILE file      body: the text of a rich-text or plain-text file
  /FILES f1 f2,...    attachments, up to the next switch or argument that begins with "-";
                      in a comma list "|2c" is a comma; a missing file is skipped with a
                      warning
  /MAILAGENT text     X-Mailer text (default "Larkpost <version>")
  /HELONAME name      EHLO/HELO name (default "Larkpostv<version number>")
  /TYPE PLAIN|HTML    body format (default PLAIN)
  /PASSCMD "command"  with /AUTH 1, 2 or 3, run the command (/bin/sh -c) before connecting;
                      the first line it prints is the password (the access token under
                      /AUTH 3); /PASS, /PASS3 or /PASSX win over it, it wins over a stored
                      password
  /TLS mode           connection security: NONE (never TLS), IMPLICIT (TLS from the first
                      byte), REQUIRED (STARTTLS or fail), AUTO (STARTTLS when offered), or
                      0 to 3; default AUTO, but IMPLICIT on port 465
  /VERIFY             verify the server's certificate: a trusted chain, valid dates and the
                      host name; a failure ends the send before any login
  /CAFILE file        trust only the authorities in this PEM file (implies /VERIFY)
  /FINGERPRINT hash   accept exactly the certificate with this SHA-256 fingerprint (64 hex
                      digits, colons and "sha256:" allowed), also a self-signed one
  /RETRY n            after a transient failure (no connection, time-out, connection
                      lost before the end of the message, a 4xx reply) try up to n more
                      times from a new connection (default 0)
  /RETRYWAIT seconds  wait before the first retry, doubled before each further one, at
                      most 3600 (default 30)

  Paths may hold %NAME% environment references. An unknown switch, and a switch that
  needs a value but stands last, is warned about on standard error; the run goes on.

Return codes:
  0  success
  1  failure
  2  settings file named by /S not found
)";
}

}  // namespace larkpost
