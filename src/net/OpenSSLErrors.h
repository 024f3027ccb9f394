// The exceptions of the TLS layer. The crypto branch carries OpenSSL's error-queue code, the
// SSL branch the SSL_get_error code and the failed call's result.
#pragma once

#include <string>

#include "platform/Exception.h"

struct ssl_st;

namespace larkpost {

class ELpOpenSSLError : public ELpException {
public:
    using ELpException::ELpException;
    const char* ClassName() const noexcept override { return "ELpOpenSSLError"; }
};

#define LARKPOST_OSSL_EXCEPTION(Name, Base, Text)                         \
    class Name : public Base {                                            \
    public:                                                               \
        Name() : Base(Text) {}                                            \
        const char* ClassName() const noexcept override { return #Name; } \
    };

LARKPOST_OSSL_EXCEPTION(ELpOSSLCouldNotLoadSSLLibrary, ELpOpenSSLError,
                        "Could not load SSL library.")
LARKPOST_OSSL_EXCEPTION(ELpOSSLModeNotSet, ELpOpenSSLError, "Mode has not been set.")
LARKPOST_OSSL_EXCEPTION(ELpOSSLGetMethodError, ELpOpenSSLError, "Error getting SSL method.")
LARKPOST_OSSL_EXCEPTION(ELpOSSLCreatingSessionError, ELpOpenSSLError, "Error creating SSL session.")
LARKPOST_OSSL_EXCEPTION(ELpOSSLSettingCipherError, ELpOpenSSLError, "SetCipher failed.")
#undef LARKPOST_OSSL_EXCEPTION

// Message: the given text, CR LF and the code's OpenSSL text (only that text when no text is
// given).
class ELpOpenSSLAPICryptoError : public ELpOpenSSLError {
public:
    ELpOpenSSLAPICryptoError(const std::string& message, unsigned long errorCode)
        : ELpOpenSSLError(message), m_errorCode(errorCode) {}
    unsigned long ErrorCode() const noexcept { return m_errorCode; }
    const char* ClassName() const noexcept override { return "ELpOpenSSLAPICryptoError"; }

    // Takes the code from ERR_get_error and raises E with the message built as above.
    template <typename E>
    [[noreturn]] static void Raise(const std::string& text);

private:
    unsigned long m_errorCode;
};

#define LARKPOST_OSSL_CRYPTO_EXCEPTION(Name)                              \
    class Name : public ELpOpenSSLAPICryptoError {                        \
    public:                                                               \
        using ELpOpenSSLAPICryptoError::ELpOpenSSLAPICryptoError;         \
        const char* ClassName() const noexcept override { return #Name; } \
    };
LARKPOST_OSSL_CRYPTO_EXCEPTION(ELpOSSLUnderlyingCryptoError)
LARKPOST_OSSL_CRYPTO_EXCEPTION(ELpOSSLCreatingContextError)
LARKPOST_OSSL_CRYPTO_EXCEPTION(ELpOSSLLoadingRootCertError)
LARKPOST_OSSL_CRYPTO_EXCEPTION(ELpOSSLLoadingCertError)
LARKPOST_OSSL_CRYPTO_EXCEPTION(ELpOSSLLoadingKeyError)
LARKPOST_OSSL_CRYPTO_EXCEPTION(ELpOSSLLoadingDHParamsError)
#undef LARKPOST_OSSL_CRYPTO_EXCEPTION

// Message: the given text, CR LF (nothing without a text), then the details for the
// SSL_get_error code (see RaiseSSLError in the handler's source).
class ELpOpenSSLAPISSLError : public ELpOpenSSLError {
public:
    ELpOpenSSLAPISSLError(const std::string& message, int errorCode, int callResult)
        : ELpOpenSSLError(message), m_errorCode(errorCode), m_callResult(callResult) {}
    int ErrorCode() const noexcept { return m_errorCode; }
    int CallResult() const noexcept { return m_callResult; }
    const char* ClassName() const noexcept override { return "ELpOpenSSLAPISSLError"; }

private:
    int m_errorCode;
    int m_callResult;
};

#define LARKPOST_OSSL_SSL_EXCEPTION(Name)                                 \
    class Name : public ELpOpenSSLAPISSLError {                           \
    public:                                                               \
        using ELpOpenSSLAPISSLError::ELpOpenSSLAPISSLError;               \
        const char* ClassName() const noexcept override { return #Name; } \
    };
LARKPOST_OSSL_SSL_EXCEPTION(ELpOSSLFDSetError)
LARKPOST_OSSL_SSL_EXCEPTION(ELpOSSLDataBindingError)
LARKPOST_OSSL_SSL_EXCEPTION(ELpOSSLAcceptError)
LARKPOST_OSSL_SSL_EXCEPTION(ELpOSSLConnectError)
#undef LARKPOST_OSSL_SSL_EXCEPTION

// The server's certificate failed the checks that were asked for (chain to a trusted root,
// dates, host name, pinned fingerprint); the handshake ended before anything was sent through
// it. Permanent: another attempt meets the same certificate.
class ELpCertificateVerifyError : public ELpOpenSSLError {
public:
    ELpCertificateVerifyError(const std::string& host, const std::string& reason)
        : ELpOpenSSLError("Certificate verification failed for " + host + ": " + reason),
          m_host(host),
          m_reason(reason) {}
    const std::string& Host() const noexcept { return m_host; }
    const std::string& Reason() const noexcept { return m_reason; }
    const char* ClassName() const noexcept override { return "ELpCertificateVerifyError"; }

private:
    std::string m_host;
    std::string m_reason;
};

// The error-queue code, its text (ERR_error_string_n, 160 bytes), and the two raise rules.
unsigned long NextOpenSSLErrorCode();
std::string OpenSSLErrorString(unsigned long code);

template <typename E>
void ELpOpenSSLAPICryptoError::Raise(const std::string& text) {
    const unsigned long code = NextOpenSSLErrorCode();
    const std::string detail = OpenSSLErrorString(code);
    throw E(text.empty() ? detail : text + "\r\n" + detail, code);
}

// Raises E (of the SSL branch) for a failed call on Ssl: by SSL_get_error, code 1 becomes
// ELpOSSLUnderlyingCryptoError, code 5 the queued crypto error, "EOF was observed that
// violates the protocol" (result 0) or the last socket error (result -1).
template <typename E>
[[noreturn]] void RaiseSSLError(ssl_st* ssl, int callResult, const std::string& text);

}  // namespace larkpost
