// One TLS session over a connected socket: the client handshake with server name indication,
// and questions about the negotiated cipher and the peer's certificate.
#pragma once

#include <memory>
#include <string>

struct ssl_st;
struct ssl_cipher_st;
struct x509_st;

namespace larkpost {

class TLpSSLContext;
class TLpSSLIOHandlerSocketOpenSSL;

class TLpSSLCipher {
public:
    explicit TLpSSLCipher(ssl_st* ssl) : m_ssl(ssl) {}
    std::string Name() const;
    // SSL_CIPHER_description; OpenSSL ends it with a line feed.
    std::string Description() const;
    // The algorithm bits (the value SSL_CIPHER_get_bits stores through its second argument).
    int Bits() const;
    std::string Version() const;

private:
    const ssl_cipher_st* Current() const;
    ssl_st* m_ssl;
};

// A certificate, as OnVerifyPeer sees it.
class TLpX509 {
public:
    // Takes over a reference (freed with this object) when owned is true.
    TLpX509(x509_st* certificate, bool owned);
    ~TLpX509();
    TLpX509(const TLpX509&) = delete;
    TLpX509& operator=(const TLpX509&) = delete;
    x509_st* Certificate() const noexcept { return m_certificate; }
    // One-line forms, "/CN=mx.example/O=…".
    std::string Subject() const;
    std::string Issuer() const;

private:
    x509_st* m_certificate;
    bool m_owned;
};

class TLpSSLSocket {
public:
    explicit TLpSSLSocket(TLpSSLIOHandlerSocketOpenSSL* owner) : m_owner(owner) {}
    ~TLpSSLSocket();
    TLpSSLSocket(const TLpSSLSocket&) = delete;
    TLpSSLSocket& operator=(const TLpSSLSocket&) = delete;

    TLpSSLContext* Context() const noexcept { return m_context; }
    void SetContext(TLpSSLContext* context) noexcept { m_context = context; }
    TLpSSLIOHandlerSocketOpenSSL* Owner() const noexcept { return m_owner; }
    ssl_st* SSL() const noexcept { return m_ssl; }
    // The name sent as server name indication (the handler's Host as typed).
    const std::string& HostName() const noexcept { return m_hostName; }
    void SetHostName(const std::string& name) { m_hostName = name; }
    // What the handshake names and the certificate is checked against for a Host text.
    static std::string ServerName(const std::string& host);

    // SSL_new, application data, file descriptor, server name, SSL_connect; then the
    // "Cipher: …" text and the certificate verification result go to the handler's status info.
    void Connect(int socketHandle);
    // SSL_shutdown (the close notification) and SSL_free; nothing when no session exists.
    void Close() noexcept;

    // Made on first request; valid while the session lives.
    TLpSSLCipher& Cipher();
    TLpX509* PeerCert();

    // "Certificate verification: <OpenSSL's text>", from SSL_get_verify_result.
    std::string VerificationText() const;

private:
    // After a failed handshake: ELpCertificateVerifyError when the certificate checks refused
    // the server's certificate.
    void RaiseIfCertificateRefused();
    TLpSSLIOHandlerSocketOpenSSL* m_owner;
    TLpSSLContext* m_context = nullptr;
    ssl_st* m_ssl = nullptr;
    std::string m_hostName;
    std::unique_ptr<TLpSSLCipher> m_cipher;
    std::unique_ptr<TLpX509> m_peerCert;
};

}  // namespace larkpost
