// The one interface through which the application shell reaches its windows. Two
// implementations: the Qt windows (src/ui, loadable as a module) and the headless one
// (app/HeadlessWindows.h) that serves unattended runs, tests, and machines without a display.
#pragma once

#include <string>

#include "app/SendProgress.h"

namespace larkpost {

class TLpShell;

class ILpWindows {
public:
    virtual ~ILpWindows() = default;

    // Runs the event loop until Terminate(). The first showing of the (transparent) main window
    // runs shell.RunInit(); a headless implementation calls it directly and returns.
    virtual void Run() = 0;
    // Ends the event loop once the current handler returns; the process exit code is the shell's.
    virtual void Terminate() = 0;

    // The help window ("Larkpost Help") and the about box ("About..."), shown modally; both
    // return when the window is closed.
    virtual void ShowHelp() = 0;
    virtual void ShowAbout() = 0;

    // Message boxes with an OK button, returning when dismissed. A plain box is captioned with
    // the application title "Larkpost".
    virtual void ShowMessage(const std::string& text) = 0;
    virtual void ShowInformation(const std::string& text) = 0;
    virtual void ShowError(const std::string& text) = 0;

    // Makes the main window opaque and visible; with `selectFirstPage` also selects the
    // "Message" tab. Returns false when no window can be shown (no display).
    virtual bool RevealMainWindow(bool selectFirstPage) = 0;

    // The status bar's single text (hints and SMTP status).
    virtual void SetStatusText(const std::string& text) = 0;
    // The hourglass cursor during a send.
    virtual void SetBusyCursor(bool busy) = 0;
    // Opens a file or web address with its associated application (the platform shell "open").
    virtual void OpenWithShell(const std::string& pathOrUrl) = 0;

    // How far the message of the send under way has got; the last report of a message has
    // Done set. Called often (about ten times a second while the message goes out).
    virtual void ShowProgress(const TLpSendProgress&) {}
};

// A window module exports this factory under kCreateWindowsSymbol. It returns nullptr when it
// cannot open a display; larkpost then falls back to the headless windows. argc and argv are
// handed to the toolkit; the returned object lives until larkpost deletes it.
using LpCreateWindowsFunc = ILpWindows* (*)(TLpShell& shell, int& argc, char** argv);
inline constexpr const char* kCreateWindowsSymbol = "LarkpostCreateWindows";
// File name of the window module, looked for in the executable's directory.
inline constexpr const char* kWindowsModuleName = "larkpost-ui.so";

}  // namespace larkpost
