// The Qt windows.
#include "ui/QtWindows.h"

#include <dlfcn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <cstring>

#include "app/Shell.h"
#include "ui/AboutBox.h"
#include "ui/HelpForm.h"
#include "ui/Links.h"
#include "ui/MainForm.h"
#include "ui/OnGuiThread.h"
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

// True when a platform plugin whose file name begins with `prefix` (libqxcb, libqwayland-...)
// is where the toolkit looks for plugins.
bool HasPlatformPlugin(const QString& prefix) {
    for (const QString& path : QCoreApplication::libraryPaths())
        if (!QDir(path + "/platforms").entryList({prefix + "*"}, QDir::Files).isEmpty())
            return true;
    return false;
}

// A connection to the X server named by DISPLAY, made through the same library the toolkit
// would use. It is kept open until the toolkit has made its own: an X server that resets when its
// last client leaves (Xvfb, xvfb-run) would otherwise refuse the toolkit in the middle of the
// reset, and the toolkit aborts.
class TXServerProbe {
public:
    ~TXServerProbe() { Release(); }
    bool Answers() {
        Release();
        if (qEnvironmentVariableIsEmpty("DISPLAY")) return false;
        m_xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!m_xcb) return true;
        auto connect = reinterpret_cast<void* (*)(const char*, int*)>(dlsym(m_xcb, "xcb_connect"));
        auto hasError = reinterpret_cast<int (*)(void*)>(dlsym(m_xcb, "xcb_connection_has_error"));
        m_disconnect = reinterpret_cast<void (*)(void*)>(dlsym(m_xcb, "xcb_disconnect"));
        if (!connect || !hasError || !m_disconnect) return true;
        m_connection = connect(nullptr, nullptr);
        return hasError(m_connection) == 0;
    }
    void Release() {
        if (m_connection) m_disconnect(m_connection);
        if (m_xcb) dlclose(m_xcb);
        m_connection = nullptr;
        m_xcb = nullptr;
    }

private:
    void* m_xcb = nullptr;
    void* m_connection = nullptr;
    void (*m_disconnect)(void*) = nullptr;
};

TXServerProbe XProbe;

// Connects to the compositor's socket the way the Wayland client library finds it: an absolute
// WAYLAND_DISPLAY, or that name (default "wayland-0") in XDG_RUNTIME_DIR.
bool CompositorAnswers() {
    QByteArray name = qgetenv("WAYLAND_DISPLAY");
    if (name.isEmpty()) name = "wayland-0";
    if (!name.startsWith('/')) {
        const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
        if (runtimeDir.isEmpty()) return false;
        name = runtimeDir + "/" + name;
    }
    sockaddr_un address{};
    if (name.size() >= static_cast<qsizetype>(sizeof(address.sun_path))) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.constData(), static_cast<size_t>(name.size()));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool answers =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return answers;
}

bool PlatformUsable(const QByteArray& platform) {
    if (platform.startsWith("xcb")) return HasPlatformPlugin("libqxcb") && XProbe.Answers();
    if (platform.startsWith("wayland"))
        return HasPlatformPlugin("libqwayland") && CompositorAnswers();
    return true;  // offscreen, vnc and the like need no display server
}

// The toolkit ends the process (abort) when none of the platforms it tries can be opened, so each
// is tried here first. Returns false when none is usable; `forced` is the platform to ask for
// when the environment names none (the toolkit would otherwise try the Wayland variable first
// and trust it).
bool ChoosePlatform(QByteArray& forced) {
    forced.clear();
    const QByteArray named = qgetenv("QT_QPA_PLATFORM");
    if (!named.isEmpty()) {
        // The toolkit tries a list in order and takes the first one that opens.
        for (const QByteArray& platform : named.split(';'))
            if (!platform.isEmpty() && PlatformUsable(platform)) return true;
        return false;
    }
    for (const char* platform : {"wayland", "xcb"}) {
        if (platform == QByteArray("wayland") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
            continue;
        if (PlatformUsable(platform)) {
            forced = platform;
            return true;
        }
    }
    return false;
}

}  // namespace

TLpQtWindows::TLpQtWindows(TLpShell& shell, int& argc, char** argv, const QByteArray& platform)
    : m_shell(shell), m_platform(platform) {
    if (!QApplication::instance()) {
        static char fallbackName[] = "larkpost";
        static char platformSwitch[] = "-platform";
        m_qtArgv[0] = argc > 0 && argv && argv[0] ? argv[0] : fallbackName;
        if (!m_platform.isEmpty()) {
            m_qtArgv[m_qtArgc++] = platformSwitch;
            m_qtArgv[m_qtArgc++] = m_platform.data();
        }
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
    OnGuiThread(m_form1.get(), [&] { ShowBox(TBoxKind::Plain, text); });
}
void TLpQtWindows::ShowInformation(const std::string& text) {
    OnGuiThread(m_form1.get(), [&] { ShowBox(TBoxKind::Information, text); });
}
void TLpQtWindows::ShowError(const std::string& text) {
    OnGuiThread(m_form1.get(), [&] { ShowBox(TBoxKind::Error, text); });
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
    if (QThread::currentThread() != m_form1->thread()) {
        bool revealed = false;
        OnGuiThread(m_form1.get(), [&] { revealed = RevealMainWindow(selectFirstPage); });
        return revealed;
    }
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
    if (QThread::currentThread() != m_form1->thread()) {
        OnGuiThread(m_form1.get(), [&] { SetStatusText(text); });
        return;
    }
    m_form1->statusBar()->showMessage(QString::fromStdString(text));
    // A send blocks the event loop; its progress is painted at once all the same.
    if (m_form1->isVisible()) m_form1->statusBar()->repaint();
}

void TLpQtWindows::SetBusyCursor(bool busy) {
    if (QThread::currentThread() != m_form1->thread()) {
        OnGuiThread(m_form1.get(), [&] { SetBusyCursor(busy); });
        return;
    }
    if (busy == m_busy) return;
    m_busy = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TLpQtWindows::ShowProgress(const TLpSendProgress& progress) {
    // Progress need not hold the send up: it is queued, behind what the send raised before.
    TForm1* form = m_form1.get();
    QMetaObject::invokeMethod(form, [form, progress] { form->ShowProgress(progress); },
                              QThread::currentThread() == form->thread() ? Qt::DirectConnection
                                                                         : Qt::QueuedConnection);
}

void TLpQtWindows::OpenWithShell(const std::string& pathOrUrl) {
    const QString target = QString::fromStdString(pathOrUrl);
    OpenWithDesktop(QFileInfo::exists(target)
                        ? QUrl::fromLocalFile(QFileInfo(target).absoluteFilePath())
                        : QUrl(target));
}

ILpWindows* LarkpostCreateWindows(TLpShell& shell, int& argc, char** argv) {
    // Without a display the caller falls back to the headless windows.
    QByteArray platform;
    if (!QApplication::instance() && !ChoosePlatform(platform)) return nullptr;
    try {
        auto* windows = new TLpQtWindows(shell, argc, argv, platform);
        XProbe.Release();
        return windows;
    } catch (...) {
        XProbe.Release();
        return nullptr;
    }
}

}  // namespace larkpost
