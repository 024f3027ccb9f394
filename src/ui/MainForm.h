// The main window: the "Message", "Log" and "Settings" pages edit SendSettings and show the
// activity log; the buttons and the menu start the send, the save, help, about and exit.
#pragma once

#include <QMainWindow>
#include <QStringList>
#include <cstddef>
#include <functional>
#include <thread>

#include "app/SendProgress.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QGridLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class QTextEdit;

namespace larkpost {

class TLpShell;

class TForm1 : public QMainWindow {
    Q_OBJECT
public:
    // The area below the menu bar, as the window definition gives it.
    static constexpr int kClientWidth = 536;
    static constexpr int kClientHeight = 490;

    explicit TForm1(TLpShell& shell, QWidget* parent = nullptr);
    ~TForm1() override;

    // The window's handlers, by the names of the window definition.
    void FormCreate();
    void AddFileButtonClick();
    void RemoveFileButtonClick();
    void SendMsgClick();
    void WriteINISettings();
    void Exit1Click();
    void About1Click();
    void Help1Click();
    void Donate1Click();

    // Shows what SendSettings and the activity log hold; runs after every change of either.
    void RefreshControls();
    void RefreshLog();

    // Where About, Help and the message boxes go; set by the window set that owns this window.
    std::function<void()> OnAbout;
    std::function<void()> OnHelp;

    // The files the attachment dialog returns; tests replace the dialog with it.
    std::function<QStringList()> ChooseFiles;

    QTabWidget* PageControl1() const { return m_pages; }

    // ---- The send under way ---------------------------------------------------------------------
    // The send runs on a thread of its own, so the window repaints, moves and answers while it
    // goes on; every event it raises (log lines, status, boxes, the cursor) is handled on this
    // window's thread, in order, while the send waits for it.
    bool Sending() const { return m_sending; }
    // The send button while a send runs ("Cancel", and Esc): stops it at once.
    void CancelSendClick();
    // Returns once the send under way has ended (events are handled meanwhile).
    void WaitForSend();
    // The progress bar in the status bar and the status text; Done hides the bar.
    void ShowProgress(const TLpSendProgress& progress);

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildMessagePage(QWidget* page);
    void BuildLogPage(QWidget* page);
    void BuildSettingsPage(QWidget* page);
    void BuildButtons(QWidget* area);
    void BuildMenu();
    void SetTabOrder();
    void ConnectEditors();
    // Runs a handler the way the event loop runs one: what escapes goes to AppException.
    void Handle(const std::function<void()>& handler);

    void SendOrCancel();
    void SetSending(bool sending);
    void SendFinished();

    TLpShell& m_shell;
    bool m_refreshing = false;
    bool m_sending = false;
    std::thread m_sendThread;
    QPushButton* m_sendButton = nullptr;
    QPushButton* m_saveButton = nullptr;
    QProgressBar* m_progress = nullptr;
    std::size_t m_logLinesShown = 0;

    QTabWidget* m_pages = nullptr;
    QLineEdit* m_fromName = nullptr;
    QLineEdit* m_fromAddr = nullptr;
    QLineEdit* m_to = nullptr;
    QLineEdit* m_replyTo = nullptr;
    QLineEdit* m_cc = nullptr;
    QLineEdit* m_bcc = nullptr;
    QLineEdit* m_subject = nullptr;
    QButtonGroup* m_contentType = nullptr;
    QTextEdit* m_body = nullptr;
    QListWidget* m_files = nullptr;
    QPlainTextEdit* m_memo = nullptr;
    QLineEdit* m_host = nullptr;
    QLineEdit* m_port = nullptr;
    QLineEdit* m_timeout = nullptr;
    QComboBox* m_authType = nullptr;
    QLineEdit* m_userID = nullptr;
    QLineEdit* m_password = nullptr;
    QCheckBox* m_saveLog = nullptr;
    QCheckBox* m_saveSMTPLog = nullptr;
    QLineEdit* m_mailAgent = nullptr;
    QLineEdit* m_heloName = nullptr;
    QLineEdit* m_passwordCommand = nullptr;

    // Connection security and certificate checks.
    void BuildSecurityControls(QGridLayout* grid, int& row);
    void ConnectSecurityControls();
    void RefreshSecurityControls();
    QComboBox* m_useTLS = nullptr;
    QCheckBox* m_verifyCertificate = nullptr;
    QLineEdit* m_caFile = nullptr;
    QLineEdit* m_fingerprint = nullptr;
    QLineEdit* m_retries = nullptr;
    QLineEdit* m_retryWait = nullptr;
};

}  // namespace larkpost
