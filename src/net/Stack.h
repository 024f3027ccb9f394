// The process-wide sockets layer on POSIX sockets and getaddrinfo: name resolution, the socket
// calls, and the socket error numbers and texts every message of the transport is keyed by.
// errno and resolver codes are translated to those numbers in one place (TranslateErrno,
// TranslateResolverError), so "Socket Error # 10061" reads the same on every platform.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

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

// One address a host name stands for, as the socket calls take it.
struct TLpSocketAddress {
    TLpIPVersion IPVersion = Lp_IPv4;
    // Four decimal fields joined by "."; or eight upper-case hexadecimal groups joined by ":".
    std::string IP;
};

// Stands in for getaddrinfo in tests: given the name as it would be looked up (already in its
// ASCII form) and the address family, fills the addresses in order and returns 0, or returns a
// getaddrinfo error code.
using TLpResolverHook = std::function<int(const std::string& asciiName, int family,
                                          std::vector<TLpSocketAddress>& addresses)>;

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
    // The address an IPv4 literal stands for, written plainly ("+127.000.000.001 " gives
    // "127.0.0.1"); empty when IsIPv4Literal would say no.
    static std::string IPv4LiteralAddress(const std::string& text);
    // True for a text inet_pton accepts as an IPv6 address.
    static bool IsIPv6Literal(const std::string& text);
    // The canonical text of an IPv6 literal: eight upper-case groups without leading zeros.
    static std::string CanonicalIPv6(const std::string& text);
    // A host text that is an IPv6 literal, plain ("::1") or in brackets ("[::1]"), gives its
    // canonical text; anything else gives "".
    static std::string IPv6HostLiteral(const std::string& host);
    // The IDNA ASCII form of a host name (RFC 5891); a name of ASCII characters only is returned
    // as it is. The text is taken as UTF-8 whatever the locale. A name that has no such form
    // raises ELpInvalidHostName.
    static std::string ToAsciiHostName(const std::string& name);
    // The first address getaddrinfo gives for the name; resolver failures raise the socket error.
    std::string LookupHost(const std::string& name, TLpIPVersion ipVersion);
    // Every address getaddrinfo gives for the name, in its order (family AF_INET, AF_INET6 or
    // AF_UNSPEC); resolver failures raise the socket error.
    std::vector<TLpSocketAddress> LookupHostAddresses(const std::string& name, int family);
    // Replaces getaddrinfo until reset with an empty hook (tests only).
    static void SetResolverHook(TLpResolverHook hook);

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
