#include "mail/MessagePart.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <streambuf>

#include "mail/Encoders.h"
#include "mail/MimeTable.h"
#include "net/TextEncoding.h"
#include "platform/SystemError.h"

namespace larkpost {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Decodes one encoded word's text; false when it is not well-formed.
bool DecodeWordText(char letter, const std::string& text, std::string& bytes) {
    bytes.clear();
    if (letter == 'Q' || letter == 'q') {
        for (size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '_') {
                bytes += ' ';
            } else if (c == '=') {
                if (i + 2 >= text.size()) return false;
                const int hi = HexValue(text[i + 1]), lo = HexValue(text[i + 2]);
                if (hi < 0 || lo < 0) return false;
                bytes += static_cast<char>(hi * 16 + lo);
                i += 2;
            } else {
                bytes += c;
            }
        }
        return true;
    }
    if (letter != 'B' && letter != 'b') return false;
    unsigned value = 0;
    int bits = 0;
    for (const char c : text) {
        if (c == '=') break;
        const int v = Base64Value(c);
        if (v < 0) return false;
        value = (value << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes += static_cast<char>((value >> bits) & 0xFF);
        }
    }
    return true;
}

// RFC 2047 encoded words in a parameter value turned back into UTF-8; blanks between two
// encoded words vanish, anything not well-formed stays as it is.
std::string DecodeHeaderWords(const std::string& value) {
    std::string result;
    std::string pendingBlanks;
    bool lastWasEncoded = false;
    size_t pos = 0;
    while (pos < value.size()) {
        const size_t start = value.find("=?", pos);
        if (start == std::string::npos) break;
        const size_t q1 = value.find('?', start + 2);
        const size_t q2 = q1 == std::string::npos ? q1 : value.find('?', q1 + 1);
        const size_t end = q2 == std::string::npos ? q2 : value.find("?=", q2 + 1);
        std::string bytes;
        if (end == std::string::npos || q2 != q1 + 2 ||
            !DecodeWordText(value[q1 + 1], value.substr(q2 + 1, end - q2 - 1), bytes)) {
            result += value.substr(pos, start + 2 - pos);
            pos = start + 2;
            lastWasEncoded = false;
            continue;
        }
        const std::string between = value.substr(pos, start - pos);
        const bool blanksOnly = between.find_first_not_of(" \t\r\n") == std::string::npos;
        if (!(lastWasEncoded && blanksOnly)) result += between;
        std::string charset = value.substr(start + 2, q1 - start - 2);
        const size_t star = charset.find('*');  // RFC 2231 language suffix
        if (star != std::string::npos) charset.resize(star);
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
        result += CharsetToEncoding(charset)->GetString(data, bytes.size());
        pos = end + 2;
        lastWasEncoded = true;
    }
    result += value.substr(pos < value.size() ? pos : value.size());
    return result;
}

// Reads a file descriptor in blocks; large reads go straight into the caller's buffer. A read
// error raises instead of looking like the end of the file, so a damaged disk never yields a
// silently shortened attachment.
class FdReadBuffer : public std::streambuf {
public:
    FdReadBuffer(int fd, std::string path) : m_fd(fd), m_path(std::move(path)), m_buffer(65536) {
        setg(m_buffer.data(), m_buffer.data(), m_buffer.data());
    }
    ~FdReadBuffer() override { ::close(m_fd); }

protected:
    int_type underflow() override {
        const ssize_t got = ReadSome(m_buffer.data(), m_buffer.size());
        if (got <= 0) return traits_type::eof();
        setg(m_buffer.data(), m_buffer.data(), m_buffer.data() + got);
        return traits_type::to_int_type(m_buffer[0]);
    }

    std::streamsize xsgetn(char* out, std::streamsize count) override {
        const auto blockSize = static_cast<std::streamsize>(m_buffer.size());
        std::streamsize done = 0;
        while (done < count) {
            const std::streamsize buffered = egptr() - gptr();
            if (buffered > 0) {
                const std::streamsize take = std::min(buffered, count - done);
                std::memcpy(out + done, gptr(), static_cast<size_t>(take));
                gbump(static_cast<int>(take));
                done += take;
                continue;
            }
            if (count - done >= blockSize) {
                const ssize_t got = ReadSome(out + done, static_cast<size_t>(count - done));
                if (got <= 0) break;
                done += got;
                continue;
            }
            if (underflow() == traits_type::eof()) break;
        }
        return done;
    }

private:
    ssize_t ReadSome(char* out, size_t count) {
        for (;;) {
            const ssize_t got = ::read(m_fd, out, count);
            if (got >= 0) return got;
            if (errno == EINTR) continue;
            throw ELpFileError("Cannot read file \"" + m_path + "\". " + SysErrorMessage(errno));
        }
    }

    int m_fd;
    std::string m_path;
    std::vector<char> m_buffer;
};

}  // namespace

// ---- TLpMessagePart ----------------------------------------------------------------------------

TLpMessagePart::TLpMessagePart(TLpMessageParts& collection) : m_collection(&collection) {}

int TLpMessagePart::Index() const {
    return m_collection == nullptr ? -1 : m_collection->IndexOf(*this);
}

std::string TLpMessagePart::ContentDisposition() const {
    return m_headers.GetHeader("Content-Disposition");
}
std::string TLpMessagePart::ContentType() const {
    return m_headers.GetHeader("Content-Type");
}
std::string TLpMessagePart::ContentTransfer() const {
    return m_headers.GetHeader("Content-Transfer-Encoding");
}
std::string TLpMessagePart::ContentID() const {
    return m_headers.GetHeader("Content-ID");
}
std::string TLpMessagePart::ContentLocation() const {
    return m_headers.GetHeader("Content-Location");
}
std::string TLpMessagePart::ContentDescription() const {
    return m_headers.GetHeader("Content-Description");
}

void TLpMessagePart::SetContentDisposition(const std::string& value) {
    std::string fileName;
    const std::string rest = RemoveParam(value, "filename", qtMIME, &fileName);
    m_headers.SetHeader("Content-Disposition", rest);
    if (!fileName.empty()) m_fileName = DecodeHeaderWords(fileName);
}

void TLpMessagePart::SetContentType(const std::string& value) {
    std::string charSet;
    std::string name;
    std::string rest = RemoveParam(value, "charset", qtMIME, &charSet);
    rest = RemoveParam(rest, "name", qtMIME, &name);
    m_headers.SetHeader("Content-Type", rest);
    if (!charSet.empty()) m_charSet = charSet;
    if (!name.empty()) m_name = name;
}

void TLpMessagePart::SetContentTransfer(const std::string& value) {
    m_headers.SetHeader("Content-Transfer-Encoding", value);
}
void TLpMessagePart::SetContentID(const std::string& value) {
    m_headers.SetHeader("Content-ID", value);
}
void TLpMessagePart::SetContentDescription(const std::string& value) {
    m_headers.SetHeader("Content-Description", value);
}
void TLpMessagePart::SetContentLocation(const std::string& value) {
    m_headers.SetHeader("Content-Location", value);
}

// ---- TLpText -----------------------------------------------------------------------------------

TLpText::TLpText(TLpMessageParts& collection, const std::vector<std::string>& body)
    : TLpMessagePart(collection), m_body(body) {}

// ---- TLpAttachment -----------------------------------------------------------------------------

void TLpAttachment::LoadFromFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) RaiseFileOpenError(path, errno);
    LoadFromStream(in);
}

void TLpAttachment::LoadFromStream(std::istream& source) {
    std::ostream& out = PrepareTempContent();
    out << source.rdbuf();
    FinishTempContent();
}

void TLpAttachment::SaveToFile(const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) RaiseFileCreateError(path, errno);
    SaveToStream(out);
}

void TLpAttachment::SaveToStream(std::ostream& destination) {
    std::istream& in = OpenContent();
    try {
        destination << in.rdbuf();
    } catch (...) {
        CloseContent();
        throw;
    }
    CloseContent();
}

// ---- TLpAttachmentFile -------------------------------------------------------------------------

struct TLpAttachmentFile::TContentStream {
    TContentStream(int fd, const std::string& path) : buffer(fd, path), stream(&buffer) {
        stream.exceptions(std::ios::badbit);
    }
    FdReadBuffer buffer;
    std::istream stream;
};

TLpAttachmentFile::TLpAttachmentFile(TLpMessageParts& collection, const std::string& path)
    : TLpAttachment(collection), m_sourcePath(path) {
    const size_t slash = path.rfind('/');
    SetFileName(slash == std::string::npos ? path : path.substr(slash + 1));
    if (!FileName().empty()) SetContentType(MediaTypeForFile(FileName()));
}

TLpAttachmentFile::~TLpAttachmentFile() {
    CloseContent();
    m_tempStream.reset();
    if (m_fileIsTempFile && !m_sourcePath.empty()) ::unlink(m_sourcePath.c_str());
}

std::istream& TLpAttachmentFile::OpenContent() {
    CloseContent();
    // Opening a named pipe waits for a writer and a device may wait for its hardware: the open
    // must not block, and only a regular file is data to send (a pipe or a device would hold the
    // send inside DATA for as long as it gives bytes or none).
    const int fd = ::open(m_sourcePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) RaiseFileOpenError(m_sourcePath, errno);
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        RaiseFileOpenError(m_sourcePath, error);
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        if (S_ISDIR(info.st_mode)) RaiseFileOpenError(m_sourcePath, EISDIR);
        throw ELpFileError("Cannot open file \"" + m_sourcePath + "\". Not a regular file");
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // Other writers are denied the way Linux allows it: a read lease is refused while any
    // process holds the file open for writing, so a file still being written is not sent
    // half-done. Where leases are not available (not the owner, a network file system) the file
    // is read as it is.
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
    } else if (errno == EAGAIN) {
        ::close(fd);
        RaiseFileOpenError(m_sourcePath, EBUSY);
    }
    m_stream = std::make_unique<TContentStream>(fd, m_sourcePath);
    return m_stream->stream;
}

void TLpAttachmentFile::CloseContent() {
    m_stream.reset();
}

std::ostream& TLpAttachmentFile::PrepareTempContent() {
    FinishTempContent();
    if (m_sourcePath.empty()) {
        char pattern[] = "/tmp/larkpost-attachment-XXXXXX";
        const int fd = ::mkstemp(pattern);
        if (fd < 0) RaiseFileCreateError(pattern, errno);
        ::close(fd);
        m_sourcePath = pattern;
        m_fileIsTempFile = true;
    }
    m_tempStream =
        std::make_unique<std::ofstream>(m_sourcePath, std::ios::binary | std::ios::trunc);
    if (!*m_tempStream) RaiseFileCreateError(m_sourcePath, errno);
    return *m_tempStream;
}

void TLpAttachmentFile::FinishTempContent() {
    m_tempStream.reset();
}

// ---- TLpMessageParts ---------------------------------------------------------------------------

int TLpMessageParts::IndexOf(const TLpMessagePart& part) const {
    for (size_t i = 0; i < m_items.size(); ++i)
        if (m_items[i].get() == &part) return static_cast<int>(i);
    return -1;
}

void TLpMessageParts::Delete(int index) {
    m_items.erase(m_items.begin() + index);
}

void TLpMessageParts::CountParts() {
    m_textPartCount = 0;
    m_attachmentCount = 0;
    m_relatedPartCount = 0;
    for (const auto& part : m_items) {
        if (part->PartKind() == mptText)
            ++m_textPartCount;
        else
            ++m_attachmentCount;
        if (!part->ContentID().empty()) ++m_relatedPartCount;
    }
}

void TLpMessageParts::SetAttachmentEncoding(const std::string& value) {
    TLpMessageEncoderList::ByName(value);
    m_attachmentEncoding = value;
}

}  // namespace larkpost
