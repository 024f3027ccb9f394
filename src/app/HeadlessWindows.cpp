#include "app/HeadlessWindows.h"

#include <iostream>

#include "app/Shell.h"

namespace larkpost {

TLpHeadlessWindows::TLpHeadlessWindows(TLpShell& shell)
    : TLpHeadlessWindows(shell, std::cout, std::cerr) {}

TLpHeadlessWindows::TLpHeadlessWindows(TLpShell& shell, std::ostream& out, std::ostream& err)
    : m_shell(shell), m_out(out), m_err(err) {}

void TLpHeadlessWindows::Run() {
    m_shell.RunInit();
}

void TLpHeadlessWindows::ShowHelp() {
    m_out << HelpText() << std::flush;
}

void TLpHeadlessWindows::ShowAbout() {
    m_out << AboutText() << std::flush;
}

void TLpHeadlessWindows::ShowMessage(const std::string& text) {
    m_out << text << std::endl;
}

void TLpHeadlessWindows::ShowInformation(const std::string& text) {
    m_out << text << std::endl;
}

void TLpHeadlessWindows::ShowError(const std::string& text) {
    m_err << text << std::endl;
}

bool TLpHeadlessWindows::RevealMainWindow(bool) {
    m_err << "larkpost: cannot open the window: "
          << (m_reason.empty() ? "no display is available" : m_reason)
          << " (give switches for an unattended send, or /? for help)" << std::endl;
    return false;
}

}  // namespace larkpost
