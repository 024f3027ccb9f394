#include "mail/MessageClient.h"

#include <sstream>

#include "mail/Encoders.h"
#include "mail/HeaderList.h"
#include "mail/Message.h"
#include "mail/MessagePart.h"

namespace larkpost {
namespace {

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool HasByteAbove127(const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        for (const char c : line)
            if (static_cast<unsigned char>(c) > 127) return true;
    return false;
}

// Splits at CR, LF or CR LF; a final line end adds no empty line.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        lines.push_back(text.substr(start, i - start));
        i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
        start = i;
    }
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// The name after the last "/", with CR and LF turned into spaces: a file name is user data and
// must never start a header line of its own.
std::string FileNamePart(const std::string& fileName) {
    const size_t slash = fileName.rfind('/');
    std::string name = slash == std::string::npos ? fileName : fileName.substr(slash + 1);
    for (char& c : name)
        if (c == '\r' || c == '\n') c = ' ';
    return name;
}

// RFC 2046 (5.2) allows no transfer encoding but 7bit, 8bit or binary for these message types: a
// reader meeting one in base64 takes the encoded text for the message itself.
bool IsUnencodableMessageType(const std::string& contentType) {
    return HasMediaType(contentType, "message/rfc822") ||
           HasMediaType(contentType, "message/partial") ||
           HasMediaType(contentType, "message/external-body");
}

bool IsIdentityEncoding(const std::string& transfer) {
    return SameText(transfer, "7bit") || SameText(transfer, "8bit") || SameText(transfer, "binary");
}

// The encoded file name as it stands between the double quotes of name= and filename=. A quote
// or backslash in the name is escaped (RFC 2045 quoted-string), so it cannot end the parameter
// early; encoded words never contain either.
std::string EncodedFileName(const std::string& fileName, char letter, const std::string& charSet) {
    const std::string encoded = EncodeHeaderText(FileNamePart(fileName), "", letter, charSet);
    std::string quoted;
    quoted.reserve(encoded.size());
    for (const char c : encoded) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted;
}

// The Content-Type, Content-Transfer-Encoding and Content-Disposition lines of a part; N is the
// encoded file name (empty: no name parameters).
void WriteContentLines(TLpIOHandler& handler, const TLpMessagePart& part, const std::string& n,
                       bool withTransferAndDisposition) {
    const std::string contentType = part.ContentType();
    if (!contentType.empty()) {
        handler.WriteText("Content-Type: " + contentType);
        if (!part.CharSet().empty()) handler.WriteText("; charset=\"" + part.CharSet() + "\"");
        if (!n.empty()) {
            handler.WriteLine(";");
            handler.WriteText("\tname=\"" + n + "\"");
        }
        handler.WriteLine("");
    }
    if (!withTransferAndDisposition) return;
    const std::string transfer = part.ContentTransfer();
    if (!transfer.empty()) handler.WriteLine("Content-Transfer-Encoding: " + transfer);
    handler.WriteText("Content-Disposition: " + part.ContentDisposition());
    if (!n.empty()) {
        handler.WriteLine(";");
        handler.WriteText("\tfilename=\"" + n + "\"");
    }
    handler.WriteLine("");
}

void WriteTrailingPartHeaders(TLpIOHandler& handler, const TLpMessagePart& part) {
    const std::string id = part.ContentID();
    if (!id.empty()) handler.WriteLine("Content-ID: " + id);
    const std::string description = part.ContentDescription();
    if (!description.empty()) handler.WriteLine("Content-Description: " + description);
    handler.WriteLines(part.ExtraHeaders().Lines());
    handler.WriteLine("");
}

// Data without a transfer encoder: each line's bytes read as text in the part's charset and
// written dot-stuffed in that same charset.
void WriteDataLines(TLpIOHandler& handler, std::istream& in, const TLpTextEncodingPtr& encoding) {
    std::streambuf& source = *in.rdbuf();
    std::string line;
    bool pending = false;
    auto flush = [&] {
        const auto* data = reinterpret_cast<const uint8_t*>(line.data());
        handler.WriteLineDotStuffed(encoding->GetString(data, line.size()), encoding);
        line.clear();
        pending = false;
    };
    for (int ch = source.sbumpc(); ch != std::char_traits<char>::eof(); ch = source.sbumpc()) {
        if (ch == '\r') {
            flush();
            if (source.sgetc() == '\n') source.sbumpc();
        } else if (ch == '\n') {
            flush();
        } else {
            line += static_cast<char>(ch);
            pending = true;
        }
    }
    if (pending) flush();
}

// Doubles a full stop at the start of every line on its way to the connection. The uuencode
// alphabet holds ".", so the length character of a 14-byte last line is one; unstuffed, the
// server would drop it and the attachment would arrive damaged.
class DotStuffingBuffer : public std::streambuf {
public:
    explicit DotStuffingBuffer(std::ostream& out) : m_out(out) {}

protected:
    std::streamsize xsputn(const char* data, std::streamsize count) override {
        std::streamsize start = 0;
        for (std::streamsize i = 0; i < count; ++i) {
            if (m_atLineStart && data[i] == '.') {
                m_out.write(data + start, i - start);
                m_out.put('.');
                start = i;
            }
            m_atLineStart = data[i] == '\n';
        }
        m_out.write(data + start, count - start);
        return count;
    }
    int_type overflow(int_type ch) override {
        if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
        const char c = traits_type::to_char_type(ch);
        xsputn(&c, 1);
        return ch;
    }

private:
    std::ostream& m_out;
    bool m_atLineStart = true;
};

}  // namespace

// ---- TLpTCPStream ------------------------------------------------------------------------------

TLpTCPStream::TLpTCPStream(TLpTCPConnection& connection, int writeBufferThreshold)
    : std::ostream(nullptr),
      m_connection(connection),
      m_threshold(writeBufferThreshold),
      m_buffer(*this) {
    rdbuf(&m_buffer);
    // A failed send must reach the writer's caller, not just set a stream flag.
    exceptions(std::ios::badbit);
}

TLpTCPStream::~TLpTCPStream() {
    try {
        Close();
    } catch (...) {
        // Destructors never raise; the failure has already reached the writer or will on the
        // connection's next use.
    }
}

void TLpTCPStream::Close() {
    if (!m_startedBuffering) return;
    m_startedBuffering = false;
    m_connection.CheckForHandler();
    m_connection.IOHandler()->EndWriteBuffering();
}

void TLpTCPStream::Write(const char* data, size_t count) {
    m_connection.CheckForHandler();
    TLpIOHandler& handler = *m_connection.IOHandler();
    if (!m_startedBuffering && !handler.IsWriteBuffering()) {
        handler.BeginWriteBuffering(m_threshold);
        m_startedBuffering = true;
    }
    handler.WriteBytes(reinterpret_cast<const uint8_t*>(data), static_cast<int>(count));
}

std::streamsize TLpTCPStream::TBuffer::xsputn(const char* data, std::streamsize count) {
    if (count > 0) m_owner.Write(data, static_cast<size_t>(count));
    return count;
}

TLpTCPStream::TBuffer::int_type TLpTCPStream::TBuffer::overflow(int_type ch) {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    const char c = traits_type::to_char_type(ch);
    m_owner.Write(&c, 1);
    return ch;
}

// ---- TLpMessageClient --------------------------------------------------------------------------

TLpIOHandler& TLpMessageClient::Handler() {
    CheckForHandler();
    return *IOHandler();
}

void TLpMessageClient::WriteMessage(TLpMessage& message, bool headersOnly) {
    TLpIOHandler& handler = Handler();
    if (message.NoEncode()) {
        handler.WriteLines(message.InputHeaders().Lines());
        handler.WriteLine("");
        if (!headersOnly) handler.WriteDotStuffedLines(message.Body(), false);
        return;
    }
    message.BuildHeaders();
    handler.WriteLines(message.LastGeneratedHeaders().Lines());
    if (headersOnly) return;

    const auto [letter, charSet] = message.ChooseHeaderCharset();
    TLpMessageParts& parts = message.MessageParts();
    TLpMIMEBoundary& boundaries = message.MIMEBoundary();
    const bool singlePart = message.IsMsgSinglePartMime();
    const TLpTextEncodingPtr bodyEncoding = CharsetToEncoding(message.CharSet());

    // A message-level transfer encoding survives BuildHeaders only without parts.
    const std::string& levelEncoding = message.ContentTransferEncoding();
    const bool levelBase64 = SameText(levelEncoding, "base64");
    if (!singlePart && (levelBase64 || SameText(levelEncoding, "quoted-printable"))) {
        handler.WriteLine("");
        ReportStatus(hsStatusText, "Encoding text");
        if (levelBase64) {
            TLpMessageEncoderMIME encoder;
            EncodeTextLines(message.Body(), encoder, bodyEncoding);
        } else {
            TLpMessageEncoderQuotedPrintable encoder;
            EncodeTextLines(message.Body(), encoder, bodyEncoding);
        }
        return;
    }

    if (message.Encoding() == mePlainText) {
        handler.WriteLine("");
        ReportStatus(hsStatusText, "Encoding text");
        handler.WriteDotStuffedLines(message.Body(), false, bodyEncoding);
        handler.WriteLine("");
        for (int i = 0; i < parts.Count(); ++i) {
            TLpMessagePart& part = parts[i];
            if (part.PartKind() == mptText) {
                handler.WriteLine("");
                handler.WriteLine("------- Start of text attachment -------");
                ReportStatus(hsStatusText, "Encoding text");
                WriteTextSection(static_cast<TLpText&>(part), letter, charSet);
                handler.WriteLine("------- End of text attachment -------");
            } else {
                if (part.ContentTransfer().empty()) {
                    const std::string& wanted = message.AttachmentEncoding();
                    part.SetContentTransfer(SameText(wanted, "XXE") ? "XXE" : "UUE");
                }
                auto& attachment = static_cast<TLpAttachment&>(part);
                auto encoder = TLpMessageEncoderList::CreateEncoder(
                    SameText(part.ContentTransfer(), "XXE") ? "XXE" : "UUE");
                encoder->SetFileName(FileNamePart(part.FileName()));
                std::istream& in = attachment.OpenContent();
                try {
                    TLpTCPStream out(*this);
                    DotStuffingBuffer stuffing(out);
                    std::ostream stuffed(&stuffing);
                    stuffed.exceptions(std::ios::badbit);
                    encoder->Encode(in, stuffed);
                    out.Close();
                } catch (...) {
                    attachment.CloseContent();
                    throw;
                }
                attachment.CloseContent();
            }
            handler.WriteLine("");
        }
        return;
    }

    // MIME: the send road.
    bool convertedBody = false;
    if (!singlePart) {
        handler.WriteLine("");
        int textParts = 0;
        for (int i = 0; i < parts.Count(); ++i)
            if (parts[i].PartKind() == mptText) ++textParts;
        if (message.IsBodyBlank()) {
            if (parts.Count() > 0) handler.WriteLine("This is a multi-part message in MIME format");
        } else if (message.ConvertPreamble() && parts.Count() > 0 && textParts == 0) {
            TLpText& text = parts.Add<TLpText>(message.Body());
            text.SetCharSet(message.CharSet());
            text.SetContentType("text/plain");
            text.SetContentTransfer("quoted-printable");
            handler.WriteLine("This is a multi-part message in MIME format");
            convertedBody = true;
        } else {
            handler.WriteDotStuffedLines(message.Body(), false, bodyEncoding);
        }
        handler.WriteLine("");
    }
    std::string boundary = boundaries.CurrentBoundary();
    if (boundary.empty()) {
        boundary = TLpMIMEBoundaryStrings::NewBoundary();
        boundaries.PushBoundary(boundary, -1);
    }

    int partCount = parts.Count();
    if (convertedBody) {
        --partCount;
        handler.WriteLine("--" + boundary);
        ReportStatus(hsStatusText, "Encoding text");
        WriteTextSection(static_cast<TLpText&>(parts[partCount]), letter, charSet);
        handler.WriteLine("");
    }
    for (int i = 0; i < partCount; ++i) {
        TLpMessagePart& part = parts[i];
        if (HasMediaType(part.ContentType(), "multipart")) {
            handler.WriteLine("--" + boundary);
            boundary = TLpMIMEBoundaryStrings::NewBoundary();
            boundaries.PushBoundary(boundary, i);
            handler.WriteLine(
                "Content-Type: " + RemoveParam(part.ContentType(), "boundary", qtMIME) + ";");
            handler.WriteLine("\tboundary=\"" + boundary + "\"");
            handler.WriteLine("");
            continue;
        }
        if (!singlePart) {
            // Close nested levels until the part's own parent is open; the message level is
            // never closed here, so a parent index that names no open part cannot loop.
            while (part.ParentPart() != boundaries.CurrentParentIndex() &&
                   boundaries.BoundaryCount() > 1) {
                handler.WriteLine("--" + boundary + "--");
                handler.WriteLine("");
                boundaries.PopBoundary();
                boundary = boundaries.CurrentBoundary();
            }
            handler.WriteLine("--" + boundary);
        }
        if (part.PartKind() == mptText) {
            ReportStatus(hsStatusText, "Encoding text");
            WriteTextSection(static_cast<TLpText&>(part), letter, charSet);
        } else {
            ReportStatus(hsStatusText, "Encoding attachment");
            WriteAttachmentSection(static_cast<TLpAttachment&>(part), letter, charSet);
        }
        handler.WriteLine("");
    }

    if (parts.Count() > 0) {
        for (int n = boundaries.BoundaryCount(); n > 0; --n) {
            if (!singlePart) {
                handler.WriteLine("--" + boundaries.CurrentBoundary() + "--");
                handler.WriteLine("");
            }
            boundaries.PopBoundary();
        }
    }
}

void TLpMessageClient::WriteTextSection(TLpText& part, char letter, const std::string& charSet) {
    TLpIOHandler& handler = Handler();
    if (part.ContentType().empty()) part.SetContentType("text/plain");
    const std::string contentType = part.ContentType();
    const std::string transfer = part.ContentTransfer();
    if (HasMediaType(contentType, "multipart")) {
        if (!SameText(transfer, "7bit") && !SameText(transfer, "8bit") &&
            !SameText(transfer, "binary"))
            part.SetContentTransfer("");
    } else if (transfer.empty()) {
        part.SetContentTransfer("quoted-printable");
    } else if (!SameText(transfer, "quoted-printable") && !SameText(transfer, "base64") &&
               HasByteAbove127(part.Body())) {
        part.SetContentTransfer("8bit");
    }
    if (part.ContentDisposition().empty()) part.SetContentDisposition("inline");

    const std::string n = EncodedFileName(part.FileName(), letter, charSet);
    WriteContentLines(handler, part, n, true);
    WriteTrailingPartHeaders(handler, part);

    const TLpTextEncodingPtr encoding = CharsetToEncoding(part.CharSet());
    const std::string finalTransfer = part.ContentTransfer();
    if (SameText(finalTransfer, "quoted-printable")) {
        TLpMessageEncoderQuotedPrintable encoder;
        EncodeTextLines(part.Body(), encoder, encoding);
    } else if (SameText(finalTransfer, "base64")) {
        TLpMessageEncoderMIME encoder;
        EncodeTextLines(part.Body(), encoder, encoding);
    } else {
        handler.WriteDotStuffedLines(part.Body(), false, encoding);
    }
}

void TLpMessageClient::WriteAttachmentSection(TLpAttachment& part, char letter,
                                              const std::string& charSet) {
    TLpIOHandler& handler = Handler();
    if (part.ContentTransfer().empty()) part.SetContentTransfer("base64");
    if (part.ContentDisposition().empty()) part.SetContentDisposition("attachment");
    const std::string transfer = part.ContentTransfer();
    if (part.ContentType().empty())
        part.SetContentType(SameText(transfer, "base64") ? "application/octet-stream"
                                                         : "text/plain");

    // A saved message (.eml, .mht) goes as the bytes of a file, under its own name.
    if (!IsIdentityEncoding(transfer) && IsUnencodableMessageType(part.ContentType()))
        part.SetContentType("application/octet-stream");

    const std::string n = EncodedFileName(part.FileName(), letter, charSet);
    const bool binHex = SameText(transfer, "binhex40");
    if (binHex) part.SetContentType("application/mac-binhex40");
    WriteContentLines(handler, part, n, !binHex);
    WriteTrailingPartHeaders(handler, part);

    std::istream& in = part.OpenContent();
    try {
        TLpTCPStream out(*this);
        if (SameText(transfer, "base64")) {
            // Blocks of whole 57-byte groups: each becomes complete 76-column lines at once.
            constexpr size_t kBlock = 57 * 1150;
            std::vector<char> block(kBlock);
            TLpBase64LineEncoder encoder([&out](const char* data, size_t size) {
                out.write(data, static_cast<std::streamsize>(size));
            });
            for (;;) {
                in.read(block.data(), static_cast<std::streamsize>(block.size()));
                const std::streamsize got = in.gcount();
                if (got <= 0) break;
                encoder.Write(reinterpret_cast<const uint8_t*>(block.data()),
                              static_cast<size_t>(got));
                if (got < static_cast<std::streamsize>(block.size())) break;
            }
            encoder.Finish();
        } else if (SameText(transfer, "quoted-printable")) {
            TLpMessageEncoderQuotedPrintable encoder;
            encoder.Encode(in, out);
        } else if (binHex) {
            TLpMessageEncoderBinHex4 encoder;
            encoder.SetFileName(FileNamePart(part.FileName()));
            encoder.Encode(in, out);
        } else {
            WriteDataLines(handler, in, CharsetToEncoding(part.CharSet()));
        }
        out.Close();
    } catch (...) {
        part.CloseContent();
        throw;
    }
    part.CloseContent();
}

void TLpMessageClient::EncodeTextLines(const std::vector<std::string>& lines,
                                       TLpMessageEncoder& encoder,
                                       const TLpTextEncodingPtr& encoding) {
    std::string text;
    for (const std::string& line : lines) {
        text += line;
        text += "\r\n";
    }
    const TLpBytes bytes = encoding->GetBytes(text);
    std::istringstream source(std::string(bytes.begin(), bytes.end()));
    std::ostringstream encoded;
    encoder.Encode(source, encoded);
    Handler().WriteDotStuffedLines(SplitLines(encoded.str()), false);
}

}  // namespace larkpost
