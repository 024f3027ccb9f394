// Switch finding, values, escapes, the /FILES collection and how switches fill SendSettings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "app/Conversions.h"
#include "app/Shell.h"
#include "app/Switches.h"
#include "crypto/PasswordCipher.h"

namespace larkpost {
namespace {

std::string LowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

TLpArgs Args(std::initializer_list<const char*> rest) {
    TLpArgs args{"/opt/larkpost/larkpost"};
    for (const char* a : rest) args.emplace_back(a);
    return args;
}

TEST(FindSwitch, MatchesWholeNamesWithEitherPrefixInAnyCase) {
    struct Case {
        const char* name;
        TLpArgs args;
        const char* sw;
        bool found;
    };
    const Case cases[] = {
        {"slash", Args({"/HOST", "x"}), "HOST", true},
        {"dash lower case", Args({"-host", "x"}), "HOST", true},
        {"mixed case", Args({"/HoSt"}), "HOST", true},
        {"longer argument", Args({"/HOSTS"}), "HOST", false},
        {"no prefix", Args({"HOST"}), "HOST", false},
        {"program path ignored", TLpArgs{"/HOST"}, "HOST", false},
        {"question mark", Args({"/?"}), "?", true},
        {"last argument counts", Args({"a", "/LOG"}), "LOG", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FindSwitch(c.args, c.sw), c.found);
    }
}

TEST(GetParam, TakesTheArgumentAfterTheFirstWholeMatch) {
    struct Case {
        const char* name;
        TLpArgs args;
        const char* sw;
        const char* value;
    };
    const Case cases[] = {
        {"simple", Args({"/HOST", "mail1"}), "HOST", "mail1"},
        {"another switch follows", Args({"/HOST", "/PORT", "25"}), "HOST", "/PORT"},
        {"switch is last", Args({"/SUBJECT"}), "SUBJECT", ""},
        {"first match wins", Args({"/S", "a.ini", "-s", "b.ini"}), "S", "a.ini"},
        {"S does not match SUBJECT", Args({"/SUBJECT", "Hello", "/S", "other.ini"}), "S",
         "other.ini"},
        {"PASS skips PASS3 and PASSX", Args({"/PASS3", "x", "/PASSX", "y", "/PASS", "plain"}),
         "PASS", "plain"},
        {"value keeps its case", Args({"-Host", "MailHost"}), "HOST", "MailHost"},
        {"absent", Args({"/PORT", "25"}), "HOST", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(GetParam(c.args, c.sw), c.value);
    }
}

TEST(ExpandEnvVars, ExpandsDefinedReferencesAndTrims) {
    setenv("LP_TEST_DIR", "/srv/mail", 1);
    setenv("LP_TEST_EMPTY", "", 1);
    unsetenv("LP_TEST_UNDEFINED");
    struct Case {
        const char* name;
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"defined", "%LP_TEST_DIR%/a.txt", "/srv/mail/a.txt"},
        {"undefined stays", "%LP_TEST_UNDEFINED%/a.txt", "%LP_TEST_UNDEFINED%/a.txt"},
        {"defined as empty", "x%LP_TEST_EMPTY%y", "xy"},
        {"lone percent", "50% off", "50% off"},
        {"two references", "%LP_TEST_DIR%%LP_TEST_DIR%", "/srv/mail/srv/mail"},
        {"undefined then defined", "%LP_TEST_UNDEFINED%LP_TEST_DIR%",
         "%LP_TEST_UNDEFINED%LP_TEST_DIR%"},
        {"trims blanks and controls", " \t a.txt \r\n", "a.txt"},
        {"trims after expansion", "%LP_TEST_EMPTY% b ", "b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ExpandEnvVars(c.in), c.out);
    }
}

TEST(DecodeHexEscapes, DecodesPairsAndRefusesBadOnes) {
    struct Case {
        const char* name;
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"example", "sample|2c with|20comma.txt", "sample, with comma.txt"},
        {"either case", "|4a|4A", "JJ"},
        {"no escapes", "plain.txt", "plain.txt"},
        {"above 127 is that character", "|e9", "\xC3\xA9"},
        {"pipe escaped", "a|7cb", "a|b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DecodeHexEscapes(c.in), c.out);
    }
    for (const char* bad : {"a|4", "a|", "|zz", "|4g", "x|-1"}) {
        SCOPED_TRACE(bad);
        try {
            DecodeHexEscapes(bad);
            ADD_FAILURE() << "no error";
        } catch (const ELpConvertError& e) {
            EXPECT_STREQ(e.what(), "Invalid hex digit in URL");
        }
    }
}

TEST(SplitList, KeepsSpacesBeforeACommaAndDropsThoseAfter) {
    std::vector<std::string> list{"existing"};
    SplitList(list, "a.txt ,  b.txt,,c|2cd.txt", ',');
    EXPECT_EQ(list, (std::vector<std::string>{"existing", "a.txt ", "b.txt", "", "c,d.txt"}));
}

TEST(CollectFiles, FollowsTheCollectionRules) {
    using L = std::vector<std::string>;
    struct Case {
        const char* name;
        TLpArgs args;
        L entries;
    };
    const Case cases[] = {
        {"two arguments", Args({"/FILES", "a.txt,", "b.txt"}), L{"a.txt", "b.txt"}},
        {"one quoted list", Args({"/FILES", "a.txt,b.txt"}), L{"a.txt", "b.txt"}},
        {"stops at next switch", Args({"/FILES", "a.txt", "/TO", "x@y"}), L{"a.txt"}},
        {"stops at /RETRY", Args({"/FILES", "a.txt", "-retry", "3"}), L{"a.txt"}},
        {"stops at /RETRYWAIT", Args({"/FILES", "a.txt", "/RetryWait", "9"}), L{"a.txt"}},
        {"lone comma", Args({"/FILES", ","}), L{""}},
        {"no comma: literal", Args({"/FILES", "x|41.txt"}), L{"x|41.txt"}},
        {"comma: decoded", Args({"/FILES", "x|41.txt,y.txt"}), L{"xA.txt", "y.txt"}},
        {"leading and trailing comma", Args({"/FILES", ",a.txt,"}), L{"a.txt"}},
        {"blanks trimmed", Args({"/FILES", "  a.txt  "}), L{"a.txt"}},
        {"FILES last", Args({"/HOST", "x", "/FILES"}), L{}},
        {"given twice", Args({"-files", "a", "/FILES", "b"}), L{"a"}},
        {"absolute paths are files", Args({"/FILES", "/tmp/a.pdf", "/srv/b c.txt,-x.txt", "-log"}),
         L{"/tmp/a.pdf", "/srv/b c.txt", "-x.txt"}},
        {"a path named like a switch but longer", Args({"/FILES", "/hostfile", "/TO", "x"}),
         L{"/hostfile"}},
        {"any dash argument ends it", Args({"/FILES", "a", "-unknown", "b"}), L{"a"}},
        {"a lone dash ends it", Args({"/FILES", "a", "-", "b"}), L{"a"}},
        {"an empty argument is an empty entry", Args({"/FILES", "", "a"}), L{"", "a"}},
        {"known switch in any case", Args({"/FILES", "a", "/bodyFile", "b"}), L{"a"}},
        {"absent", Args({"/HOST", "x"}), L{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CollectFiles(c.args), c.entries);
    }
    EXPECT_THROW(CollectFiles(Args({"/FILES", "a|4,b"})), ELpConvertError);
    EXPECT_EQ(CollectFiles(Args({"/FILES", "a|4"})), L{"a|4"});
}

TEST(CollectFiles, EndsAtEverySwitchTheHelpTextNames) {
    // A switch missing from the known-switch list would be attached as a file when written with
    // "/" after /FILES.
    std::istringstream help(HelpText());
    std::vector<std::string> names;
    for (std::string line; std::getline(help, line);) {
        if (line.rfind("  /", 0) != 0) continue;
        std::istringstream words(line);
        for (std::string word; words >> word && (word[0] == '/' || word == "or");)
            if (word != "or") names.push_back(word);
    }
    ASSERT_GE(names.size(), 28u);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        EXPECT_EQ(CollectFiles({"larkpost", "/FILES", "a.txt", name, "b.txt"}),
                  std::vector<std::string>{"a.txt"});
    }
}

TEST(ReadCmdLineSettings, AppliesEverySwitch) {
    setenv("LP_TEST_DIR", "/srv/mail", 1);
    TSwitchValues sw;
    TSendSettings s;
    ReadCmdLineSettings(Args({"/HOST",     "mail1",    "/PORT",      "587",
                              "/AUTH",     "2",        "/USERID",    "bob",
                              "/FROM",     "server07", "/TO",        "a@x,b@x",
                              "/REPLYTO",  "r@x",      "/CC",        "c@x",
                              "/BCC",      "d@x",      "/SUBJECT",   "Hello",
                              "/BODY",     "one line", "/MailAgent", "agent",
                              "/HELONAME", "helo",     "/TYPE",      "Html",
                              "/RETRY",    "3",        "-retrywait", "90",
                              "/LOG",      "/LOGSMTP", "/FILES",     "%LP_TEST_DIR%/b.txt",
                              "A.txt"}),
                        sw, s);
    EXPECT_EQ(s.Host(), "mail1");
    EXPECT_EQ(s.Port(), "587");
    EXPECT_EQ(s.AuthType(), kAuthSASL);
    EXPECT_EQ(s.UserID(), "bob");
    EXPECT_EQ(s.FromName(), "server07");
    EXPECT_EQ(s.FromAddr(), "server07");
    EXPECT_EQ(s.To(), "a@x,b@x");
    EXPECT_EQ(s.ReplyTo(), "r@x");
    EXPECT_EQ(s.Cc(), "c@x");
    EXPECT_EQ(s.Bcc(), "d@x");
    EXPECT_EQ(s.Subject(), "Hello");
    EXPECT_EQ(s.Body(), std::vector<std::string>{"one line"});
    EXPECT_EQ(s.MailAgent(), "agent");
    EXPECT_EQ(s.HeloName(), "helo");
    EXPECT_EQ(s.ContentType(), kContentTypeHtml);
    EXPECT_EQ(s.Retries(), "3");
    EXPECT_EQ(s.RetryWait(), "90");
    EXPECT_EQ(sw.RetryWait.Value, "90");
    EXPECT_TRUE(s.SaveLog());
    EXPECT_TRUE(s.SaveSMTPLog());
    // Sorted ignoring case; the raw entries stay unexpanded for the debug dump.
    EXPECT_EQ(s.Files(), (std::vector<std::string>{"/srv/mail/b.txt", "A.txt"}));
    EXPECT_EQ(sw.FileEntries, (std::vector<std::string>{"%LP_TEST_DIR%/b.txt", "A.txt"}));
    EXPECT_TRUE(sw.Host.Present);
    EXPECT_EQ(sw.Auth.Value, "2");
    EXPECT_FALSE(sw.Pass.Present);
}

TEST(ReadCmdLineSettings, FromTakesANameAndAnAddressApart) {
    struct Case {
        const char* value;
        const char* name;
        const char* address;
    };
    const Case cases[] = {
        {"Jane Doe <jane@example.com>", "Jane Doe", "jane@example.com"},
        {"\"Doe, Jane\" <jane@example.com>", "Doe, Jane", "jane@example.com"},
        {"<jane@example.com>", "", "jane@example.com"},
        // Without angle brackets the value is both, as it always was.
        {"jane@example.com", "jane@example.com", "jane@example.com"},
        {"server07", "server07", "server07"},
        {"Jane Doe", "Jane Doe", "Jane Doe"},
        {"Nobody <>", "Nobody <>", "Nobody <>"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        TSwitchValues sw;
        TSendSettings s;
        ReadCmdLineSettings(Args({"/FROM", c.value}), sw, s);
        EXPECT_EQ(s.FromName(), c.name);
        EXPECT_EQ(s.FromAddr(), c.address);
        EXPECT_EQ(sw.From.Value, c.value);  // the debug dump shows what was typed
    }
}

TEST(CommandLineWarnings, NamesUnknownSwitchesAndMissingValues) {
    struct Case {
        const char* name;
        TLpArgs args;
        std::vector<std::string> warnings;
    };
    const Case cases[] = {
        {"all known", Args({"/HOST", "h", "-subject", "Hi", "/LOG", "--help", "--Version"}), {}},
        {"misspelt", Args({"/SUBJET", "Hi", "/TO", "a@x"}), {"unknown switch /SUBJET (ignored)"}},
        {"dash and double dash", Args({"-x", "--to", "a@x"}),
         {"unknown switch -x (ignored)", "unknown switch --to (ignored)"}},
        {"a value that looks like a switch", Args({"/SUBJECT", "/etc/motd", "/BODY", "-1"}), {}},
        {"a switch as a value", Args({"/HOST", "/PORT", "25"}), {}},
        {"absolute paths under /FILES", Args({"/FILES", "/srv/x.pdf", "/tmp/y", "/LOG"}), {}},
        {"after the /FILES list", Args({"/FILES", "a", "/LOG", "/srv/x"}),
         {"unknown switch /srv/x (ignored)"}},
        {"a dash ends the /FILES list", Args({"/FILES", "a", "-x", "/srv/y"}),
         {"unknown switch -x (ignored)", "unknown switch /srv/y (ignored)"}},
        {"flag switches take no value", Args({"/LOG", "/LOGSMTPX"}),
         {"unknown switch /LOGSMTPX (ignored)"}},
        {"value switch last", Args({"/TO", "a@x", "/SUBJECT"}),
         {"/SUBJECT is the last argument and has no value (taken as empty)"}},
        {"settings file last", Args({"/LOG", "-s"}),
         {"-s is the last argument and has no value (taken as empty)"}},
        {"files last", Args({"/FILES"}),
         {"/FILES is the last argument and has no value (taken as empty)"}},
        {"a repeat standing last loses nothing", Args({"/SUBJECT", "Hi", "/SUBJECT"}), {}},
        {"flag last", Args({"/TO", "a@x", "/LOG"}), {}},
        {"plain words", Args({"hello", "world"}), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CommandLineWarnings(c.args), c.warnings);
    }
}

TEST(ManPage, DescribesEverySwitchTheProgramKnows) {
    std::ifstream in(LARKPOST_MAN_PAGE);
    ASSERT_TRUE(in) << LARKPOST_MAN_PAGE;
    // The words of every option heading: the line after ".TP", with roff's "\-" read as "-".
    std::vector<std::string> headings;
    std::string previous;
    for (std::string line; std::getline(in, line); previous = line) {
        if (previous != ".TP") continue;
        for (size_t at; (at = line.find("\\-")) != std::string::npos;) line.replace(at, 2, "-");
        std::string word;
        for (char c : line + " ") {
            if (c == ' ' || c == ',' || c == '"') {
                if (!word.empty()) headings.push_back(LowerCase(word));
                word.clear();
            } else {
                word += c;
            }
        }
    }
    const std::vector<std::string> names = KnownSwitchNames();
    ASSERT_GE(names.size(), 30u);
    for (const std::string& name : names) {
        EXPECT_NE(std::find(headings.begin(), headings.end(), LowerCase(name)), headings.end())
            << name << " has no entry in larkpost.1";
    }
}

// The completion script keeps its own list, since bash cannot ask the program; it must not fall
// behind the program's.
TEST(BashCompletion, OffersEverySwitchTheProgramKnows) {
    std::ifstream in(LARKPOST_BASH_COMPLETION);
    ASSERT_TRUE(in) << LARKPOST_BASH_COMPLETION;
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        if (!word.empty() && word.back() == '"') word.pop_back();
        const size_t quote = word.rfind('"');
        if (quote != std::string::npos) word.erase(0, quote + 1);
        words.push_back(LowerCase(word));
    }
    for (const std::string& name : KnownSwitchNames()) {
        EXPECT_NE(std::find(words.begin(), words.end(), LowerCase(name)), words.end())
            << name << " is not offered by larkpost.bash-completion";
    }
}

TEST(ReadCmdLineSettings, PasswordPrecedenceIsPassThenPassXThenPass3) {
    const std::string pass3 = EncryptPassword("from-pass3");
    struct Case {
        const char* name;
        TLpArgs args;
        std::string password;
    };
    const Case cases[] = {
        {"pass3 alone", Args({"/PASS3", pass3.c_str()}), "from-pass3"},
        {"pass wins over pass3", Args({"/PASS3", pass3.c_str(), "/PASS", "plain"}), "plain"},
        {"pass given first", Args({"/PASS", "plain", "/PASS3", pass3.c_str()}), "plain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TSwitchValues sw;
        TSendSettings s;
        ReadCmdLineSettings(c.args, sw, s);
        EXPECT_EQ(s.Password(), c.password);
    }
}

TEST(ReadCmdLineSettings, TypeAndAuthValues) {
    struct Case {
        const char* name;
        TLpArgs args;
        int contentType;
        int auth;
    };
    const Case cases[] = {
        {"html lower", Args({"/TYPE", "html"}), kContentTypeHtml, kAuthNone},
        {"HTML", Args({"/TYPE", "HTML"}), kContentTypeHtml, kAuthNone},
        {"plain", Args({"/TYPE", "plain"}), kContentTypeText, kAuthNone},
        {"other text", Args({"/TYPE", "text"}), kContentTypeText, kAuthNone},
        {"type last", Args({"/TYPE"}), kContentTypeText, kAuthNone},
        {"auth 1", Args({"/AUTH", "1"}), kContentTypeNone, kAuthUserPass},
        {"auth 5 selects no entry", Args({"/AUTH", "5"}), kContentTypeNone, kAuthNoEntry},
        {"auth -1", Args({"/AUTH", "-1"}), kContentTypeNone, kAuthNoEntry},
        {"auth 3 is OAuth 2.0", Args({"/AUTH", "3"}), kContentTypeNone, kAuthOAuth2},
        {"auth 4 selects no entry", Args({"/AUTH", "4"}), kContentTypeNone, kAuthNoEntry},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TSwitchValues sw;
        TSendSettings s;
        ReadCmdLineSettings(c.args, sw, s);
        EXPECT_EQ(s.ContentType(), c.contentType);
        EXPECT_EQ(s.AuthType(), c.auth);
    }
}

TEST(ReadCmdLineSettings, FailuresLeaveWhatWasAppliedBefore) {
    {
        TSwitchValues sw;
        TSendSettings s;
        try {
            ReadCmdLineSettings(Args({"/HOST", "mail1", "/AUTH", "two", "/SUBJECT", "s"}), sw, s);
            ADD_FAILURE() << "no error";
        } catch (const ELpConvertError& e) {
            EXPECT_STREQ(e.what(), "'two' is not a valid integer value");
        }
        EXPECT_EQ(s.Host(), "mail1");  // applied before /AUTH
        EXPECT_EQ(s.Subject(), "");    // applied after
    }
    {
        // A bad escape fails while collecting, before anything is applied.
        TSwitchValues sw;
        TSendSettings s;
        s.AddFile("old.txt");
        EXPECT_THROW(ReadCmdLineSettings(Args({"/HOST", "mail1", "/FILES", "a|4,b"}), sw, s),
                     ELpConvertError);
        EXPECT_EQ(s.Host(), "localhost");
        EXPECT_TRUE(s.Files().empty());
    }
    {
        TSwitchValues sw;
        TSendSettings s;
        EXPECT_THROW(
            ReadCmdLineSettings(Args({"/BODY", "x", "/BODYFILE", "/nonexistent/body.rtf"}), sw, s),
            ELpException);
        EXPECT_EQ(sw.BodyFile.Value, "/nonexistent/body.rtf");
    }
}

TEST(StrToInt, AcceptsIntegersOnly) {
    EXPECT_EQ(StrToInt("25"), 25);
    EXPECT_EQ(StrToInt(" -7"), -7);
    EXPECT_EQ(StrToInt("0x1F"), 31);
    EXPECT_EQ(StrToInt("$10"), 16);
    EXPECT_EQ(StrToInt("2147483647"), 2147483647);
    EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
    for (const char* bad : {"", "two", "2 ", "1.5", "2147483648", "0x", "+"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(StrToInt(bad), ELpConvertError);
    }
}

TEST(SendSettings, KeepsItsRangeRules) {
    TSendSettings s;
    EXPECT_EQ(s.Host(), "localhost");
    EXPECT_EQ(s.Port(), "25");
    EXPECT_EQ(s.Timeout(), "30");
    EXPECT_EQ(s.AuthType(), kAuthNone);
    EXPECT_EQ(s.ContentType(), kContentTypeNone);
    s.SetContentType(7);
    EXPECT_EQ(s.ContentType(), 1);
    s.SetContentType(-5);
    EXPECT_EQ(s.ContentType(), -1);
    s.SetAuthType(9);
    EXPECT_EQ(s.AuthType(), kAuthNoEntry);
    s.AddFile("b.txt");
    s.AddFile("A.txt");
    s.AddFile("c.txt");
    s.AddFile("a.txt");
    s.AddFile("b.txt");
    EXPECT_EQ(s.Files(), (std::vector<std::string>{"A.txt", "a.txt", "b.txt", "b.txt", "c.txt"}));
    s.RemoveFile(99);
    EXPECT_EQ(s.Files().size(), 5u);
    std::vector<bool> clicks;
    s.OnSaveSMTPLogClick = [&](bool checked) { clicks.push_back(checked); };
    s.SetSaveSMTPLog(true);
    s.SetSaveSMTPLog(true);
    s.SetSaveSMTPLog(false);
    EXPECT_EQ(clicks, (std::vector<bool>{true, false}));
}

}  // namespace
}  // namespace larkpost
