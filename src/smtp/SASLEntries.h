// The ordered list of SASL mechanisms the SMTP login chooses from, and the AUTH exchange that
// tries them (RFC 4954): the server's mechanism names, the candidates, one exchange each.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "smtp/SASL.h"

namespace larkpost {

class TLpSASLEntries;
class TLpTCPConnection;

// One entry; the mechanism it refers to is not owned.
class TLpSASLListEntry {
public:
    TLpSASL* SASL() const noexcept { return m_sasl; }
    void SetSASL(TLpSASL* sasl);

private:
    friend class TLpSASLEntries;
    explicit TLpSASLListEntry(TLpSASLEntries* owner) : m_owner(owner) {}
    TLpSASLEntries* m_owner;
    TLpSASL* m_sasl = nullptr;
};

class TLpSASLEntries {
public:
    TLpSASLEntries() = default;
    ~TLpSASLEntries();
    TLpSASLEntries(const TLpSASLEntries&) = delete;
    TLpSASLEntries& operator=(const TLpSASLEntries&) = delete;

    TLpSASLListEntry& Add(TLpSASL* sasl = nullptr);
    int Count() const noexcept { return static_cast<int>(m_entries.size()); }
    TLpSASLListEntry& Items(int index) { return *m_entries.at(index); }
    void Delete(int index);
    void Clear();
    // Copies the entries of Source (the mechanisms stay shared).
    void Assign(const TLpSASLEntries& source);
    // Removes every entry that refers to Sasl (a mechanism being destroyed calls this).
    void RemoveMechanism(TLpSASL* sasl);

    // The mechanism names of the lines that begin with Keyword followed by a space or "=",
    // upper case, each once, in order of first appearance: "AUTH LOGIN PLAIN" and "AUTH=LOGIN"
    // give [LOGIN, PLAIN].
    static std::vector<std::string> ReadAuthMechanisms(const std::vector<std::string>& lines,
                                                       const std::string& keyword);

    // Tries the entries the server lists, last configured first, until one succeeds; raises
    // ELpSASLMechNeeded, ELpSASLNotSupported, ELpSASLNotReady, or the reply error of the first
    // mechanism that failed. Exceptions inside one exchange end the whole run at once.
    void AuthenticateWithList(const std::string& command, const std::string& host,
                              const std::string& protocol, const std::vector<std::string>& okCodes,
                              const std::vector<std::string>& continueCodes,
                              TLpTCPConnection& client,
                              const std::vector<std::string>& extensionLines,
                              const std::string& keyword, bool canInitialResponse = true);

private:
    friend class TLpSASLListEntry;
    void Attach(TLpSASL* sasl);
    void Detach(TLpSASL* sasl);

    std::vector<std::unique_ptr<TLpSASLListEntry>> m_entries;
};

}  // namespace larkpost
