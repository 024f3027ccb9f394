// The exceptions of the transport: sockets, name resolution, connection and buffered I/O.
// Each message is written at its throw site; the classes only carry it (and a code where the
// caller needs one).
#pragma once

#include <string>

#include "platform/Exception.h"

namespace larkpost {

#define LARKPOST_NET_EXCEPTION(Name, Base)                                \
    class Name : public Base {                                            \
    public:                                                               \
        using Base::Base;                                                 \
        const char* ClassName() const noexcept override { return #Name; } \
    };

// A failure reported by the sockets layer. ErrorCode is the socket error number the messages
// are keyed by (10061 for a refused connect, 11001 for an unknown host, ...).
class ELpSocketError : public ELpException {
public:
    ELpSocketError(int errorCode, const std::string& message)
        : ELpException(message), m_errorCode(errorCode) {}
    int ErrorCode() const noexcept { return m_errorCode; }
    const char* ClassName() const noexcept override { return "ELpSocketError"; }

private:
    int m_errorCode;
};
LARKPOST_NET_EXCEPTION(ELpNotASocket, ELpSocketError)

LARKPOST_NET_EXCEPTION(ELpStackError, ELpException)
LARKPOST_NET_EXCEPTION(ELpIPVersionUnsupported, ELpStackError)
LARKPOST_NET_EXCEPTION(ELpStackInitializationFailed, ELpStackError)
// A host name that has no IDNA ASCII form, so no resolver can be asked for it.
LARKPOST_NET_EXCEPTION(ELpInvalidHostName, ELpStackError)

LARKPOST_NET_EXCEPTION(ELpSocketHandleError, ELpException)
LARKPOST_NET_EXCEPTION(ELpCouldNotBindSocket, ELpSocketHandleError)
LARKPOST_NET_EXCEPTION(ELpCanNotBindPortInRange, ELpSocketHandleError)
LARKPOST_NET_EXCEPTION(ELpInvalidPortRange, ELpSocketHandleError)
LARKPOST_NET_EXCEPTION(ELpCannotSetIPVersionWhenConnected, ELpSocketHandleError)

LARKPOST_NET_EXCEPTION(ELpSilentException, ELpException)
LARKPOST_NET_EXCEPTION(ELpConnClosedGracefully, ELpSilentException)

LARKPOST_NET_EXCEPTION(ELpAlreadyConnected, ELpException)
LARKPOST_NET_EXCEPTION(ELpHostRequired, ELpException)
LARKPOST_NET_EXCEPTION(ELpPortRequired, ELpException)
LARKPOST_NET_EXCEPTION(ELpConnectTimeout, ELpException)
LARKPOST_NET_EXCEPTION(ELpConnectException, ELpException)
LARKPOST_NET_EXCEPTION(ELpNotConnected, ELpException)
LARKPOST_NET_EXCEPTION(ELpWinsockStubError, ELpException)

// Buffered I/O.
LARKPOST_NET_EXCEPTION(ELpReadTimeout, ELpException)
LARKPOST_NET_EXCEPTION(ELpClosedSocket, ELpException)
LARKPOST_NET_EXCEPTION(ELpReadLnMaxLineLengthExceeded, ELpException)
LARKPOST_NET_EXCEPTION(ELpReadLnWaitMaxAttemptsExceeded, ELpException)
LARKPOST_NET_EXCEPTION(ELpTooMuchDataInBuffer, ELpException)
LARKPOST_NET_EXCEPTION(ELpNotEnoughDataInBuffer, ELpException)
LARKPOST_NET_EXCEPTION(ELpNoDataToRead, ELpException)
LARKPOST_NET_EXCEPTION(ELpIOHandlerRequiresLargeStream, ELpException)
LARKPOST_NET_EXCEPTION(ELpInterceptCircularLink, ELpException)

#undef LARKPOST_NET_EXCEPTION

}  // namespace larkpost
