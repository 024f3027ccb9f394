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
    // How long opening waits for another writer to let go of the file, in milliseconds: 0 not at
    // all (the default), negative as long as it takes.
    int LockWait() const noexcept { return m_lockWaitMs; }
    void SetLockWait(int ms) { m_lockWaitMs = ms; }

    // Switches Active on if needed, then [time stamp + " "] + text (tokens applied) + CR LF.
    void WriteFormattedEntry(const std::string& text);

    const char* ClassName() const noexcept override { return "TLpLogFile"; }

protected:
    void WriteStatusEntry(const std::string& text) override;
    void WriteReceivedEntry(const std::string& timeStamp, const std::string& data) override;
    void WriteSentEntry(const std::string& timeStamp, const std::string& data) override;
    // Opens for appending (creating the file owner-only), other writers locked out, waiting up to
    // LockWait for another writer; raises ELpException with the system's text, or "... The file
    // is in use by another process." after the wait, when it cannot.
    void OpenLog() override;
    void CloseLog() override;
    // The text in the 8-bit encoding, appended; nothing when no file is open; write errors are
    // ignored.
    virtual void WriteLogText(const std::string& text);

private:
    std::string m_filename;
    int m_fd = -1;
    int m_lockWaitMs = 0;
};

}  // namespace larkpost
