#include "net/IOHandler.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <istream>

#include "net/Exceptions.h"
#include "net/Intercept.h"

namespace larkpost {

namespace {

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The position of the first LF, or -1; ascii tells whether every byte before it is below 128.
// One pass of sixteen bytes at a time (SSE2, every x86-64) finds both.
int FindLineFeed(const uint8_t* data, int size, bool& ascii) {
    int i = 0;
    unsigned high = 0;
#if defined(__SSE2__)
    const __m128i lf = _mm_set1_epi8('\n');
    for (; i + 16 <= size; i += 16) {
        __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, lf)));
        unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(block));
        if (hits) {
            unsigned before = (hits & -hits) - 1;
            ascii = high == 0 && (bits & before) == 0;
            return i + __builtin_ctz(hits);
        }
        high |= bits;
    }
#endif
    for (; i < size; ++i) {
        if (data[i] == '\n') {
            ascii = high == 0;
            return i;
        }
        high |= data[i] & 0x80;
    }
    return -1;
}

std::string TrimControls(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

}  // namespace

TLpIOHandler::TLpIOHandler() : m_defaultEncoding(ASCIIEncoding()) {}

TLpIOHandler::~TLpIOHandler() = default;

void TLpIOHandler::SetDefaultTextEncoding(TLpTextEncodingPtr encoding) {
    m_defaultEncoding = encoding ? std::move(encoding) : ASCIIEncoding();
}

// ---- Life cycle -----------------------------------------------------------------------------

void TLpIOHandler::OpenHandler() {
    m_opened = false;
    m_closedGracefully = false;
    if (m_writeBuffer) m_writeBuffer->Clear();
    m_inputBuffer.Clear();
    m_opened = true;
}

void TLpIOHandler::CloseHandler() {
    try {
        if (m_intercept) m_intercept->InterceptDisconnect();
    } catch (...) {
        m_opened = false;
        ClearWriteBuffer();
        throw;
    }
    m_opened = false;
    ClearWriteBuffer();
}

bool TLpIOHandler::IsConnected() {
    CheckPeerClosed(false, false);
    return m_opened && (!m_closedGracefully || !InputBufferEmpty());
}

void TLpIOHandler::CheckPeerClosed(bool raiseIfDisconnected, bool ignoreBuffer) {
    bool disconnected;
    if (m_closedGracefully) {
        if (SocketAvailable()) {
            CloseHandler();
            ReportStatus(hsDisconnected);
        }
        disconnected = true;
    } else {
        disconnected = !SocketAvailable();
    }
    if (disconnected && (ignoreBuffer || InputBufferEmpty()) && raiseIfDisconnected)
        throw ELpConnClosedGracefully("Connection Closed Gracefully.");
}

// ---- Reading --------------------------------------------------------------------------------

int TLpIOHandler::FillInputBuffer(bool raiseIfDisconnected, int timeoutMs, bool raiseOnTimeout) {
    if (timeoutMs == -1) timeoutMs = m_readTimeout <= 0 ? -1 : m_readTimeout;
    CheckPeerClosed(raiseIfDisconnected, false);
    if (!SocketAvailable()) {
        if (raiseIfDisconnected) throw ELpNotConnected("Not Connected");
        return 0;
    }
    for (;;) {
        if (!WaitReadable(timeoutMs)) {
            if (raiseOnTimeout) throw ELpReadTimeout("Read timed out.");
            return -1;
        }
        int count = 0;
        int chunk = std::max(m_recvBufferSize, 1);
        if (!m_opened) {
            if (raiseIfDisconnected) throw ELpNotConnected("Not Connected");
        } else if (!SocketAvailable()) {
            if (raiseIfDisconnected) throw ELpClosedSocket("Disconnected.");
        } else if (m_intercept) {
            m_receiveChunk.resize(chunk);
            count = ReceiveFromSocket(m_receiveChunk.data(), chunk);
            if (count > 0) {
                m_receiveChunk.resize(count);
                m_intercept->InterceptReceive(m_receiveChunk);
                count = static_cast<int>(m_receiveChunk.size());
                m_inputBuffer.Append(m_receiveChunk);
            }
        } else {
            // No intercept to show the chunk to: receive straight into the input buffer.
            uint8_t* target = m_inputBuffer.PrepareAppend(chunk);
            count = ReceiveFromSocket(target, chunk);
            if (count > 0) m_inputBuffer.CommitAppend(count);
        }
        if (count < 0) {
            int code = ErrorCodeOf(count);
            if (code == 10060) {
                if (raiseOnTimeout) throw ELpReadTimeout("Read timed out.");
                return -1;
            }
            m_closedGracefully = true;
            CloseHandler();
            if (InputBufferEmpty() && raiseIfDisconnected) RaiseSocketFailure(code);
            count = 0;
        }
        if (count == 0) m_closedGracefully = true;
        CheckPeerClosed(raiseIfDisconnected, false);
        if (count != 0 || !SocketAvailable()) return count;
    }
}

std::string TLpIOHandler::ReadLine(const std::string& terminator, int timeoutMs, int maxLength,
                                   const TLpTextEncodingPtr& encoding) {
    std::string line;
    ReadLineInto(line, terminator, timeoutMs, maxLength, encoding);
    return line;
}

bool TLpIOHandler::ReadLineInto(std::string& line, std::string_view terminator, int timeoutMs,
                                int maxLength, const TLpTextEncodingPtr& encoding) {
    line.clear();
    const ILpTextEncoding& enc = encoding ? *encoding : *m_defaultEncoding;
    const bool lfTerminator = terminator.empty() || terminator == "\n";
    const int codePage = enc.CodePage();
    const bool wide = codePage == 1200 || codePage == 1201;
    if (maxLength == -1) maxLength = m_maxLineLength;
    m_readLineSplit = false;
    m_readLineTimedOut = false;

    // The usual case: LF in a byte-oriented encoding and a whole line already buffered.
    int searchStart = 0;
    if (lfTerminator && !wide && m_inputBuffer.Size() > 0) {
        const uint8_t* data = m_inputBuffer.Data();
        bool ascii = false;
        int p = FindLineFeed(data, m_inputBuffer.Size(), ascii);
        // What was scanned without a LF is not scanned again below.
        if (p < 0) searchStart = m_inputBuffer.Size();
        if (p >= 0 && (maxLength <= 0 || p <= maxLength)) {
            int lineEnd = p > 0 && data[p - 1] == '\r' ? p - 1 : p;
            // Pure 7-bit bytes read the same in the byte-oriented encodings.
            if (ascii && (codePage == 20127 || codePage == 28591 || codePage == 65001))
                line.assign(reinterpret_cast<const char*>(data), lineEnd);
            else
                enc.AppendString(data, lineEnd, line);
            m_inputBuffer.Remove(p + 1);
            return true;
        }
    }

    static const uint8_t kLineFeed = '\n';
    TLpBytes converted;
    const uint8_t* termBytes = &kLineFeed;
    int termLength = 1;
    if (!lfTerminator || wide) {
        converted = enc.GetBytes(lfTerminator ? std::string_view("\n") : terminator);
        termBytes = converted.data();
        termLength = static_cast<int>(converted.size());
    }
    const int fillTimeout = timeoutMs == -1 ? (m_readTimeout <= 0 ? -1 : m_readTimeout) : timeoutMs;
    // The clock is read only when the line as a whole has a limit.
    const int64_t start = timeoutMs >= 0 ? NowMs() : 0;

    int termPos = -1;
    for (;;) {
        const int size = m_inputBuffer.Size();
        if (size > 0) {
            termPos = -1;
            if (searchStart < size)
                termPos = m_inputBuffer.Find(termBytes, termLength, searchStart);
            // Resume where a match can still begin: bytes already searched are not searched again.
            searchStart = std::max(size - termLength + 1, 0);
        }
        if (maxLength > 0 && (termPos > maxLength || (termPos < 0 && searchStart > maxLength))) {
            if (m_maxLineAction == maException)
                throw ELpReadLnMaxLineLengthExceeded("Max line length exceeded.");
            m_readLineSplit = true;
            enc.AppendString(m_inputBuffer.Data(), maxLength, line);
            m_inputBuffer.Remove(maxLength);
            return true;
        }
        if (termPos < 0) {
            // An incomplete last line is not returned once the peer has closed.
            CheckPeerClosed(true, true);
            if (FillInputBuffer(true, fillTimeout, false) == -1) m_readLineTimedOut = true;
            if (!m_readLineTimedOut && timeoutMs >= 0 && NowMs() - start >= timeoutMs)
                m_readLineTimedOut = true;
            if (m_readLineTimedOut) return false;
            continue;
        }
        int lineEnd = termPos;
        if (lfTerminator && termPos > 0 && m_inputBuffer.Peek(termPos - 1) == '\r') --lineEnd;
        enc.AppendString(m_inputBuffer.Data(), lineEnd, line);
        m_inputBuffer.Remove(termPos + termLength);
        return true;
    }
}

std::string TLpIOHandler::ReadLineWait(int failCount, const TLpTextEncodingPtr& encoding) {
    for (int attempts = 0; attempts < failCount; ++attempts) {
        std::string line = TrimControls(ReadLine("\n", -1, -1, encoding));
        if (!line.empty()) return line;
        if (m_readLineTimedOut) throw ELpReadTimeout("Read timed out.");
    }
    throw ELpReadLnWaitMaxAttemptsExceeded("Max line read attempts exceeded.");
}

// ---- Writing --------------------------------------------------------------------------------

void TLpIOHandler::WriteBytes(const TLpBytes& bytes, int length, int offset) {
    int available = static_cast<int>(bytes.size()) - std::max(offset, 0);
    int count = (length >= 0 && length < available) ? length : available;
    if (count < 1) return;
    WriteBytes(bytes.data() + std::max(offset, 0), count);
}

void TLpIOHandler::WriteBytes(const uint8_t* data, int length) {
    if (length < 1) return;
    if (!m_writeBuffer) {
        SendNow(data, length);
        return;
    }
    m_writeBuffer->Append(data, length);
    if (m_writeBufferThreshold > 0)
        while (m_writeBuffer && m_writeBuffer->Size() >= m_writeBufferThreshold)
            FlushWriteBuffer(m_writeBufferThreshold);
}

void TLpIOHandler::SendNow(const TLpBytes& bytes, int length, int offset) {
    int available = static_cast<int>(bytes.size()) - std::max(offset, 0);
    int count = (length >= 0 && length < available) ? length : available;
    if (count < 1) return;
    SendNow(bytes.data() + std::max(offset, 0), count);
}

void TLpIOHandler::SendNow(const uint8_t* data, int length) {
    CheckPeerClosed(true, true);
    TLpBytes copy;
    if (m_intercept) {
        copy.assign(data, data + length);
        m_intercept->InterceptSend(copy);
        data = copy.data();
        length = static_cast<int>(copy.size());
    }
    while (length > 0) {
        int sent = SendToSocket(data, length);
        if (sent < 0) {
            int code = ErrorCodeOf(sent);
            if (code != 10060) {
                m_closedGracefully = true;
                CloseHandler();
            }
            RaiseSocketFailure(code);
        }
        if (sent == 0) m_closedGracefully = true;
        CheckPeerClosed(true, false);
        // Still unread input keeps CheckPeerClosed quiet; a send that moved nothing must not
        // spin, so the close is reported here.
        if (sent == 0) throw ELpConnClosedGracefully("Connection Closed Gracefully.");
        DoWork(wmWrite, sent);
        data += sent;
        length -= sent;
    }
}

void TLpIOHandler::WriteText(const std::string& text, const TLpTextEncodingPtr& encoding) {
    if (text.empty()) return;
    const ILpTextEncoding& enc = encoding ? *encoding : *m_defaultEncoding;
    TLpBytes bytes = enc.GetBytes(text);
    WriteBytes(bytes.data(), static_cast<int>(bytes.size()));
}

void TLpIOHandler::WriteLine(const std::string& text, const TLpTextEncodingPtr& encoding) {
    WriteText(text + "\r\n", encoding);
}

void TLpIOHandler::WriteLineDotStuffed(const std::string& text,
                                       const TLpTextEncodingPtr& encoding) {
    if (!text.empty() && text[0] == '.') {
        WriteLine("." + text, encoding);
        return;
    }
    WriteLine(text, encoding);
}

void TLpIOHandler::WriteDotStuffedLines(const std::vector<std::string>& lines, bool writeTerminator,
                                        const TLpTextEncodingPtr& encoding) {
    for (const auto& line : lines) WriteLineDotStuffed(line, encoding);
    if (writeTerminator) WriteLine(".", encoding);
}

void TLpIOHandler::WriteLines(const std::vector<std::string>& lines, bool writeCount,
                              const TLpTextEncodingPtr& encoding) {
    const bool started = !IsWriteBuffering();
    if (started) BeginWriteBuffering(-1);
    try {
        if (writeCount) {
            uint32_t n = static_cast<uint32_t>(lines.size());
            const uint8_t count[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8),
                                      uint8_t(n)};
            WriteBytes(count, 4);
        }
        for (const auto& line : lines) WriteLine(line, encoding);
        if (started) EndWriteBuffering();
    } catch (...) {
        if (started) CancelWriteBuffering();
        throw;
    }
}

void TLpIOHandler::WriteStream(std::istream& stream, int64_t size, bool writeByteCount) {
    if (size == 0) {
        stream.clear();
        stream.seekg(0, std::ios::beg);
    }
    if (size <= 0) {
        auto here = stream.tellg();
        stream.seekg(0, std::ios::end);
        auto end = stream.tellg();
        stream.seekg(here, std::ios::beg);
        size = here < 0 || end < 0 ? 0 : static_cast<int64_t>(end - here);
    }
    if (writeByteCount) {
        if (m_largeStream) {
            uint8_t b[8];
            for (int i = 0; i < 8; ++i) b[i] = uint8_t(uint64_t(size) >> (56 - 8 * i));
            WriteBytes(b, 8);
        } else {
            if (size >= (int64_t(1) << 31))
                throw ELpIOHandlerRequiresLargeStream(
                    "Set LargeStream to True to send streams greater than 2GB");
            uint8_t b[4] = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8),
                            uint8_t(size)};
            WriteBytes(b, 4);
        }
    }
    TLpBytes chunk(static_cast<size_t>(std::max(m_sendBufferSize, 1)));
    while (size > 0) {
        std::streamsize want = static_cast<std::streamsize>(std::min<int64_t>(size, chunk.size()));
        stream.read(reinterpret_cast<char*>(chunk.data()), want);
        std::streamsize got = stream.gcount();
        if (got <= 0) throw ELpNoDataToRead("No data to read.");
        WriteBytes(chunk.data(), static_cast<int>(got));
        size -= got;
    }
}

void TLpIOHandler::BeginWriteBuffering(int threshold) {
    if (!m_writeBuffer) m_writeBuffer = std::make_unique<TLpBuffer>();
    m_writeBuffer->Clear();
    m_writeBufferThreshold = threshold;
}

void TLpIOHandler::FlushWriteBuffer(int byteCount) {
    if (!m_writeBuffer || m_writeBuffer->Size() == 0) return;
    int n = byteCount < 0 ? m_writeBuffer->Size() : std::min(byteCount, m_writeBuffer->Size());
    TLpBytes bytes;
    m_writeBuffer->ExtractToBytes(bytes, n);
    SendNow(bytes.data(), static_cast<int>(bytes.size()));
}

void TLpIOHandler::EndWriteBuffering() {
    try {
        FlushWriteBuffer(-1);
    } catch (...) {
        m_writeBuffer.reset();
        throw;
    }
    m_writeBuffer.reset();
}

void TLpIOHandler::ClearWriteBuffer() {
    if (m_writeBuffer) m_writeBuffer->Clear();
}

void TLpIOHandler::CancelWriteBuffering() {
    ClearWriteBuffer();
    EndWriteBuffering();
}

}  // namespace larkpost
