// Takes pictures of the real windows for the documentation: the three pages of the main window,
// the help window and the about box, filled as a user would fill them, and the main window in the
// middle of a real send to a slow server on loopback. Usage: ui_screenshots DIR
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QThread>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>
#include <fstream>

#include "ScriptedSmtpServer.h"
#include "app/SendWorkflow.h"
#include "app/RunState.h"
#include "app/Shell.h"
#include "ui/AboutBox.h"
#include "ui/HelpForm.h"
#include "ui/MainForm.h"
#include "ui/QtWindows.h"

using namespace larkpost;

namespace {

// No one is there to press OK: a box's text goes to standard error and the run goes on.
class TShotWindows : public TLpQtWindows {
public:
    using TLpQtWindows::TLpQtWindows;

protected:
    void ShowBox(TBoxKind, const std::string& text) override {
        std::fprintf(stderr, "box: %s\n", text.c_str());
    }
};

bool Save(QWidget& window, const QString& dir, const char* name) {
    window.show();
    window.raise();
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    const QString path = QDir(dir).filePath(name);
    if (!window.grab().save(path, "PNG", 9)) {
        std::fprintf(stderr, "could not write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

void FillDemo(TLpShell& shell) {
    TSendSettings& s = shell.SendSettings;
    s.SetFromName("Build Server");
    s.SetFromAddr("builds@example.org");
    s.SetTo("team@example.org, lead@example.org");
    s.SetReplyTo("noreply@example.org");
    s.SetCc("qa@example.org");
    s.SetSubject("Nightly build 1432 passed");
    s.SetContentType(kContentTypeText);
    s.SetBody({"All 2318 tests passed.", "", "Artifacts and logs are attached.", "", "-- ",
               "The build server"});
    s.AddFile("/srv/builds/1432/build.log");
    s.AddFile("/srv/builds/1432/test-report.html");
    s.AddFile("/srv/builds/1432/artifacts.tar.gz");
    s.SetHost("smtp.example.org");
    s.SetPort("587");
    s.SetTimeout("30");
    s.SetAuthType(kAuthUserPass);
    s.SetUserID("builds");
    s.SetPassword("not-a-real-password");
    s.SetSaveLog(true);
    s.SetUseTLS(kUseTLSRequired);
    s.SetVerifyCertificate(true);

    auto& log = shell.ActivityLog;
    log.Clock = [] { return std::string("12/10/26 14:02:17"); };
    log.AddLine("");
    for (const char* line :
         {" Resolving hostname smtp.example.org.", " Connecting to 192.0.2.25.", " Connected.",
          " SMTP connection to smtp.example.org successful",
          " SSL status: \"before SSL initialization\"",
          " SSL status: \"SSL negotiation finished successfully\"",
          " Cipher: name = TLS_AES_256_GCM_SHA384; description = TLS_AES_256_GCM_SHA384  TLSv1.3 "
          "Kx=any  Au=any  Enc=AESGCM(256) Mac=AEAD; bits = 256; version = TLSv1.3;",
          " Encoding text", " Encoding attachment build.log",
          " Encoding attachment test-report.html", " Encoding attachment artifacts.tar.gz",
          " Disconnecting.", " Disconnected.", " SMTP disconnected from smtp.example.org",
          " Message sent successfully."})
        log.Add(line);
}

// The window while a 48 MB attachment goes to a server that reads for a moment after DATA and then
// stops: the bar stands where the socket's buffers filled up.
bool SaveSending(TLpShell& shell, TLpQtWindows& windows, const QString& dir) {
    const std::string file = QDir::temp().filePath("artifacts.tar.gz").toStdString();
    std::ofstream(file, std::ios::binary) << std::string(48 << 20, '\x5a');
    const auto line = [] { return CUntil("\r\n"); };
    ScriptedSmtpServer server({S("220 mx.example.org ESMTP\r\n"), line(), S("250 mx.example.org\r\n"),
                               line(), S("250 Ok\r\n"), line(), S("250 Ok\r\n"), line(),
                               S("250 Ok\r\n"), line(), S("250 Ok\r\n"), line(),
                               S("354 go ahead\r\n"), Silent(150), Delay(60000)});
    TSendSettings& s = shell.SendSettings;
    const std::string host = s.Host();
    const std::string port = s.Port();
    s.SetHost(ScriptedSmtpServer::Host());
    s.SetPort(std::to_string(server.Port()));
    s.SetAuthType(kAuthNone);
    // The slow server offers no TLS; the demo's security settings are for the pictures above.
    const int useTLS = s.UseTLS();
    const bool verify = s.VerifyCertificate();
    s.SetUseTLS(kUseTLSNotChosen);
    s.SetVerifyCertificate(false);
    s.ClearFiles();
    s.AddFile("/srv/builds/1432/build.log");
    s.AddFile(file);

    TForm1& form = windows.Form1();
    form.PageControl1()->setCurrentIndex(0);
    auto* bar = form.findChild<QProgressBar*>("SendProgressBar");
    form.findChild<QPushButton*>("SendMsg")->click();
    // Until the bar has stood still for a while: the client waits for the server.
    int last = -1;
    QElapsedTimer waited;
    waited.start();
    for (int still = 0; still < 600 && waited.elapsed() < 15000;) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
        still = bar->isVisible() && bar->value() == last ? still + 20 : 0;
        last = bar->value();
    }
    s.SetHost(host);
    s.SetPort(port);
    s.SetUseTLS(useTLS);
    s.SetVerifyCertificate(verify);
    const bool ok = bar->isVisible() && Save(form, dir, "main-sending.png");
    if (!bar->isVisible()) {
        std::fprintf(stderr, "the send never showed its progress:\n");
        for (const std::string& l : shell.ActivityLog.Lines()) std::fprintf(stderr, "  %s\n", l.c_str());
    }
    form.CancelSendClick();
    form.WaitForSend();
    std::remove(file.c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ui_screenshots DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QApplication app(argc, argv);
    TLpShell shell(TLpArgs{argv[0]});
    TLpSendWorkflow workflow(shell);
    int qtArgc = 1;
    TShotWindows windows(shell, qtArgc, argv);
    shell.SetWindows(&windows);
    RunState.ExeDir = QDir::currentPath().toStdString() + "/";
    RunState.Interactive = true;
    FillDemo(shell);

    windows.RevealMainWindow(true);
    TForm1& form = windows.Form1();
    bool ok = true;
    const char* pages[] = {"main-message.png", "main-log.png", "main-settings.png"};
    for (int i = 0; i < 3; ++i) {
        form.PageControl1()->setCurrentIndex(i);
        windows.SetStatusText(i == 1 ? "Disconnected." : "");
        ok = Save(form, dir, pages[i]) && ok;
    }
    form.PageControl1()->setCurrentIndex(0);
    ok = Save(windows.Form3(), dir, "help.png") && ok;
    windows.Form3().hide();
    RunState.Debug = true;
    ok = Save(windows.AboutBox(), dir, "about.png") && ok;
    windows.AboutBox().hide();
    RunState.Debug = false;
    ok = SaveSending(shell, windows, dir) && ok;
    return ok ? 0 : 1;
}
