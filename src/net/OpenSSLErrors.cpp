#include "net/OpenSSLErrors.h"

#include <cerrno>

#include "net/OpenSSLLibrary.h"
#include "net/Stack.h"

namespace larkpost {

unsigned long NextOpenSSLErrorCode() {
    const TLpOpenSSLApi& a = OpenSSLApi();
    return a.ERR_get_error != nullptr ? a.ERR_get_error() : 0;
}

std::string OpenSSLErrorString(unsigned long code) {
    return OpenSSLErrorText(code);
}

template <typename E>
void RaiseSSLError(ssl_st* ssl, int callResult, const std::string& text) {
    // errno first: nothing below may disturb the socket error a failed call left behind.
    const int lastSocketError = TLpStack::LastError();
    const TLpOpenSSLApi& a = OpenSSLApi();
    const int code = ssl != nullptr ? a.SSL_get_error(ssl, callResult) : SSL_ERROR_SYSCALL;
    const std::string prefix = text.empty() ? std::string() : text + "\r\n";
    // The socket's receive and send time-outs end a stalled handshake with "try again"; what
    // happened is the time-out, and the socket error says so.
    if ((code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) &&
        lastSocketError == TLpStack::TranslateErrno(EAGAIN))
        TLpStack::ThrowSocketError(lpsock::kTimedOut);
    if (code == SSL_ERROR_SSL) ELpOpenSSLAPICryptoError::Raise<ELpOSSLUnderlyingCryptoError>(text);
    if (code == SSL_ERROR_SYSCALL) {
        const unsigned long queued = NextOpenSSLErrorCode();
        if (queued != 0) {
            throw ELpOSSLUnderlyingCryptoError(prefix + OpenSSLErrorString(queued), queued);
        }
        if (callResult == 0) {
            throw E(prefix + "EOF was observed that violates the protocol", code, callResult);
        }
        if (callResult == -1) TLpStack::ThrowSocketError(lastSocketError);
    }
    throw E(prefix + OpenSSLErrorString(static_cast<unsigned long>(code)), code, callResult);
}

template void RaiseSSLError<ELpOpenSSLAPISSLError>(ssl_st*, int, const std::string&);
template void RaiseSSLError<ELpOSSLFDSetError>(ssl_st*, int, const std::string&);
template void RaiseSSLError<ELpOSSLDataBindingError>(ssl_st*, int, const std::string&);
template void RaiseSSLError<ELpOSSLAcceptError>(ssl_st*, int, const std::string&);
template void RaiseSSLError<ELpOSSLConnectError>(ssl_st*, int, const std::string&);

}  // namespace larkpost
