#include "net/OpenSSLLibrary.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <csignal>
#include <cstdlib>

#include "platform/DynamicLibrary.h"

// How the calls of the OpenSSL 1.0 interface map onto OpenSSL 3:
//   SSL_library_init, SSL_load_error_strings   -> OPENSSL_init_ssl(LOAD_SSL_STRINGS |
//   LOAD_CRYPTO_STRINGS) OpenSSL_add_all_ciphers / _digests         ->
//   OPENSSL_init_crypto(ADD_ALL_CIPHERS | ADD_ALL_DIGESTS) RAND_screen -> nothing: OpenSSL 3 seeds
//   itself from the system CRYPTO_num_locks, CRYPTO_set_locking_callback -> nothing: OpenSSL 3
//   locks internally TLSv1_client_method and the other version methods -> TLS_client_method
//   (TLS_server_method,
//       TLS_method) with SSL_CTX_set_min/max_proto_version (SSL_CTX_ctrl 123 / 124)
//   SSL_CTX_ctrl 32 / 77 (set / clear options) -> SSL_CTX_set_options / SSL_CTX_clear_options
//   SSL_CTX_ctrl 33 (mode), SSL_ctrl 55 (server name) -> unchanged
//   FIPS_mode                                  -> EVP_default_properties_is_fips_enabled(NULL)
// At process end nothing is unloaded: OpenSSL 3 cleans up its global state in its own exit
// handler, and unloading the libraries before that handler runs would crash it.

namespace larkpost {
namespace {

const char* const kCryptoLibraryName = "libcrypto.so.3";
const char* const kTlsLibraryName = "libssl.so.3";

struct LoaderState {
    std::mutex lock;
    bool loaded = false;
    std::string directory;
    std::vector<std::string> failures;
    TLpDynamicLibrary crypto;
    TLpDynamicLibrary tls;
    TLpOpenSSLApi api;
};

// Never destroyed: see the note on process end above. The directory starts from
// LARKPOST_OPENSSL_DIR, so a run of the real program can be pointed at another OpenSSL (or
// at none) the way LD_LIBRARY_PATH would, without a settings key.
LoaderState& State() {
    static LoaderState* state = [] {
        auto* s = new LoaderState;
        if (const char* dir = std::getenv("LARKPOST_OPENSSL_DIR")) s->directory = dir;
        return s;
    }();
    return *state;
}

template <typename Fn>
void Bind(const TLpDynamicLibrary& library, const char* name, Fn& target, bool required,
          std::vector<std::string>& failures) {
    target = reinterpret_cast<Fn>(library.Symbol(name));
    if (target == nullptr && required) failures.push_back(name);
}

void BindAll(LoaderState& s) {
    TLpOpenSSLApi& a = s.api;
    auto& f = s.failures;
    const auto& c = s.crypto;
    const auto& t = s.tls;
#define REQ(lib, name) Bind(lib, #name, a.name, true, f)
#define OPT(lib, name) Bind(lib, #name, a.name, false, f)
    REQ(c, OPENSSL_init_crypto);
    OPT(c, ERR_get_error);
    OPT(c, ERR_peek_error);
    OPT(c, ERR_clear_error);
    OPT(c, ERR_error_string_n);
    OPT(c, EVP_default_properties_is_fips_enabled);
    OPT(c, X509_verify_cert_error_string);
    OPT(c, X509_VERIFY_PARAM_set1_host);
    OPT(c, X509_VERIFY_PARAM_set1_ip_asc);
    OPT(c, X509_get_subject_name);
    OPT(c, X509_get_issuer_name);
    OPT(c, X509_NAME_oneline);
    OPT(c, X509_free);
    OPT(c, X509_STORE_CTX_get_current_cert);
    OPT(c, X509_STORE_CTX_get_error);
    OPT(c, X509_STORE_CTX_get_error_depth);
    OPT(c, X509_STORE_CTX_get_ex_data);
    OPT(t, SSL_get_ex_data_X509_STORE_CTX_idx);
    OPT(c, BIO_new_file);
    OPT(c, BIO_free);
    OPT(c, d2i_PKCS12_bio);
    OPT(c, PKCS12_parse);
    OPT(c, PKCS12_free);
    OPT(c, EVP_PKEY_free);
    OPT(c, PEM_read_bio_Parameters);
    OPT(c, OPENSSL_sk_num);
    OPT(c, OPENSSL_sk_value);
    OPT(c, OPENSSL_sk_pop_free);
    REQ(c, X509_STORE_CTX_get0_cert);
    REQ(c, X509_STORE_CTX_set_error);
    REQ(c, X509_verify_cert);
    REQ(c, X509_digest);
    REQ(c, EVP_sha256);
    OPT(c, X509_VERIFY_PARAM_set_hostflags);
    OPT(c, X509_get_default_cert_dir);
    OPT(c, X509_get_default_cert_dir_env);
    OPT(c, X509_get_default_cert_file_env);
    REQ(t, OPENSSL_init_ssl);
    OPT(t, TLS_client_method);
    OPT(t, TLS_server_method);
    OPT(t, TLS_method);
    REQ(t, SSL_CTX_new);
    REQ(t, SSL_CTX_free);
    REQ(t, SSL_CTX_ctrl);
    REQ(t, SSL_CTX_set_options);
    REQ(t, SSL_CTX_clear_options);
    REQ(t, SSL_CTX_set_default_passwd_cb);
    REQ(t, SSL_CTX_set_default_passwd_cb_userdata);
    REQ(t, SSL_CTX_set_default_verify_paths);
    REQ(t, SSL_CTX_set_cipher_list);
    REQ(t, SSL_CTX_set_info_callback);
    REQ(t, SSL_CTX_set_verify);
    REQ(t, SSL_CTX_set_verify_depth);
    OPT(t, SSL_CTX_load_verify_locations);
    OPT(t, SSL_CTX_use_certificate_chain_file);
    OPT(t, SSL_CTX_use_certificate_file);
    OPT(t, SSL_CTX_use_PrivateKey_file);
    OPT(t, SSL_CTX_check_private_key);
    OPT(t, SSL_load_client_CA_file);
    OPT(t, SSL_CTX_set_client_CA_list);
    OPT(t, SSL_CTX_use_certificate);
    OPT(t, SSL_CTX_use_PrivateKey);
    OPT(t, SSL_CTX_set0_tmp_dh_pkey);
    REQ(t, SSL_new);
    REQ(t, SSL_free);
    OPT(t, SSL_set_ex_data);
    OPT(t, SSL_get_ex_data);
    REQ(t, SSL_set_fd);
    REQ(t, SSL_ctrl);
    REQ(t, SSL_connect);
    REQ(t, SSL_read);
    REQ(t, SSL_write);
    OPT(t, SSL_pending);
    REQ(t, SSL_get_error);
    REQ(t, SSL_state_string_long);
    REQ(t, SSL_get_current_cipher);
    REQ(t, SSL_CIPHER_get_name);
    REQ(t, SSL_CIPHER_description);
    REQ(t, SSL_CIPHER_get_bits);
    REQ(t, SSL_CIPHER_get_version);
    REQ(t, SSL_shutdown);
    OPT(t, SSL_get_verify_result);
    OPT(t, SSL_get0_param);
    OPT(t, SSL_get1_peer_certificate);
    REQ(t, SSL_CTX_set_cert_verify_callback);
    OPT(t, SSL_CTX_load_verify_dir);
    OPT(t, SSL_CTX_load_verify_file);
#undef REQ
#undef OPT
}

bool LoadLocked(LoaderState& s) {
    s.failures.clear();
    s.api = TLpOpenSSLApi{};
    const std::string cryptoPath = LibraryPathIn(s.directory, kCryptoLibraryName);
    if (!s.crypto.Load(cryptoPath)) {
        s.failures.push_back("Failed to load " + cryptoPath + ".");
        return false;
    }
    const std::string tlsPath = LibraryPathIn(s.directory, kTlsLibraryName);
    if (!s.tls.Load(tlsPath)) {
        s.failures.push_back("Failed to load " + tlsPath + ".");
        return false;
    }
    BindAll(s);
    if (!s.failures.empty()) return false;
    const TLpOpenSSLApi& a = s.api;
    if (a.OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS |
                                  OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                              nullptr) <= 0) {
        s.failures.push_back("OPENSSL_init_crypto failed.");
        return false;
    }
    if (a.OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                           nullptr) <= 0) {
        s.failures.push_back("OPENSSL_init_ssl failed.");
        return false;
    }
    // OpenSSL writes to the socket without MSG_NOSIGNAL: a close notification or a record sent
    // to a peer that has gone would end the process with SIGPIPE instead of giving an error.
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        std::signal(SIGPIPE, SIG_IGN);
    }
    return true;
}

}  // namespace

void SetOpenSSLLibraryDirectory(const std::string& directory) {
    LoaderState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.directory = directory;
}

std::string OpenSSLLibraryDirectory() {
    LoaderState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.directory;
}

bool LoadTlsLibraries() {
    LoaderState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.loaded) return true;
    s.loaded = LoadLocked(s);
    if (!s.loaded) {
        // A later attempt starts clean, possibly from another directory.
        s.api = TLpOpenSSLApi{};
        s.tls.Unload();
        s.crypto.Unload();
    }
    return s.loaded;
}

bool TlsLibrariesLoaded() {
    LoaderState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.loaded;
}

std::vector<std::string> TlsLoadFailures() {
    LoaderState& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.failures;
}

bool IsTlsFipsModeEnabled() {
    if (!LoadTlsLibraries()) return false;
    const TLpOpenSSLApi& a = OpenSSLApi();
    if (a.EVP_default_properties_is_fips_enabled == nullptr) return false;
    return a.EVP_default_properties_is_fips_enabled(nullptr) != 0;
}

std::mutex& TlsInfoCallbackLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::mutex& TlsPasswordCallbackLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::mutex& TlsVerifyCallbackLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

const TLpOpenSSLApi& OpenSSLApi() {
    return State().api;
}

std::string OpenSSLErrorText(unsigned long code) {
    const TLpOpenSSLApi& a = OpenSSLApi();
    if (a.ERR_error_string_n == nullptr) return std::string();
    char text[160] = {};
    a.ERR_error_string_n(code, text, sizeof text);
    return text;
}

}  // namespace larkpost
