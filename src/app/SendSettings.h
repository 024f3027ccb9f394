// The settings of one send. The main window's controls are its editors; the settings file and the
// switches fill it; the send workflow reads it.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace larkpost {

// Numbers carried by the entries of the authentication list, in list order.
enum TLpAuthEntry : int {
    kAuthNone = 0,      // "No Authentication"
    kAuthUserPass = 1,  // "Username and Password Authentication"
    kAuthSASL = 2,      // "SASL Authentication"
    kAuthOAuth2 = 3,    // "OAuth 2.0 access token": the password is the token
};
// AuthType() when no entry is selected (a number no entry carries was asked for).
inline constexpr int kAuthNoEntry = -1;
// Captions of the authentication list, indexed by the number each entry carries.
inline constexpr const char* kAuthEntryCaptions[4] = {
    "No Authentication", "Username and Password Authentication", "SASL Authentication",
    "OAuth 2.0 access token"};

// Body formats (ContentType).
inline constexpr int kContentTypeNone = -1;
inline constexpr int kContentTypeText = 0;
inline constexpr int kContentTypeHtml = 1;

// Connection security (UseTLS): the numbers of TLpUseTLS, or none chosen. With none chosen a
// send behaves as kUseTLSAuto, except on port 465, which means TLS from the first byte.
inline constexpr int kUseTLSNotChosen = -1;
inline constexpr int kUseTLSNone = 0;      // never TLS
inline constexpr int kUseTLSImplicit = 1;  // TLS from the first byte
inline constexpr int kUseTLSRequired = 2;  // STARTTLS, fail when not offered
inline constexpr int kUseTLSAuto = 3;      // STARTTLS when offered
inline constexpr int kImplicitTlsPort = 465;
// Captions of the connection-security choice, indexed by the mode's number.
inline constexpr const char* kUseTLSCaptions[4] = {
    "None: never encrypt (not recommended)",
    "Implicit TLS: encrypted from the start (port 465)",
    "Required STARTTLS: refuse to send unencrypted",
    "Automatic: STARTTLS when the server offers it"};
// The mode a send uses: the chosen one, else implicit TLS on port 465 and automatic elsewhere.
int EffectiveUseTLS(int chosen, int port);

class TSendSettings {
public:
    const std::string& Host() const { return m_host; }
    void SetHost(const std::string& v) { Assign(m_host, v); }
    // Text holding a decimal number; converted only when a send uses it.
    const std::string& Port() const { return m_port; }
    void SetPort(const std::string& v) { Assign(m_port, v); }
    // Seconds, as text; converted only when a send uses it.
    const std::string& Timeout() const { return m_timeout; }
    void SetTimeout(const std::string& v) { Assign(m_timeout, v); }

    // The number carried by the selected authentication entry, or kAuthNoEntry.
    int AuthType() const { return m_authType; }
    // Selects the entry carrying `number`; any other number selects no entry.
    void SetAuthType(int number);

    const std::string& UserID() const { return m_userID; }
    void SetUserID(const std::string& v) { Assign(m_userID, v); }
    // The plain password.
    const std::string& Password() const { return m_password; }
    void SetPassword(const std::string& v) { Assign(m_password, v); }

    bool SaveLog() const { return m_saveLog; }
    void SetSaveLog(bool v);
    // Changing it runs OnSaveSMTPLogClick, as a click on its check box would.
    bool SaveSMTPLog() const { return m_saveSMTPLog; }
    void SetSaveSMTPLog(bool v);

    const std::string& FromName() const { return m_fromName; }
    void SetFromName(const std::string& v) { Assign(m_fromName, v); }
    const std::string& FromAddr() const { return m_fromAddr; }
    void SetFromAddr(const std::string& v) { Assign(m_fromAddr, v); }
    // Comma-separated address lists.
    const std::string& To() const { return m_to; }
    void SetTo(const std::string& v) { Assign(m_to, v); }
    const std::string& ReplyTo() const { return m_replyTo; }
    void SetReplyTo(const std::string& v) { Assign(m_replyTo, v); }
    const std::string& Cc() const { return m_cc; }
    void SetCc(const std::string& v) { Assign(m_cc, v); }
    const std::string& Bcc() const { return m_bcc; }
    void SetBcc(const std::string& v) { Assign(m_bcc, v); }
    const std::string& Subject() const { return m_subject; }
    void SetSubject(const std::string& v) { Assign(m_subject, v); }

    // -1 none, 0 text, 1 html; values outside are clamped into -1..1.
    int ContentType() const { return m_contentType; }
    void SetContentType(int v);

    // The body document's plain-text lines (what a send transmits and the body file holds).
    const std::vector<std::string>& Body() const { return m_body; }
    void SetBody(const std::vector<std::string>& lines);
    void ClearBody();
    void AddBodyLine(const std::string& line);

    // Attachment paths, kept in ascending order ignoring case; duplicates are kept.
    const std::vector<std::string>& Files() const { return m_files; }
    void AddFile(const std::string& path);  // inserts at its sorted position
    void RemoveFile(std::size_t index);     // no-op for an index out of range
    void ClearFiles();

    // Empty means the built-in default.
    const std::string& MailAgent() const { return m_mailAgent; }
    void SetMailAgent(const std::string& v) { Assign(m_mailAgent, v); }
    const std::string& HeloName() const { return m_heloName; }
    void SetHeloName(const std::string& v) { Assign(m_heloName, v); }

    // A shell command whose first output line is the password (the token under OAuth 2.0);
    // empty: none. The send runs it unless a password switch was given.
    const std::string& PasswordCommand() const { return m_passwordCommand; }
    void SetPasswordCommand(const std::string& v) { Assign(m_passwordCommand, v); }
    // A TLpUseTLS number, or kUseTLSNotChosen; any other number means none chosen.
    int UseTLS() const { return m_useTLS; }
    void SetUseTLS(int mode);
    // The mode a send with these settings uses (the port text read as the send reads it).
    int EffectiveUseTLS() const;
    // The server's certificate must chain to a trusted root (CAFile's only, when given), be
    // valid today and name the host; a fingerprint pins one certificate and suffices alone.
    bool VerifyCertificate() const { return m_verifyCertificate; }
    void SetVerifyCertificate(bool v);
    const std::string& CAFile() const { return m_caFile; }
    void SetCAFile(const std::string& v) { Assign(m_caFile, v); }
    // As typed; checked when a send uses it.
    const std::string& CertificateFingerprint() const { return m_certificateFingerprint; }
    void SetCertificateFingerprint(const std::string& v) { Assign(m_certificateFingerprint, v); }
    // How many more times a send that failed transiently is tried (0: once only), and the
    // seconds before the first retry (doubled before each further one); decimal text, converted
    // only when a send uses them.
    const std::string& Retries() const { return m_retries; }
    void SetRetries(const std::string& v) { Assign(m_retries, v); }
    const std::string& RetryWait() const { return m_retryWait; }
    void SetRetryWait(const std::string& v) { Assign(m_retryWait, v); }

    // Runs when SaveSMTPLog becomes checked or unchecked (SaveSMTPLogCheckBoxClick).
    std::function<void(bool checked)> OnSaveSMTPLogClick;
    // Runs after any field changed value, so the window can refresh its controls.
    std::function<void()> OnChange;

private:
    void Assign(std::string& field, const std::string& v);
    void Changed();

    std::string m_host = "localhost";
    std::string m_port = "25";
    std::string m_timeout = "30";
    int m_authType = kAuthNone;
    std::string m_userID;
    std::string m_password;
    bool m_saveLog = false;
    bool m_saveSMTPLog = false;
    std::string m_fromName;
    std::string m_fromAddr;
    std::string m_to;
    std::string m_replyTo;
    std::string m_cc;
    std::string m_bcc;
    std::string m_subject;
    int m_contentType = kContentTypeNone;
    std::vector<std::string> m_body;
    std::vector<std::string> m_files;
    std::string m_mailAgent;
    std::string m_heloName;
    std::string m_passwordCommand;
    int m_useTLS = kUseTLSNotChosen;
    bool m_verifyCertificate = false;
    std::string m_caFile;
    std::string m_certificateFingerprint;
    std::string m_retries = "0";
    std::string m_retryWait = "30";
};

}  // namespace larkpost
