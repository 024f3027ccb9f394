#include "net/Stack.h"

#include <arpa/inet.h>
#include <idn2.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "net/Exceptions.h"

namespace larkpost {

namespace {

std::mutex& UsageLock() {
    static std::mutex lock;
    return lock;
}
int g_usageCount = 0;
std::unique_ptr<TLpStack>& StackInstance() {
    static std::unique_ptr<TLpStack> instance;
    return instance;
}

std::string TrimBlanks(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

// One field of a dotted quad: the trimmed text as a decimal integer, or -1.
int QuadField(const std::string& field) {
    std::string t = TrimBlanks(field);
    if (t.empty() || t.size() > 10) return -1;
    size_t i = 0;
    bool negative = false;
    if (t[0] == '+' || t[0] == '-') {
        negative = t[0] == '-';
        i = 1;
    }
    if (i >= t.size()) return -1;
    long long v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return -1;
        v = v * 10 + (t[i] - '0');
    }
    if (negative) v = -v;
    return v < 0 || v > 255 ? -1 : static_cast<int>(v);
}

}  // namespace

TLpStack& TLpStack::Instance() {
    std::lock_guard<std::mutex> guard(UsageLock());
    auto& instance = StackInstance();
    if (!instance) instance.reset(new TLpStack());
    return *instance;
}

void TLpStack::IncUsage() {
    std::lock_guard<std::mutex> guard(UsageLock());
    if (g_usageCount++ == 0 && !StackInstance()) StackInstance().reset(new TLpStack());
}

void TLpStack::DecUsage() {
    std::lock_guard<std::mutex> guard(UsageLock());
    if (g_usageCount > 0 && --g_usageCount == 0) StackInstance().reset();
}

int TLpStack::UsageCount() {
    std::lock_guard<std::mutex> guard(UsageLock());
    return g_usageCount;
}

namespace {
// The four fields of a dotted quad, by the rule of IsIPv4Literal.
bool ParseIPv4Literal(const std::string& text, int (&fields)[4]) {
    std::string rest = text;
    for (int i = 0; i < 4; ++i) {
        size_t dot = rest.find('.');
        std::string field;
        if (dot == std::string::npos) {
            if (i < 3) return false;
            field = rest;
            rest.clear();
        } else {
            field = rest.substr(0, dot);
            rest = rest.substr(dot + 1);
        }
        fields[i] = QuadField(field);
        if (fields[i] < 0) return false;
    }
    return rest.empty();
}
}  // namespace

bool TLpStack::IsIPv4Literal(const std::string& text) {
    int fields[4];
    return ParseIPv4Literal(text, fields);
}

std::string TLpStack::IPv4LiteralAddress(const std::string& text) {
    int f[4];
    if (!ParseIPv4Literal(text, f)) return std::string();
    return std::to_string(f[0]) + "." + std::to_string(f[1]) + "." + std::to_string(f[2]) + "." +
           std::to_string(f[3]);
}

bool TLpStack::IsIPv6Literal(const std::string& text) {
    in6_addr addr{};
    return inet_pton(AF_INET6, text.c_str(), &addr) == 1;
}

namespace {
std::string IPv6Text(const uint8_t* bytes) {
    std::string out;
    char group[8];
    for (int i = 0; i < 8; ++i) {
        unsigned v = (bytes[2 * i] << 8) | bytes[2 * i + 1];
        std::snprintf(group, sizeof group, "%X", v);
        if (i) out += ':';
        out += group;
    }
    return out;
}
}  // namespace

std::string TLpStack::CanonicalIPv6(const std::string& text) {
    in6_addr addr{};
    if (inet_pton(AF_INET6, text.c_str(), &addr) != 1) return text;
    return IPv6Text(addr.s6_addr);
}

std::string TLpStack::IPv6HostLiteral(const std::string& host) {
    std::string text = host;
    // RFC 3986 writes an IPv6 address in brackets; a user may copy it that way.
    if (text.size() > 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    return IsIPv6Literal(text) ? CanonicalIPv6(text) : std::string();
}

std::string TLpStack::ToAsciiHostName(const std::string& name) {
    bool ascii = true;
    for (unsigned char c : name) ascii = ascii && c < 0x80;
    if (ascii) return name;
    const auto refuse = [&]() -> std::string {
        throw ELpInvalidHostName("Cannot look up the host \"" + name +
                                 "\": the name has no valid international (IDNA) form.");
    };
    // A NUL would cut the name short and a shorter name would be looked up.
    if (name.find('\0') != std::string::npos) return refuse();
    // UTF-8 in, whatever the locale: the locale's charset may be plain ASCII. Non-transitional
    // processing first (IDNA2008 with the UTS #46 mapping, so "ß" stays "ß"); names that only
    // the older rules allow get the transitional form, as browsers do.
    char* converted = nullptr;
    int rc = idn2_to_ascii_8z(name.c_str(), &converted, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    if (rc == IDN2_DISALLOWED)
        rc = idn2_to_ascii_8z(name.c_str(), &converted, IDN2_NFC_INPUT | IDN2_TRANSITIONAL);
    if (rc != IDN2_OK || converted == nullptr) return refuse();
    std::string result = converted;
    idn2_free(converted);
    return result;
}

std::string TLpStack::ResolveAddress(const std::string& host, TLpIPVersion ipVersion) {
    auto upper = [](std::string s) {
        for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return s;
    };
    switch (ipVersion) {
        case Lp_IPv4:
            if (upper(host) == "LOCALHOST") return "127.0.0.1";
            if (IsIPv4Literal(host)) return IPv4LiteralAddress(host);
            return LookupHost(host, Lp_IPv4);
        case Lp_IPv6:
            if (upper(host) == "LOCALHOST") return "::1";
            if (IsIPv6Literal(host)) return CanonicalIPv6(host);
            return LookupHost(host, Lp_IPv6);
    }
    throw ELpIPVersionUnsupported("The requested IPVersion / Address family is not supported.");
}

namespace {
TLpResolverHook& ResolverHook() {
    static TLpResolverHook hook;
    return hook;
}
}  // namespace

void TLpStack::SetResolverHook(TLpResolverHook hook) {
    ResolverHook() = std::move(hook);
}

std::string TLpStack::LookupHost(const std::string& name, TLpIPVersion ipVersion) {
    return LookupHostAddresses(name, ipVersion == Lp_IPv6 ? AF_INET6 : AF_INET).front().IP;
}

std::vector<TLpSocketAddress> TLpStack::LookupHostAddresses(const std::string& name, int family) {
    const std::string ascii = ToAsciiHostName(name);
    std::vector<TLpSocketAddress> addresses;
    if (ResolverHook()) {
        int rc = ResolverHook()(ascii, family, addresses);
        if (rc != 0) ThrowSocketError(TranslateResolverError(rc));
        if (addresses.empty()) ThrowSocketError(lpsock::kNoData);
        return addresses;
    }
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    errno = 0;
    int rc = getaddrinfo(ascii.c_str(), nullptr, &hints, &result);
    if (rc != 0) ThrowSocketError(TranslateResolverError(rc));
    std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> guard(result, &freeaddrinfo);
    for (const addrinfo* ai = result; ai; ai = ai->ai_next) {
        if (!ai->ai_addr) continue;
        TLpSocketAddress address;
        if (ai->ai_family == AF_INET) {
            const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
            const auto* b = reinterpret_cast<const uint8_t*>(&sin->sin_addr);
            address.IP = std::to_string(b[0]) + "." + std::to_string(b[1]) + "." +
                         std::to_string(b[2]) + "." + std::to_string(b[3]);
        } else if (ai->ai_family == AF_INET6) {
            address.IPVersion = Lp_IPv6;
            address.IP =
                IPv6Text(reinterpret_cast<const sockaddr_in6*>(ai->ai_addr)->sin6_addr.s6_addr);
        } else {
            continue;
        }
        bool seen = false;
        for (const auto& a : addresses) seen = seen || (a.IP == address.IP);
        if (!seen) addresses.push_back(std::move(address));
    }
    if (addresses.empty()) ThrowSocketError(lpsock::kNoData);
    return addresses;
}

std::string TLpStack::SocketErrorDescription(int code) {
    switch (code) {
        case 10004:
            return "Interrupted system call.";
        case 10009:
            return "Bad file number.";
        case 10013:
            return "Access denied.";
        case 10014:
            return "Buffer fault.";
        case 10022:
            return "Invalid argument.";
        case 10024:
            return "Too many open files.";
        case 10035:
            return "Operation would block.";
        case 10036:
            return "Operation now in progress.";
        case 10037:
            return "Operation already in progress.";
        case 10038:
            return "Socket operation on non-socket.";
        case 10039:
            return "Destination address required.";
        case 10040:
            return "Message too long.";
        case 10041:
            return "Protocol wrong type for socket.";
        case 10042:
            return "Bad protocol option.";
        case 10043:
            return "Protocol not supported.";
        case 10044:
            return "Socket type not supported.";
        case 10045:
            return "Operation not supported on socket.";
        case 10046:
            return "Protocol family not supported.";
        case 10047:
            return "Address family not supported by protocol family.";
        case 10048:
            return "Address already in use.";
        case 10049:
            return "Cannot assign requested address.";
        case 10050:
            return "Network is down.";
        case 10051:
            return "Network is unreachable.";
        case 10052:
            return "Net dropped connection or reset.";
        case 10053:
            return "Software caused connection abort.";
        case 10054:
            return "Connection reset by peer.";
        case 10055:
            return "No buffer space available.";
        case 10056:
            return "Socket is already connected.";
        case 10057:
            return "Socket is not connected.";
        case 10058:
            return "Cannot send or receive after socket is closed.";
        case 10059:
            return "Too many references, cannot splice.";
        case 10060:
            return "Connection timed out.";
        case 10061:
            return "Connection refused.";
        case 10062:
            return "Too many levels of symbolic links.";
        case 10063:
            return "File name too long.";
        case 10064:
            return "Host is down.";
        case 10065:
            return "No route to host.";
        case 10066:
            return "Directory not empty";
        case 11001:
            return "Host not found.";
        default:
            return std::string();
    }
}

std::string TLpStack::SocketErrorText(int code) {
    return "Socket Error # " + std::to_string(code) + "\r\n" + SocketErrorDescription(code);
}

void TLpStack::ThrowSocketError(int code) {
    if (code == lpsock::kNotSocket) throw ELpNotASocket(code, SocketErrorText(code));
    throw ELpSocketError(code, SocketErrorText(code));
}

void TLpStack::RaiseLastSocketError() {
    ThrowSocketError(LastError());
}

int TLpStack::TranslateErrno(int e) {
    // The one table from errno to the numbers the messages are keyed by.
    switch (e) {
        case EINTR:
            return 10004;
        case EBADF:
            return 10009;
        case EACCES:
            return 10013;
        case EPERM:
            return 10013;
        case EFAULT:
            return 10014;
        case EINVAL:
            return 10022;
        case EMFILE:
            return 10024;
        case ENFILE:
            return 10024;
        case EWOULDBLOCK:
            return 10035;
        case EINPROGRESS:
            return 10036;
        case EALREADY:
            return 10037;
        case ENOTSOCK:
            return 10038;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return 10040;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
        case ESOCKTNOSUPPORT:
            return 10044;
        case EOPNOTSUPP:
            return 10045;
        case EPFNOSUPPORT:
            return 10046;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return 10048;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
            return 10054;
        case ENOBUFS:
            return 10055;
        case ENOMEM:
            return 10055;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return 10057;
        // A send on a connection whose sending side is gone (POSIX reports a broken pipe).
        case EPIPE:
            return 10058;
        case ESHUTDOWN:
            return 10058;
        case ETOOMANYREFS:
            return 10059;
        case ETIMEDOUT:
            return 10060;
        case ECONNREFUSED:
            return 10061;
        case ELOOP:
            return 10062;
        case ENAMETOOLONG:
            return 10063;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        case ENOTEMPTY:
            return 10066;
        default:
            return e;
    }
}

int TLpStack::TranslateResolverError(int eai) {
    switch (eai) {
        case EAI_AGAIN:
            return lpsock::kTryAgain;
        case EAI_BADFLAGS:
            return 10022;
        case EAI_FAIL:
            return lpsock::kNoRecovery;
        case EAI_FAMILY:
            return 10047;
        case EAI_MEMORY:
            return 8;
        case EAI_NODATA:
            return lpsock::kNoData;
        case EAI_ADDRFAMILY:
            return lpsock::kNoData;
        case EAI_NONAME:
            return lpsock::kHostNotFound;
        case EAI_SERVICE:
            return 10109;
        case EAI_SOCKTYPE:
            return 10044;
        case EAI_SYSTEM:
            return errno ? TranslateErrno(errno) : lpsock::kNoRecovery;
        default:
            return eai >= 10000 ? eai : lpsock::kNoRecovery;
    }
}

int TLpStack::LastError() {
    return TranslateErrno(errno);
}

}  // namespace larkpost
