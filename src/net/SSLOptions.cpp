#include "net/SSLOptions.h"

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
}

}  // namespace larkpost
