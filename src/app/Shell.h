// The application shell: start-up and run modes (Init), the exit sequence (ExitProgram), the
// one application-wide exception handler (AppException), and the objects one run shares.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "app/ActivityLog.h"
#include "app/SendSettings.h"
#include "app/SwitchValues.h"
#include "app/Switches.h"
#include "app/Windows.h"
#include "net/LogFile.h"
#include "platform/Paths.h"

namespace larkpost {

bool RunsFromInstallFolder(const std::string& exeDir);

class TLpShell {
public:
    explicit TLpShell(TLpArgs args);

    // The main window's first-show handler: decides the run mode, loads settings and switches,
    // then sends (unattended) or reveals the main window (interactive). Raises what it meets.
    void Init();
    // Init with its exceptions passed to AppException, as the event loop does; what the window
    // implementations call on the first show.
    void RunInit();
    // Ends the program with RunState.ReturnCode (debug box, log save, connection log off).
    void ExitProgram();
    // The application-wide exception handler.
    void AppException(const std::exception& e);
    // The two activity-log lines AppException writes for e, alone (a failed attempt that is
    // tried again).
    void LogException(const std::exception& e);
    // Runs an event handler, passing what escapes it to AppException.
    void HandleEvent(const std::function<void()>& handler);

    // Exit button and menu entry.
    void Exit1Click();
    // The application hint handler: the status bar shows the hint.
    void ShowHint(const std::string& hint);
    // SaveSMTPLog became checked or unchecked.
    void SaveSMTPLogCheckBoxClick(bool checked);
    // Opens Larkpost_SMTP.log when it exists.
    void ViewLogButtonClick();

    const TLpArgs& Args() const { return m_args; }
    ILpWindows& Windows() { return *m_windows; }
    void SetWindows(ILpWindows* windows) { m_windows = windows; }

    // The application title, caption of plain message boxes.
    std::string Title = "Larkpost";
    TSendSettings SendSettings;
    TSwitchValues SwitchValues;
    TActivityLog ActivityLog;

    // The send an unattended run makes (SendMsgClick); set by whoever builds the send
    // components. It sets RunState.ReturnCode itself.
    std::function<void()> SendMsgClick;
    // Stops the send under way (from another thread or a signal handler too); set beside
    // SendMsgClick.
    std::function<void()> CancelSend;
    // The connection log of the SMTP conversation, attached to the SMTP client by the send.
    TLpLogFile LpLogFile1;
    // Switch LpLogFile1 on with its file name, and off at exit; tests replace them.
    std::function<void(const std::string& fileName)> StartSMTPLog;
    std::function<void()> StopSMTPLog;
    // What the send was doing and with whom when it failed ("cannot connect to mail.example.com
    // port 587"): put before the reason on standard error; empty when the reason says it all.
    std::string FailureContext;
    // Where Init finds the executable's directory; tests point it at a folder of their own.
    std::function<std::string()> LocateExeDir = [] { return ExeDir(); };
    // Whether the program runs from the folder it was installed to; tests say yes or no.
    std::function<bool(const std::string& exeDir)> RunsInstalled = RunsFromInstallFolder;

    // The process exit code and whether the application was told to terminate.
    int ExitCode() const { return m_exitCode; }
    bool Terminated() const { return m_terminated; }

private:
    void Terminate(int exitCode);
    void RevealOrEnd(bool selectFirstPage);

    TLpArgs m_args;
    ILpWindows* m_windows = nullptr;
    int m_exitCode = 0;
    bool m_terminated = false;
};

// The debug dump of the switches, joined by "\n": the 27 lines of old, then one line for each
// switch added since.
std::string DebugDump(const TSwitchValues& switches);
// True when `exeDir` is, after resolving links, the bin folder the build was configured to
// install to.
bool RunsFromInstallFolder(const std::string& exeDir);
// The user's folder `variable` ("XDG_CONFIG_HOME") names, or HOME + `fallback`, + "larkpost/".
std::string UserFolder(const char* variable, const char* fallback);
// Creates `dir` and its missing parents, readable by the owner only; raises ELpFileError.
void MakePrivateFolder(const std::string& dir);
// `text` as one line a terminal can show safely: line breaks as in the activity log, every other
// control character (C0, DEL and C1) written as \xHH, no trailing blanks.
std::string TerminalLine(const std::string& text);
// Writes "larkpost: " and TerminalLine(text) to standard error.
void WarnOnStderr(const std::string& text);
// The plain-text help and version texts the headless windows print.
std::string HelpText();
std::string AboutText();

}  // namespace larkpost
