// larkpost: sends one e-mail message, unattended from switches or through its window.
#include <clocale>
#include <memory>

#include "app/SendWorkflow.h"
#include "app/Shell.h"
#include "app/WindowModule.h"

int main(int argc, char** argv) {
    // Log time stamps use the user's date and time formats.
    std::setlocale(LC_TIME, "");
    larkpost::TLpShell shell(larkpost::TLpArgs(argv, argv + argc));
    // The send components live as long as the main window would; the windows, made after them,
    // go first.
    larkpost::TLpSendWorkflow sendWorkflow(shell);
    std::unique_ptr<larkpost::ILpWindows> windows = larkpost::CreateWindows(shell, argc, argv);
    shell.SetWindows(windows.get());
    windows->Run();
    return shell.ExitCode();
}
