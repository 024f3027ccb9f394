#include "net/LogBase.h"

#include <ctime>
#include <mutex>

#include "net/TextEncoding.h"

namespace larkpost {

namespace {

std::mutex g_sourceLock;
std::function<std::string()> g_timeStampSource;

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    std::string out;
    size_t pos = 0;
    for (;;) {
        size_t hit = text.find(from, pos);
        if (hit == std::string::npos) break;
        out.append(text, pos, hit - pos);
        out += to;
        pos = hit + from.size();
    }
    if (pos == 0) return;
    out.append(text, pos, std::string::npos);
    text.swap(out);
}

}  // namespace

std::string TLpLogBase::ReplaceLineBreaks(const std::string& text) {
    std::string out = text;
    ReplaceAll(out, "\r\n", "<EOL>");
    ReplaceAll(out, "\r", "<CR>");
    ReplaceAll(out, "\n", "<LF>");
    return out;
}

std::string TLpLogBase::CurrentTimeStamp() {
    {
        std::lock_guard<std::mutex> guard(g_sourceLock);
        if (g_timeStampSource) return g_timeStampSource();
    }
    // The locale's short date and long time, as the activity log shows them.
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[128];
    size_t n = std::strftime(text, sizeof text, "%x %X", &local);
    return std::string(text, n);
}

void TLpLogBase::SetTimeStampSource(std::function<std::string()> source) {
    std::lock_guard<std::mutex> guard(g_sourceLock);
    g_timeStampSource = std::move(source);
}

void TLpLogBase::SetActive(bool active) {
    if (active == m_active) return;
    m_active = active;
    if (active)
        OpenLog();
    else
        CloseLog();
}

std::string TLpLogBase::EntryTimeStamp() const {
    return m_logTime ? CurrentTimeStamp() : std::string();
}

std::string TLpLogBase::EntryData(const TLpBytes& buffer) const {
    // One character per byte, so every byte value comes back unchanged when written.
    std::string data = EightBitEncoding()->GetString(buffer);
    return m_replaceCRLF ? ReplaceLineBreaks(data) : data;
}

void TLpLogBase::InterceptConnect(TLpBaseComponent* connection) {
    TLpConnectionIntercept::InterceptConnect(connection);
    if (m_active) WriteStatusEntry("Connected.");
}

void TLpLogBase::InterceptDisconnect() {
    if (m_active) WriteStatusEntry("Disconnected.");
    TLpConnectionIntercept::InterceptDisconnect();
}

void TLpLogBase::InterceptReceive(TLpBytes& buffer) {
    TLpConnectionIntercept::InterceptReceive(buffer);
    if (m_active) WriteReceivedEntry(EntryTimeStamp(), EntryData(buffer));
}

void TLpLogBase::HideSentText(const std::string& text) {
    if (!text.empty()) m_hidden.push_back(text);
}

void TLpLogBase::InterceptSend(TLpBytes& buffer) {
    if (m_active && !m_hidden.empty()) {
        std::string data = EightBitEncoding()->GetString(buffer);
        for (const std::string& text : m_hidden) ReplaceAll(data, text, kHiddenMark);
        WriteSentEntry(EntryTimeStamp(), m_replaceCRLF ? ReplaceLineBreaks(data) : data);
    } else if (m_active) {
        WriteSentEntry(EntryTimeStamp(), EntryData(buffer));
    }
    TLpConnectionIntercept::InterceptSend(buffer);
}

}  // namespace larkpost
