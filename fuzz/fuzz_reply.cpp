// The reply reader fed an arbitrary byte stream through an in-memory handler: it either gives a
// reply or raises one of our exceptions, never crashes, and every error it raises is one of ours.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "net/TCPConnection.h"
#include "platform/Exception.h"
#include "smtp/ReplySMTP.h"

using namespace larkpost;

namespace {

class TMemoryHandler : public TLpIOHandler {
public:
    TMemoryHandler(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool WaitReadable(int) override { return true; }

protected:
    int ReceiveFromSocket(uint8_t* data, int length) override {
        // Small chunks so lines straddle fills.
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

class TSmtpConnection : public TLpTCPConnection {
protected:
    std::unique_ptr<TLpReply> NewReply() const override { return std::make_unique<TLpReplySMTP>(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TMemoryHandler handler(data, size);
    handler.SetReadTimeout(1);
    handler.OpenHandler();
    TSmtpConnection connection;
    connection.SetIOHandler(&handler);
    for (int i = 0; i < 4; ++i) {
        try {
            connection.AwaitReply({250, 354});
        } catch (const ELpException&) {
        }
        auto& reply = static_cast<TLpReplySMTP&>(connection.LastReply());
        (void)reply.EnhancedCode().ReplyAsStr();
        // A class such as "55" passes the well-formed test but not the class rule: raising the
        // error then fails with the class error, which is still one of ours.
        try {
            reply.RaiseAsError();
        } catch (const ELpException&) {
        }
    }
    connection.SetIOHandler(nullptr);
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (TLpSMTPEnhancedCode::IsWellFormedCode(text)) {
        TLpSMTPEnhancedCode enhanced;
        try {
            enhanced.SetReplyAsStr(text);
        } catch (const ELpException&) {
            std::abort();  // a well-formed code must be accepted
        }
    }
    return 0;
}
