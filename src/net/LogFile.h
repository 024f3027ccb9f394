// The connection log written to a file, appended across runs: "Stat ", "Recv " and "Sent "
// entries, each ending with CR LF, every logged byte standing unchanged except CR and LF.
#pragma once

#include <string>

#include "net/LogBase.h"

namespace larkpost {

class TLpLogFile : public TLpLogBase {
public:
    TLpLogFile() = default;
    ~TLpLogFile() override;

    const std::string& Filename() const noexcept { return m_filename; }
    // Raises ELpException "Unable to set Filename while log file is open." while open.
    void SetFilename(const std::string& filename);
    bool IsOpen() const noexcept { return m_fd >= 0; }

    // Switches Active on if needed, then [time stamp + " "] + text (tokens applied) + CR LF.
    void WriteFormattedEntry(const std::string& text);

    const char* ClassName() const noexcept override { return "TLpLogFile"; }

protected:
    void WriteStatusEntry(const std::string& text) override;
    void WriteReceivedEntry(const std::string& timeStamp, const std::string& data) override;
    void WriteSentEntry(const std::string& timeStamp, const std::string& data) override;
    // Opens for appending (creating the file), other writers locked out; raises ELpException
    // with the system's text when it cannot.
    void OpenLog() override;
    void CloseLog() override;
    // The text in the 8-bit encoding, appended; nothing when no file is open; write errors are
    // ignored.
    virtual void WriteLogText(const std::string& text);

private:
    std::string m_filename;
    int m_fd = -1;
};

}  // namespace larkpost
