// The MIME body writer: a message as the exact lines that follow DATA (RFC 5322, RFC 2045 to
// 2047, dot-stuffing per RFC 5321 4.5.2), written through the connection's I/O handler.
#pragma once

#include <memory>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "mail/ExplicitTLSClient.h"
#include "net/TCPConnection.h"
#include "net/TextEncoding.h"

namespace larkpost {

class TLpAttachment;
class TLpMessage;
class TLpMessageEncoder;
class TLpText;

// The write-only output stream over a connection. On its first write it switches the handler's
// write buffering on with its threshold (unless buffering is already on), so data leaves in
// blocks of about that size; released, it ends the buffering it started, sending what is left.
class TLpTCPStream : public std::ostream {
public:
    explicit TLpTCPStream(TLpTCPConnection& connection, int writeBufferThreshold = 8192);
    ~TLpTCPStream() override;
    TLpTCPStream(const TLpTCPStream&) = delete;
    TLpTCPStream& operator=(const TLpTCPStream&) = delete;

    // Ends the buffering this stream started (sending what is left); raises what the send
    // raises. The destructor does the same but never raises.
    void Close();

private:
    class TBuffer : public std::streambuf {
    public:
        explicit TBuffer(TLpTCPStream& owner) : m_owner(owner) {}

    protected:
        std::streamsize xsputn(const char* data, std::streamsize count) override;
        int_type overflow(int_type ch) override;

    private:
        TLpTCPStream& m_owner;
    };

    void Write(const char* data, size_t count);

    TLpTCPConnection& m_connection;
    int m_threshold;
    bool m_startedBuffering = false;
    TBuffer m_buffer;
};

class TLpMessageClient : public TLpExplicitTLSClient {
public:
    // The header block and, unless headersOnly, the body of message; the end-of-data line is the
    // caller's. Status texts "Encoding text" and "Encoding attachment" go to OnStatus before each
    // part.
    virtual void WriteMessage(TLpMessage& message, bool headersOnly = false);

protected:
    // Content-* lines and the encoded body lines of a text part.
    virtual void WriteTextSection(TLpText& part, char letter, const std::string& charSet);
    // Content-* lines and the encoded data of an attachment, streamed from its content.
    virtual void WriteAttachmentSection(TLpAttachment& part, char letter,
                                        const std::string& charSet);
    // Text lines joined with CR LF, turned into bytes, encoded in memory and written dot-stuffed.
    void EncodeTextLines(const std::vector<std::string>& lines, TLpMessageEncoder& encoder,
                         const TLpTextEncodingPtr& encoding);

private:
    TLpIOHandler& Handler();
};

}  // namespace larkpost
