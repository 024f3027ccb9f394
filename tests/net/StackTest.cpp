// Name resolution helpers and the socket error numbering.
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>

#include "net/Component.h"
#include "net/Exceptions.h"
#include "net/Stack.h"

namespace larkpost {
namespace {

TEST(Stack, IPv4Literals) {
    struct Case {
        const char* text;
        bool literal;
    };
    const Case cases[] = {
        {"127.0.0.1", true},   {"0.0.0.0", true},    {"255.255.255.255", true},
        {" 10 . 1.2.3", true}, {"1.2.3.4.", true},   {"256.1.1.1", false},
        {"1.2.3", false},      {"1.2.3.4.5", false}, {"a.b.c.d", false},
        {"", false},           {"1..2.3", false},    {"-1.2.3.4", false},
        {"localhost", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(TLpStack::IsIPv4Literal(c.text), c.literal);
    }
}

TEST(Stack, HostLiteralsGiveTheAddressToConnectTo) {
    struct Case {
        const char* text;
        const char* ipv4;  // "" when not an IPv4 literal
        const char* ipv6;  // "" when not an IPv6 literal
    };
    const Case cases[] = {
        {"127.0.0.1", "127.0.0.1", ""},
        {" 10 . 1.2.3", "10.1.2.3", ""},
        {"127.000.000.001", "127.0.0.1", ""},
        {"+127.0.0.1 ", "127.0.0.1", ""},
        {"-0.0.0.0", "0.0.0.0", ""},
        {"256.1.1.1", "", ""},
        {"::1", "", "0:0:0:0:0:0:0:1"},
        {"[::1]", "", "0:0:0:0:0:0:0:1"},
        {"[fe80::a:1]", "", "FE80:0:0:0:0:0:A:1"},
        {"::ffff:127.0.0.1", "", "0:0:0:0:0:FFFF:7F00:1"},
        {"[::1", "", ""},
        {"[127.0.0.1]", "", ""},
        {" ::1", "", ""},
        {"mx.test", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(TLpStack::IPv4LiteralAddress(c.text), c.ipv4);
        EXPECT_EQ(TLpStack::IPv6HostLiteral(c.text), c.ipv6);
    }
}

TEST(Stack, HostNamesAreLookedUpInTheirIdnaForm) {
    struct Case {
        const char* name;
        const char* ascii;
    };
    const Case cases[] = {
        {"mx.example", "mx.example"},
        {"MX.Example", "MX.Example"},
        {"b\xC3\xBC"
         "cher.example",
         "xn--bcher-kva.example"},
        {"B\xC3\x9C"
         "CHER.example",
         "xn--bcher-kva.example"},
        // Non-transitional: the sharp s is kept, not turned into "ss".
        {"fa\xC3\x9F.de", "xn--fa-hia.de"},
        {"\xE4\xBE\x8B\xE3\x81\x88.\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88", "xn--r8jz45g.xn--zckzah"},
        {"xn--bcher-kva.example", "xn--bcher-kva.example"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(TLpStack::ToAsciiHostName(c.name), c.ascii);
    }
    EXPECT_THROW(TLpStack::ToAsciiHostName(std::string("b\xC3\xBC\0.evil.test", 13)),
                 ELpInvalidHostName);
}

TEST(Stack, ResolveAddress) {
    TLpComponent keepAlive;
    TLpStack& stack = TLpStack::Instance();
    EXPECT_EQ(stack.ResolveAddress("LOCALHOST", Lp_IPv4), "127.0.0.1");
    EXPECT_EQ(stack.ResolveAddress("localhost", Lp_IPv6), "::1");
    EXPECT_EQ(stack.ResolveAddress("10.1.2.3", Lp_IPv4), "10.1.2.3");
    EXPECT_EQ(stack.ResolveAddress("fe80::0a:1", Lp_IPv6), "FE80:0:0:0:0:0:A:1");
    EXPECT_EQ(stack.LookupHost("localhost", Lp_IPv4), "127.0.0.1");
    EXPECT_THROW(stack.ResolveAddress("x", static_cast<TLpIPVersion>(7)), ELpIPVersionUnsupported);
}

TEST(Stack, PlatformErrorsMapToTheMessageNumbers) {
    struct Case {
        int platform;
        bool resolver;
        int code;
    };
    const Case cases[] = {
        {ECONNREFUSED, false, 10061}, {ETIMEDOUT, false, 10060},   {ECONNRESET, false, 10054},
        {EHOSTUNREACH, false, 10065}, {ENETUNREACH, false, 10051}, {EADDRINUSE, false, 10048},
        {ENOTSOCK, false, 10038},     {EPIPE, false, 10058},       {EINTR, false, 10004},
        {EAI_NONAME, true, 11001},    {EAI_AGAIN, true, 11002},    {EAI_FAIL, true, 11003},
        {EAI_NODATA, true, 11004},    {EAI_FAMILY, true, 10047},   {EAI_MEMORY, true, 8},
        {EAI_SERVICE, true, 10109},   {EAI_SOCKTYPE, true, 10044}, {EAI_BADFLAGS, true, 10022},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.platform);
        EXPECT_EQ(c.resolver ? TLpStack::TranslateResolverError(c.platform)
                             : TLpStack::TranslateErrno(c.platform),
                  c.code);
    }
}

TEST(Stack, SocketErrorMessages) {
    EXPECT_EQ(TLpStack::SocketErrorText(10061), "Socket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(TLpStack::SocketErrorText(11001), "Socket Error # 11001\r\nHost not found.");
    EXPECT_EQ(TLpStack::SocketErrorText(10066), "Socket Error # 10066\r\nDirectory not empty");
    EXPECT_EQ(TLpStack::SocketErrorText(11002), "Socket Error # 11002\r\n");
    try {
        TLpStack::ThrowSocketError(10038);
    } catch (const ELpNotASocket& e) {
        EXPECT_EQ(e.ErrorCode(), 10038);
        EXPECT_STREQ(e.what(), "Socket Error # 10038\r\nSocket operation on non-socket.");
        EXPECT_STREQ(e.ClassName(), "ELpNotASocket");
    }
}

TEST(Component, StatusTextsAndUsageCount) {
    int before = TLpStack::UsageCount();
    {
        TLpComponent c;
        EXPECT_EQ(TLpStack::UsageCount(), before + 1);
        std::vector<std::string> seen;
        c.ReportStatus(hsConnected);  // no handler: nothing happens
        c.OnStatus = [&](TLpComponent* sender, TLpStatus s, const std::string& text) {
            EXPECT_EQ(sender, &c);
            seen.push_back(std::to_string(s) + " " + text);
        };
        c.ReportStatus(hsResolving, "mx.test");
        c.ReportStatus(hsConnecting, "127.0.0.1");
        c.ReportStatus(hsConnected, "ignored");
        c.ReportStatus(hsDisconnecting);
        c.ReportStatus(hsDisconnected);
        c.ReportStatus(hsStatusText, "free text");
        EXPECT_EQ(seen, (std::vector<std::string>{
                            "0 Resolving hostname mx.test.", "1 Connecting to 127.0.0.1.",
                            "2 Connected.", "3 Disconnecting.", "4 Disconnected.", "5 free text"}));
    }
    EXPECT_EQ(TLpStack::UsageCount(), before);
}

}  // namespace
}  // namespace larkpost
