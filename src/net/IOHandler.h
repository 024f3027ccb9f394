// The buffered, line-oriented I/O handler between the protocol code and the socket: an input
// buffer filled in chunks, line reads with a terminator, a maximum length and a time-out, text
// writes through an encoding (with the mail data phase's dot-stuffing, RFC 5321 4.5.2), optional
// write buffering, orderly-close detection, and the connection intercept on every chunk.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/Buffer.h"
#include "net/Component.h"
#include "net/TextEncoding.h"
#include "platform/Bytes.h"

namespace larkpost {

class TLpConnectionIntercept;

enum TLpMaxLineAction { maException = 0, maSplit = 1 };

class TLpIOHandler : public TLpComponent {
public:
    TLpIOHandler();
    ~TLpIOHandler() override;

    // ---- Life cycle -------------------------------------------------------------------------
    // Clears both buffers and the closed-gracefully flag, marks the handler open.
    virtual void OpenHandler();
    // Tells the intercept, marks the handler closed, drops buffered output.
    virtual void CloseHandler();
    virtual bool IsConnected();
    // A seen orderly close closes the handler; raises ELpConnClosedGracefully when disconnected,
    // raiseIfDisconnected is set and (ignoreBuffer or nothing is left to read).
    virtual void CheckPeerClosed(bool raiseIfDisconnected, bool ignoreBuffer);
    // -1 waits without limit.
    virtual bool WaitReadable(int timeoutMs) = 0;

    bool Opened() const noexcept { return m_opened; }
    bool ClosedGracefully() const noexcept { return m_closedGracefully; }

    // ---- Reading ----------------------------------------------------------------------------
    // Bytes added, 0 at an orderly close, -1 on a time-out that does not raise. timeoutMs -1
    // stands for ReadTimeout (whose 0 and -1 mean no limit).
    int FillInputBuffer(bool raiseIfDisconnected, int timeoutMs, bool raiseOnTimeout);
    // Terminator "" means LF; a CR before a LF terminator is dropped. Time-out -1: ReadTimeout;
    // length -1: MaxLineLength; no encoding: DefaultTextEncoding. A time-out returns "" and sets
    // ReadLineTimedOut.
    virtual std::string ReadLine(const std::string& terminator = "\n", int timeoutMs = -1,
                                 int maxLength = -1, const TLpTextEncodingPtr& encoding = nullptr);
    // ReadLine into a string the caller keeps (its storage is reused: no allocation per line);
    // false on a time-out.
    bool ReadLineInto(std::string& line, std::string_view terminator = "\n", int timeoutMs = -1,
                      int maxLength = -1, const TLpTextEncodingPtr& encoding = nullptr);
    // Trimmed lines; empty lines are skipped up to failCount times.
    virtual std::string ReadLineWait(int failCount = 2147483647,
                                     const TLpTextEncodingPtr& encoding = nullptr);
    bool InputBufferEmpty() const noexcept { return m_inputBuffer.Size() == 0; }
    TLpBuffer& InputBuffer() noexcept { return m_inputBuffer; }
    bool ReadLineTimedOut() const noexcept { return m_readLineTimedOut; }
    bool ReadLineSplit() const noexcept { return m_readLineSplit; }

    // ---- Writing ----------------------------------------------------------------------------
    // length -1 (or past the end): everything from offset on.
    virtual void WriteBytes(const TLpBytes& bytes, int length = -1, int offset = 0);
    void WriteBytes(const uint8_t* data, int length);
    // The direct write: through the intercept, then the socket until all is sent.
    void SendNow(const TLpBytes& bytes, int length = -1, int offset = 0);
    void SendNow(const uint8_t* data, int length);

    virtual void WriteText(const std::string& text, const TLpTextEncodingPtr& encoding = nullptr);
    virtual void WriteLine(const std::string& text = std::string(),
                           const TLpTextEncodingPtr& encoding = nullptr);
    // One more "." in front of a line that starts with "." (RFC 5321 4.5.2).
    virtual void WriteLineDotStuffed(const std::string& text,
                                     const TLpTextEncodingPtr& encoding = nullptr);
    // Each line dot-stuffed; then "." when writeTerminator.
    void WriteDotStuffedLines(const std::vector<std::string>& lines, bool writeTerminator,
                              const TLpTextEncodingPtr& encoding = nullptr);
    // The whole list in one flush (buffering switched on for the duration when it was off).
    virtual void WriteLines(const std::vector<std::string>& lines, bool writeCount = false,
                            const TLpTextEncodingPtr& encoding = nullptr);
    // Chunks of SendBufferSize from the stream: size -1 from the current position to the end,
    // 0 the whole stream from its start; writeByteCount puts the size in front (4 bytes, 8 with
    // LargeStream), network byte order.
    void WriteStream(std::istream& stream, int64_t size = -1, bool writeByteCount = false);

    virtual void BeginWriteBuffering(int threshold = -1);
    virtual void FlushWriteBuffer(int byteCount = -1);
    virtual void EndWriteBuffering();
    virtual void ClearWriteBuffer();
    virtual void CancelWriteBuffering();
    bool IsWriteBuffering() const noexcept { return m_writeBuffer != nullptr; }
    const TLpBuffer* WriteBuffer() const noexcept { return m_writeBuffer.get(); }

    // ---- Properties -------------------------------------------------------------------------
    TLpConnectionIntercept* Intercept() const noexcept { return m_intercept; }
    virtual void SetIntercept(TLpConnectionIntercept* intercept) { m_intercept = intercept; }
    const TLpTextEncodingPtr& DefaultTextEncoding() const noexcept { return m_defaultEncoding; }
    void SetDefaultTextEncoding(TLpTextEncodingPtr encoding);
    int MaxLineLength() const noexcept { return m_maxLineLength; }
    void SetMaxLineLength(int v) { m_maxLineLength = v; }
    TLpMaxLineAction MaxLineAction() const noexcept { return m_maxLineAction; }
    void SetMaxLineAction(TLpMaxLineAction v) { m_maxLineAction = v; }
    int RecvBufferSize() const noexcept { return m_recvBufferSize; }
    void SetRecvBufferSize(int v) { m_recvBufferSize = v; }
    int SendBufferSize() const noexcept { return m_sendBufferSize; }
    void SetSendBufferSize(int v) { m_sendBufferSize = v; }
    int ReadTimeout() const noexcept { return m_readTimeout; }
    virtual void SetReadTimeout(int ms) { m_readTimeout = ms; }
    int ConnectTimeout() const noexcept { return m_connectTimeout; }
    virtual void SetConnectTimeout(int ms) { m_connectTimeout = ms; }
    bool LargeStream() const noexcept { return m_largeStream; }
    void SetLargeStream(bool v) { m_largeStream = v; }
    const std::string& Host() const noexcept { return m_host; }
    virtual void SetHost(const std::string& host) { m_host = host; }
    int Port() const noexcept { return m_port; }
    virtual void SetPort(int port) { m_port = port; }

protected:
    // ---- The socket-facing steps (the socket handler and the TLS handler supply them) -------
    // Count received, 0 at an orderly close, negative on a failure ErrorCodeOf explains.
    virtual int ReceiveFromSocket(uint8_t* data, int length) = 0;
    // Count sent (maybe fewer than asked), 0 when the peer has gone, negative on a failure.
    virtual int SendToSocket(const uint8_t* data, int length) = 0;
    // False when there is no socket to read from or write to.
    virtual bool SocketAvailable() = 0;
    // The socket error number for a failed call's result; may raise instead of returning.
    virtual int ErrorCodeOf(int callResult) = 0;
    [[noreturn]] virtual void RaiseSocketFailure(int code) = 0;

    void SetClosedGracefully(bool v) noexcept { m_closedGracefully = v; }

private:
    TLpConnectionIntercept* m_intercept = nullptr;
    TLpBuffer m_inputBuffer;
    std::unique_ptr<TLpBuffer> m_writeBuffer;
    int m_writeBufferThreshold = 0;
    TLpBytes m_receiveChunk;
    TLpTextEncodingPtr m_defaultEncoding;
    std::string m_host;
    int m_port = 0;
    int m_maxLineLength = 16384;
    TLpMaxLineAction m_maxLineAction = maException;
    int m_recvBufferSize = 32768;
    int m_sendBufferSize = 32768;
    int m_readTimeout = -1;
    int m_connectTimeout = 0;
    bool m_largeStream = false;
    bool m_opened = false;
    bool m_closedGracefully = false;
    bool m_readLineTimedOut = false;
    bool m_readLineSplit = false;
};

}  // namespace larkpost
