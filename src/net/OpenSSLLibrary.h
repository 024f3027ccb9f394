// Run-time binding to OpenSSL 3 (libssl.so.3, libcrypto.so.3): the functions the TLS layer and
// the SASL readiness rules call, looked up by name once per process. Nothing links OpenSSL.
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace larkpost {

// The directory the two libraries are loaded from; empty (the default, unless the environment
// variable LARKPOST_OPENSSL_DIR names one) leaves the file names to the system's library
// search order. Takes effect at the next load attempt.
void SetOpenSSLLibraryDirectory(const std::string& directory);
std::string OpenSSLLibraryDirectory();

// Loads and initialises both libraries, once per process; concurrent callers wait on a lock.
// A success is remembered; a failure is retried at the next call.
bool LoadTlsLibraries();
bool TlsLibrariesLoaded();
// What the last failed load recorded ("Failed to load %s." or the missing function names);
// kept for debugging, never shown to the user.
std::vector<std::string> TlsLoadFailures();

// FIPS mode as the loaded OpenSSL reports it; off when OpenSSL cannot be loaded or lacks the
// query.
bool IsTlsFipsModeEnabled();

// The process-wide locks the info, password and verify callbacks run under.
std::mutex& TlsInfoCallbackLock();
std::mutex& TlsPasswordCallbackLock();
std::mutex& TlsVerifyCallbackLock();

// Function pointers, typed from OpenSSL's own declarations. Required ones are non-null once
// LoadTlsLibraries() returned true; optional ones may be null.
struct TLpOpenSSLApi {
#define LP_OSSL_FN(name) decltype(&::name) name = nullptr
    // libcrypto
    LP_OSSL_FN(OPENSSL_init_crypto);
    LP_OSSL_FN(ERR_get_error);                           // optional
    LP_OSSL_FN(ERR_peek_error);                          // optional
    LP_OSSL_FN(ERR_clear_error);                         // optional
    LP_OSSL_FN(ERR_error_string_n);                      // optional
    LP_OSSL_FN(EVP_default_properties_is_fips_enabled);  // optional
    LP_OSSL_FN(X509_verify_cert_error_string);           // optional
    LP_OSSL_FN(X509_VERIFY_PARAM_set1_host);             // optional
    LP_OSSL_FN(X509_VERIFY_PARAM_set1_ip_asc);           // optional
    LP_OSSL_FN(X509_get_subject_name);                   // optional
    LP_OSSL_FN(X509_get_issuer_name);                    // optional
    LP_OSSL_FN(X509_NAME_oneline);                       // optional
    LP_OSSL_FN(X509_free);                               // optional
    LP_OSSL_FN(X509_STORE_CTX_get_current_cert);         // optional
    LP_OSSL_FN(X509_STORE_CTX_get_error);                // optional
    LP_OSSL_FN(X509_STORE_CTX_get_error_depth);          // optional
    LP_OSSL_FN(X509_STORE_CTX_get_ex_data);              // optional
    LP_OSSL_FN(SSL_get_ex_data_X509_STORE_CTX_idx);      // optional
    LP_OSSL_FN(BIO_new_file);                            // optional (file options)
    LP_OSSL_FN(BIO_free);                                // optional (file options)
    LP_OSSL_FN(d2i_PKCS12_bio);                          // optional (file options)
    LP_OSSL_FN(PKCS12_parse);                            // optional (file options)
    LP_OSSL_FN(PKCS12_free);                             // optional (file options)
    LP_OSSL_FN(EVP_PKEY_free);                           // optional (file options)
    LP_OSSL_FN(PEM_read_bio_Parameters);                 // optional (file options)
    LP_OSSL_FN(OPENSSL_sk_num);                          // optional (file options)
    LP_OSSL_FN(OPENSSL_sk_value);                        // optional (file options)
    LP_OSSL_FN(OPENSSL_sk_pop_free);                     // optional (file options)
    // Certificate checks and the trust store.
    LP_OSSL_FN(X509_STORE_CTX_get0_cert);
    LP_OSSL_FN(X509_STORE_CTX_set_error);
    LP_OSSL_FN(X509_verify_cert);
    LP_OSSL_FN(X509_digest);
    LP_OSSL_FN(EVP_sha256);
    LP_OSSL_FN(X509_VERIFY_PARAM_set_hostflags);  // optional
    LP_OSSL_FN(X509_get_default_cert_dir);        // optional
    LP_OSSL_FN(X509_get_default_cert_dir_env);    // optional
    LP_OSSL_FN(X509_get_default_cert_file_env);   // optional
    // libssl
    LP_OSSL_FN(OPENSSL_init_ssl);
    LP_OSSL_FN(TLS_client_method);  // optional (method)
    LP_OSSL_FN(TLS_server_method);  // optional (method)
    LP_OSSL_FN(TLS_method);         // optional (method)
    LP_OSSL_FN(SSL_CTX_new);
    LP_OSSL_FN(SSL_CTX_free);
    LP_OSSL_FN(SSL_CTX_ctrl);
    LP_OSSL_FN(SSL_CTX_set_options);
    LP_OSSL_FN(SSL_CTX_clear_options);
    LP_OSSL_FN(SSL_CTX_set_default_passwd_cb);
    LP_OSSL_FN(SSL_CTX_set_default_passwd_cb_userdata);
    LP_OSSL_FN(SSL_CTX_set_default_verify_paths);
    LP_OSSL_FN(SSL_CTX_set_cipher_list);
    LP_OSSL_FN(SSL_CTX_set_info_callback);
    LP_OSSL_FN(SSL_CTX_set_verify);
    LP_OSSL_FN(SSL_CTX_set_verify_depth);
    LP_OSSL_FN(SSL_CTX_load_verify_locations);       // optional (file options)
    LP_OSSL_FN(SSL_CTX_use_certificate_chain_file);  // optional (file options)
    LP_OSSL_FN(SSL_CTX_use_certificate_file);        // optional (file options)
    LP_OSSL_FN(SSL_CTX_use_PrivateKey_file);         // optional (file options)
    LP_OSSL_FN(SSL_CTX_check_private_key);           // optional (file options)
    LP_OSSL_FN(SSL_load_client_CA_file);             // optional (file options)
    LP_OSSL_FN(SSL_CTX_set_client_CA_list);          // optional (file options)
    LP_OSSL_FN(SSL_CTX_use_certificate);             // optional (file options)
    LP_OSSL_FN(SSL_CTX_use_PrivateKey);              // optional (file options)
    LP_OSSL_FN(SSL_CTX_set0_tmp_dh_pkey);            // optional (file options)
    LP_OSSL_FN(SSL_new);
    LP_OSSL_FN(SSL_free);
    LP_OSSL_FN(SSL_set_ex_data);  // optional
    LP_OSSL_FN(SSL_get_ex_data);  // optional
    LP_OSSL_FN(SSL_set_fd);
    LP_OSSL_FN(SSL_ctrl);
    LP_OSSL_FN(SSL_connect);
    LP_OSSL_FN(SSL_read);
    LP_OSSL_FN(SSL_write);
    LP_OSSL_FN(SSL_pending);  // optional
    LP_OSSL_FN(SSL_get_error);
    LP_OSSL_FN(SSL_state_string_long);
    LP_OSSL_FN(SSL_get_current_cipher);
    LP_OSSL_FN(SSL_CIPHER_get_name);
    LP_OSSL_FN(SSL_CIPHER_description);
    LP_OSSL_FN(SSL_CIPHER_get_bits);
    LP_OSSL_FN(SSL_CIPHER_get_version);
    LP_OSSL_FN(SSL_shutdown);
    LP_OSSL_FN(SSL_get_verify_result);      // optional
    LP_OSSL_FN(SSL_get0_param);             // optional
    LP_OSSL_FN(SSL_get1_peer_certificate);  // optional
    LP_OSSL_FN(SSL_CTX_set_cert_verify_callback);
    LP_OSSL_FN(SSL_CTX_load_verify_dir);   // optional
    LP_OSSL_FN(SSL_CTX_load_verify_file);  // optional
#undef LP_OSSL_FN
};

// Valid (and never changing) after LoadTlsLibraries() returned true.
const TLpOpenSSLApi& OpenSSLApi();

// The text of an OpenSSL error-queue code, as ERR_error_string_n writes it into 160 bytes.
std::string OpenSSLErrorText(unsigned long code);

}  // namespace larkpost
