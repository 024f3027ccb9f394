// E-mail address items and lists: a display name and an address, the tolerant parser that
// splits user-typed text into them (RFC 5322 name-addr and bare addresses, comments, groups), and the
// plain header-style text form.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace larkpost {

class TLpEMailAddressItem {
public:
    TLpEMailAddressItem() = default;
    TLpEMailAddressItem(std::string address, std::string name)
        : m_address(std::move(address)), m_name(std::move(name)) {}
    // Copying takes the address and the name only.
    TLpEMailAddressItem(const TLpEMailAddressItem&) = default;
    TLpEMailAddressItem& operator=(const TLpEMailAddressItem&) = default;

    const std::string& Address() const noexcept { return m_address; }
    void SetAddress(std::string value) { m_address = std::move(value); }
    const std::string& Name() const noexcept { return m_name; }
    void SetName(std::string value) { m_name = std::move(value); }

    // Name and address as one header-style text ("John Doe <a@b.c>", "\"J. Doe\" <a@b.c>").
    std::string Text() const;
    // Parses one address text into Name and Address; never fails.
    void SetText(const std::string& text);

    // The part of Address before / after its last at sign (empty without one).
    std::string User() const;
    void SetUser(const std::string& user);
    std::string Domain() const;
    void SetDomain(const std::string& domain);

    // The address alone as it appears in a header: bracketed when there is a name, the local
    // part quoted when it holds characters an atom may not.
    std::string RenderAddress() const;

private:
    std::string m_address;
    std::string m_name;
};

// An owned, ordered collection of address items. Items keep their place in memory while the
// list grows, so a reference from Add() or Items() stays valid until the item is removed.
class TLpEMailAddressList {
public:
    TLpEMailAddressList() = default;
    TLpEMailAddressList(const TLpEMailAddressList& other) { AppendCopies(other); }
    TLpEMailAddressList& operator=(const TLpEMailAddressList& other);
    TLpEMailAddressList(TLpEMailAddressList&&) noexcept = default;
    TLpEMailAddressList& operator=(TLpEMailAddressList&&) noexcept = default;

    // Appends a new empty item and returns it.
    TLpEMailAddressItem& Add();
    TLpEMailAddressItem& Items(std::size_t index) { return *m_items.at(index); }
    const TLpEMailAddressItem& Items(std::size_t index) const { return *m_items.at(index); }
    std::size_t Count() const noexcept { return m_items.size(); }
    bool Empty() const noexcept { return m_items.empty(); }
    void Delete(std::size_t index);
    void Clear() noexcept { m_items.clear(); }

    // Appends a copy of every item of other, in order (other may be this list).
    void AppendCopies(const TLpEMailAddressList& other);
    // Clears the list and fills it from comma- or semicolon-separated text; group names are
    // dropped and empty entries give no item. Never fails.
    void ParseAddressList(const std::string& text);

private:
    std::vector<std::unique_ptr<TLpEMailAddressItem>> m_items;
};

}  // namespace larkpost
