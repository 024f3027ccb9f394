// Takes pictures of the real windows for the documentation: the three pages of the main window,
// the help window and the about box, filled as a user would fill them. Usage: ui_screenshots DIR
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>

#include "app/RunState.h"
#include "app/Shell.h"
#include "ui/AboutBox.h"
#include "ui/HelpForm.h"
#include "ui/MainForm.h"
#include "ui/QtWindows.h"

using namespace larkpost;

namespace {

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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ui_screenshots DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QApplication app(argc, argv);
    TLpShell shell(TLpArgs{argv[0]});
    int qtArgc = 1;
    TLpQtWindows windows(shell, qtArgc, argv);
    shell.SetWindows(&windows);
    RunState.ExeDir = QDir::currentPath().toStdString() + "/";
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
    return ok ? 0 : 1;
}
