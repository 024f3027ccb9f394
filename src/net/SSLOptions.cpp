#include "net/SSLOptions.h"

#include <strings.h>

#include <cctype>
#include <cstring>

namespace larkpost {

TLpSSLOptions::TLpSSLOptions() {
    SetSSLVersions({sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2, sslvTLSv1_3});
}

TLpSSLVersions TLpSSLOptions::AllVersions() {
    return {sslvSSLv2, sslvSSLv3, sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2, sslvTLSv1_3};
}

void TLpSSLOptions::SetMethod(TLpSSLVersion method) {
    m_method = method;
    m_versions = method == sslvSSLv23 ? AllVersions() : TLpSSLVersions{method};
}

void TLpSSLOptions::SetSSLVersions(const TLpSSLVersions& versions) {
    TLpSSLVersions v = versions;
    if (v.size() == 1 && *v.begin() != sslvSSLv23) {
        m_versions = v;
        m_method = *v.begin();
        return;
    }
    if (v.size() == 1) v = AllVersions();
    v.erase(sslvSSLv23);
    m_versions = v;
    m_method = sslvSSLv23;
}

void TLpSSLOptions::AssignTo(TLpSSLOptions& d) const {
    d.m_rootCertFile = m_rootCertFile;
    d.m_certFile = m_certFile;
    d.m_keyFile = m_keyFile;
    d.m_dhParamsFile = m_dhParamsFile;
    d.SetMethod(m_method);
    d.SetSSLVersions(m_versions);
    d.m_mode = m_mode;
    d.m_verifyMode = m_verifyMode;
    d.m_verifyDepth = m_verifyDepth;
    d.m_verifyDirs = m_verifyDirs;
    d.m_cipherList = m_cipherList;
    d.m_verifyServerCertificate = m_verifyServerCertificate;
    d.m_caFile = m_caFile;
    d.m_certificateFingerprint = m_certificateFingerprint;
}

bool NormalizeSha256Fingerprint(const std::string& text, std::string& hex) {
    std::string rest = text;
    for (const char* prefix : {"sha256 fingerprint=", "sha256:", "sha256="}) {
        const size_t n = std::strlen(prefix);
        if (rest.size() >= n && strncasecmp(rest.c_str(), prefix, n) == 0) {
            rest.erase(0, n);
            break;
        }
    }
    std::string digits;
    for (char c : rest) {
        if (c == ':' || c == ' ' || c == '\t') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (digits.size() != 64) return false;
    hex = digits;
    return true;
}

std::string ColonFingerprint(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i < hex.size(); ++i) {
        if (i > 0 && i % 2 == 0) out += ':';
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(hex[i])));
    }
    return out;
}

}  // namespace larkpost
