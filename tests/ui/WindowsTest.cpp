// The three windows driven as a user drives them, on Qt's offscreen platform: typing fills
// SendSettings, what the shell loads shows in the controls, and the handlers reach the shell.
#include <gtest/gtest.h>

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTextLayout>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "ScriptedSmtpServer.h"
#include "SmtpPeer.h"
#include "app/RunState.h"
#include "app/SendWorkflow.h"
#include "app/Shell.h"
#include "app/VersionInfo.h"
#include "platform/Exception.h"
#include "ui/AboutBox.h"
#include "ui/ClickLabel.h"
#include "ui/HelpForm.h"
#include "ui/Links.h"
#include "ui/MainForm.h"
#include "ui/QtWindows.h"
#include "ui/VisualStyle.h"

namespace larkpost {
namespace {

// The Qt windows with message boxes recorded instead of shown.
class TRecordingWindows : public TLpQtWindows {
public:
    using TLpQtWindows::TLpQtWindows;
    std::vector<std::string> boxes;
    int helpShown = 0;
    int aboutShown = 0;
    // Modal windows would wait for a user; counted instead.
    void ShowHelp() override { ++helpShown; }
    void ShowAbout() override { ++aboutShown; }

protected:
    void ShowBox(TBoxKind kind, const std::string& text) override {
        const char* prefix = kind == TBoxKind::Error         ? "error: "
                             : kind == TBoxKind::Information ? "info: "
                                                             : "plain: ";
        boxes.push_back(prefix + text);
    }
};

class WindowsTest : public testing::Test {
protected:
    void SetUp() override { Start({}); }

    void Start(std::vector<std::string> switches) {
        windows.reset();
        shell.reset();
        RunState = TRunState{};
        ASSERT_TRUE(dir.isValid());
        exeDir = dir.path().toStdString() + "/";
        TLpArgs args{exeDir + "larkpost"};
        args.insert(args.end(), switches.begin(), switches.end());
        shell = std::make_unique<TLpShell>(args);
        shell->LocateExeDir = [this] { return exeDir; };
        RunState.ExeDir = exeDir;
        windows = std::make_unique<TRecordingWindows>(*shell, argc, argv);
        shell->SetWindows(windows.get());
        opened.clear();
        OpenWithDesktop = [this](const QUrl& url) {
            opened.push_back(url.toString().toStdString());
        };
    }

    void TearDown() override {
        windows.reset();
        shell.reset();
        RunState = TRunState{};
    }

    TForm1& Form() { return windows->Form1(); }
    TSendSettings& Settings() { return shell->SendSettings; }

    template <class T>
    T* Find(const char* name) {
        T* widget = Form().findChild<T*>(name);
        if (!widget) ADD_FAILURE() << "no control named " << name;
        return widget;
    }

    QListWidget* FileList() { return Find<QListWidget>("FileListBox"); }
    QStringList ListedFiles() {
        QStringList files;
        for (int i = 0; i < FileList()->count(); ++i) files << FileList()->item(i)->text();
        return files;
    }

    int argc = 1;
    char arg0[16] = "ui_tests";
    char* argv[2] = {arg0, nullptr};
    QTemporaryDir dir;
    std::string exeDir;
    std::unique_ptr<TLpShell> shell;
    std::unique_ptr<TRecordingWindows> windows;
    std::vector<std::string> opened;
};

TEST_F(WindowsTest, MainWindowHasItsCaptionSizeTabsMenuAndButtons) {
    ASSERT_TRUE(windows->RevealMainWindow(true));
    TForm1& form = Form();
    EXPECT_EQ(form.windowTitle(), "Larkpost");
    EXPECT_EQ(form.width(), TForm1::kClientWidth);
    EXPECT_EQ(form.height() - form.menuBar()->height(), TForm1::kClientHeight);
    EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "the main window is not resizable";
    EXPECT_TRUE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);

    QTabWidget* pages = form.PageControl1();
    ASSERT_EQ(pages->count(), 3);
    EXPECT_EQ(pages->tabText(0), "Message");
    EXPECT_EQ(pages->tabText(1), "Log");
    EXPECT_EQ(pages->tabText(2), "Settings");
    EXPECT_EQ(pages->currentIndex(), 0);

    QStringList menu;
    for (QAction* action : form.menuBar()->actions()) menu << action->text();
    EXPECT_EQ(menu, (QStringList{"&About", "&Help", "Donate", "&Exit"}));

    struct Expected {
        const char* name;
        const char* caption;
        const char* hint;
    };
    const Expected buttons[] = {
        {"SendMsg", "&Send Message", "Send the email."},
        {"SaveSettings", "&Save Settings as Default",
         "Save the current settings for both Message and Settings tabs."},
        {"BitBtn2", "&Exit", "Exit the program."},
        {"DonateBitBtn", "Donate", ""},
        {"AddFileBtn", "Add", "Add a file attachment."},
        {"RemoveFileBtn", "Remove", "Remove a selected file attachment."},
        {"ViewLogButton", "View Log", "View the log file Larkpost_SMTP.log (if it exists)"},
    };
    for (const auto& b : buttons) {
        SCOPED_TRACE(b.name);
        auto* button = Find<QPushButton>(b.name);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), b.caption);
        EXPECT_EQ(button->statusTip(), b.hint);
    }

    auto* auth = Find<QComboBox>("AuthTypeComboBox");
    ASSERT_EQ(auth->count(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(auth->itemText(i), kAuthEntryCaptions[i]);
        EXPECT_EQ(auth->itemData(i).toInt(), i);
    }
    EXPECT_EQ(auth->currentIndex(), 0);
    EXPECT_FALSE(auth->isEditable());
    EXPECT_EQ(Find<QLineEdit>("PasswordEdit")->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Find<QListWidget>("FileListBox")->selectionMode(),
              QAbstractItemView::SingleSelection);
}

TEST_F(WindowsTest, MandatoryLabelsAreYellowAndServerLabelsBlue) {
    windows->RevealMainWindow(true);
    QMap<QString, QColor> colours;
    for (QLabel* label : Form().findChildren<QLabel*>()) {
        label->ensurePolished();
        colours[label->text()] = label->palette().color(QPalette::WindowText);
    }
    auto yellow = [](const QColor& c) {
        return c.red() > 200 && c.green() > 170 && c.blue() < 120;
    };
    auto blue = [](const QColor& c) { return c.blue() > 200 && c.red() < c.blue() - 60; };
    for (const char* text : {"From Name:", "From Addr:", "To:"})
        EXPECT_TRUE(yellow(colours.value(text))) << text;
    for (const char* text : {"Host:", "Port:", "Timeout (seconds):"})
        EXPECT_TRUE(blue(colours.value(text))) << text;
    for (const char* text : {"Reply To:", "cc:", "Subject:", "Username:"}) {
        EXPECT_FALSE(yellow(colours.value(text))) << text;
        EXPECT_FALSE(blue(colours.value(text))) << text;
    }
}

TEST_F(WindowsTest, TypingFillsSendSettings) {
    windows->RevealMainWindow(true);
    struct Field {
        const char* edit;
        const char* typed;
        std::function<std::string()> read;
    };
    const Field fields[] = {
        {"FromNameEdit", "Ada Lovelace", [&] { return Settings().FromName(); }},
        {"FromAddrEdit", "ada@example.org", [&] { return Settings().FromAddr(); }},
        {"ToEdit", "bob@example.org, eve@example.org", [&] { return Settings().To(); }},
        {"ReplyToEdit", "replies@example.org", [&] { return Settings().ReplyTo(); }},
        {"CCEdit", "cc@example.org", [&] { return Settings().Cc(); }},
        {"BCCEdit", "bcc@example.org", [&] { return Settings().Bcc(); }},
        {"SubjectEdit", "Quarterly report", [&] { return Settings().Subject(); }},
        {"UserIDEdit", "ada", [&] { return Settings().UserID(); }},
        {"PasswordEdit", "s3cret pass", [&] { return Settings().Password(); }},
        {"MailAgentEdit", " ", [&] { return Settings().MailAgent(); }},
        {"HeloNameEdit", "client.test", [&] { return Settings().HeloName(); }},
    };
    for (const auto& f : fields) {
        SCOPED_TRACE(f.edit);
        QTest::keyClicks(Find<QLineEdit>(f.edit), f.typed);
        EXPECT_EQ(f.read(), f.typed);
    }
    auto* host = Find<QLineEdit>("HostEdit");
    host->selectAll();
    QTest::keyClicks(host, "mail.example.org");
    EXPECT_EQ(Settings().Host(), "mail.example.org");
    auto* port = Find<QLineEdit>("PortEdit");
    QTest::keyClick(port, Qt::Key_Backspace);
    QTest::keyClicks(port, "87");
    EXPECT_EQ(Settings().Port(), "287");

    auto* html = Find<QRadioButton>("ContentTypeItem1");
    QTest::mouseClick(html, Qt::LeftButton);
    EXPECT_EQ(Settings().ContentType(), kContentTypeHtml);
    QTest::mouseClick(Find<QRadioButton>("ContentTypeItem0"), Qt::LeftButton);
    EXPECT_EQ(Settings().ContentType(), kContentTypeText);

    auto* body = Find<QTextEdit>("RichEdit1");
    QTest::keyClicks(body, "Hello");
    QTest::keyClick(body, Qt::Key_Return);
    QTest::keyClicks(body, "World");
    EXPECT_EQ(Settings().Body(), (std::vector<std::string>{"Hello", "World"}));

    auto* auth = Find<QComboBox>("AuthTypeComboBox");
    auth->setCurrentIndex(2);
    EXPECT_EQ(Settings().AuthType(), kAuthSASL);

    auto* saveLog = Find<QCheckBox>("SaveLogCheckBox");
    QTest::mouseClick(saveLog, Qt::LeftButton, {}, QPoint(8, saveLog->height() / 2));
    EXPECT_TRUE(Settings().SaveLog());
}

TEST_F(WindowsTest, WhatTheShellLoadsShowsInTheControls) {
    Settings().SetFromName("Ada");
    Settings().SetTo("bob@example.org");
    Settings().SetSubject("From the settings file");
    Settings().SetHost("smtp.example.org");
    Settings().SetPort("587");
    Settings().SetTimeout("1000");
    Settings().SetAuthType(1);
    Settings().SetPassword("pw");
    Settings().SetContentType(kContentTypeHtml);
    Settings().SetBody({"<p>one</p>", "", "two"});
    Settings().SetSaveLog(true);
    Settings().AddFile("b.txt");
    Settings().AddFile("/data/A.txt");
    windows->RevealMainWindow(true);

    EXPECT_EQ(Find<QLineEdit>("FromNameEdit")->text(), "Ada");
    EXPECT_EQ(Find<QLineEdit>("ToEdit")->text(), "bob@example.org");
    EXPECT_EQ(Find<QLineEdit>("SubjectEdit")->text(), "From the settings file");
    EXPECT_EQ(Find<QLineEdit>("HostEdit")->text(), "smtp.example.org");
    EXPECT_EQ(Find<QLineEdit>("PortEdit")->text(), "587");
    EXPECT_EQ(Find<QLineEdit>("TimeoutEdit")->text(), "1000")
        << "values that were not typed are not cut";
    EXPECT_EQ(Find<QLineEdit>("PasswordEdit")->text(), "pw");
    EXPECT_EQ(Find<QComboBox>("AuthTypeComboBox")->currentIndex(), 1);
    EXPECT_TRUE(Find<QRadioButton>("ContentTypeItem1")->isChecked());
    EXPECT_EQ(Find<QTextEdit>("RichEdit1")->toPlainText(), "<p>one</p>\n\ntwo");
    EXPECT_TRUE(Find<QCheckBox>("SaveLogCheckBox")->isChecked());
    EXPECT_EQ(ListedFiles(), (QStringList{"/data/A.txt", "b.txt"}));
    EXPECT_EQ(Settings().Body(), (std::vector<std::string>{"<p>one</p>", "", "two"}))
        << "showing changed nothing";

    // No entry and no body format: what a number outside the lists selects.
    Settings().SetAuthType(5);
    Settings().SetContentType(kContentTypeNone);
    EXPECT_EQ(Find<QComboBox>("AuthTypeComboBox")->currentIndex(), -1);
    EXPECT_FALSE(Find<QRadioButton>("ContentTypeItem0")->isChecked());
    EXPECT_FALSE(Find<QRadioButton>("ContentTypeItem1")->isChecked());
    EXPECT_EQ(Settings().AuthType(), kAuthNoEntry);
}

TEST_F(WindowsTest, TimeoutTakesAtMostThreeTypedCharacters) {
    windows->RevealMainWindow(true);
    auto* timeout = Find<QLineEdit>("TimeoutEdit");
    EXPECT_EQ(timeout->text(), "30");
    QTest::keyClicks(timeout, "4567");
    EXPECT_EQ(timeout->text(), "304");
    EXPECT_EQ(Settings().Timeout(), "304");

    // A longer value loaded from a settings file stays whole; it can be shortened, not lengthened.
    Settings().SetTimeout("12345");
    EXPECT_EQ(timeout->text(), "12345");
    timeout->setFocus();
    timeout->end(false);
    QTest::keyClicks(timeout, "6");
    EXPECT_EQ(timeout->text(), "12345");
    QTest::keyClick(timeout, Qt::Key_Backspace);
    EXPECT_EQ(Settings().Timeout(), "1234");
}

TEST_F(WindowsTest, AttachmentsAreListedSortedAndRemovedOnlyWhenSelected) {
    windows->RevealMainWindow(true);
    QStringList chosen{"/data/zeta.txt", "/data/Alpha.txt"};
    Form().ChooseFiles = [&] { return chosen; };
    QTest::mouseClick(Find<QPushButton>("AddFileBtn"), Qt::LeftButton);
    EXPECT_EQ(ListedFiles(), (QStringList{"/data/Alpha.txt", "/data/zeta.txt"}));

    chosen = {"/data/beta.txt", "/data/zeta.txt"};
    QTest::mouseClick(Find<QPushButton>("AddFileBtn"), Qt::LeftButton);
    EXPECT_EQ(ListedFiles(), (QStringList{"/data/Alpha.txt", "/data/beta.txt", "/data/zeta.txt",
                                          "/data/zeta.txt"}))
        << "the same file added twice is listed twice";

    chosen = {};
    QTest::mouseClick(Find<QPushButton>("AddFileBtn"), Qt::LeftButton);
    EXPECT_EQ(FileList()->count(), 4) << "a cancelled dialog adds nothing";

    FileList()->clearSelection();
    FileList()->setCurrentRow(-1);
    QTest::mouseClick(Find<QPushButton>("RemoveFileBtn"), Qt::LeftButton);
    EXPECT_EQ(Settings().Files().size(), 4u) << "Remove with nothing selected changes nothing";

    FileList()->setCurrentRow(1);
    QTest::mouseClick(Find<QPushButton>("RemoveFileBtn"), Qt::LeftButton);
    EXPECT_EQ(ListedFiles(), (QStringList{"/data/Alpha.txt", "/data/zeta.txt", "/data/zeta.txt"}));
    EXPECT_EQ(Settings().Files(),
              (std::vector<std::string>{"/data/Alpha.txt", "/data/zeta.txt", "/data/zeta.txt"}));
}

TEST_F(WindowsTest, LogViewIsReadOnlyAndFollowsTheNewestLine) {
    windows->RevealMainWindow(true);
    Form().PageControl1()->setCurrentIndex(1);
    auto* memo = Find<QPlainTextEdit>("Memo1");
    EXPECT_TRUE(memo->isReadOnly());
    shell->ActivityLog.Clock = [] { return std::string("10/12/26 09:00:00"); };
    shell->ActivityLog.AddLine("");
    for (int i = 0; i < 200; ++i) shell->ActivityLog.Add(" line " + std::to_string(i));
    shell->ActivityLog.AddLine("");
    shell->ActivityLog.Add(" Message sent successfully.");
    QApplication::processEvents();
    const QStringList shown = memo->toPlainText().split('\n');
    ASSERT_EQ(shown.size(), 203);
    EXPECT_EQ(shown[0], "") << "a send's separator line as the very first line";
    EXPECT_EQ(shown[1], "10/12/26 09:00:00 line 0");
    EXPECT_EQ(shown[201], "");
    EXPECT_EQ(shown[202], "10/12/26 09:00:00 Message sent successfully.");
    EXPECT_EQ(memo->verticalScrollBar()->value(), memo->verticalScrollBar()->maximum());
    EXPECT_GT(memo->verticalScrollBar()->maximum(), 0);
}

TEST_F(WindowsTest, LogViewWrapsLongLinesAndKeepsTheNewestInView) {
    windows->RevealMainWindow(true);
    Form().PageControl1()->setCurrentIndex(1);
    auto* memo = Find<QPlainTextEdit>("Memo1");
    shell->ActivityLog.Clock = [] { return std::string("10/12/26 09:00:00"); };
    for (int i = 0; i < 40; ++i) shell->ActivityLog.Add(" line " + std::to_string(i));
    const std::string reason =
        " Exception: ELpSMTPReplyError 550 5.7.1 <bob@example.org>: Recipient address rejected: "
        "the mailbox is over its quota and cannot take this message now, please try again later. ";
    shell->ActivityLog.Add(reason + reason);
    QApplication::processEvents();

    EXPECT_EQ(memo->horizontalScrollBar()->maximum(), 0) << "no scrolling sideways";
    EXPECT_FALSE(memo->horizontalScrollBar()->isVisible());
    const QTextBlock last = memo->document()->lastBlock();
    EXPECT_GT(last.layout()->lineCount(), 1) << "the long line wraps";
    QTextCursor end(memo->document());
    end.movePosition(QTextCursor::End);
    EXPECT_TRUE(memo->viewport()->rect().contains(memo->cursorRect(end)))
        << "the end of the newest line is in view";
}

TEST_F(WindowsTest, HintsReachTheStatusBarThroughTheShell) {
    windows->RevealMainWindow(true);
    QStatusTipEvent tip(Find<QLineEdit>("FromNameEdit")->statusTip());
    QApplication::sendEvent(&Form(), &tip);
    EXPECT_EQ(Form().statusBar()->currentMessage(), "Name of the sender. (Mandatory)");
    windows->SetStatusText("Connected.");
    EXPECT_EQ(Form().statusBar()->currentMessage(), "Connected.");
}

TEST_F(WindowsTest, ExitSetsReturnCodeZeroAndShowsItInDebugMode) {
    windows->RevealMainWindow(true);
    RunState.ReturnCode = 2;
    RunState.Debug = true;
    QTest::mouseClick(Find<QPushButton>("BitBtn2"), Qt::LeftButton);
    EXPECT_EQ(RunState.ReturnCode, 0);
    EXPECT_TRUE(shell->Terminated());
    EXPECT_EQ(shell->ExitCode(), 0);
    EXPECT_EQ(windows->boxes, (std::vector<std::string>{"plain: Return Code = 0"}));
}

TEST_F(WindowsTest, AltSSendsAndAltEExitsWhereverTheFocusIs) {
    // The captions stay as they are, underlined letters shared included.
    EXPECT_EQ(Find<QPushButton>("SendMsg")->text(), "&Send Message");
    EXPECT_EQ(Find<QPushButton>("SaveSettings")->text(), "&Save Settings as Default");
    EXPECT_EQ(Find<QPushButton>("BitBtn2")->text(), "&Exit");
    EXPECT_EQ(Form().menuBar()->actions()[3]->text(), "&Exit");

    int sends = 0;
    for (const char* focus : {"ToEdit", "RichEdit1", "FileListBox", "SaveSettings", "HostEdit"}) {
        SCOPED_TRACE(focus);
        Start({});
        shell->SendMsgClick = [&] { ++sends; };
        windows->RevealMainWindow(true);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&Form()));
        if (QByteArray(focus) == "HostEdit") Form().PageControl1()->setCurrentIndex(2);
        QWidget* widget = Find<QWidget>(focus);
        widget->setFocus();
        sends = 0;
        QTest::keyClick(widget, Qt::Key_S, Qt::AltModifier);
        // A button pressed by its shortcut shows itself pressed for a moment first.
        EXPECT_TRUE(QTest::qWaitFor([&] { return sends > 0; }, 2000));
        EXPECT_EQ(sends, 1);
        EXPECT_FALSE(std::filesystem::exists(exeDir + "Larkpost.ini")) << "nothing saved";
        EXPECT_FALSE(shell->Terminated());

        RunState.ReturnCode = 2;
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_E, Qt::AltModifier);
        EXPECT_TRUE(QTest::qWaitFor([&] { return shell->Terminated(); }, 2000));
        EXPECT_EQ(RunState.ReturnCode, 0);
        EXPECT_EQ(sends, 1);
    }
}

TEST_F(WindowsTest, DonateAndAboutLinksOpenTheConfiguredAddresses) {
    windows->RevealMainWindow(true);
    QTest::mouseClick(Find<QPushButton>("DonateBitBtn"), Qt::LeftButton);
    TAboutBox& about = windows->AboutBox();
    about.show();
    QTest::mouseClick(about.URL(), Qt::LeftButton);
    QTest::mouseClick(about.DonateLabel2(), Qt::LeftButton);
    EXPECT_EQ(opened, (std::vector<std::string>{kDonationUrl, kWebSiteUrl, kDonationUrl}));
}

TEST_F(WindowsTest, AboutBoxDoubleClickTogglesDebugMode) {
    TAboutBox& about = windows->AboutBox();
    EXPECT_EQ(about.windowTitle(), "About...");
    EXPECT_EQ(about.size(), QSize(TAboutBox::kClientWidth, TAboutBox::kClientHeight));
    EXPECT_EQ(about.minimumSize(), about.maximumSize());
    EXPECT_EQ(about.ProductName()->text(), "Larkpost");
    EXPECT_EQ(about.Version()->toolTip(), "Double-click to toggle Debug");
    EXPECT_EQ(about.Version()->cursor().shape(), Qt::PointingHandCursor);

    RunState.Debug = true;
    about.show();
    EXPECT_TRUE(about.Version()->text().startsWith("Version "))
        << about.Version()->text().toStdString();
    EXPECT_TRUE(about.DebugLabel()->isVisible()) << "debug mode set at start shows at once";
    QTest::mouseDClick(about.Version(), Qt::LeftButton);
    EXPECT_FALSE(RunState.Debug);
    EXPECT_FALSE(about.DebugLabel()->isVisible());
    about.hide();
    about.show();
    EXPECT_FALSE(about.DebugLabel()->isVisible());
    QTest::mouseDClick(about.Version(), Qt::LeftButton);
    EXPECT_TRUE(RunState.Debug);
    EXPECT_TRUE(about.DebugLabel()->isVisible());
    EXPECT_EQ(about.DebugLabel()->text(), "Debug Mode On");
}

TEST_F(WindowsTest, HelpWindowGrowsButNeverShrinksAndEscCloses) {
    TForm3& help = windows->Form3();
    EXPECT_EQ(help.windowTitle(), "Larkpost Help");
    EXPECT_TRUE(help.windowFlags() & Qt::WindowMaximizeButtonHint);
    help.show();
    EXPECT_EQ(help.size(), QSize(TForm3::kClientWidth, TForm3::kClientHeight));
    EXPECT_TRUE(help.WebBrowser1()->hasFocus() || QApplication::focusWidget() == nullptr);
    help.resize(300, 200);
    EXPECT_EQ(help.size(), QSize(TForm3::kClientWidth, TForm3::kClientHeight));
    help.resize(800, 700);
    QApplication::processEvents();
    EXPECT_EQ(help.size(), QSize(800, 700));
    EXPECT_EQ(help.WebBrowser1()->width(), help.WebBrowser1()->parentWidget()->width());
    QTest::keyClick(&help, Qt::Key_Escape);
    EXPECT_FALSE(help.isVisible());
    help.show();
    QTest::mouseClick(help.BitBtn1(), Qt::LeftButton);
    EXPECT_FALSE(help.isVisible());
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(WindowsTest, InitRevealsTheWindowOnTheMessageTab) {
    Form().PageControl1()->setCurrentIndex(2);
    EXPECT_FALSE(Form().isVisible()) << "hidden until Init decides the run is interactive";
    shell->RunInit();
    EXPECT_TRUE(RunState.Interactive);
    EXPECT_TRUE(Form().isVisible());
    EXPECT_EQ(Form().PageControl1()->currentIndex(), 0);
    EXPECT_TRUE(windows->boxes.empty());
    EXPECT_FALSE(shell->Terminated());
}

TEST_F(WindowsTest, MissingSettingsFileUnderSIsReportedAndTheWindowOpensWithTheSwitches) {
    Start({"/I", "/SUBJECT", "Hello", "/S", "missing.ini"});
    shell->RunInit();
    EXPECT_EQ(windows->boxes, (std::vector<std::string>{"error: Could not find settings file " +
                                                        exeDir + "missing.ini"}));
    EXPECT_EQ(RunState.ReturnCode, 2);
    EXPECT_TRUE(Form().isVisible());
    EXPECT_EQ(Find<QLineEdit>("SubjectEdit")->text(), "Hello");
}

TEST_F(WindowsTest, DebugSwitchShowsTheDumpThenTheWindow) {
    Start({"/D", "/HOST", "mail1"});
    shell->RunInit();
    ASSERT_EQ(windows->boxes.size(), 1u);
    EXPECT_EQ(
        windows->boxes[0].rfind("info: [Larkpost Switches and Settings]\n/V=0\n/I=0\n/D=1\n", 0),
        0u)
        << windows->boxes[0];
    EXPECT_TRUE(Form().isVisible());
    EXPECT_EQ(Find<QLineEdit>("HostEdit")->text(), "mail1");
}

TEST_F(WindowsTest, ExceptionsOfHandlersAreShownAndTheWindowStaysOpen) {
    shell->RunInit();
    shell->SendMsgClick = [] { throw ELpException("Host not found"); };
    QTest::mouseClick(Find<QPushButton>("SendMsg"), Qt::LeftButton);
    Form().WaitForSend();
    EXPECT_EQ(windows->boxes, (std::vector<std::string>{"error: Host not found."}));
    EXPECT_FALSE(shell->Terminated());
    ASSERT_GE(shell->ActivityLog.Lines().size(), 2u);
    EXPECT_NE(shell->ActivityLog.Lines()[0].find(" Exception: ELpException Host not found"),
              std::string::npos);
}

TEST_F(WindowsTest, SaveWritesTheSettingsAndBodyFilesThatTheNextStartShows) {
    shell->RunInit();
    QTest::keyClicks(Find<QLineEdit>("SubjectEdit"), "Saved subject");
    QTest::keyClicks(Find<QTextEdit>("RichEdit1"), "Body line");
    auto* host = Find<QLineEdit>("HostEdit");
    host->selectAll();
    QTest::keyClicks(host, "smtp.example.org");
    QTest::keyClicks(Find<QLineEdit>("PasswordEdit"), "pw 1");
    const std::string attachment = exeDir + "report.pdf";
    std::ofstream(attachment) << "%PDF";
    Form().ChooseFiles = [&] { return QStringList{QString::fromStdString(attachment)}; };
    QTest::mouseClick(Find<QPushButton>("AddFileBtn"), Qt::LeftButton);

    QTest::mouseClick(Find<QPushButton>("SaveSettings"), Qt::LeftButton);
    const std::string ini = exeDir + "Larkpost.ini";
    EXPECT_EQ(windows->boxes, (std::vector<std::string>{"info: Settings saved to " + ini}));
    const std::string text = ReadFile(ini);
    EXPECT_NE(text.find("Subject=Saved subject"), std::string::npos) << text;
    EXPECT_NE(text.find("Host=smtp.example.org"), std::string::npos) << text;
    EXPECT_EQ(text.find("pw 1"), std::string::npos) << "the password is stored enciphered only";
    EXPECT_NE(ReadFile(exeDir + "LarkpostBody.rtf").find("Body line"), std::string::npos);

    // The next interactive start reads both files back into the controls.
    Start({});
    shell->RunInit();
    EXPECT_EQ(Find<QLineEdit>("SubjectEdit")->text(), "Saved subject");
    EXPECT_EQ(Find<QLineEdit>("HostEdit")->text(), "smtp.example.org");
    EXPECT_EQ(Find<QLineEdit>("PasswordEdit")->text(), "pw 1");
    EXPECT_EQ(Find<QTextEdit>("RichEdit1")->toPlainText(), "Body line");
    EXPECT_EQ(ListedFiles(), (QStringList{"report.pdf"}))
        << "a file beside the program is kept by its name";
}

TEST_F(WindowsTest, CloseBoxEndsWithoutExitProgram) {
    shell->RunInit();
    Settings().SetSaveLog(true);
    shell->ActivityLog.Add(" something");
    RunState.ReturnCode = 2;
    Form().close();
    EXPECT_FALSE(shell->Terminated()) << "ExitProgram did not run";
    EXPECT_EQ(shell->ExitCode(), 0);
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(exeDir + "Larkpost.log")));
}

TEST_F(WindowsTest, BusyCursorDuringASend) {
    windows->SetBusyCursor(true);
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    windows->SetBusyCursor(true);
    windows->SetBusyCursor(false);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr)
        << "one restore for any number of busy calls";
}

TEST_F(WindowsTest, F1AndTheMenuOpenHelpAndAbout) {
    windows->RevealMainWindow(true);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Form()));
    QTest::keyClick(Find<QLineEdit>("ToEdit"), Qt::Key_F1);
    EXPECT_EQ(windows->helpShown, 1);
    const auto actions = Form().menuBar()->actions();
    actions[0]->trigger();
    actions[1]->trigger();
    EXPECT_EQ(windows->aboutShown, 1);
    EXPECT_EQ(windows->helpShown, 2);
    actions[2]->trigger();
    EXPECT_EQ(opened, (std::vector<std::string>{kDonationUrl}));
}

TEST_F(WindowsTest, ViewLogOpensTheSMTPLogOnlyWhenItExists) {
    windows->RevealMainWindow(true);
    auto* viewLog = Find<QPushButton>("ViewLogButton");
    QTest::mouseClick(viewLog, Qt::LeftButton);
    EXPECT_TRUE(opened.empty());
    std::ofstream(exeDir + "Larkpost_SMTP.log") << "log\n";
    QTest::mouseClick(viewLog, Qt::LeftButton);
    EXPECT_EQ(opened, (std::vector<std::string>{"file://" + exeDir + "Larkpost_SMTP.log"}));
}

TEST_F(WindowsTest, TabKeyFollowsTheFieldOrder) {
    windows->RevealMainWindow(true);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Form()));
    Find<QLineEdit>("FromNameEdit")->setFocus();
    QStringList visited;
    for (int i = 0; i < 6; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    EXPECT_EQ(visited, (QStringList{"FromAddrEdit", "ToEdit", "ReplyToEdit", "CCEdit", "BCCEdit",
                                    "SubjectEdit"}));
}

TEST_F(WindowsTest, PasswordCommandFieldFillsSendSettingsAndIsSavedAndLoaded) {
    shell->RunInit();
    Find<QComboBox>("AuthTypeComboBox")->setCurrentIndex(kAuthUserPass);
    auto* command = Find<QLineEdit>("PasswordCommandEdit");
    auto* password = Find<QLineEdit>("PasswordEdit");
    EXPECT_TRUE(password->isEnabled());
    QTest::keyClicks(command, "pass show mail/relay");
    EXPECT_EQ(Settings().PasswordCommand(), "pass show mail/relay");
    EXPECT_FALSE(password->isEnabled()) << "a send takes the command's password, not the field";
    QTest::mouseClick(Find<QPushButton>("SaveSettings"), Qt::LeftButton);
    EXPECT_NE(ReadFile(exeDir + "Larkpost.ini").find("\nPasswordCommand=pass show mail/relay\n"),
              std::string::npos);

    Start({});
    shell->RunInit();
    EXPECT_EQ(Find<QLineEdit>("PasswordCommandEdit")->text(), "pass show mail/relay");
    EXPECT_FALSE(Find<QLineEdit>("PasswordEdit")->isEnabled());

    // A password on the command line wins over the command, so its field counts again.
    Start({"/I", "/PASS", "from switch"});
    shell->RunInit();
    EXPECT_EQ(Find<QLineEdit>("PasswordCommandEdit")->text(), "pass show mail/relay");
    EXPECT_TRUE(Find<QLineEdit>("PasswordEdit")->isEnabled());
}

// The controls a Tab cycle from `start` visits, in order, up to and including the return to it.
QStringList TabCycle(QWidget* start) {
    start->setFocus();
    QStringList visited;
    for (int i = 0; i < 60; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
        if (QApplication::focusWidget() == start) break;
    }
    return visited;
}

// Every control of `area` that Tab should reach: shown, enabled and taking focus by Tab. Of an
// exclusive radio group Tab enters one button; the arrow keys move within it.
QStringList TabStops(QWidget* area) {
    QStringList stops;
    for (QWidget* w : area->findChildren<QWidget*>()) {
        if (!w->isVisible() || !w->isEnabled() || !(w->focusPolicy() & Qt::TabFocus) ||
            w->focusProxy())
            continue;
        auto* radio = qobject_cast<QRadioButton*>(w);
        if (radio && radio->group() && radio->group()->buttons().first() != w) continue;
        stops << w->objectName();
    }
    return stops;
}

TEST_F(WindowsTest, TabReachesEveryControlAndNeverTypesIntoTheBody) {
    windows->RevealMainWindow(true);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Form()));

    const QStringList message = TabCycle(Find<QLineEdit>("FromNameEdit"));
    EXPECT_EQ(message.mid(0, 11),
              (QStringList{"FromAddrEdit", "ToEdit", "ReplyToEdit", "CCEdit", "BCCEdit",
                           "SubjectEdit", "ContentTypeItem0", "RichEdit1", "FileListBox",
                           "AddFileBtn", "RemoveFileBtn"}));
    for (const QString& stop : TabStops(&Form()))
        EXPECT_TRUE(message.contains(stop)) << qPrintable(stop);
    for (const char* button : {"SendMsg", "SaveSettings", "DonateBitBtn", "BitBtn2"})
        EXPECT_TRUE(message.contains(button)) << button;

    auto* body = Find<QTextEdit>("RichEdit1");
    body->setFocus();
    QTest::keyClicks(body, "Hello");
    QTest::keyClick(body, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "FileListBox");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), body);
    QTest::keyClick(body, Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "ContentTypeItem0");
    EXPECT_EQ(body->toPlainText(), "Hello");
    EXPECT_EQ(Settings().Body(), (std::vector<std::string>{"Hello"}));
    // The second content type is one arrow key away from the first.
    Find<QRadioButton>("ContentTypeItem0")->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
    EXPECT_EQ(QApplication::focusWidget()->objectName(), "ContentTypeItem1");

    Form().PageControl1()->setCurrentIndex(2);
    const QStringList settings = TabCycle(Find<QLineEdit>("HostEdit"));
    const QStringList stops = TabStops(Form().PageControl1()->currentWidget());
    ASSERT_TRUE(stops.contains("ViewLogButton"));
    for (const QString& stop : stops) EXPECT_TRUE(settings.contains(stop)) << qPrintable(stop);
}

TEST_F(WindowsTest, OAuthEntryFillsSendSettingsAndIsSavedAndLoaded) {
    shell->RunInit();
    auto* auth = Find<QComboBox>("AuthTypeComboBox");
    EXPECT_EQ(auth->itemText(3), "OAuth 2.0 access token");
    auth->setCurrentIndex(3);
    EXPECT_EQ(Settings().AuthType(), kAuthOAuth2);
    QTest::mouseClick(Find<QPushButton>("SaveSettings"), Qt::LeftButton);
    EXPECT_NE(ReadFile(exeDir + "Larkpost.ini").find("\nAuthType=3\n"), std::string::npos);

    Start({});
    shell->RunInit();
    EXPECT_EQ(Find<QComboBox>("AuthTypeComboBox")->currentIndex(), 3);
    EXPECT_EQ(Settings().AuthType(), kAuthOAuth2);
}

// The send button runs the real send workflow against a loopback SMTP server.
class SendTest : public WindowsTest {
protected:
    void SetUp() override {
        WindowsTest::SetUp();
        workflow = std::make_unique<TLpSendWorkflow>(*shell);
        shell->RunInit();
        QTest::keyClicks(Find<QLineEdit>("FromNameEdit"), "Ada");
        QTest::keyClicks(Find<QLineEdit>("FromAddrEdit"), "ada@example.org");
        QTest::keyClicks(Find<QLineEdit>("ToEdit"), "bob@example.org");
        QTest::keyClicks(Find<QLineEdit>("SubjectEdit"), "From the window");
        QTest::mouseClick(Find<QRadioButton>("ContentTypeItem0"), Qt::LeftButton);
        QTest::keyClicks(Find<QTextEdit>("RichEdit1"), "Hello from the window");
        auto* host = Find<QLineEdit>("HostEdit");
        host->selectAll();
        QTest::keyClicks(host, "127.0.0.1");
    }
    void TearDown() override {
        workflow.reset();
        WindowsTest::TearDown();
    }

    void TypePort(int port) {
        auto* edit = Find<QLineEdit>("PortEdit");
        edit->selectAll();
        QTest::keyClicks(edit, QString::number(port));
    }
    bool Logged(const std::string& text) {
        for (const auto& line : shell->ActivityLog.Lines())
            if (line.size() >= text.size() &&
                line.compare(line.size() - text.size(), text.size(), text) == 0)
                return true;
        return false;
    }

    std::unique_ptr<TLpSendWorkflow> workflow;
};

TEST_F(SendTest, SendButtonSendsWhatTheFieldsHoldAndShowsSuccess) {
    TSmtpPeer peer;
    TypePort(peer.Port());
    RunState.ReturnCode = 1;
    QTest::mouseClick(Find<QPushButton>("SendMsg"), Qt::LeftButton);
    Form().WaitForSend();

    EXPECT_EQ(windows->boxes, (std::vector<std::string>{"info: Message sent successfully."}));
    EXPECT_EQ(RunState.ReturnCode, 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the hourglass is gone";
    EXPECT_TRUE(Logged(" SMTP connection to 127.0.0.1 successful"));
    EXPECT_TRUE(Logged(" SMTP disconnected from 127.0.0.1"));
    EXPECT_TRUE(Logged(" Message sent successfully."));
    EXPECT_EQ(Find<QPlainTextEdit>("Memo1")->toPlainText().count('\n') + 1,
              static_cast<qsizetype>(shell->ActivityLog.Lines().size()));
    EXPECT_FALSE(Form().statusBar()->currentMessage().isEmpty())
        << "the SMTP status reached the status bar";

    const std::string received = peer.Received();
    for (const char* text : {"MAIL FROM:<ada@example.org>", "RCPT TO:<bob@example.org>",
                             "Subject: From the window", "Hello from the window", "QUIT"})
        EXPECT_NE(received.find(text), std::string::npos) << text << " in:\n" << received;
}

TEST_F(SendTest, FailedSendShowsTheErrorAndKeepsTheWindow) {
    int unused;
    {
        TSmtpPeer closedAgain;  // its port is free again once it is gone
        unused = closedAgain.Port();
    }
    TypePort(unused);
    QTest::mouseClick(Find<QPushButton>("SendMsg"), Qt::LeftButton);
    Form().WaitForSend();
    ASSERT_EQ(windows->boxes.size(), 1u);
    EXPECT_EQ(windows->boxes[0].rfind("error: ", 0), 0u) << windows->boxes[0];
    EXPECT_NE(windows->boxes[0].find("refused"), std::string::npos) << windows->boxes[0];
    EXPECT_EQ(RunState.ReturnCode, 1);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(Form().isVisible());
    EXPECT_FALSE(shell->Terminated());
}

// Cancel while a slow server reads: the button, Esc and the close box stop the send at once, the
// server never sees the end-of-data line, no error box, and the next send works.
TEST_F(SendTest, CancelStopsTheSendAtOnceAndTheNextSendWorks) {
    struct Case {
        const char* name;
        std::function<void()> cancel;
    };
    const Case cases[] = {
        {"Cancel button", [this] { QTest::mouseClick(Find<QPushButton>("SendMsg"), Qt::LeftButton); }},
        {"Esc", [this] { QTest::keyClick(Find<QLineEdit>("ToEdit"), Qt::Key_Escape); }},
        {"close box", [this] { Form().close(); }},
    };
    const std::string big = exeDir + "big.bin";
    std::ofstream(big, std::ios::binary) << std::string(12 << 20, 'x');
    auto* send = Find<QPushButton>("SendMsg");
    auto* bar = Find<QProgressBar>("SendProgressBar");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer slow({
            S("220 mx.test ESMTP\r\n"),
            C("EHLO Larkpostv" + GetVersionNumber() + "\r\n"), S("250 mx.test\r\n"),
            C("MAIL FROM:<ada@example.org>\r\n"), S("250 Ok\r\n"),
            C("RCPT TO:<bob@example.org>\r\n"), S("250 Ok\r\n"),
            C("DATA\r\n"), S("354 go ahead\r\n"),
            // Reads nothing for a while (the client fills the socket and waits), then takes
            // whatever comes until the client has gone.
            Delay(3000), Silent(5000),
        });
        windows->RevealMainWindow(false);
        Settings().ClearFiles();
        Settings().AddFile(big);
        TypePort(slow.Port());
        windows->boxes.clear();

        QTest::mouseClick(send, Qt::LeftButton);
        for (int waited = 0; !bar->isVisible() && waited < 5000; waited += 10) QTest::qWait(10);
        ASSERT_TRUE(bar->isVisible()) << "the progress bar shows while the message goes out";
        EXPECT_EQ(send->text(), "Cancel");
        EXPECT_FALSE(Find<QLineEdit>("SubjectEdit")->isEnabled()) << "what is sent stays as it was";
        EXPECT_FALSE(Find<QPushButton>("SaveSettings")->isEnabled());

        const auto start = std::chrono::steady_clock::now();
        c.cancel();
        Form().WaitForSend();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500))
            << "at once, not when the server reads again";
        EXPECT_FALSE(Form().Sending());
        EXPECT_EQ(send->text(), "&Send Message");
        EXPECT_FALSE(bar->isVisible());
        EXPECT_TRUE(windows->boxes.empty()) << windows->boxes.front();
        const std::string last = shell->ActivityLog.Lines().back();
        const std::string cancelled = " Send cancelled by the user.";
        EXPECT_TRUE(last.size() > cancelled.size() &&
                    last.compare(last.size() - cancelled.size(), cancelled.size(), cancelled) == 0)
            << last;
        EXPECT_EQ(RunState.ReturnCode, 1);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(slow.Finish(), "");
        EXPECT_EQ(slow.Received().find("\r\n.\r\n"), std::string::npos);

        windows->RevealMainWindow(false);
        Settings().ClearFiles();
        TSmtpPeer peer;
        TypePort(peer.Port());
        QTest::mouseClick(send, Qt::LeftButton);
        Form().WaitForSend();
        EXPECT_EQ(windows->boxes, (std::vector<std::string>{"info: Message sent successfully."}));
        EXPECT_EQ(RunState.ReturnCode, 0);
    }
}

TEST_F(WindowsTest, RetryFieldsOfTheSettingsTab) {
    shell->RunInit();
    auto* retries = Find<QLineEdit>("RetriesEdit");
    auto* wait = Find<QLineEdit>("RetryWaitEdit");
    EXPECT_EQ(retries->text(), "0");
    EXPECT_EQ(wait->text(), "30");
    retries->selectAll();
    QTest::keyClicks(retries, "4");
    wait->selectAll();
    QTest::keyClicks(wait, "90");
    EXPECT_EQ(Settings().Retries(), "4");
    EXPECT_EQ(Settings().RetryWait(), "90");
    Settings().SetRetries("2");
    EXPECT_EQ(retries->text(), "2");
}

TEST(VisualStyle, AquaGraphiteIsBuiltIn) {
    auto& app = *qApp;
    const QString before = app.styleSheet();
    EXPECT_FALSE(ApplyVisualStyle(app, "No Such Style"));
    EXPECT_EQ(app.styleSheet(), before);
    ASSERT_TRUE(ApplyVisualStyle(app, "Aqua Graphite"));
    EXPECT_TRUE(app.styleSheet().contains("QLabel[role=\"mandatory\"]"));
}

TEST(HelpPage, DescribesEverySwitchReturnCodeAndFile) {
    const QString page = QString::fromStdString(HelpPagePlainText());
    ASSERT_FALSE(page.isEmpty()) << "the help page is missing from the resources";
    const char* switches[] = {
        "/?",       "/H",       "/V",        "/I",     "/D",         "/S",        "/NOS",
        "/LOG",     "/LOGSMTP", "/HOST",     "/PORT",  "/AUTH",      "/USERID",   "/PASS",
        "/PASS3",   "/PASSX",   "/FROM",     "/TO",    "/REPLYTO",   "/CC",       "/BCC",
        "/SUBJECT", "/BODY",    "/BODYFILE", "/FILES", "/MailAgent", "/HeloName", "/TYPE",
        "/PASSCMD"};
    for (const char* sw : switches) {
        // Each switch opens a row of the switch table.
        const QRegularExpression row(QString("(^|\\n|or )") + QRegularExpression::escape(sw) +
                                     "( |\\n)");
        EXPECT_TRUE(page.contains(row)) << sw;
    }
    for (const char* text :
         {"Installation:", "Command-line Usage:", "Examples:", "Return Codes:", "Limitations:",
          "Other Information:", "Larkpost.ini", "LarkpostBody.rtf", "Larkpost.log",
          "Larkpost_SMTP.log", "Password3", "Double-click"})
        EXPECT_TRUE(page.contains(text)) << text;
}

}  // namespace
}  // namespace larkpost
