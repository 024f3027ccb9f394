#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/EMailAddress.h"

namespace larkpost {
namespace {

TEST(EMailAddressItem, ParsesOneAddress) {
    struct Case {
        const char* in;
        const char* name;
        const char* address;
    };
    const Case cases[] = {
        {"a@b.c", "", "a@b.c"},
        {"John Doe <a@b.c>", "John Doe", "a@b.c"},
        {"\"Doe, John\" <a@b.c>", "Doe, John", "a@b.c"},
        {"a@b.c (John Doe)", "", "a@b.c"},
        {"postmaster", "", "postmaster"},
        {"  \t a@b.c \r\n", "", "a@b.c"},
        {"", "", ""},
        {"<>", "", ""},
        // The in-quote search jumps to the last double quote, so the backslashes stay.
        {"\"John \\\"JJ\\\" Doe\" <a@b.c>", "John \\\"JJ\\\" Doe", "a@b.c"},
        {"<a@b.c>", "", "a@b.c"},
        {"Jörg Müller <j@x.de>", "Jörg Müller", "j@x.de"},
        // An at sign in a name after an angle-bracket address ends the parse into Name.
        {"<a@b.c> x@y", "x@y", "a@b.c"},
        {"John (the boss) <a@b.c>", "John", "a@b.c"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        TLpEMailAddressItem item;
        item.SetName("stale");
        item.SetAddress("stale@x");
        item.SetText(c.in);
        EXPECT_EQ(item.Name(), c.name);
        EXPECT_EQ(item.Address(), c.address);
    }
}

TEST(EMailAddressItem, RendersTextForm) {
    struct Case {
        const char* name;
        const char* address;
        const char* text;
    };
    const Case cases[] = {
        {"", "a@b.c", "a@b.c"},
        {"John Doe", "a@b.c", "John Doe <a@b.c>"},
        {"J. Doe", "a@b.c", "\"J. Doe\" <a@b.c>"},
        {"Doe, John", "a@b.c", "\"Doe, John\" <a@b.c>"},
        {"Say \"hi\" \\o/", "a@b.c", "\"Say \\\"hi\\\" \\\\o/\" <a@b.c>"},
        {"A@B.C", "a@b.c", "a@b.c"},  // name equal to the address ignoring case
        {"John", "", "John <>"},
        {"J. Doe", "", "\"J. Doe\" <>"},
        {"", "", ""},
        {"", "john doe@b.c", "<\"john doe\"@b.c>"},  // a space in the local part
        {"", "first.last@b.c", "first.last@b.c"},    // a full stop is left alone
        {"X", "a\"b@c", "X <\"a\\\"b\"@c>"},
        {"", "nodomain", "nodomain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " / " + c.address);
        const TLpEMailAddressItem item(c.address, c.name);
        EXPECT_EQ(item.Text(), c.text);
    }
}

TEST(EMailAddressItem, UserAndDomain) {
    TLpEMailAddressItem item("x@y@example.org", "");
    EXPECT_EQ(item.User(), "x@y");
    EXPECT_EQ(item.Domain(), "example.org");
    item.SetUser("bob");  // keeps what follows the first at sign
    EXPECT_EQ(item.Address(), "bob@y@example.org");
    item.SetDomain("test");  // keeps what precedes the first at sign
    EXPECT_EQ(item.Address(), "bob@test");

    TLpEMailAddressItem bare("postmaster", "");
    EXPECT_EQ(bare.User(), "");
    EXPECT_EQ(bare.Domain(), "");
    bare.SetDomain("example.org");
    EXPECT_EQ(bare.Address(), "postmaster@example.org");
    TLpEMailAddressItem bare2("alice", "");
    bare2.SetUser("bob");
    EXPECT_EQ(bare2.Address(), "bob@alice");
}

std::vector<std::string> Parsed(const std::string& text) {
    TLpEMailAddressList list;
    list.Add().SetAddress("left@over");
    list.ParseAddressList(text);
    std::vector<std::string> out;
    for (std::size_t i = 0; i < list.Count(); ++i) {
        out.push_back(list.Items(i).Name() + "|" + list.Items(i).Address());
    }
    return out;
}

TEST(EMailAddressList, ParsesLists) {
    using V = std::vector<std::string>;
    struct Case {
        const char* in;
        V items;
    };
    const Case cases[] = {
        {"", {}},
        {"   \t ", {}},
        {"a@b.c", {"|a@b.c"}},
        {"a@b.c, \"Doe, J\" <d@e.f>; g@h.i", {"|a@b.c", "Doe, J|d@e.f", "|g@h.i"}},
        {"a@b.c,,d@e.f", {"|a@b.c", "|d@e.f"}},
        {"a@b.c, d@e.f;", {"|a@b.c", "|d@e.f"}},
        {"Team: a@b.c, d@e.f;", {"|a@b.c", "|d@e.f"}},
        {"<>", {"|"}},  // no separator, so no emptiness test
        {"x, <>", {"|x"}},
        {"(Doe, J) a@b.c, d@e.f", {"|a@b.c", "|d@e.f"}},
        {"John Doe <a@b.c>, Jane <d@e.f>", {"John Doe|a@b.c", "Jane|d@e.f"}},
        {"\"a\\\"b, c\" <a@b.c>", {"a\\\"b, c|a@b.c"}},
        {"a@b.c,", {"|a@b.c"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(Parsed(c.in), c.items);
    }
}

TEST(EMailAddressList, AppendCopiesKeepsOrderAndOwnership) {
    TLpEMailAddressList to, cc, all;
    to.ParseAddressList("a@b.c, d@e.f");
    cc.ParseAddressList("Carol <c@x.y>");
    all.AppendCopies(to);
    all.AppendCopies(cc);
    ASSERT_EQ(all.Count(), 3u);
    EXPECT_EQ(all.Items(2).Name(), "Carol");
    all.Items(0).SetAddress("changed@x");
    EXPECT_EQ(to.Items(0).Address(), "a@b.c");  // copies, not shared items
    all.AppendCopies(all);
    EXPECT_EQ(all.Count(), 6u);
    EXPECT_EQ(all.Items(3).Address(), "changed@x");
}

}  // namespace
}  // namespace larkpost
