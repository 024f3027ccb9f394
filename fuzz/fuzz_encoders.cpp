// Quoted-printable and base64 encoders against independent decoders: the bytes come back
// identical, and no output line is longer than the encodings allow or starts with ".".
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "FuzzSupport.h"
#include "mail/Encoders.h"

using namespace larkpost;

namespace {

std::string DecodeBase64Lines(const std::string& text) {
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) std::abort();  // every line ends in CR LF
        const std::string line = text.substr(pos, end - pos);
        if (line.size() > 76 || line.size() % 4 != 0) std::abort();
        for (char c : line) {
            if (c == '=') continue;
            const int v = fuzz::Sextet(c);
            if (v < 0) std::abort();
            bits = (bits << 6) | static_cast<uint32_t>(v);
            if (++count == 4) {
                out.push_back(static_cast<char>(bits >> 16));
                out.push_back(static_cast<char>(bits >> 8));
                out.push_back(static_cast<char>(bits));
                bits = 0;
                count = 0;
            }
        }
        if (count == 2) out.push_back(static_cast<char>(bits >> 4));
        if (count == 3) {
            out.push_back(static_cast<char>(bits >> 10));
            out.push_back(static_cast<char>(bits >> 2));
        }
        bits = 0;
        count = 0;
        pos = end + 2;
    }
    return out;
}

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    std::abort();  // upper-case digits only
}

// Hard line ends come back as CR LF: the encoder reads CR, LF and CR LF alike as line ends.
std::string DecodeQuotedPrintable(const std::string& text) {
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) std::abort();
        const std::string line = text.substr(pos, end - pos);
        if (line.size() > 73 || (!line.empty() && line[0] == '.')) std::abort();
        bool soft = false;
        for (size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (c != '=') {
                if (static_cast<uint8_t>(c) > 126 || (static_cast<uint8_t>(c) < 32 && c != '\t')) std::abort();
                out.push_back(c);
                continue;
            }
            if (i + 1 == line.size()) {
                soft = true;
                break;
            }
            if (i + 2 >= line.size()) std::abort();
            out.push_back(static_cast<char>(Hex(line[i + 1]) * 16 + Hex(line[i + 2])));
            i += 2;
        }
        if (!line.empty() && !soft && (line.back() == ' ' || line.back() == '\t')) std::abort();
        if (!soft) out += "\r\n";
        pos = end + 2;
    }
    return out;
}

std::string NormaliseLineEnds(const std::string& in) {
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '\r') {
            out += "\r\n";
            if (i + 1 < in.size() && in[i + 1] == '\n') ++i;
        } else if (in[i] == '\n') {
            out += "\r\n";
        } else {
            out.push_back(in[i]);
        }
    }
    if (!out.empty() && (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0)) out += "\r\n";
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    std::istringstream source(bytes);
    std::ostringstream lines;
    EncodeBase64Lines(source, lines);
    if (DecodeBase64Lines(lines.str()) != bytes) std::abort();

    // The streaming encoder fed in uneven blocks writes the same lines.
    std::string streamed;
    TLpBase64LineEncoder encoder([&](const char* d, size_t n) { streamed.append(d, n); });
    size_t pos = 0;
    size_t step = size ? data[0] % 97 + 1 : 1;
    while (pos < size) {
        const size_t n = std::min(step, size - pos);
        encoder.Write(data + pos, n);
        pos += n;
        step = step * 7 % 131 + 1;
    }
    encoder.Finish();
    if (streamed != lines.str()) std::abort();

    const std::string qp = EncodeQuotedPrintableText(bytes);
    if (DecodeQuotedPrintable(qp) != NormaliseLineEnds(bytes)) std::abort();
    return 0;
}
