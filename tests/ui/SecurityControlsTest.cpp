// The Settings tab's connection-security controls on Qt's offscreen platform: they fill
// SendSettings, show what it holds, and go to and from the settings file.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <cstring>
#include <fstream>
#include <iterator>

#include "app/RunState.h"
#include "app/Shell.h"
#include "ui/HelpForm.h"
#include "ui/MainForm.h"
#include "ui/QtWindows.h"

namespace larkpost {
namespace {

class TQuietQtWindows : public TLpQtWindows {
public:
    using TLpQtWindows::TLpQtWindows;

protected:
    void ShowBox(TBoxKind, const std::string&) override {}
};

class SecurityControls : public testing::Test {
protected:
    void SetUp() override { Start(); }
    void TearDown() override {
        windows.reset();
        shell.reset();
        RunState = TRunState{};
    }
    void Start() {
        windows.reset();
        shell.reset();
        RunState = TRunState{};
        exeDir = dir.path().toStdString() + "/";
        shell = std::make_unique<TLpShell>(TLpArgs{exeDir + "larkpost"});
        shell->LocateExeDir = [this] { return exeDir; };
        RunState.ExeDir = exeDir;
        windows = std::make_unique<TQuietQtWindows>(*shell, argc, argv);
        shell->SetWindows(windows.get());
        shell->RunInit();
    }
    template <class T>
    T* Find(const char* name) {
        T* widget = windows->Form1().findChild<T*>(name);
        if (!widget) ADD_FAILURE() << "no control named " << name;
        return widget;
    }
    TSendSettings& Settings() { return shell->SendSettings; }
    std::string Ini() {
        std::ifstream in(exeDir + "Larkpost.ini");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void Pick(QComboBox* box, int index) {
        box->setCurrentIndex(index);
        emit box->activated(index);
    }

    int argc = 1;
    char arg0[16] = "ui_tests";
    char* argv[2] = {arg0, nullptr};
    QTemporaryDir dir;
    std::string exeDir;
    std::unique_ptr<TLpShell> shell;
    std::unique_ptr<TQuietQtWindows> windows;
};

TEST_F(SecurityControls, ConnectionSecurityShowsThePortsModeUntilOneIsChosen) {
    auto* mode = Find<QComboBox>("UseTLSComboBox");
    ASSERT_EQ(mode->count(), 4);
    EXPECT_EQ(mode->itemText(0), "None: never encrypt (not recommended)");
    EXPECT_EQ(mode->itemText(1), "Implicit TLS: encrypted from the start (port 465)");
    EXPECT_EQ(mode->itemText(2), "Required STARTTLS: refuse to send unencrypted");
    EXPECT_EQ(mode->itemText(3), "Automatic: STARTTLS when the server offers it");
    EXPECT_EQ(mode->currentIndex(), 3);

    // Typing port 465 shows what a send would use, without choosing it.
    auto* port = Find<QLineEdit>("PortEdit");
    port->selectAll();
    QTest::keyClicks(port, "465");
    EXPECT_EQ(mode->currentIndex(), 1);
    EXPECT_EQ(Settings().UseTLS(), kUseTLSNotChosen);

    // Picking the entry that is shown chooses it; then the port no longer matters.
    Pick(mode, 1);
    EXPECT_EQ(Settings().UseTLS(), kUseTLSImplicit);
    Pick(mode, 2);
    EXPECT_EQ(Settings().UseTLS(), kUseTLSRequired);
    port->selectAll();
    QTest::keyClicks(port, "587");
    EXPECT_EQ(mode->currentIndex(), 2);

    // Saved, and shown again at the next start.
    windows->Form1().WriteINISettings();
    EXPECT_NE(Ini().find("\nUseTLS=2\n"), std::string::npos) << Ini();
    Start();
    EXPECT_EQ(Settings().UseTLS(), kUseTLSRequired);
    EXPECT_EQ(Find<QComboBox>("UseTLSComboBox")->currentIndex(), 2);
}

TEST_F(SecurityControls, CertificateControlsFillTheSettingsAndComeBackFromTheFile) {
    auto* verify = Find<QCheckBox>("VerifyCertificateCheckBox");
    auto* caFile = Find<QLineEdit>("CAFileEdit");
    auto* fingerprint = Find<QLineEdit>("FingerprintEdit");
    EXPECT_FALSE(verify->isChecked());
    EXPECT_FALSE(caFile->isEnabled()) << "a CA file counts only while verifying";

    windows->RevealMainWindow(false);
    QTest::mouseClick(verify, Qt::LeftButton, {}, QPoint(8, verify->height() / 2));
    EXPECT_TRUE(Settings().VerifyCertificate());
    EXPECT_TRUE(caFile->isEnabled());
    QTest::keyClicks(caFile, "/etc/corp/ca.pem");
    EXPECT_EQ(Settings().CAFile(), "/etc/corp/ca.pem");
    QTest::keyClicks(fingerprint, "sha256:AB:CD");
    EXPECT_EQ(Settings().CertificateFingerprint(), "sha256:AB:CD");

    windows->Form1().WriteINISettings();
    EXPECT_NE(Ini().find("\nVerifyCertificate=1\nCAFile=/etc/corp/ca.pem\n"
                         "CertificateFingerprint=sha256:AB:CD\n"),
              std::string::npos)
        << Ini();
    Start();
    EXPECT_TRUE(Find<QCheckBox>("VerifyCertificateCheckBox")->isChecked());
    EXPECT_EQ(Find<QLineEdit>("CAFileEdit")->text(), "/etc/corp/ca.pem");
    EXPECT_EQ(Find<QLineEdit>("FingerprintEdit")->text(), "sha256:AB:CD");
}

TEST(SecurityHelp, EverySecuritySwitchHasARowInTheHelpPageAndTheHelpText) {
    const std::string page = HelpPagePlainText();
    const std::string text = HelpText();
    for (const char* sw : {"/TLS", "/VERIFY", "/CAFILE", "/FINGERPRINT"}) {
        SCOPED_TRACE(sw);
        const size_t at = page.find(std::string("\n") + sw);
        ASSERT_NE(at, std::string::npos);
        EXPECT_NE(std::string(" \t\n").find(page[at + 1 + std::strlen(sw)]), std::string::npos);
        EXPECT_NE(text.find(std::string("\n  ") + sw + " "), std::string::npos);
    }
}

}  // namespace
}  // namespace larkpost
