// A whole send against a server that answers with arbitrary bytes: greeting, EHLO or HELO, AUTH
// LOGIN or any SASL mechanism of the main window's list (their challenge parsers see hostile
// text), the envelope with refusals, DATA and QUIT. Whatever arrives, the client ends with one of
// our exceptions or a sent message, never crashes and never leaks; an exception of another kind
// escapes and is reported by the fuzzer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "MemoryHandler.h"
#include "mail/Message.h"
#include "platform/Exception.h"
#include "smtp/SMTP.h"
#include "support/MainWindowMechanisms.h"

using namespace larkpost;
using larkpost::fuzz::TMemoryHandler;

namespace {

// LARKPOST_FUZZ_TRACE=1 prints how each input ended, for checking that a new seed gets as far
// as it should.
bool Tracing() {
    static const bool on = std::getenv("LARKPOST_FUZZ_TRACE") != nullptr;
    return on;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte chooses the client's settings, the rest is what the server sends.
    const uint8_t choice = data[0];
    TMemoryHandler handler(data + 1, size - 1);

    MainWindowMechanisms mechanisms("user", "This is a test.");

    TLpSMTP smtp;
    smtp.SetIOHandler(&handler);
    smtp.SetHost("mx.test");
    smtp.SetPort(25);
    smtp.SetReadTimeout(1);
    smtp.SetHeloName("client.test");
    smtp.SetUseEhlo((choice & 4) == 0);
    smtp.SetAuthType((choice & 3) == 1 ? satDefault : (choice & 3) == 0 ? satNone : satSASL);
    smtp.SetUsername("user");
    smtp.SetPassword("This is a test.");
    smtp.SetValidateAuthLoginCapability((choice & 8) != 0);
    mechanisms.AddTo(smtp.SASLMechanisms());
    if (choice & 16) {
        // The workflow's way: every refused recipient reported, the send goes on.
        smtp.OnFailedRecipient = [](TLpBaseComponent*, const std::string&, const std::string&,
                                    const std::string&, bool&) {};
    }

    TLpMessage message;
    message.SetNoEncode(true);
    message.From().SetAddress("alice@example.test");
    message.Recipients().Add().SetAddress("bob@example.test");
    message.CCList().Add().SetAddress("carol@example.test");
    message.InputHeaders().Add("Subject: test");
    message.SetBody({"Hi.", ".", ".. two dots"});

    try {
        smtp.EstablishConnection();
        smtp.SubmitMessage(message);
        if (choice & 32) smtp.SubmitMessage(message);  // a second message on the same connection
        smtp.CloseConnection();
        if (Tracing()) std::fprintf(stderr, "sent\n");
    } catch (const ELpException& e) {
        if (Tracing()) std::fprintf(stderr, "%s: %s\n", e.ClassName(), e.what());
    }
    try {
        smtp.CloseConnection(false);
    } catch (const ELpException&) {
    }
    return 0;
}
