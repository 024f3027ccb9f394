// The Qt windows.
#include "ui/QtWindows.h"

#include <dlfcn.h>

#include <QApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>

#include "app/Shell.h"
#include "ui/AboutBox.h"
#include "ui/HelpForm.h"
#include "ui/Links.h"
#include "ui/MainForm.h"
#include "ui/VisualStyle.h"

namespace larkpost {

namespace {

void CentreOnScreen(QWidget& window) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect frame = window.frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window.move(frame.topLeft());
}

// Qt ends the process when its X11 platform cannot reach the display, so ask the X server
// first, through the same library Qt would use. Other platforms (Wayland, offscreen) are Qt's to
// judge.
bool DisplayReachable() {
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb")) return true;
    if (platform.isEmpty() && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) return true;
    if (qEnvironmentVariableIsEmpty("DISPLAY")) return false;
    void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb) return true;
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
    bool reachable = true;
    if (connect && hasError && disconnect) {
        void* connection = connect(nullptr, nullptr);
        reachable = hasError(connection) == 0;
        disconnect(connection);
    }
    dlclose(xcb);
    return reachable;
}

}  // namespace

TLpQtWindows::TLpQtWindows(TLpShell& shell, int& argc, char** argv) : m_shell(shell) {
    if (!QApplication::instance()) {
        static char fallbackName[] = "larkpost";
        m_qtArgv[0] = argc > 0 && argv && argv[0] ? argv[0] : fallbackName;
        m_ownApp = std::make_unique<QApplication>(m_qtArgc, m_qtArgv);
    }
    auto* app = qApp;
    ApplyVisualStyle(*app, kDefaultVisualStyle);
    // Only the name: a display name would be appended to every window title.
    QApplication::setApplicationName("Larkpost");
    // Closing the help window or about box must not end the run; only the shell ends it.
    app->setQuitOnLastWindowClosed(false);

    m_form1 = std::make_unique<TForm1>(shell);
    m_form3 = std::make_unique<TForm3>();
    m_aboutBox = std::make_unique<TAboutBox>();
    m_form1->OnAbout = [this] { ShowAbout(); };
    m_form1->OnHelp = [this] { ShowHelp(); };
    CentreOnScreen(*m_form1);
}

TLpQtWindows::~TLpQtWindows() {
    SetBusyCursor(false);
    m_aboutBox.reset();
    m_form3.reset();
    m_form1.reset();
}

void TLpQtWindows::Run() {
    // The main window stays hidden until Init reveals it, so runs that only show help or the
    // version show nothing else.
    QTimer::singleShot(0, qApp, [this] { m_shell.RunInit(); });
    if (m_terminated) return;
    QApplication::exec();
}

void TLpQtWindows::Terminate() {
    m_terminated = true;
    QCoreApplication::exit(m_shell.ExitCode());
}

void TLpQtWindows::ShowHelp() {
    CentreOnScreen(*m_form3);
    m_form3->exec();
}

void TLpQtWindows::ShowAbout() {
    CentreOnScreen(*m_aboutBox);
    m_aboutBox->exec();
}

void TLpQtWindows::ShowMessage(const std::string& text) {
    ShowBox(TBoxKind::Plain, text);
}
void TLpQtWindows::ShowInformation(const std::string& text) {
    ShowBox(TBoxKind::Information, text);
}
void TLpQtWindows::ShowError(const std::string& text) {
    ShowBox(TBoxKind::Error, text);
}

void TLpQtWindows::ShowBox(TBoxKind kind, const std::string& text) {
    const QMessageBox::Icon icon = kind == TBoxKind::Error         ? QMessageBox::Critical
                                   : kind == TBoxKind::Information ? QMessageBox::Information
                                                                   : QMessageBox::NoIcon;
    QWidget* parent = m_form1->isVisible() ? m_form1.get() : nullptr;
    QMessageBox box(icon, QString::fromStdString(m_shell.Title), QString::fromStdString(text),
                    QMessageBox::Ok, parent);
    // The cursor shows the box is waiting for the user even in the middle of a send.
    box.setCursor(Qt::ArrowCursor);
    box.exec();
}

bool TLpQtWindows::RevealMainWindow(bool selectFirstPage) {
    m_form1->RefreshControls();
    m_form1->RefreshLog();
    if (selectFirstPage) m_form1->PageControl1()->setCurrentIndex(0);
    m_form1->setWindowOpacity(1.0);
    m_form1->show();
    m_form1->raise();
    m_form1->activateWindow();
    return true;
}

void TLpQtWindows::SetStatusText(const std::string& text) {
    m_form1->statusBar()->showMessage(QString::fromStdString(text));
    // A send blocks the event loop; its progress is painted at once all the same.
    if (m_form1->isVisible()) m_form1->statusBar()->repaint();
}

void TLpQtWindows::SetBusyCursor(bool busy) {
    if (busy == m_busy) return;
    m_busy = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TLpQtWindows::OpenWithShell(const std::string& pathOrUrl) {
    const QString target = QString::fromStdString(pathOrUrl);
    OpenWithDesktop(QFileInfo::exists(target)
                        ? QUrl::fromLocalFile(QFileInfo(target).absoluteFilePath())
                        : QUrl(target));
}

ILpWindows* LarkpostCreateWindows(TLpShell& shell, int& argc, char** argv) {
    // Without a display the caller falls back to the headless windows.
    if (!QApplication::instance() && !DisplayReachable()) return nullptr;
    try {
        return new TLpQtWindows(shell, argc, argv);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace larkpost
