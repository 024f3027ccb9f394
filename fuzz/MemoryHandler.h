// An I/O handler whose peer is a fixed byte string: what the client writes is dropped, what it
// reads comes from the string in small chunks (so lines straddle buffer fills), and the end of
// the string is the peer's close.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "net/IOHandler.h"
#include "platform/Exception.h"

namespace larkpost::fuzz {

class TMemoryHandler : public TLpIOHandler {
public:
    TMemoryHandler(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool WaitReadable(int) override { return true; }

protected:
    int ReceiveFromSocket(uint8_t* data, int length) override {
        const size_t n = std::min<size_t>({static_cast<size_t>(length), m_size - m_pos, 7});
        std::memcpy(data, m_data + m_pos, n);
        m_pos += n;
        return static_cast<int>(n);
    }
    int SendToSocket(const uint8_t*, int length) override { return length; }
    bool SocketAvailable() override { return true; }
    int ErrorCodeOf(int callResult) override { return callResult; }
    [[noreturn]] void RaiseSocketFailure(int code) override {
        throw ELpException("socket failure " + std::to_string(code));
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};

}  // namespace larkpost::fuzz
