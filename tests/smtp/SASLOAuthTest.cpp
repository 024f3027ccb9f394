// OAuth 2.0 over SMTP AUTH: the client responses of OAUTHBEARER and XOAUTH2 byte for byte, the
// server's error status, and the login against the scripted server: success, a refused token
// with its error challenge, no mechanism offered, no token, and the connection log's mark.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "ScriptedSmtpServer.h"
#include "net/LogFile.h"
#include "net/SSLIOHandlerSocketOpenSSL.h"
#include "smtp/SASLOAuth.h"
#include "smtp/SASLText.h"
#include "smtp/SMTP.h"

namespace larkpost {
namespace {

std::string Wire(const std::string& response) {
    return Base64Encode(Latin1FromText(response));
}

TEST(SASLOAuth, ClientResponsesByteForByte) {
    TLpUserPassProvider credentials;
    TLpSASLOAuthBearer bearer;
    TLpSASLXOAuth2 xoauth2;
    bearer.SetUserPassProvider(&credentials);
    xoauth2.SetUserPassProvider(&credentials);
    bearer.SetPort(143);

    // RFC 7628, 4.1.
    credentials.SetUsername("user@example.com");
    credentials.SetPassword("vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==");
    EXPECT_EQ(bearer.ClientResponse("server.example.com"),
              "n,a=user@example.com,\x01host=server.example.com\x01port=143\x01"
              "auth=Bearer vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==\x01\x01");
    EXPECT_EQ(Wire(bearer.ClientResponse("server.example.com")),
              "bixhPXVzZXJAZXhhbXBsZS5jb20sAWhvc3Q9c2VydmVyLmV4YW1wbGUuY29tAXBvcnQ9MTQzAWF1dGg9QmVh"
              "cmVyIHZGOWRmdDRxbVRjMk52YjNSbGNrQmhiSFJoZG1semRHRXVZMjl0Q2c9PQEB");

    struct Case {
        const char* name;
        const char* user;
        const char* bearer;
        const char* xoauth2;
    };
    const Case cases[] = {
        {"comma and equals escaped in the gs2 header", "a,b=c",
         "n,a=a=2Cb=3Dc,\x01host=mx.test\x01port=143\x01" "auth=Bearer t\x01\x01",
         "user=a,b=c\x01" "auth=Bearer t\x01\x01"},
        {"no user name", "", "n,,\x01host=mx.test\x01port=143\x01" "auth=Bearer t\x01\x01",
         "user=\x01" "auth=Bearer t\x01\x01"},
        // One character per byte: the UTF-8 bytes of the name go out as they are.
        {"UTF-8 user name", "j\xC3\xB6rg",
         "n,a=j\xC3\x83\xC2\xB6rg,\x01host=mx.test\x01port=143\x01" "auth=Bearer t\x01\x01",
         "user=j\xC3\x83\xC2\xB6rg\x01" "auth=Bearer t\x01\x01"},
    };
    credentials.SetPassword("t");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        credentials.SetUsername(c.user);
        EXPECT_EQ(bearer.ClientResponse("mx.test"), c.bearer);
        EXPECT_EQ(xoauth2.ClientResponse("mx.test"), c.xoauth2);
    }
}

TEST(SASLOAuth, ReadinessAsksForATokenAndXOAuth2ForAUserToo) {
    TLpUserPassProvider credentials;
    TLpSASLOAuthBearer bearer;
    TLpSASLXOAuth2 xoauth2;
    EXPECT_FALSE(bearer.IsReady()) << "no provider";
    bearer.SetUserPassProvider(&credentials);
    xoauth2.SetUserPassProvider(&credentials);
    EXPECT_FALSE(bearer.IsReady());
    credentials.SetPassword("token");
    EXPECT_TRUE(bearer.IsReady()) << "OAUTHBEARER can go without a user name";
    EXPECT_FALSE(xoauth2.IsReady());
    credentials.SetUsername("ann");
    EXPECT_TRUE(xoauth2.IsReady());
}

TEST(SASLOAuth, ErrorStatusFromTheJsonChallenge) {
    struct Case {
        const char* name;
        const char* json;
        const char* status;
        const char* scope;
    };
    const Case cases[] = {
        {"RFC 7628 example", R"({"status":"401","schemes":"bearer mac","scope":"https://mail.example.com/"})",
         "401", "https://mail.example.com/"},
        {"Google's", R"({"status":"400","schemes":"Bearer","scope":"https://mail.google.com/"})", "400",
         "https://mail.google.com/"},
        {"blanks, other order, no scope", " { \"schemes\" : \"bearer\" ,\n \"status\" : \"invalid_token\" } ",
         "invalid_token", ""},
        {"number and escapes", R"({"status":401,"scope":"a \"b\" c\/d"})", "401", "a \"b\" c/d"},
        {"openid-configuration ignored",
         R"({"status":"401","openid-configuration":"https://x.test/.well-known/openid-configuration"})",
         "401", ""},
        {"not JSON", "invalid token", "", ""},
        {"cut short", R"({"status":"40)", "40", ""},
        {"empty", "", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TLpOAuthStatus s = ParseOAuthStatus(c.json);
        EXPECT_EQ(s.Status, c.status);
        EXPECT_EQ(s.Scope, c.scope);
    }
}

// The client as the send workflow configures it for /AUTH 3: XOAUTH2, then OAUTHBEARER in the
// list, so OAUTHBEARER goes first.
struct OAuthClient {
    TLpSSLIOHandlerSocketOpenSSL handler;
    TLpSMTP smtp;
    TLpUserPassProvider credentials;
    TLpSASLXOAuth2 xoauth2;
    TLpSASLOAuthBearer bearer;

    OAuthClient(uint16_t port, const std::string& user, const std::string& token) {
        credentials.SetUsername(user);
        credentials.SetPassword(token);
        xoauth2.SetUserPassProvider(&credentials);
        bearer.SetUserPassProvider(&credentials);
        smtp.OAuthMechanisms().Add(&xoauth2);
        smtp.OAuthMechanisms().Add(&bearer);
        smtp.SetIOHandler(&handler);
        smtp.SetUseTLS(utUseExplicitTLS);
        smtp.SetHost(ScriptedSmtpServer::Host());
        smtp.SetPort(port);
        smtp.SetReadTimeout(5000);
        smtp.SetHeloName("client.test");
        smtp.SetAuthType(satOAuth2);
    }
    ~OAuthClient() {
        try {
            smtp.CloseConnection(false);
        } catch (...) {
        }
    }
    // The login's failure as class name and message, empty when it succeeded; the connection
    // is then closed (no QUIT), so the server's script ends at once.
    std::string LogInFailure() {
        std::string failure;
        try {
            smtp.EstablishConnection();
            smtp.LogIn();
            loggedIn = smtp.LoggedIn();
        } catch (const ELpSMTPReplyError& e) {
            failure = std::string(e.ClassName()) + " " + std::to_string(e.ReplyCode()) + " " + e.what();
        } catch (const ELpException& e) {
            failure = std::string(e.ClassName()) + " " + e.what();
        }
        smtp.CloseConnection(false);
        return failure;
    }
    bool loggedIn = false;
};

// The AUTH lines, spelled out: user ann@example.test, token tok-123, server 127.0.0.1 at port.
std::string BearerLine(uint16_t port, const std::string& token = "tok-123") {
    return "AUTH OAUTHBEARER " +
           Wire("n,a=ann@example.test,\x01host=127.0.0.1\x01port=" + std::to_string(port) +
                "\x01" + "auth=Bearer " + token + "\x01\x01") +
           "\r\n";
}
const char* const kXOAuth2Line =
    "AUTH XOAUTH2 dXNlcj1hbm5AZXhhbXBsZS50ZXN0AWF1dGg9QmVhcmVyIHRvay0xMjMBAQ==\r\n";

std::vector<ScriptStep> Greeting(const std::string& authLine) {
    return {S("220 mx.test ESMTP\r\n"), C("EHLO client.test\r\n"),
            S("250-mx.test\r\n250 " + authLine + "\r\n")};
}

std::vector<ScriptStep> operator+(std::vector<ScriptStep> a, const std::vector<ScriptStep>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const char* const kBearerError =
    "eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIG1hYyIsInNjb3BlIjoiaHR0cHM6Ly9tYWlsLmV4YW1wbGUu"
    "Y29tLyJ9";
const char* const kGoogleError =
    "eyJzdGF0dXMiOiI0MDAiLCJzY2hlbWVzIjoiQmVhcmVyIiwic2NvcGUiOiJodHRwczovL21haWwuZ29vZ2xlLmNvbS8ifQ==";

TEST(SASLOAuth, OAuthBearerIsPreferredAndAcceptedWithItsInitialResponse) {
    // A token of Microsoft's length: the AUTH line runs to several kilobytes, in one piece.
    const std::string token(2600, 'k');
    ScriptedSmtpServer server([&](uint16_t port) {
        return Greeting("AUTH PLAIN LOGIN XOAUTH2 OAUTHBEARER") +
               std::vector<ScriptStep>{C(BearerLine(port, token)), S("235 2.7.0 Accepted\r\n")};
    });
    OAuthClient client(server.Port(), "ann@example.test", token);
    EXPECT_EQ(client.LogInFailure(), "");
    EXPECT_TRUE(client.loggedIn);
    EXPECT_EQ(server.Finish(), "");
}

TEST(SASLOAuth, XOAuth2WhenThatIsWhatTheServerLists) {
    ScriptedSmtpServer server(Greeting("AUTH=LOGIN XOAUTH2") +
                              std::vector<ScriptStep>{
                                  C(kXOAuth2Line),
                                  S("235 2.7.0 Accepted\r\n")});
    OAuthClient client(server.Port(), "ann@example.test", "tok-123");
    EXPECT_EQ(client.LogInFailure(), "");
    EXPECT_EQ(server.Finish(), "");
}

TEST(SASLOAuth, RefusedTokenIsAnsweredAsTheRfcSaysAndItsStatusNamed) {
    struct Case {
        const char* name;
        const char* authLine;
        std::vector<std::string> exchange;  // C, S, C, S... after the greeting, {bearer} and
                                            // {xoauth2} standing for the AUTH lines
        const char* failure;
    };
    const Case cases[] = {
        {"OAUTHBEARER: a single ^A after the error challenge", "AUTH OAUTHBEARER",
         {"{bearer}", std::string("334 ") + kBearerError + "\r\n", "AQ==\r\n",
          "535 5.7.8 Authentication credentials invalid\r\n"},
         "ELpSASLOAuthTokenRefused 535 OAuth 2.0 token refused by 127.0.0.1 (status 401, scope "
         "https://mail.example.com/): 535 5.7.8 Authentication credentials invalid"},
        {"XOAUTH2: an empty line after the error challenge", "AUTH XOAUTH2",
         {"{xoauth2}", std::string("334 ") + kGoogleError + "\r\n", "\r\n",
          "535-5.7.8 Username and Password not accepted.\r\n535 5.7.8 Learn more\r\n"},
         "ELpSASLOAuthTokenRefused 535 OAuth 2.0 token refused by 127.0.0.1 (status 400, scope "
         "https://mail.google.com/): 535 5.7.8 Username and Password not accepted. Learn more"},
        {"refused at once, no error challenge", "AUTH XOAUTH2",
         {"{xoauth2}", "535 5.7.3 Authentication unsuccessful\r\n"},
         "ELpSASLOAuthTokenRefused 535 OAuth 2.0 token refused by 127.0.0.1: 535 5.7.3 "
         "Authentication unsuccessful"},
        // Both tried, as every SASL list is; the first refusal and its status are the report.
        {"both offered, both refuse", "AUTH XOAUTH2 OAUTHBEARER",
         {"{bearer}", std::string("334 ") + kBearerError + "\r\n", "AQ==\r\n",
          "535 5.7.8 Authentication credentials invalid\r\n", "{xoauth2}",
          std::string("334 ") + kGoogleError + "\r\n", "\r\n", "535 5.7.8 Not accepted\r\n"},
         "ELpSASLOAuthTokenRefused 535 OAuth 2.0 token refused by 127.0.0.1 (status 401, scope "
         "https://mail.example.com/): 535 5.7.8 Authentication credentials invalid"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server([&](uint16_t port) {
            std::vector<ScriptStep> steps = Greeting(c.authLine);
            for (size_t i = 0; i < c.exchange.size(); ++i) {
                std::string text = c.exchange[i];
                if (text == "{bearer}") text = BearerLine(port);
                if (text == "{xoauth2}") text = kXOAuth2Line;
                steps.push_back(i % 2 == 0 ? C(text) : S(text));
            }
            return steps;
        });
        OAuthClient client(server.Port(), "ann@example.test", "tok-123");
        EXPECT_EQ(client.LogInFailure(), c.failure);
        EXPECT_FALSE(client.loggedIn);
        EXPECT_EQ(server.Finish(), "");
    }
}

TEST(SASLOAuth, NothingIsSentWithoutAMechanismOrAToken) {
    struct Case {
        const char* name;
        const char* authLine;
        const char* user;
        const char* token;
        const char* failure;
    };
    const Case cases[] = {
        {"neither mechanism offered", "AUTH PLAIN LOGIN", "ann", "tok",
         "ELpSASLOAuthNotSupported Server 127.0.0.1 doesn't support AUTH with an OAuth 2.0 token "
         "(OAUTHBEARER or XOAUTH2)."},
        {"no token", "AUTH XOAUTH2 OAUTHBEARER", "ann", "",
         "ELpSASLOAuthNotReady No OAuth 2.0 access token to log in to 127.0.0.1: the password is "
         "empty."},
        {"XOAUTH2 only and no user name", "AUTH XOAUTH2", "", "tok",
         "ELpSASLOAuthNotReady Server 127.0.0.1 offers OAuth 2.0 through XOAUTH2 only, which "
         "needs a user name."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedSmtpServer server(Greeting(c.authLine));
        OAuthClient client(server.Port(), c.user, c.token);
        EXPECT_EQ(client.LogInFailure(), c.failure);
        EXPECT_EQ(server.Finish(), "");
    }
}

TEST(SASLOAuth, ConnectionLogShowsAMarkInPlaceOfTheCredential) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("larkpost-oauth-log-" + std::to_string(getpid())))
            .string();
    std::filesystem::remove(path);
    TLpLogBase::SetTimeStampSource([] { return std::string("TS"); });
    {
        const std::string token = "secret-token-123";
        std::string line;
        ScriptedSmtpServer server([&](uint16_t port) {
            line = BearerLine(port, token);
            return Greeting("AUTH OAUTHBEARER") +
                   std::vector<ScriptStep>{C(line), S(std::string("334 ") + kBearerError + "\r\n"),
                                           C("AQ==\r\n"), S("535 5.7.8 no\r\n")};
        });
        OAuthClient client(server.Port(), "ann@example.test", token);
        TLpLogFile log;
        log.SetFilename(path);
        log.SetActive(true);
        client.handler.SetIntercept(&log);
        client.smtp.SetIntercept(&log);
        EXPECT_NE(client.LogInFailure(), "");
        EXPECT_EQ(server.Finish(), "");
        log.SetActive(false);
        client.handler.SetIntercept(nullptr);
        client.smtp.SetIntercept(nullptr);
        std::ifstream in(path, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        const std::string logged = text.str();
        EXPECT_NE(logged.find("Sent TS: AUTH OAUTHBEARER <credential hidden><EOL>\r\n"),
                  std::string::npos) << logged;
        EXPECT_NE(logged.find("Sent TS: AQ==<EOL>\r\n"), std::string::npos) << logged;
        EXPECT_EQ(logged.find(line.substr(17, 40)), std::string::npos) << logged;
        EXPECT_EQ(logged.find(token), std::string::npos) << logged;
    }
    TLpLogBase::SetTimeStampSource({});
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace larkpost
