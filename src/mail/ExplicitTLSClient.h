// The TCP client that knows its TLS mode and the extensions its server announced: the base the
// message writer and the SMTP session build on (STARTTLS, RFC 3207).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "net/TCPClient.h"

namespace larkpost {

enum TLpUseTLS {
    utNoTLSSupport = 0,
    utUseImplicitTLS = 1,
    utUseRequireTLS = 2,
    utUseExplicitTLS = 3,
};

// Called when the server does not offer STARTTLS; leaving vContinue true goes on in plain text.
using TLpOnTLSNegotiationFailure = std::function<void(TLpBaseComponent* Asender, bool& VContinue)>;

class TLpExplicitTLSClient : public TLpTCPClientCustom {
public:
    TLpUseTLS UseTLS() const noexcept { return m_useTLS; }
    // Stores the mode; the SMTP client overrides it with its port and handler rules.
    virtual void SetUseTLS(TLpUseTLS value) { m_useTLS = value; }

    // The lines of the last greeting reply after its first line ("SIZE", "STARTTLS", ...).
    std::vector<std::string>& ServerExtensions() noexcept { return m_serverExtensions; }
    const std::vector<std::string>& ServerExtensions() const noexcept { return m_serverExtensions; }

    TLpOnTLSNegotiationFailure OnTLSNotAvailable;

protected:
    TLpUseTLS m_useTLS = utNoTLSSupport;
    std::vector<std::string> m_serverExtensions;
};

}  // namespace larkpost
