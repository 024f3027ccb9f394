// The reply reader fed an arbitrary byte stream through an in-memory handler: it either gives a
// reply or raises one of our exceptions, never crashes, and every error it raises is one of ours.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "MemoryHandler.h"
#include "net/TCPConnection.h"
#include "platform/Exception.h"
#include "smtp/ReplySMTP.h"

using namespace larkpost;
using larkpost::fuzz::TMemoryHandler;

namespace {

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
