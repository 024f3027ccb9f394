// Windows for runs without a display: help and version text to standard output, message boxes
// to standard output (errors to standard error), answered at once as if OK had been pressed.
#pragma once

#include <iosfwd>
#include <string>

#include "app/TerminalProgress.h"
#include "app/Windows.h"

namespace larkpost {

class TLpHeadlessWindows : public ILpWindows {
public:
    explicit TLpHeadlessWindows(TLpShell& shell);
    // Streams other than stdout and stderr, for tests.
    TLpHeadlessWindows(TLpShell& shell, std::ostream& out, std::ostream& err);

    void Run() override;
    void Terminate() override {}
    void ShowHelp() override;
    void ShowAbout() override;
    void ShowMessage(const std::string& text) override;
    void ShowInformation(const std::string& text) override;
    void ShowError(const std::string& text) override;
    // Prints why no window opens on standard error and returns false.
    bool RevealMainWindow(bool selectFirstPage) override;
    void SetStatusText(const std::string&) override {}
    void SetBusyCursor(bool) override {}
    void OpenWithShell(const std::string&) override {}
    // The progress line on standard error, when that is a terminal.
    void ShowProgress(const TLpSendProgress& progress) override { m_terminal.Show(progress); }

    // Why no window can open, for the line an interactive run ends with.
    void SetNoWindowReason(std::string reason) { m_reason = std::move(reason); }

private:
    TLpShell& m_shell;
    std::ostream& m_out;
    std::ostream& m_err;
    std::string m_reason = "no display is available";
    TLpTerminalProgress m_terminal;
};

}  // namespace larkpost
