#include "smtp/SASLEntries.h"

#include <strings.h>

#include <algorithm>
#include <cctype>

#include "net/TCPConnection.h"
#include "smtp/ReplySMTP.h"
#include "smtp/SASLText.h"

namespace larkpost {
namespace {

bool CodeIn(const std::string& code, const std::vector<std::string>& codes) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// The continuation reply's text decoded: its lines joined with CR LF, trailing white space
// removed, base64 off, one character per byte.
std::string ChallengeOf(TLpReply& reply) {
    std::string text;
    for (size_t i = 0; i < reply.Text().size(); ++i) {
        if (i > 0) text += "\r\n";
        text += reply.Text()[i];
    }
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
    return TextFromLatin1(Base64Decode(text));
}

std::string WireForm(const std::string& response) {
    return Base64Encode(Latin1FromText(response));
}

std::unique_ptr<TLpReply> CopyOf(const TLpReply& reply) {
    std::unique_ptr<TLpReply> copy;
    if (dynamic_cast<const TLpReplySMTP*>(&reply) != nullptr) {
        copy = std::make_unique<TLpReplySMTP>();
    } else {
        copy = std::make_unique<TLpReplyRFC>();
    }
    copy->Assign(reply);
    return copy;
}

// One mechanism's exchange; true when the server accepted it.
//   C: AUTH <mech> [<initial response>]   S: 334 <challenge> | 235 | 5xx
//   C: <response>                          S: 334 <challenge> | 235 | 5xx   ...
bool RunMechanism(TLpSASL& sasl, const std::string& command, const std::string& host,
                  const std::string& protocol, const std::vector<std::string>& okCodes,
                  const std::vector<std::string>& continueCodes, TLpTCPConnection& client,
                  bool canInitialResponse) {
    auto lastCode = [&] { return client.LastReply().Code(); };
    auto goesOn = [&] { return CodeIn(lastCode(), okCodes) || CodeIn(lastCode(), continueCodes); };

    std::string initial;
    const bool sentInitial = canInitialResponse && sasl.InitialResponse(host, protocol, initial);
    if (sentInitial) {
        // RFC 4954, 4: a zero-length initial response is sent as a single "=".
        const std::string wire = initial.empty() ? "=" : WireForm(initial);
        client.IssueCommand(command + " " + sasl.MechanismName() + " " + wire, -1);
    } else {
        client.IssueCommand(command + " " + sasl.MechanismName(), -1);
    }
    if (!goesOn()) return false;
    if (CodeIn(lastCode(), okCodes)) return true;

    if (!sentInitial) {
        const std::string response =
            sasl.FirstResponse(ChallengeOf(client.LastReply()), host, protocol);
        client.IssueCommand(WireForm(response), -1);
        if (!goesOn()) return false;
    }
    while (CodeIn(lastCode(), continueCodes)) {
        const std::string response =
            sasl.NextResponse(ChallengeOf(client.LastReply()), host, protocol);
        client.IssueCommand(WireForm(response), -1);
        if (!goesOn()) return false;
    }
    return CodeIn(lastCode(), okCodes);
}

}  // namespace

void TLpSASLListEntry::SetSASL(TLpSASL* sasl) {
    if (sasl == m_sasl) return;
    if (m_sasl != nullptr) m_owner->Detach(m_sasl);
    m_sasl = sasl;
    if (m_sasl != nullptr) m_owner->Attach(m_sasl);
}

TLpSASLEntries::~TLpSASLEntries() {
    Clear();
}

void TLpSASLEntries::Attach(TLpSASL* sasl) {
    sasl->m_lists.push_back(this);
}

void TLpSASLEntries::Detach(TLpSASL* sasl) {
    auto& lists = sasl->m_lists;
    const auto it = std::find(lists.begin(), lists.end(), this);
    if (it != lists.end()) lists.erase(it);
}

TLpSASLListEntry& TLpSASLEntries::Add(TLpSASL* sasl) {
    m_entries.push_back(std::unique_ptr<TLpSASLListEntry>(new TLpSASLListEntry(this)));
    m_entries.back()->SetSASL(sasl);
    return *m_entries.back();
}

void TLpSASLEntries::Delete(int index) {
    m_entries.at(index)->SetSASL(nullptr);
    m_entries.erase(m_entries.begin() + index);
}

void TLpSASLEntries::Clear() {
    for (auto& entry : m_entries) entry->SetSASL(nullptr);
    m_entries.clear();
}

void TLpSASLEntries::Assign(const TLpSASLEntries& source) {
    if (&source == this) return;
    Clear();
    for (const auto& entry : source.m_entries) Add(entry->SASL());
}

void TLpSASLEntries::RemoveMechanism(TLpSASL* sasl) {
    for (size_t i = m_entries.size(); i-- > 0;) {
        if (m_entries[i]->SASL() == sasl) Delete(static_cast<int>(i));
    }
}

std::vector<std::string> TLpSASLEntries::ReadAuthMechanisms(const std::vector<std::string>& lines,
                                                            const std::string& keyword) {
    std::vector<std::string> names;
    for (const std::string& line : lines) {
        if (line.size() <= keyword.size()) continue;
        if (strncasecmp(line.c_str(), keyword.c_str(), keyword.size()) != 0) continue;
        const char after = line[keyword.size()];
        if (after != ' ' && after != '=') continue;
        std::string word;
        for (size_t i = keyword.size(); i <= line.size(); ++i) {
            const char c = i < line.size() ? line[i] : ' ';
            if (c == ' ' || c == '=') {
                if (!word.empty() && std::find(names.begin(), names.end(), word) == names.end()) {
                    names.push_back(word);
                }
                word.clear();
            } else {
                word.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
            }
        }
    }
    return names;
}

void TLpSASLEntries::AuthenticateWithList(const std::string& command, const std::string& host,
                                          const std::string& protocol,
                                          const std::vector<std::string>& okCodes,
                                          const std::vector<std::string>& continueCodes,
                                          TLpTCPConnection& client,
                                          const std::vector<std::string>& extensionLines,
                                          const std::string& keyword, bool canInitialResponse) {
    const bool anyMechanism =
        std::any_of(m_entries.begin(), m_entries.end(),
                    [](const auto& entry) { return entry->SASL() != nullptr; });
    if (!anyMechanism) throw ELpSASLMechNeeded();

    const std::vector<std::string> offered = ReadAuthMechanisms(extensionLines, keyword);
    // The last configured mechanism is thought the strongest: it goes first.
    std::vector<TLpSASL*> candidates;
    for (size_t i = m_entries.size(); i-- > 0;) {
        TLpSASL* sasl = m_entries[i]->SASL();
        if (sasl == nullptr || !sasl->IsOffered(offered)) continue;
        if (std::find(candidates.begin(), candidates.end(), sasl) != candidates.end()) continue;
        candidates.push_back(sasl);
    }
    if (candidates.empty()) throw ELpSASLNotSupported();

    std::unique_ptr<TLpReply> firstFailure;
    for (TLpSASL* sasl : candidates) {
        if (!sasl->IsReady()) continue;
        const bool ok = RunMechanism(*sasl, command, host, protocol, okCodes, continueCodes, client,
                                     canInitialResponse);
        sasl->FinishExchange();
        if (ok) return;
        if (!firstFailure) firstFailure = CopyOf(client.LastReply());
    }
    if (firstFailure) firstFailure->RaiseAsError();
    throw ELpSASLNotReady();
}

}  // namespace larkpost
