#include "app/SendSettings.h"

#include <strings.h>

#include <algorithm>
#include <cstdint>

#include "app/Conversions.h"

namespace larkpost {

namespace {

bool LessIgnoringCase(const std::string& a, const std::string& b) {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

}  // namespace

void TSendSettings::Assign(std::string& field, const std::string& v) {
    if (field == v) return;
    field = v;
    Changed();
}

void TSendSettings::Changed() {
    if (OnChange) OnChange();
}

void TSendSettings::SetAuthType(int number) {
    const int entry = (number >= kAuthNone && number <= kAuthOAuth2) ? number : kAuthNoEntry;
    if (entry == m_authType) return;
    m_authType = entry;
    Changed();
}

void TSendSettings::SetSaveLog(bool v) {
    if (v == m_saveLog) return;
    m_saveLog = v;
    Changed();
}

void TSendSettings::SetSaveSMTPLog(bool v) {
    if (v == m_saveSMTPLog) return;
    m_saveSMTPLog = v;
    Changed();
    if (OnSaveSMTPLogClick) OnSaveSMTPLogClick(v);
}

void TSendSettings::SetContentType(int v) {
    const int clamped = std::clamp(v, kContentTypeNone, kContentTypeHtml);
    if (clamped == m_contentType) return;
    m_contentType = clamped;
    Changed();
}

void TSendSettings::SetBody(const std::vector<std::string>& lines) {
    if (lines == m_body) return;
    m_body = lines;
    Changed();
}

void TSendSettings::ClearBody() {
    if (m_body.empty()) return;
    m_body.clear();
    Changed();
}

void TSendSettings::AddBodyLine(const std::string& line) {
    m_body.push_back(line);
    Changed();
}

void TSendSettings::AddFile(const std::string& path) {
    // After any equal entries, so a file added twice is listed twice in the order added.
    const auto at = std::upper_bound(m_files.begin(), m_files.end(), path, LessIgnoringCase);
    m_files.insert(at, path);
    Changed();
}

void TSendSettings::RemoveFile(std::size_t index) {
    if (index >= m_files.size()) return;
    m_files.erase(m_files.begin() + static_cast<std::ptrdiff_t>(index));
    Changed();
}

void TSendSettings::ClearFiles() {
    if (m_files.empty()) return;
    m_files.clear();
    Changed();
}

int EffectiveUseTLS(int chosen, int port) {
    if (chosen >= kUseTLSNone && chosen <= kUseTLSAuto) return chosen;
    return port == kImplicitTlsPort ? kUseTLSImplicit : kUseTLSAuto;
}

void TSendSettings::SetUseTLS(int mode) {
    const int value = (mode >= kUseTLSNone && mode <= kUseTLSAuto) ? mode : kUseTLSNotChosen;
    if (value == m_useTLS) return;
    m_useTLS = value;
    Changed();
}

void TSendSettings::SetVerifyCertificate(bool v) {
    if (v == m_verifyCertificate) return;
    m_verifyCertificate = v;
    Changed();
}

int TSendSettings::EffectiveUseTLS() const {
    int port = 0;
    try {
        // The client keeps the low 16 bits, so this is the port the send would use.
        port = static_cast<uint16_t>(StrToInt(m_port));
    } catch (const ELpConvertError&) {
        // A port that is no number fails the send before it connects; no mode applies.
    }
    return larkpost::EffectiveUseTLS(m_useTLS, port);
}

}  // namespace larkpost
