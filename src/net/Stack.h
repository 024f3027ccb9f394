// The process-wide sockets layer on POSIX sockets and getaddrinfo: name resolution, the socket
// calls, and the socket error numbers and texts every message of the transport is keyed by.
// errno and resolver codes are translated to those numbers in one place (TranslateErrno,
// TranslateResolverError), so "Socket Error # 10061" reads the same on every platform.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace larkpost {

// A fixed underlying type: a value from outside (a settings file) may hold any number.
enum TLpIPVersion : int { Lp_IPv4 = 0, Lp_IPv6 = 1 };

// Socket error numbers used in messages (the numbering of the original platform).
namespace lpsock {
constexpr int kInterrupted = 10004;
constexpr int kBadFile = 10009;
constexpr int kAccessDenied = 10013;
constexpr int kInvalidArgument = 10022;
constexpr int kNotSocket = 10038;
constexpr int kAddressFamilyNotSupported = 10047;
constexpr int kConnectionAborted = 10053;
constexpr int kConnectionReset = 10054;
constexpr int kShutdown = 10058;
constexpr int kTimedOut = 10060;
constexpr int kConnectionRefused = 10061;
constexpr int kHostNotFound = 11001;
constexpr int kTryAgain = 11002;
constexpr int kNoRecovery = 11003;
constexpr int kNoData = 11004;
}  // namespace lpsock

class TLpStack {
public:
    // The one instance; it exists while any component does (see IncUsage / DecUsage).
    static TLpStack& Instance();
    static void IncUsage();
    static void DecUsage();
    static int UsageCount();

    // "LOCALHOST" in any case, literals and everything else through LookupHost.
    std::string ResolveAddress(const std::string& host, TLpIPVersion ipVersion);
    static bool IsIPv4Literal(const std::string& text);
    // True for a text inet_pton accepts as an IPv6 address.
    static bool IsIPv6Literal(const std::string& text);
    // The canonical text of an IPv6 literal: eight upper-case groups without leading zeros.
    static std::string CanonicalIPv6(const std::string& text);
    // The first address getaddrinfo gives for the name; resolver failures raise the socket error.
    std::string LookupHost(const std::string& name, TLpIPVersion ipVersion);

    // "Socket Error # %d\r\n%s".
    static std::string SocketErrorText(int code);
    // The text alone (empty for a number outside the table).
    static std::string SocketErrorDescription(int code);
    // ELpNotASocket for 10038, ELpSocketError otherwise.
    [[noreturn]] static void ThrowSocketError(int code);
    // Raises the calling thread's last socket error (errno, translated).
    [[noreturn]] static void RaiseLastSocketError();

    // errno value to socket error number; values without a counterpart pass unchanged.
    static int TranslateErrno(int errnoValue);
    // getaddrinfo result to socket error number (EAI_SYSTEM reads errno).
    static int TranslateResolverError(int eaiCode);
    // The last socket error of the calling thread, translated.
    static int LastError();

    TLpStack(const TLpStack&) = delete;
    TLpStack& operator=(const TLpStack&) = delete;

private:
    TLpStack() = default;
};

}  // namespace larkpost
