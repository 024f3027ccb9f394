// TCP connect, resolve, status events, socket errors, read time-outs and orderly close, against
// the scripted fake server on loopback.
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "ClientFixture.h"
#include "net/Exceptions.h"
#include "net/Stack.h"
#include "support/ScriptedSmtpServer.h"

namespace larkpost {
namespace {

using Events = std::vector<std::string>;

TEST(Connection, ReportsResolvingOnlyForNamesAndConnectingWithTheAddress) {
    struct Case {
        const char* host;
        Events before;  // what comes before "Connected."
    };
    const Case cases[] = {
        {"localhost", {"Resolving hostname localhost.", "Connecting to 127.0.0.1."}},
        {"LocalHost", {"Resolving hostname LocalHost.", "Connecting to 127.0.0.1."}},
        {"127.0.0.1", {"Connecting to 127.0.0.1."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        ScriptedSmtpServer server({S("220 mx.test ready\r\n"), C("QUIT\r\n"), S("221 bye\r\n")});
        RecordingClient rc(server.Port(), c.host);
        rc.client.EstablishConnection();
        EXPECT_EQ(rc.client.AwaitReply(220), 220);
        EXPECT_EQ(rc.client.IssueCommand("QUIT", 221), 221);
        rc.client.CloseConnection();
        Events expected = c.before;
        for (const char* e : {"intercept connect", "Connected.", "OnConnected", "Disconnecting.",
                              "intercept disconnect", "OnDisconnected", "Disconnected."})
            expected.push_back(e);
        EXPECT_EQ(rc.events, expected);
        EXPECT_FALSE(rc.client.IsConnected());
        EXPECT_EQ(server.Finish(), "");
    }
}

// Every address of the host, IPv4 and IPv6, in the resolver's order: the resolver hook stands in
// for the hosts file and records the names it was asked for. The test process runs in the C
// locale, so a non-ASCII name reaches the resolver in its IDNA form without the locale's help.
struct FakeResolver {
    std::map<std::string, std::vector<TLpSocketAddress>> names;
    std::vector<std::string> asked;
    FakeResolver() {
        TLpStack::SetResolverHook(
            [this](const std::string& name, int family, std::vector<TLpSocketAddress>& out) {
                asked.push_back(name + (family == AF_UNSPEC ? "" : " (one family)"));
                auto it = names.find(name);
                if (it == names.end()) return EAI_NONAME;
                out = it->second;
                return 0;
            });
    }
    ~FakeResolver() { TLpStack::SetResolverHook(nullptr); }
};

TEST(Connection, TriesEachAddressOfTheHostAndTakesLiteralsAsTheyAre) {
    struct Case {
        const char* name;
        std::string host;
        bool serverOnIPv6;
        Events before;  // what comes before "Connected."
        std::vector<std::string> asked;
    };
    const Events v4 = {"Connecting to 127.0.0.1."};
    const Events v6 = {"Connecting to 0:0:0:0:0:0:0:1."};
    const Case cases[] = {
        {"first address refuses, second accepts", "two.test", false,
         {"Resolving hostname two.test.", "Connecting to 127.0.0.2.", "Connecting to 127.0.0.1."},
         {"two.test"}},
        {"IPv6 address refuses, IPv4 accepts", "dual.test", false,
         {"Resolving hostname dual.test.", "Connecting to 0:0:0:0:0:0:0:1.",
          "Connecting to 127.0.0.1."},
         {"dual.test"}},
        {"IPv6 only", "v6only.test", true,
         {"Resolving hostname v6only.test.", "Connecting to 0:0:0:0:0:0:0:1."}, {"v6only.test"}},
        {"non-ASCII name", "b\xC3\xBC" "cher.example", false,
         {"Resolving hostname b\xC3\xBC" "cher.example.", "Connecting to 127.0.0.1."},
         {"xn--bcher-kva.example"}},
        {"IPv6 literal", "::1", true, v6, {}},
        {"IPv6 literal in brackets", "[::1]", true, v6, {}},
        {"IPv6 literal written out", "0:0:0:0:0:0:0:1", true, v6, {}},
        {"IPv4 literal", "127.0.0.1", false, v4, {}},
        {"IPv4 literal, blank before", " 127.0.0.1", false, v4, {}},
        {"IPv4 literal, blank after", "127.0.0.1 ", false, v4, {}},
        {"IPv4 literal, leading zeros", "127.000.000.001", false, v4, {}},
        {"IPv4 literal, plus sign", "+127.0.0.1", false, v4, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeResolver resolver;
        resolver.names["two.test"] = {{Lp_IPv4, "127.0.0.2"}, {Lp_IPv4, "127.0.0.1"}};
        resolver.names["dual.test"] = {{Lp_IPv6, "0:0:0:0:0:0:0:1"}, {Lp_IPv4, "127.0.0.1"}};
        resolver.names["v6only.test"] = {{Lp_IPv6, "0:0:0:0:0:0:0:1"}};
        resolver.names["xn--bcher-kva.example"] = {{Lp_IPv4, "127.0.0.1"}};
        ScriptedSmtpServerOptions options;
        options.ipv6 = c.serverOnIPv6;
        ScriptedSmtpServer server({S("220 mx.test ready\r\n"), C("QUIT\r\n"), S("221 bye\r\n")},
                                  options);
        RecordingClient rc(server.Port(), c.host);
        rc.client.EstablishConnection();
        EXPECT_EQ(rc.client.AwaitReply(220), 220);
        EXPECT_EQ(rc.client.IssueCommand("QUIT", 221), 221);
        rc.client.CloseConnection();
        Events expected = c.before;
        expected.push_back("intercept connect");
        expected.push_back("Connected.");
        rc.events.resize(std::min(rc.events.size(), expected.size()));
        EXPECT_EQ(rc.events, expected);
        EXPECT_EQ(resolver.asked, c.asked);
        EXPECT_EQ(server.Finish(), "");
    }
}

TEST(Connection, WhenEveryAddressFailsTheLastOnesErrorIsReported) {
    FakeResolver resolver;
    resolver.names["down.test"] = {{Lp_IPv4, "127.0.0.2"}, {Lp_IPv6, "0:0:0:0:0:0:0:1"}};
    RecordingClient rc(ScriptedSmtpServer::UnusedPort(), "down.test");
    try {
        rc.client.EstablishConnection();
        ADD_FAILURE() << "connected";
    } catch (const ELpSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), 10061);
        EXPECT_STREQ(e.what(), "Socket Error # 10061\r\nConnection refused.");
    }
    EXPECT_EQ(rc.events, (Events{"Resolving hostname down.test.", "Connecting to 127.0.0.2.",
                                 "Connecting to 0:0:0:0:0:0:0:1.", "intercept disconnect"}));
    EXPECT_FALSE(rc.client.IsConnected());
}

TEST(Connection, AHostNameWithoutAnIdnaFormIsNamedInTheError) {
    struct Case {
        const char* name;
        std::string host;
    };
    const Case cases[] = {
        {"not UTF-8", "b\xFC" "cher.example"},
        {"label longer than 63 once converted", "\xC3\xBC" + std::string(70, 'a') + ".example"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeResolver resolver;
        RecordingClient rc(25, c.host);
        try {
            rc.client.EstablishConnection();
            ADD_FAILURE() << "connected";
        } catch (const ELpInvalidHostName& e) {
            EXPECT_EQ(e.what(), "Cannot look up the host \"" + c.host +
                                    "\": the name has no valid international (IDNA) form.");
            EXPECT_STREQ(e.ClassName(), "ELpInvalidHostName");
        }
        EXPECT_TRUE(resolver.asked.empty());
        EXPECT_FALSE(rc.client.IsConnected());
    }
}

TEST(Connection, RefusedAndUnresolvableHostsGiveTheSocketErrorTexts) {
    struct Case {
        const char* name;
        std::string host;
        uint16_t port;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {"nothing listens", "127.0.0.1", ScriptedSmtpServer::UnusedPort(), 10061,
         "Socket Error # 10061\r\nConnection refused."},
        {"no such name", "no-such-host.invalid", 25, 11001,
         "Socket Error # 11001\r\nHost not found."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingClient rc(c.port, c.host);
        try {
            rc.client.EstablishConnection();
            ADD_FAILURE() << "connected";
        } catch (const ELpSocketError& e) {
            EXPECT_EQ(e.ErrorCode(), c.code);
            EXPECT_STREQ(e.what(), c.message);
            EXPECT_STREQ(e.ClassName(), "ELpSocketError");
        }
        EXPECT_FALSE(rc.client.IsConnected());
        EXPECT_FALSE(rc.handler.Opened());
        // The failed connect closed the handler (the intercept heard of it) and nothing else.
        EXPECT_EQ(rc.events.back(), "intercept disconnect");
        rc.events.clear();
        rc.client.CloseConnection();
        EXPECT_TRUE(rc.events.empty());
    }
}

TEST(Connection, RequiresHostAndPortAndRefusesASecondConnect) {
    TLpIOHandlerStack handler;
    TLpTCPClient client;
    client.SetIOHandler(&handler);
    try {
        client.EstablishConnection();
        ADD_FAILURE();
    } catch (const ELpHostRequired& e) {
        EXPECT_STREQ(e.what(), "A Host is required");
    }
    client.SetHost("127.0.0.1");
    try {
        client.EstablishConnection();
        ADD_FAILURE();
    } catch (const ELpPortRequired& e) {
        EXPECT_STREQ(e.what(), "A Port is required");
    }
    ScriptedSmtpServer server({S("220 hi\r\n"), Silent(2000)});
    client.SetPort(server.Port());
    client.EstablishConnection();
    try {
        client.EstablishConnection();
        ADD_FAILURE();
    } catch (const ELpAlreadyConnected& e) {
        EXPECT_STREQ(e.what(), "Already connected.");
    }
    client.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

TEST(Connection, CommandsWithoutHandlerAreNotConnected) {
    TLpTCPClient client;
    EXPECT_FALSE(client.IsConnected());
    try {
        client.IssueCommand("NOOP", 250);
        ADD_FAILURE();
    } catch (const ELpNotConnected& e) {
        EXPECT_STREQ(e.what(), "Not Connected");
    }
    EXPECT_THROW(client.AwaitReply(-1), ELpNotConnected);
    client.CloseConnection();  // never opened: nothing happens
}

TEST(Connection, ReadTimeoutGivesEmptyLineOrReadTimedOut) {
    ScriptedSmtpServer server({S("220-first part of the greeting\r\n"), Silent(3000)});
    RecordingClient rc(server.Port(), "127.0.0.1", 300);
    rc.client.EstablishConnection();
    auto start = std::chrono::steady_clock::now();
    try {
        rc.client.AwaitReply(220);
        ADD_FAILURE() << "no time-out";
    } catch (const ELpReadTimeout& e) {
        EXPECT_STREQ(e.what(), "Read timed out.");
    }
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(250));
    // ReadLine itself returns "" and says so.
    EXPECT_EQ(rc.io().ReadLine(), "");
    EXPECT_TRUE(rc.io().ReadLineTimedOut());
    rc.client.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

TEST(Connection, ZeroAndMinusOneReadTimeoutWaitWithoutLimit) {
    for (int timeout : {0, -1}) {
        SCOPED_TRACE(timeout);
        ScriptedSmtpServer server({Delay(700), S("220 late but fine\r\n")});
        RecordingClient rc(server.Port(), "127.0.0.1", timeout);
        rc.client.EstablishConnection();
        EXPECT_EQ(rc.client.AwaitReply(220), 220);
        rc.client.CloseConnection();
        EXPECT_EQ(server.Finish(), "");
    }
}

TEST(Connection, APeerThatDripsBytesNeverTimesOut) {
    // Each wait may last the read time-out anew: 24 bytes, 3 at a time, 250 ms apart (1.75 s in
    // all) against a 600 ms time-out.
    ScriptedSmtpServer server({SDrip("220 slowly but steadily\r\n", 3, 250)});
    RecordingClient rc(server.Port(), "127.0.0.1", 600);
    rc.client.EstablishConnection();
    EXPECT_EQ(rc.client.AwaitReply(220), 220);
    EXPECT_EQ(rc.client.LastReply().Text(), std::vector<std::string>{"slowly but steadily"});
    rc.client.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

TEST(Connection, BufferedLinesStayReadableAfterThePeerClosed) {
    ScriptedSmtpServer server({S("250-a\r\n250-b\r\n250 c\r\n"), CloseNow()});
    RecordingClient rc(server.Port());
    rc.client.EstablishConnection();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // The first poll takes the lines in, the second sees the close: still connected while
    // unread lines remain.
    EXPECT_TRUE(rc.client.IsConnected());
    EXPECT_TRUE(rc.client.IsConnected());
    rc.events.clear();
    EXPECT_EQ(rc.io().ReadLine(), "250-a");
    EXPECT_EQ(rc.io().ReadLine(), "250-b");
    EXPECT_EQ(rc.io().ReadLine(), "250 c");
    try {
        rc.io().ReadLine();
        ADD_FAILURE() << "read past the close";
    } catch (const ELpConnClosedGracefully& e) {
        EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
    }
    EXPECT_THROW(rc.io().ReadLine(), ELpConnClosedGracefully);
    EXPECT_FALSE(rc.client.IsConnected());
    // The handler reported its close once when it noticed; a later CloseConnection adds nothing.
    rc.client.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
    int disconnected = 0;
    for (const auto& e : rc.events) disconnected += e == "Disconnected.";
    EXPECT_LE(disconnected, 1);
    EXPECT_EQ(std::count(rc.events.begin(), rc.events.end(), "OnDisconnected"), 0);
}

TEST(Connection, ConnectTimeoutEndsAConnectThatHangs) {
    // A listener whose backlog is full drops further SYNs, so a connect to it waits.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 0), 0);
    socklen_t length = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    uint16_t port = ntohs(addr.sin_port);
    std::vector<std::unique_ptr<RecordingClient>> fillers;
    bool hung = false;
    for (int i = 0; i < 8 && !hung; ++i) {
        auto rc = std::make_unique<RecordingClient>(port);
        rc->client.SetConnectTimeout(400);
        auto start = std::chrono::steady_clock::now();
        try {
            rc->client.EstablishConnection();
            fillers.push_back(std::move(rc));
        } catch (const ELpConnectTimeout& e) {
            EXPECT_STREQ(e.what(), "Connect timed out.");
            auto elapsed = std::chrono::steady_clock::now() - start;
            EXPECT_GE(elapsed, std::chrono::milliseconds(350));
            EXPECT_FALSE(rc->client.IsConnected());
            hung = true;
        }
    }
    EXPECT_TRUE(hung) << "the backlog never filled";
    fillers.clear();
    ::close(fd);
}

TEST(Connection, ConnectTimeoutStillReportsRefusal) {
    RecordingClient rc(ScriptedSmtpServer::UnusedPort());
    rc.client.SetConnectTimeout(2000);
    try {
        rc.client.EstablishConnection();
        ADD_FAILURE();
    } catch (const ELpSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), 10061);
        EXPECT_STREQ(e.what(), "Socket Error # 10061\r\nConnection refused.");
    }
}

TEST(Connection, BindingToAnOccupiedPortFails) {
    ScriptedSmtpServer server({S("220 hi\r\n"), Silent(1500)});
    RecordingClient first(server.Port());
    first.client.EstablishConnection();
    uint16_t taken = first.handler.Binding()->Port();
    RecordingClient second(server.Port());
    second.client.SetBoundIP("127.0.0.1");
    second.client.SetBoundPort(taken);
    try {
        second.client.EstablishConnection();
        ADD_FAILURE();
    } catch (const ELpCouldNotBindSocket& e) {
        EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
    }
    second.client.SetBoundPort(0);
    second.client.SetBoundPortMin(2000);
    second.client.SetBoundPortMax(1000);
    try {
        second.client.EstablishConnection();
        ADD_FAILURE();
    } catch (const ELpInvalidPortRange& e) {
        EXPECT_STREQ(e.what(), "Invalid Port Range (2000 - 1000)");
    }
    second.client.SetBoundPortMin(taken);
    second.client.SetBoundPortMax(taken);
    try {
        second.client.EstablishConnection();
        ADD_FAILURE();
    } catch (const ELpCanNotBindPortInRange& e) {
        EXPECT_EQ(e.what(), "Can not bind in port range (" + std::to_string(taken) + " - " +
                                std::to_string(taken) + ")");
    }
    first.client.CloseConnection();
    EXPECT_EQ(server.Finish(), "");
}

TEST(Connection, InterceptsMustAgreeBetweenConnectionAndHandler) {
    TLpConnectionIntercept a, b;
    TLpIOHandlerStack handler;
    handler.SetIntercept(&a);
    TLpTCPClient client;
    client.SetIntercept(&b);
    try {
        client.SetIOHandler(&handler);
        ADD_FAILURE();
    } catch (const ELpException& e) {
        EXPECT_STREQ(e.what(), "The IOHandler already has a different Intercept assigned");
    }
    TLpTCPClient other;
    other.SetIOHandler(&handler);
    EXPECT_THROW(other.SetIntercept(&b), ELpException);
    other.SetIntercept(&a);
    EXPECT_EQ(handler.Intercept(), &a);
}

}  // namespace
}  // namespace larkpost
