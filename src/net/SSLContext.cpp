#include "net/SSLContext.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "net/OpenSSLErrors.h"
#include "net/OpenSSLLibrary.h"
#include "net/SSLIOHandlerSocketOpenSSL.h"
#include "net/SSLSocket.h"

namespace larkpost {
namespace {

const char* const kDefaultCipherList = "AES:ALL:!aNULL:!eNULL:+RC4:@STRENGTH";

TLpSSLSocket* SessionOf(const SSL* ssl) {
    const TLpOpenSSLApi& a = OpenSSLApi();
    if (ssl == nullptr || a.SSL_get_ex_data == nullptr) return nullptr;
    return static_cast<TLpSSLSocket*>(a.SSL_get_ex_data(ssl, 0));
}

// OpenSSL calls this at every handshake state change and alert. errno is kept as found, so
// the error a caller reads after an OpenSSL call is not the callback's.
void InfoCallback(const SSL* ssl, int where, int ret) {
    const int savedErrno = errno;
    {
        std::lock_guard<std::mutex> guard(TlsInfoCallbackLock());
        TLpSSLSocket* session = SessionOf(ssl);
        if (session != nullptr && session->Owner() != nullptr) {
            session->Owner()->DoStatusInfo(session, where, ret);
        }
    }
    errno = savedErrno;
}

int PasswordCallback(char* buffer, int size, int rwflag, void* userdata) {
    const int savedErrno = errno;
    int length = 0;
    {
        std::lock_guard<std::mutex> guard(TlsPasswordCallbackLock());
        auto* owner = static_cast<TLpSSLIOHandlerSocketOpenSSL*>(userdata);
        if (owner != nullptr && size > 0) {
            const std::string password = owner->DoGetPassword(rwflag != 0);
            length = static_cast<int>(std::min<size_t>(password.size(), size_t(size - 1)));
            std::memcpy(buffer, password.data(), size_t(length));
            buffer[length] = '\0';
        }
    }
    errno = savedErrno;
    return length;
}

int VerifyCallback(int ok, X509_STORE_CTX* store) {
    std::lock_guard<std::mutex> guard(TlsVerifyCallbackLock());
    const TLpOpenSSLApi& a = OpenSSLApi();
    if (a.X509_STORE_CTX_get_ex_data == nullptr ||
        a.SSL_get_ex_data_X509_STORE_CTX_idx == nullptr ||
        a.X509_STORE_CTX_get_current_cert == nullptr) {
        return ok;
    }
    const auto* ssl = static_cast<const SSL*>(
        a.X509_STORE_CTX_get_ex_data(store, a.SSL_get_ex_data_X509_STORE_CTX_idx()));
    TLpSSLSocket* session = SessionOf(ssl);
    if (session == nullptr || session->Owner() == nullptr) return ok;
    TLpX509 certificate(a.X509_STORE_CTX_get_current_cert(store), false);
    const int error = a.X509_STORE_CTX_get_error != nullptr ? a.X509_STORE_CTX_get_error(store) : 0;
    const int depth =
        a.X509_STORE_CTX_get_error_depth != nullptr ? a.X509_STORE_CTX_get_error_depth(store) : 0;
    return session->Owner()->DoVerifyPeer(&certificate, ok != 0, depth, error) ? 1 : 0;
}

int CertificateCheckCallback(X509_STORE_CTX* store, void* context) {
    return static_cast<TLpSSLContext*>(context)->CheckServerCertificate(store);
}

std::string Sha256Hex(X509* certificate) {
    const TLpOpenSSLApi& a = OpenSSLApi();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (certificate == nullptr || a.X509_digest(certificate, a.EVP_sha256(), digest, &length) != 1)
        return std::string();
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

bool EndsWithIgnoringCase(const std::string& text, const char* suffix) {
    const size_t n = std::strlen(suffix);
    return text.size() >= n && strcasecmp(text.c_str() + text.size() - n, suffix) == 0;
}

int OpenSSLVersionOf(TLpSSLVersion v) {
    switch (v) {
        case sslvTLSv1:
            return TLS1_VERSION;
        case sslvTLSv1_1:
            return TLS1_1_VERSION;
        case sslvTLSv1_2:
            return TLS1_2_VERSION;
        case sslvTLSv1_3:
            return TLS1_3_VERSION;
        default:
            return 0;
    }
}

}  // namespace

int TLpSSLContext::CheckServerCertificate(X509_STORE_CTX* store) {
    const TLpOpenSSLApi& a = OpenSSLApi();
    PeerFingerprint = Sha256Hex(a.X509_STORE_CTX_get0_cert(store));
    if (CertificateFingerprint.empty()) return a.X509_verify_cert(store);
    // A pinned certificate stands for itself: no chain, dates or name could add to that.
    if (!PeerFingerprint.empty() && PeerFingerprint == CertificateFingerprint) return 1;
    FingerprintMismatch = true;
    a.X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
    return 0;
}

// The system's trusted roots as OpenSSL's hashed directory (SSL_CERT_DIR, else OpenSSL's own): a
// root is read only when a chain asks for its issuer. The default paths would also parse the
// whole bundle file, some 140 certificates and most of a small send's CPU time, at every
// connection, whether or not TLS follows. A bundle named by SSL_CERT_FILE is read only when the
// certificate is to be verified; otherwise the result is merely reported.
void TLpSSLContext::LoadTrustStore() {
    const TLpOpenSSLApi& a = OpenSSLApi();
    if (ChecksServerCertificate() && !CAFile.empty()) {
        // Only the given authorities: a private CA must not be trusted beside every public one,
        // nor the other way round.
        const bool loaded = a.SSL_CTX_load_verify_file != nullptr
                                ? a.SSL_CTX_load_verify_file(m_context, CAFile.c_str()) > 0
                                : a.SSL_CTX_load_verify_locations != nullptr &&
                                      a.SSL_CTX_load_verify_locations(m_context, CAFile.c_str(),
                                                                      nullptr) > 0;
        if (!loaded)
            ELpOpenSSLAPICryptoError::Raise<ELpOSSLLoadingRootCertError>(
                "Could not load the CA file " + CAFile);
        return;
    }
    if (a.X509_get_default_cert_dir == nullptr || a.X509_get_default_cert_dir_env == nullptr ||
        a.X509_get_default_cert_file_env == nullptr || a.SSL_CTX_load_verify_dir == nullptr ||
        a.SSL_CTX_load_verify_file == nullptr) {
        a.SSL_CTX_set_default_verify_paths(m_context);
        return;
    }
    const char* dir = std::getenv(a.X509_get_default_cert_dir_env());
    a.SSL_CTX_load_verify_dir(m_context, dir != nullptr ? dir : a.X509_get_default_cert_dir());
    const char* file = std::getenv(a.X509_get_default_cert_file_env());
    if (ChecksServerCertificate() && file != nullptr) a.SSL_CTX_load_verify_file(m_context, file);
    // Whatever a missing directory or file queued must not end up in a later message.
    if (a.ERR_clear_error != nullptr) a.ERR_clear_error();
}

TLpSSLContext::TLpSSLContext(TLpSSLIOHandlerSocketOpenSSL* owner) : m_owner(owner) {
    if (!LoadTlsLibraries()) throw ELpOSSLCouldNotLoadSSLLibrary();
}

TLpSSLContext::~TLpSSLContext() {
    if (m_context != nullptr) OpenSSLApi().SSL_CTX_free(m_context);
}

void TLpSSLContext::RemoveInfoCallback() {
    if (m_context != nullptr) OpenSSLApi().SSL_CTX_set_info_callback(m_context, nullptr);
}

// SSLv2 and SSLv3 are never negotiated, whatever the set says: both are broken, and OpenSSL 3
// no longer offers them. Within TLS 1.0 .. 1.3 the context allows exactly the set's versions.
// Whether 1.0 and 1.1 really happen is left to OpenSSL's security level (level 0 only).
void TLpSSLContext::ApplyProtocolVersions() {
    const TLpOpenSSLApi& a = OpenSSLApi();
    const TLpSSLVersion tlsVersions[] = {sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2, sslvTLSv1_3};
    const uint64_t noOption[] = {SSL_OP_NO_TLSv1, SSL_OP_NO_TLSv1_1, SSL_OP_NO_TLSv1_2,
                                 SSL_OP_NO_TLSv1_3};
    int lowest = 0;
    int highest = 0;
    for (TLpSSLVersion v : tlsVersions) {
        if (SSLVersions.count(v) == 0) continue;
        if (lowest == 0) lowest = OpenSSLVersionOf(v);
        highest = OpenSSLVersionOf(v);
    }
    a.SSL_CTX_set_options(m_context, SSL_OP_NO_SSLv3);
    a.SSL_CTX_ctrl(m_context, SSL_CTRL_SET_MIN_PROTO_VERSION, lowest != 0 ? lowest : TLS1_VERSION,
                   nullptr);
    a.SSL_CTX_ctrl(m_context, SSL_CTRL_SET_MAX_PROTO_VERSION, highest, nullptr);
    for (size_t i = 0; i < 4; ++i) {
        if (SSLVersions.count(tlsVersions[i]) == 0) {
            a.SSL_CTX_set_options(m_context, noOption[i]);
        } else {
            a.SSL_CTX_clear_options(m_context, noOption[i]);
        }
    }
}

namespace {

bool IsPkcs12File(const std::string& file) {
    return EndsWithIgnoringCase(file, ".p12") || EndsWithIgnoringCase(file, ".pfx");
}

// The key, the certificate and the further chain certificates of a PKCS #12 file.
struct Pkcs12Contents {
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    STACK_OF(X509) * chain = nullptr;
    ~Pkcs12Contents() {
        const TLpOpenSSLApi& a = OpenSSLApi();
        if (key != nullptr) a.EVP_PKEY_free(key);
        if (certificate != nullptr) a.X509_free(certificate);
        if (chain != nullptr) {
            a.OPENSSL_sk_pop_free(reinterpret_cast<OPENSSL_STACK*>(chain),
                                  reinterpret_cast<void (*)(void*)>(a.X509_free));
        }
    }
};

bool ReadPkcs12(const std::string& file, const std::string& password, Pkcs12Contents& out) {
    const TLpOpenSSLApi& a = OpenSSLApi();
    if (a.BIO_new_file == nullptr || a.BIO_free == nullptr || a.d2i_PKCS12_bio == nullptr ||
        a.PKCS12_parse == nullptr || a.PKCS12_free == nullptr || a.EVP_PKEY_free == nullptr ||
        a.X509_free == nullptr || a.OPENSSL_sk_pop_free == nullptr) {
        return false;
    }
    BIO* bio = a.BIO_new_file(file.c_str(), "rb");
    if (bio == nullptr) return false;
    PKCS12* p12 = a.d2i_PKCS12_bio(bio, nullptr);
    a.BIO_free(bio);
    if (p12 == nullptr) return false;
    const int parsed =
        a.PKCS12_parse(p12, password.c_str(), &out.key, &out.certificate, &out.chain);
    a.PKCS12_free(p12);
    return parsed == 1;
}

}  // namespace

std::string TLpSSLContext::Pkcs12Password() const {
    return m_owner != nullptr ? m_owner->DoGetPassword(false) : std::string();
}

bool TLpSSLContext::UsePkcs12Certificate() {
    const TLpOpenSSLApi& a = OpenSSLApi();
    Pkcs12Contents contents;
    if (a.SSL_CTX_use_certificate == nullptr || !ReadPkcs12(CertFile, Pkcs12Password(), contents) ||
        contents.certificate == nullptr) {
        return false;
    }
    if (a.SSL_CTX_use_certificate(m_context, contents.certificate) <= 0) return false;
    const int count = contents.chain != nullptr && a.OPENSSL_sk_num != nullptr
                          ? a.OPENSSL_sk_num(reinterpret_cast<OPENSSL_STACK*>(contents.chain))
                          : 0;
    for (int i = 0; i < count; ++i) {
        void* extra = a.OPENSSL_sk_value(reinterpret_cast<OPENSSL_STACK*>(contents.chain), i);
        // SSL_CTX_add1_chain_cert: the context takes a reference of its own.
        if (a.SSL_CTX_ctrl(m_context, SSL_CTRL_CHAIN_CERT, 1, extra) <= 0) return false;
    }
    return true;
}

bool TLpSSLContext::UsePkcs12Key() {
    const TLpOpenSSLApi& a = OpenSSLApi();
    Pkcs12Contents contents;
    if (a.SSL_CTX_use_PrivateKey == nullptr || !ReadPkcs12(KeyFile, Pkcs12Password(), contents) ||
        contents.key == nullptr) {
        return false;
    }
    return a.SSL_CTX_use_PrivateKey(m_context, contents.key) > 0;
}

void TLpSSLContext::LoadFiles() {
    const TLpOpenSSLApi& a = OpenSSLApi();
    if (!RootCertFile.empty() || !VerifyDirs.empty()) {
        const bool ok = a.SSL_CTX_load_verify_locations != nullptr &&
                        a.SSL_CTX_load_verify_locations(
                            m_context, RootCertFile.empty() ? nullptr : RootCertFile.c_str(),
                            VerifyDirs.empty() ? nullptr : VerifyDirs.c_str()) > 0;
        if (!ok)
            ELpOpenSSLAPICryptoError::Raise<ELpOSSLLoadingRootCertError>(
                "Could not load root certificate.");
    }
    if (!CertFile.empty()) {
        bool ok = false;
        if (IsPkcs12File(CertFile)) {
            ok = UsePkcs12Certificate();
        } else if (a.SSL_CTX_use_certificate_chain_file != nullptr) {
            ok = a.SSL_CTX_use_certificate_chain_file(m_context, CertFile.c_str()) > 0;
        } else if (a.SSL_CTX_use_certificate_file != nullptr) {
            ok = a.SSL_CTX_use_certificate_file(m_context, CertFile.c_str(), SSL_FILETYPE_PEM) > 0;
        }
        if (!ok)
            ELpOpenSSLAPICryptoError::Raise<ELpOSSLLoadingCertError>("Could not load certificate.");
    }
    if (!KeyFile.empty()) {
        bool ok = false;
        if (IsPkcs12File(KeyFile)) {
            ok = UsePkcs12Key();
        } else if (a.SSL_CTX_use_PrivateKey_file != nullptr) {
            ok = a.SSL_CTX_use_PrivateKey_file(m_context, KeyFile.c_str(), SSL_FILETYPE_PEM) > 0;
        }
        ok = ok && a.SSL_CTX_check_private_key != nullptr &&
             a.SSL_CTX_check_private_key(m_context) > 0;
        if (!ok)
            ELpOpenSSLAPICryptoError::Raise<ELpOSSLLoadingKeyError>(
                "Could not load key, check password.");
    }
    if (!DHParamsFile.empty()) {
        bool ok = false;
        if (a.BIO_new_file != nullptr && a.BIO_free != nullptr &&
            a.PEM_read_bio_Parameters != nullptr && a.SSL_CTX_set0_tmp_dh_pkey != nullptr &&
            a.EVP_PKEY_free != nullptr) {
            BIO* bio = a.BIO_new_file(DHParamsFile.c_str(), "r");
            EVP_PKEY* parameters =
                bio != nullptr ? a.PEM_read_bio_Parameters(bio, nullptr) : nullptr;
            if (bio != nullptr) a.BIO_free(bio);
            // set0 takes the parameters over only when it succeeds.
            ok = parameters != nullptr && a.SSL_CTX_set0_tmp_dh_pkey(m_context, parameters) == 1;
            if (!ok && parameters != nullptr) a.EVP_PKEY_free(parameters);
        }
        if (!ok)
            ELpOpenSSLAPICryptoError::Raise<ELpOSSLLoadingDHParamsError>(
                "Could not load DH Parameters.");
    }
}

void TLpSSLContext::InitContext(bool forServer) {
    const TLpOpenSSLApi& a = OpenSSLApi();
    if (m_context != nullptr) {
        a.SSL_CTX_free(m_context);
        m_context = nullptr;
    }
    if (Mode == sslmUnassigned) Mode = forServer ? sslmServer : sslmClient;

    // Every version-specific method of the 1.0 interface is the one flexible method in
    // OpenSSL 3, limited by minimum and maximum versions below.
    decltype(a.TLS_client_method) method = nullptr;
    switch (Mode) {
        case sslmClient:
            method = a.TLS_client_method;
            break;
        case sslmServer:
            method = a.TLS_server_method;
            break;
        case sslmBoth:
            method = a.TLS_method;
            break;
        case sslmUnassigned:
            throw ELpOSSLModeNotSet();
    }
    if (method == nullptr) throw ELpOSSLGetMethodError();
    m_context = a.SSL_CTX_new(method());
    if (m_context == nullptr) {
        ELpOpenSSLAPICryptoError::Raise<ELpOSSLCreatingContextError>("Error creating SSL context.");
    }

    ApplyProtocolVersions();
    a.SSL_CTX_ctrl(m_context, SSL_CTRL_MODE, SSL_MODE_AUTO_RETRY, nullptr);
    a.SSL_CTX_set_default_passwd_cb(m_context, PasswordCallback);
    a.SSL_CTX_set_default_passwd_cb_userdata(m_context, m_owner);
    LoadTrustStore();
    LoadFiles();
    if (StatusInfoOn) a.SSL_CTX_set_info_callback(m_context, InfoCallback);

    const std::string ciphers = CipherList.empty() ? std::string(kDefaultCipherList) : CipherList;
    if (a.SSL_CTX_set_cipher_list(m_context, ciphers.c_str()) <= 0)
        throw ELpOSSLSettingCipherError();

    if (!VerifyMode.empty()) {
        int flags = 0;
        if (VerifyMode.count(sslvrfPeer) != 0) flags |= SSL_VERIFY_PEER;
        if (VerifyMode.count(sslvrfFailIfNoPeerCert) != 0) flags |= SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
        if (VerifyMode.count(sslvrfClientOnce) != 0) flags |= SSL_VERIFY_CLIENT_ONCE;
        a.SSL_CTX_set_verify(m_context, flags, VerifyOn ? VerifyCallback : nullptr);
        a.SSL_CTX_set_verify_depth(m_context, VerifyDepth);
    }
    if (ChecksServerCertificate()) {
        // SSL_VERIFY_PEER: a failed check ends the handshake with an alert, so not even the
        // client's Finished goes out, let alone a command.
        a.SSL_CTX_set_verify(m_context, SSL_VERIFY_PEER, VerifyOn ? VerifyCallback : nullptr);
        a.SSL_CTX_set_cert_verify_callback(m_context, CertificateCheckCallback, this);
    }
    if (!RootCertFile.empty() && a.SSL_load_client_CA_file != nullptr &&
        a.SSL_CTX_set_client_CA_list != nullptr) {
        a.SSL_CTX_set_client_CA_list(m_context, a.SSL_load_client_CA_file(RootCertFile.c_str()));
    }
}

}  // namespace larkpost
