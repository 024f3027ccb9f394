// The Qt windows behind the shell's window interface: the main window, the help window and the
// about box, message boxes, the status bar and the cursor. A send runs on a thread of its own;
// what it asks of the windows is done on the windows' thread while it waits.
#pragma once

#include <QByteArray>
#include <memory>

#include "app/Windows.h"

class QApplication;

namespace larkpost {

class TAboutBox;
class TForm1;
class TForm3;

class TLpQtWindows : public ILpWindows {
public:
    // Uses the running QApplication, or creates one (named after argv[0]) when there is none.
    // Applies the "Aqua Graphite" style and creates the three windows. A new QApplication opens
    // `platform` when one is given, else the one the environment names.
    TLpQtWindows(TLpShell& shell, int& argc, char** argv, const QByteArray& platform = {});
    ~TLpQtWindows() override;

    void Run() override;
    void Terminate() override;
    void ShowHelp() override;
    void ShowAbout() override;
    void ShowMessage(const std::string& text) override;
    void ShowInformation(const std::string& text) override;
    void ShowError(const std::string& text) override;
    bool RevealMainWindow(bool selectFirstPage) override;
    void SetStatusText(const std::string& text) override;
    void SetBusyCursor(bool busy) override;
    void OpenWithShell(const std::string& pathOrUrl) override;
    void ShowProgress(const TLpSendProgress& progress) override;

    TForm1& Form1() { return *m_form1; }
    TForm3& Form3() { return *m_form3; }
    TAboutBox& AboutBox() { return *m_aboutBox; }

protected:
    // The one place message boxes are shown; tests override it to record them.
    enum class TBoxKind { Plain, Information, Error };
    virtual void ShowBox(TBoxKind kind, const std::string& text);

private:
    TLpShell& m_shell;
    // The toolkit sees the program's path only: it would take arguments such as -reverse or
    // -title for itself, and they belong to the switches (a subject, a file name). The only
    // argument of its own is the platform chosen after trying it.
    int m_qtArgc = 1;
    char* m_qtArgv[4] = {nullptr, nullptr, nullptr, nullptr};
    QByteArray m_platform;
    std::unique_ptr<QApplication> m_ownApp;
    std::unique_ptr<TForm1> m_form1;
    std::unique_ptr<TForm3> m_form3;
    std::unique_ptr<TAboutBox> m_aboutBox;
    bool m_busy = false;
    bool m_terminated = false;
};

// The window module's factory (exported by the module under kCreateWindowsSymbol).
extern "C" ILpWindows* LarkpostCreateWindows(TLpShell& shell, int& argc, char** argv);

}  // namespace larkpost
