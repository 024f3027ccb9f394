// The connection log as an intercept: an entry when the connection opens, one for every chunk
// sent or received, one when it closes. Where the entries go is the subclass's business.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "net/Intercept.h"

namespace larkpost {

class TLpLogBase : public TLpConnectionIntercept {
public:
    TLpLogBase() = default;
    // Subclasses switch Active off in their own destructor, while their CloseLog still exists.
    ~TLpLogBase() override = default;

    void InterceptConnect(TLpBaseComponent* connection) override;
    void InterceptDisconnect() override;
    void InterceptReceive(TLpBytes& buffer) override;
    void InterceptSend(TLpBytes& buffer) override;

    bool Active() const noexcept { return m_active; }
    // Stores the value first, then OpenLog or CloseLog when it changed.
    virtual void SetActive(bool active);
    bool LogTime() const noexcept { return m_logTime; }
    void SetLogTime(bool v) { m_logTime = v; }
    bool ReplaceCRLF() const noexcept { return m_replaceCRLF; }
    void SetReplaceCRLF(bool v) { m_replaceCRLF = v; }

    // CR LF -> "<EOL>", then CR -> "<CR>", then LF -> "<LF>".
    static std::string ReplaceLineBreaks(const std::string& text);
    // The local date and time as every time stamp of the program shows it.
    static std::string CurrentTimeStamp();
    // Replaces the clock for tests; an empty function restores it.
    static void SetTimeStampSource(std::function<std::string()> source);

    // Texts that never reach the log as they are: wherever one stands in sent data, the entry
    // shows kHiddenMark instead. For credentials that stay valid after the session, such as a
    // bearer token; the texts are compared with the data as sent (base64 stays base64).
    static constexpr const char* kHiddenMark = "<credential hidden>";
    void HideSentText(const std::string& text);
    void ClearHiddenTexts() { m_hidden.clear(); }

    const char* ClassName() const noexcept override { return "TLpLogBase"; }

protected:
    virtual void WriteStatusEntry(const std::string& text) { (void)text; }
    virtual void WriteReceivedEntry(const std::string& timeStamp, const std::string& data) {
        (void)timeStamp;
        (void)data;
    }
    virtual void WriteSentEntry(const std::string& timeStamp, const std::string& data) {
        (void)timeStamp;
        (void)data;
    }
    virtual void OpenLog() {}
    virtual void CloseLog() {}

    // The time stamp (or "" without LogTime) and the bytes as one character each, tokens applied.
    std::string EntryTimeStamp() const;
    std::string EntryData(const TLpBytes& buffer) const;

private:
    bool m_active = false;
    bool m_logTime = true;
    bool m_replaceCRLF = true;
    std::vector<std::string> m_hidden;
};

}  // namespace larkpost
