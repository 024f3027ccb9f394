// The main window.
#include "ui/MainForm.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QShortcut>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTabWidget>
#include <QTextCursor>
#include <QTextEdit>
#include <QThread>
#include <QVBoxLayout>
#include <QValidator>

#include "app/PasswordCommand.h"
#include "app/SettingsFile.h"
#include "app/Shell.h"
#include "platform/Exception.h"
#include "ui/Icon.h"
#include "ui/Links.h"
#include "ui/OnGuiThread.h"

namespace larkpost {

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}
std::string S(const QString& s) {
    return s.toStdString();
}

// Limits what is typed to a few characters without cutting a longer value set by the program
// (a settings file may hold one): typing that would make such a value longer is refused, deleting
// from it is not.
class TTypedLengthValidator : public QValidator {
public:
    TTypedLengthValidator(QLineEdit* edit, int maxTyped)
        : QValidator(edit), m_accepted(edit->text()), m_max(maxTyped) {
        // The line edit changes its text before it asks; what it showed before is kept here.
        connect(edit, &QLineEdit::textChanged, this,
                [this](const QString& text) { m_accepted = text; });
    }
    State validate(QString& input, int&) const override {
        if (input == m_accepted || input.size() <= m_max || input.size() < m_accepted.size())
            return Acceptable;
        return Invalid;
    }

private:
    QString m_accepted;
    int m_max;
};

void SetHint(QWidget* w, const QString& hint) {
    w->setToolTip(hint);
    w->setStatusTip(hint);
}

// A field label; `role` picks its colour out in the visual style ("mandatory" yellow, "server"
// blue), and the palette carries the same colour when no style sheet is applied.
QLabel* FieldLabel(const QString& caption, QWidget* buddy, const char* role = nullptr) {
    auto* label = new QLabel(caption);
    label->setBuddy(buddy);
    if (role) {
        label->setProperty("role", role);
        QPalette palette = label->palette();
        const bool mandatory = QByteArray(role) == "mandatory";
        palette.setColor(QPalette::WindowText,
                         mandatory ? QColor(0xff, 0xd5, 0x4a) : QColor(0x7c, 0xc4, 0xff));
        label->setPalette(palette);
    }
    return label;
}

QLineEdit* LineEdit(const char* name, const QString& hint) {
    auto* edit = new QLineEdit;
    edit->setObjectName(name);
    if (!hint.isEmpty()) SetHint(edit, hint);
    return edit;
}

QPushButton* Button(const char* name, const QString& caption, const QString& hint) {
    auto* button = new QPushButton(caption);
    button->setObjectName(name);
    button->setAutoDefault(false);
    if (!hint.isEmpty()) SetHint(button, hint);
    return button;
}

std::vector<std::string> PlainTextLines(const QString& text) {
    std::vector<std::string> lines;
    if (text.isEmpty()) return lines;
    for (const QString& line : text.split('\n')) lines.push_back(S(line));
    return lines;
}

QString JoinLines(const std::vector<std::string>& lines) {
    QStringList list;
    for (const auto& line : lines) list << Q(line);
    return list.join('\n');
}

void SetTextIfChanged(QLineEdit* edit, const std::string& value) {
    const QString text = Q(value);
    if (edit->text() == text) return;
    // What the program sets is not typed: a validator would mark a long value invalid and then
    // let typing lengthen it further.
    const QValidator* validator = edit->validator();
    edit->setValidator(nullptr);
    edit->setText(text);
    edit->setValidator(validator);
}

}  // namespace

TForm1::TForm1(TLpShell& shell, QWidget* parent) : QMainWindow(parent), m_shell(shell) {
    setObjectName("Form1");
    setWindowTitle("Larkpost");
    setWindowIcon(QIcon(ProgramIcon(32)));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(6, 6, 6, 4);
    layout->setSpacing(6);

    m_pages = new QTabWidget(central);
    m_pages->setObjectName("PageControl1");
    auto* messagePage = new QWidget;
    auto* logPage = new QWidget;
    auto* settingsPage = new QWidget;
    messagePage->setObjectName("MessageTab");
    logPage->setObjectName("LogTab");
    settingsPage->setObjectName("SettingsTab");
    BuildMessagePage(messagePage);
    BuildLogPage(logPage);
    BuildSettingsPage(settingsPage);
    m_pages->addTab(messagePage, "Message");
    m_pages->addTab(logPage, "Log");
    m_pages->addTab(settingsPage, "Settings");
    layout->addWidget(m_pages, 1);

    auto* buttons = new QWidget(central);
    BuildButtons(buttons);
    layout->addWidget(buttons);
    setCentralWidget(central);

    statusBar()->setObjectName("StatusBar1");
    statusBar()->setSizeGripEnabled(false);
    m_progress = new QProgressBar;
    m_progress->setObjectName("SendProgressBar");
    m_progress->setRange(0, 1000);
    m_progress->setFormat("%p%");
    m_progress->setFixedWidth(180);
    m_progress->setMaximumHeight(16);
    m_progress->hide();
    statusBar()->addPermanentWidget(m_progress);
    BuildMenu();

    ChooseFiles = [this] {
        QFileDialog dialog(this, "Select the file attachments...");
        dialog.setObjectName("OpenDialog1");
        dialog.setNameFilter("All Files (*)");
        dialog.setFileMode(QFileDialog::ExistingFiles);
        return dialog.exec() == QDialog::Accepted ? dialog.selectedFiles() : QStringList();
    };

    SetTabOrder();
    FormCreate();
    ConnectEditors();
    // A send on its own thread changes them too; the controls are this thread's.
    m_shell.SendSettings.OnChange = [this] { OnGuiThread(this, [this] { RefreshControls(); }); };
    m_shell.ActivityLog.OnChange = [this] { OnGuiThread(this, [this] { RefreshLog(); }); };
    RefreshControls();
    RefreshLog();

    // The area below the menu bar is the window definition's client area.
    setFixedSize(kClientWidth, kClientHeight + menuBar()->sizeHint().height());
}

TForm1::~TForm1() {
    if (m_sending) {
        if (m_shell.CancelSend) m_shell.CancelSend();
        WaitForSend();
    }
    if (m_sendThread.joinable()) m_sendThread.join();
    m_shell.SendSettings.OnChange = nullptr;
    m_shell.ActivityLog.OnChange = nullptr;
}

void TForm1::BuildMessagePage(QWidget* page) {
    m_fromName = LineEdit("FromNameEdit", "Name of the sender. (Mandatory)");
    m_fromAddr = LineEdit("FromAddrEdit", "Email address of the sender. (Mandatory)");
    m_to = LineEdit(
        "ToEdit",
        "Email address of the recipient(s). (Mandatory)  Separate addresses with a comma.");
    m_replyTo = LineEdit("ReplyToEdit", "Email address where replies are to be sent.");
    m_cc =
        LineEdit("CCEdit",
                 "Email address where carbon copy is to be sent. Separate addresses with a comma.");
    m_bcc = LineEdit(
        "BCCEdit",
        "Email address where blind carbon copy is to be sent.  Separate addresses with a comma.");
    m_subject = LineEdit("SubjectEdit", "Subject of the email.");

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(4);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    // The sender's two fields share a row, and so do the two copy lists.
    grid->addWidget(FieldLabel("From Name:", m_fromName, "mandatory"), 0, 0);
    grid->addWidget(m_fromName, 0, 1);
    grid->addWidget(FieldLabel("From Addr:", m_fromAddr, "mandatory"), 0, 2);
    grid->addWidget(m_fromAddr, 0, 3);
    grid->addWidget(FieldLabel("To:", m_to, "mandatory"), 1, 0);
    grid->addWidget(m_to, 1, 1, 1, 3);
    grid->addWidget(FieldLabel("Reply To:", m_replyTo), 2, 0);
    grid->addWidget(m_replyTo, 2, 1, 1, 3);
    grid->addWidget(FieldLabel("cc:", m_cc), 3, 0);
    grid->addWidget(m_cc, 3, 1);
    grid->addWidget(FieldLabel("bcc:", m_bcc), 3, 2);
    grid->addWidget(m_bcc, 3, 3);
    grid->addWidget(FieldLabel("Subject:", m_subject), 4, 0);
    grid->addWidget(m_subject, 4, 1, 1, 3);

    auto* contentType = new QGroupBox;
    contentType->setObjectName("ContentType");
    SetHint(contentType, "Message content type.");
    m_contentType = new QButtonGroup(contentType);
    auto* typeRow = new QHBoxLayout(contentType);
    typeRow->setContentsMargins(8, 2, 8, 2);
    typeRow->setSpacing(24);
    const char* items[] = {"text", "html"};
    for (int i = 0; i < 2; ++i) {
        auto* radio = new QRadioButton(items[i]);
        radio->setObjectName(QString("ContentTypeItem%1").arg(i));
        m_contentType->addButton(radio, i);
        typeRow->addWidget(radio);
    }

    m_body = new QTextEdit;
    m_body->setObjectName("RichEdit1");
    m_body->setAcceptRichText(true);
    m_body->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tab moves on to the attachments; a tab typed into the body would be sent.
    m_body->setTabChangesFocus(true);
    auto* bodyHeader = new QHBoxLayout;
    bodyHeader->addWidget(FieldLabel("Body:", m_body));
    bodyHeader->addStretch(1);
    bodyHeader->addWidget(contentType);
    auto* bodyColumn = new QVBoxLayout;
    bodyColumn->setSpacing(3);
    bodyColumn->addLayout(bodyHeader);
    bodyColumn->addWidget(m_body, 1);

    m_files = new QListWidget;
    m_files->setObjectName("FileListBox");
    m_files->setSelectionMode(QAbstractItemView::SingleSelection);
    // Long paths keep their file names in view; the whole path is in the item's tool tip.
    m_files->setTextElideMode(Qt::ElideMiddle);
    m_files->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    SetHint(m_files, "File attachments.");
    auto* addFile = Button("AddFileBtn", "Add", "Add a file attachment.");
    auto* removeFile = Button("RemoveFileBtn", "Remove", "Remove a selected file attachment.");
    connect(addFile, &QPushButton::clicked, this,
            [this] { Handle([this] { AddFileButtonClick(); }); });
    connect(removeFile, &QPushButton::clicked, this,
            [this] { Handle([this] { RemoveFileButtonClick(); }); });
    auto* fileButtons = new QHBoxLayout;
    fileButtons->addWidget(addFile);
    fileButtons->addWidget(removeFile);
    auto* filesColumn = new QVBoxLayout;
    filesColumn->setSpacing(3);
    auto* filesLabel = FieldLabel("File Attachments:", m_files);
    filesLabel->setMinimumHeight(contentType->sizeHint().height());
    filesColumn->addWidget(filesLabel);
    filesColumn->addWidget(m_files, 1);
    filesColumn->addLayout(fileButtons);

    auto* lower = new QHBoxLayout;
    lower->setSpacing(8);
    lower->addLayout(bodyColumn, 3);
    lower->addLayout(filesColumn, 2);

    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(6);
    layout->addLayout(grid);
    layout->addLayout(lower, 1);
}

void TForm1::SetTabOrder() {
    // The order of the window definition, whatever the layout puts side by side.
    const QList<QWidget*> message = {m_fromName,
                                     m_fromAddr,
                                     m_to,
                                     m_replyTo,
                                     m_cc,
                                     m_bcc,
                                     m_subject,
                                     m_contentType->button(0),
                                     m_contentType->button(1),
                                     m_body,
                                     m_files,
                                     findChild<QWidget*>("AddFileBtn"),
                                     findChild<QWidget*>("RemoveFileBtn")};
    const QList<QWidget*> settings = {m_host,
                                      m_port,
                                      m_timeout,
                                      m_useTLS,
                                      m_verifyCertificate,
                                      m_caFile,
                                      m_fingerprint,
                                      m_authType,
                                      m_userID,
                                      m_password,
                                      m_passwordCommand,
                                      m_mailAgent,
                                      m_heloName,
                                      m_retries,
                                      m_retryWait,
                                      m_saveLog,
                                      m_saveSMTPLog,
                                      findChild<QWidget*>("ViewLogButton")};
    for (const auto* chain : {&message, &settings})
        for (qsizetype i = 1; i < chain->size(); ++i)
            QWidget::setTabOrder((*chain)[i - 1], (*chain)[i]);
}

void TForm1::BuildLogPage(QWidget* page) {
    m_memo = new QPlainTextEdit;
    m_memo->setObjectName("Memo1");
    m_memo->setReadOnly(true);
    // A failure's reason is often longer than the view is wide; it reads whole, without
    // scrolling sideways.
    m_memo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(m_memo);
}

void TForm1::BuildSettingsPage(QWidget* page) {
    m_host = LineEdit("HostEdit", "The host name or IP address of the SMTP server. (Mandatory)");
    m_port = LineEdit("PortEdit",
                      "Standard SMTP port value is 25. (Mandatory) For SSL the standard is 465.");
    m_timeout = LineEdit("TimeoutEdit", "Connection timeout period. (Mandatory)");
    m_timeout->setValidator(new TTypedLengthValidator(m_timeout, 3));
    m_authType = new QComboBox;
    m_authType->setObjectName("AuthTypeComboBox");
    m_authType->setEditable(false);
    SetHint(m_authType, "Authentication method.");
    m_userID = LineEdit("UserIDEdit", "Authenticated user name.");
    m_password = LineEdit("PasswordEdit", QString());
    m_password->setEchoMode(QLineEdit::Password);
    m_mailAgent =
        LineEdit("MailAgentEdit", "Mail agent name (X-Mailer). Blank is \"Larkpost version\".");
    m_heloName = LineEdit("HeloNameEdit", "Helo greeting name. Blank is \"Larkpost version\".");
    m_passwordCommand = LineEdit("PasswordCommandEdit",
                                 "Command run at each send; the first line it prints is the "
                                 "password or access token. Overrides the Password field.");

    m_saveLog = new QCheckBox("Save Log to File (Larkpost.log)");
    m_saveLog->setObjectName("SaveLogCheckBox");
    SetHint(m_saveLog, "Save the contents of the Log tab to the file Larkpost.log upon exit.");
    m_saveSMTPLog = new QCheckBox("Save SMTP Conversation to File (Larkpost_SMTP.log)");
    m_saveSMTPLog->setObjectName("SaveSMTPLogCheckBox");
    SetHint(m_saveSMTPLog, "Save SMTP conversation to the file Larkpost_SMTP.log.");
    auto* viewLog =
        Button("ViewLogButton", "View Log", "View the log file Larkpost_SMTP.log (if it exists)");
    connect(viewLog, &QPushButton::clicked, this,
            [this] { Handle([this] { m_shell.ViewLogButtonClick(); }); });

    // Short numbers need no full-width field.
    m_port->setMaximumWidth(80);
    m_timeout->setMaximumWidth(80);

    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(7);
    grid->setColumnStretch(1, 1);
    int row = 0;
    grid->addWidget(FieldLabel("Host:", m_host, "server"), row, 0);
    grid->addWidget(m_host, row++, 1);
    grid->addWidget(FieldLabel("Port:", m_port, "server"), row, 0);
    grid->addWidget(m_port, row++, 1, Qt::AlignLeft);
    grid->addWidget(FieldLabel("Timeout (seconds):", m_timeout, "server"), row, 0);
    grid->addWidget(m_timeout, row++, 1, Qt::AlignLeft);
    BuildSecurityControls(grid, row);
    grid->addWidget(FieldLabel("Authentication:", m_authType), row, 0);
    grid->addWidget(m_authType, row++, 1);
    grid->addWidget(FieldLabel("Username:", m_userID), row, 0);
    grid->addWidget(m_userID, row++, 1);
    grid->addWidget(FieldLabel("Password:", m_password), row, 0);
    grid->addWidget(m_password, row++, 1);
    grid->addWidget(FieldLabel("Password command:", m_passwordCommand), row, 0);
    grid->addWidget(m_passwordCommand, row++, 1);
    grid->addWidget(FieldLabel("Mail Agent Name:", m_mailAgent), row, 0);
    grid->addWidget(m_mailAgent, row++, 1);
    grid->addWidget(FieldLabel("Helo Name:", m_heloName), row, 0);
    grid->addWidget(m_heloName, row++, 1);

    // Retries for a send that fails for a passing reason; both are short numbers.
    m_retries = LineEdit("RetriesEdit",
                         "How many more times to try a send that failed for a passing reason (no "
                         "connection, time-out, connection lost, a 4xx reply). 0: once only.");
    m_retryWait = LineEdit("RetryWaitEdit",
                           "Seconds before the first retry, doubled before each further one (at "
                           "most an hour).");
    m_retries->setMaximumWidth(80);
    m_retryWait->setMaximumWidth(80);
    auto* retryRow = new QHBoxLayout;
    retryRow->setSpacing(10);
    retryRow->addWidget(m_retries);
    retryRow->addWidget(FieldLabel("Retry wait (seconds):", m_retryWait));
    retryRow->addWidget(m_retryWait);
    retryRow->addStretch(1);
    grid->addWidget(FieldLabel("Retries:", m_retries), row, 0);
    grid->addLayout(retryRow, row++, 1);

    auto* logs = new QGroupBox;
    auto* logsLayout = new QGridLayout(logs);
    logsLayout->setContentsMargins(10, 8, 10, 8);
    logsLayout->addWidget(m_saveLog, 0, 0);
    logsLayout->addWidget(m_saveSMTPLog, 1, 0);
    logsLayout->addWidget(viewLog, 1, 1, Qt::AlignRight);
    logsLayout->setColumnStretch(0, 1);

    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(12);
    layout->addLayout(grid);
    layout->addWidget(logs);
    layout->addStretch(1);
}

void TForm1::BuildButtons(QWidget* area) {
    auto* send = Button("SendMsg", "&Send Message", "Send the email.");
    auto* save = Button("SaveSettings", "&Save Settings as Default",
                        "Save the current settings for both Message and Settings tabs.");
    auto* donate = Button("DonateBitBtn", "Donate", QString());
    auto* exit = Button("BitBtn2", "&Exit", "Exit the program.");
    // "&Send Message" and "&Save Settings as Default" share Alt+S, the Exit button and the Exit
    // menu entry Alt+E; a shared shortcut only moves the focus between its owners. Alt+S sends
    // and Alt+E exits (through the menu entry), so the other owners keep their underline only.
    save->setShortcut(QKeySequence());
    exit->setShortcut(QKeySequence());
    m_sendButton = send;
    m_saveButton = save;
    connect(send, &QPushButton::clicked, this, [this] { Handle([this] { SendOrCancel(); }); });
    connect(save, &QPushButton::clicked, this, [this] { Handle([this] { WriteINISettings(); }); });
    connect(donate, &QPushButton::clicked, this, [this] { Handle([this] { Donate1Click(); }); });
    connect(exit, &QPushButton::clicked, this, [this] { Handle([this] { Exit1Click(); }); });
    auto* row = new QHBoxLayout(area);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    row->addWidget(send);
    row->addWidget(save);
    row->addStretch(1);
    row->addWidget(donate);
    row->addWidget(exit);
}

void TForm1::BuildMenu() {
    auto* bar = menuBar();
    bar->setObjectName("MainMenu1");
    auto addEntry = [&](const char* name, const QString& caption, const QString& hint,
                        void (TForm1::*handler)()) {
        QAction* action = bar->addAction(caption);
        action->setObjectName(name);
        action->setStatusTip(hint);
        connect(action, &QAction::triggered, this,
                [this, handler] { Handle([this, handler] { (this->*handler)(); }); });
        return action;
    };
    addEntry("About1", "&About", "About the program...", &TForm1::About1Click);
    addEntry("Help1", "&Help", "Help using the program...", &TForm1::Help1Click);
    addEntry("Donate1", "Donate", QString(), &TForm1::Donate1Click);
    addEntry("Exit1", "&Exit", "Exit the program.", &TForm1::Exit1Click);
    // F1 opens help wherever the focus is in this window.
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    f1->setContext(Qt::WindowShortcut);
    connect(f1, &QShortcut::activated, this, [this] { Handle([this] { Help1Click(); }); });
    // Esc stops a send under way, wherever the focus is in this window.
    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    esc->setObjectName("CancelSendShortcut");
    esc->setContext(Qt::WindowShortcut);
    esc->setEnabled(false);
    connect(esc, &QShortcut::activated, this, [this] { CancelSendClick(); });
}

void TForm1::ConnectEditors() {
    auto bind = [this](QLineEdit* edit, void (TSendSettings::*setter)(const std::string&)) {
        connect(edit, &QLineEdit::textChanged, this, [this, setter](const QString& text) {
            if (!m_refreshing) (m_shell.SendSettings.*setter)(S(text));
        });
    };
    bind(m_fromName, &TSendSettings::SetFromName);
    bind(m_fromAddr, &TSendSettings::SetFromAddr);
    bind(m_to, &TSendSettings::SetTo);
    bind(m_replyTo, &TSendSettings::SetReplyTo);
    bind(m_cc, &TSendSettings::SetCc);
    bind(m_bcc, &TSendSettings::SetBcc);
    bind(m_subject, &TSendSettings::SetSubject);
    bind(m_host, &TSendSettings::SetHost);
    bind(m_port, &TSendSettings::SetPort);
    bind(m_timeout, &TSendSettings::SetTimeout);
    bind(m_userID, &TSendSettings::SetUserID);
    bind(m_password, &TSendSettings::SetPassword);
    bind(m_mailAgent, &TSendSettings::SetMailAgent);
    bind(m_heloName, &TSendSettings::SetHeloName);
    bind(m_passwordCommand, &TSendSettings::SetPasswordCommand);
    bind(m_retries, &TSendSettings::SetRetries);
    bind(m_retryWait, &TSendSettings::SetRetryWait);

    connect(m_contentType, &QButtonGroup::idClicked, this, [this](int id) {
        if (!m_refreshing) m_shell.SendSettings.SetContentType(id);
    });
    connect(m_body, &QTextEdit::textChanged, this, [this] {
        if (!m_refreshing) m_shell.SendSettings.SetBody(PlainTextLines(m_body->toPlainText()));
    });
    connect(m_authType, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (m_refreshing) return;
        m_shell.SendSettings.SetAuthType(index < 0 ? kAuthNoEntry
                                                   : m_authType->itemData(index).toInt());
    });
    // Handlers that may raise run through AppException, as every event handler does.
    connect(m_saveLog, &QCheckBox::toggled, this, [this](bool on) {
        if (!m_refreshing) Handle([this, on] { m_shell.SendSettings.SetSaveLog(on); });
    });
    connect(m_saveSMTPLog, &QCheckBox::toggled, this, [this](bool on) {
        if (!m_refreshing) Handle([this, on] { m_shell.SendSettings.SetSaveSMTPLog(on); });
    });
    ConnectSecurityControls();
}

void TForm1::RefreshControls() {
    if (m_refreshing) return;
    m_refreshing = true;
    const auto& s = m_shell.SendSettings;
    SetTextIfChanged(m_fromName, s.FromName());
    SetTextIfChanged(m_fromAddr, s.FromAddr());
    SetTextIfChanged(m_to, s.To());
    SetTextIfChanged(m_replyTo, s.ReplyTo());
    SetTextIfChanged(m_cc, s.Cc());
    SetTextIfChanged(m_bcc, s.Bcc());
    SetTextIfChanged(m_subject, s.Subject());
    SetTextIfChanged(m_host, s.Host());
    SetTextIfChanged(m_port, s.Port());
    SetTextIfChanged(m_timeout, s.Timeout());
    SetTextIfChanged(m_userID, s.UserID());
    SetTextIfChanged(m_password, s.Password());
    SetTextIfChanged(m_mailAgent, s.MailAgent());
    SetTextIfChanged(m_heloName, s.HeloName());
    SetTextIfChanged(m_passwordCommand, s.PasswordCommand());
    // A send takes the password from the command then, so the field is not what counts.
    m_password->setEnabled(!UsesPasswordCommand(s, m_shell.SwitchValues));
    SetTextIfChanged(m_retries, s.Retries());
    SetTextIfChanged(m_retryWait, s.RetryWait());

    if (s.ContentType() == kContentTypeNone) {
        // An exclusive group cannot be emptied by unchecking its checked button.
        m_contentType->setExclusive(false);
        for (auto* button : m_contentType->buttons()) button->setChecked(false);
        m_contentType->setExclusive(true);
    } else if (auto* button = m_contentType->button(s.ContentType())) {
        button->setChecked(true);
    }

    if (PlainTextLines(m_body->toPlainText()) != s.Body())
        m_body->setPlainText(JoinLines(s.Body()));

    m_authType->setCurrentIndex(m_authType->findData(s.AuthType()));
    m_saveLog->setChecked(s.SaveLog());
    m_saveSMTPLog->setChecked(s.SaveSMTPLog());
    RefreshSecurityControls();

    QStringList files;
    for (const auto& f : s.Files()) files << Q(f);
    QStringList shown;
    for (int i = 0; i < m_files->count(); ++i) shown << m_files->item(i)->text();
    if (shown != files) {
        m_files->clear();
        m_files->addItems(files);
        for (int i = 0; i < m_files->count(); ++i) m_files->item(i)->setToolTip(files[i]);
    }
    m_refreshing = false;
}

void TForm1::RefreshLog() {
    const auto& lines = m_shell.ActivityLog.Lines();
    if (lines.size() < m_logLinesShown) {
        m_memo->clear();
        m_logLinesShown = 0;
    }
    // One block per line, the empty separator line included (appending to an empty view would
    // merge it with the next line).
    QTextCursor cursor(m_memo->document());
    cursor.movePosition(QTextCursor::End);
    for (; m_logLinesShown < lines.size(); ++m_logLinesShown) {
        if (m_logLinesShown > 0) cursor.insertBlock();
        cursor.insertText(Q(lines[m_logLinesShown]));
    }
    QScrollBar* bar = m_memo->verticalScrollBar();
    bar->setValue(bar->maximum());
    // Lines written during a send, which blocks the event loop, are painted at once.
    if (m_memo->isVisible()) m_memo->viewport()->repaint();
}

void TForm1::FormCreate() {
    m_authType->clear();
    for (int number = kAuthNone; number <= kAuthOAuth2; ++number)
        m_authType->addItem(kAuthEntryCaptions[number], number);
    m_authType->setCurrentIndex(0);
}

void TForm1::AddFileButtonClick() {
    for (const QString& path : ChooseFiles()) m_shell.SendSettings.AddFile(S(path));
}

void TForm1::RemoveFileButtonClick() {
    const auto selected = m_files->selectedItems();
    if (selected.isEmpty()) return;
    m_shell.SendSettings.RemoveFile(static_cast<std::size_t>(m_files->row(selected.first())));
}

void TForm1::SendMsgClick() {
    // One send at a time, whatever asks for another.
    if (m_sending) return;
    if (!m_shell.SendMsgClick)
        throw ELpException("Sending is not available in this build of Larkpost");
    SetSending(true);
    m_sendThread = std::thread([this] {
        m_shell.HandleEvent([this] { m_shell.SendMsgClick(); });
        QMetaObject::invokeMethod(this, [this] { SendFinished(); }, Qt::QueuedConnection);
    });
}

void TForm1::SendOrCancel() {
    if (m_sending) {
        CancelSendClick();
        return;
    }
    SendMsgClick();
}

void TForm1::CancelSendClick() {
    if (m_sending && m_shell.CancelSend) m_shell.CancelSend();
}

void TForm1::WaitForSend() {
    while (m_sending) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

void TForm1::SendFinished() {
    if (m_sendThread.joinable()) m_sendThread.join();
    SetSending(false);
}

void TForm1::SetSending(bool sending) {
    m_sending = sending;
    m_sendButton->setText(sending ? "Cancel" : "&Send Message");
    SetHint(m_sendButton, sending ? "Stop sending the email." : "Send the email.");
    // What the send reads stays as it was when it began.
    for (int i = 0; i < m_pages->count(); ++i)
        if (m_pages->widget(i)->objectName() != "LogTab") m_pages->widget(i)->setEnabled(!sending);
    m_saveButton->setEnabled(!sending);
    if (auto* esc = findChild<QShortcut*>("CancelSendShortcut")) esc->setEnabled(sending);
    if (!sending) m_progress->hide();
}

void TForm1::ShowProgress(const TLpSendProgress& progress) {
    if (progress.Done) {
        m_progress->hide();
        return;
    }
    m_progress->setValue(static_cast<int>(progress.Fraction * 1000));
    m_progress->setToolTip(Q(FormatProgressLine(progress)).simplified());
    m_progress->show();
    // The percent is on the bar; the text says the rest in the room the status bar has.
    QString text = "Sent " + Q(FormatBytes(static_cast<double>(progress.BytesSent))) + " of " +
                   Q(FormatBytes(static_cast<double>(progress.BytesTotal)));
    if (progress.BytesPerSecond > 0) text += ", " + Q(FormatBytes(progress.BytesPerSecond)) + "/s";
    if (progress.SecondsLeft >= 0) {
        const auto left = static_cast<long long>(progress.SecondsLeft + 0.5);
        text += QString(", %1:%2 left").arg(left / 60).arg(left % 60, 2, 10, QChar('0'));
    }
    statusBar()->showMessage(text);
}

void TForm1::WriteINISettings() {
    larkpost::WriteINISettings(m_shell);
}

void TForm1::Exit1Click() {
    // A send under way stops first: its connection closes and its log lines are in.
    if (m_sending) {
        CancelSendClick();
        WaitForSend();
    }
    m_shell.Exit1Click();
}

void TForm1::About1Click() {
    if (OnAbout) OnAbout();
}

void TForm1::Help1Click() {
    if (OnHelp) OnHelp();
}

void TForm1::Donate1Click() {
    OpenWithDesktop(QUrl(kDonationUrl));
}

void TForm1::Handle(const std::function<void()>& handler) {
    m_shell.HandleEvent(handler);
}

bool TForm1::event(QEvent* event) {
    // Hints reach the status bar through the application's hint handler.
    if (event->type() == QEvent::StatusTip) {
        const QString tip = static_cast<QStatusTipEvent*>(event)->tip();
        Handle([this, tip] { m_shell.ShowHint(S(tip)); });
        return true;
    }
    return QMainWindow::event(event);
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (m_sending) {
        CancelSendClick();
        WaitForSend();
    }
    // The close box ends the run without ExitProgram: the activity log is not saved.
    event->accept();
    QApplication::quit();
}

// ---- Connection security ----------------------------------------------------------------------

void TForm1::BuildSecurityControls(QGridLayout* grid, int& row) {
    m_useTLS = new QComboBox;
    m_useTLS->setObjectName("UseTLSComboBox");
    m_useTLS->setEditable(false);
    SetHint(m_useTLS,
            "How the connection is encrypted. Automatic uses STARTTLS when the server offers it; "
            "port 465 uses implicit TLS unless you choose otherwise.");
    for (int mode = kUseTLSNone; mode <= kUseTLSAuto; ++mode)
        m_useTLS->addItem(kUseTLSCaptions[mode], mode);
    grid->addWidget(FieldLabel("Connection security:", m_useTLS), row, 0);
    grid->addWidget(m_useTLS, row++, 1);

    m_verifyCertificate = new QCheckBox("Verify server certificate");
    m_verifyCertificate->setObjectName("VerifyCertificateCheckBox");
    SetHint(m_verifyCertificate,
            "Refuse a server whose certificate is not from a trusted authority, has expired or "
            "names another host.");
    m_caFile = LineEdit("CAFileEdit",
                        "PEM file of the authorities to trust instead of the system's.");
    m_caFile->setPlaceholderText("system default");
    m_fingerprint = LineEdit("FingerprintEdit",
                             "SHA-256 fingerprint of the one certificate to accept, for a "
                             "self-signed server.");
    m_fingerprint->setPlaceholderText("sha256:AB:CD:... (optional)");
    auto* certificate = new QHBoxLayout;
    certificate->setSpacing(10);
    certificate->addWidget(m_verifyCertificate);
    certificate->addWidget(FieldLabel("CA file:", m_caFile));
    certificate->addWidget(m_caFile, 1);
    grid->addWidget(FieldLabel("Certificate:", m_verifyCertificate), row, 0);
    grid->addLayout(certificate, row++, 1);
    grid->addWidget(FieldLabel("Fingerprint:", m_fingerprint), row, 0);
    grid->addWidget(m_fingerprint, row++, 1);
}

void TForm1::ConnectSecurityControls() {
    // "activated": a user's pick, even of the entry shown, chooses that mode; with none chosen
    // the list only shows what the port implies.
    connect(m_useTLS, &QComboBox::activated, this, [this](int index) {
        if (!m_refreshing && index >= 0)
            m_shell.SendSettings.SetUseTLS(m_useTLS->itemData(index).toInt());
    });
    connect(m_verifyCertificate, &QCheckBox::toggled, this, [this](bool on) {
        if (!m_refreshing) m_shell.SendSettings.SetVerifyCertificate(on);
    });
    connect(m_caFile, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (!m_refreshing) m_shell.SendSettings.SetCAFile(S(text));
    });
    connect(m_fingerprint, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (!m_refreshing) m_shell.SendSettings.SetCertificateFingerprint(S(text));
    });
}

void TForm1::RefreshSecurityControls() {
    const TSendSettings& s = m_shell.SendSettings;
    m_useTLS->setCurrentIndex(m_useTLS->findData(s.EffectiveUseTLS()));
    m_verifyCertificate->setChecked(s.VerifyCertificate());
    SetTextIfChanged(m_caFile, s.CAFile());
    // The CA file counts only while certificates are verified.
    m_caFile->setEnabled(s.VerifyCertificate());
    SetTextIfChanged(m_fingerprint, s.CertificateFingerprint());
}

}  // namespace larkpost
