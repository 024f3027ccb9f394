// Header lines of a message or a MIME part (RFC 5322 section 2.2, folding per 2.2.3) and the
// parameters inside header values (RFC 2045 section 5.1, RFC 2183).
#pragma once

#include <climits>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace larkpost {

// Selects which characters force a parameter value into double quotes.
enum TLpHeaderQuotingType { qtMail = 0, qtMIME = 1, qtHTTP = 2 };

class TLpHeaderList {
public:
    explicit TLpHeaderList(TLpHeaderQuotingType quoteType = qtMail);

    // Raw lines: header lines ("Name: value") and continuation lines (starting with space/tab).
    const std::vector<std::string>& Lines() const noexcept { return m_lines; }
    std::size_t Count() const noexcept { return m_lines.size(); }
    const std::string& operator[](std::size_t index) const { return m_lines.at(index); }
    void Add(std::string line) { m_lines.push_back(std::move(line)); }
    void Clear() noexcept { m_lines.clear(); }
    // All lines, each followed by CR LF.
    std::string Text() const;

    TLpHeaderQuotingType QuoteType() const noexcept { return m_quoteType; }
    void SetQuoteType(TLpHeaderQuotingType value);
    int FoldLength() const noexcept { return m_foldLength; }
    void SetFoldLength(int value) { m_foldLength = value; }
    bool Fold() const noexcept { return m_fold; }
    void SetFold(bool value) { m_fold = value; }
    bool Unfold() const noexcept { return m_unfold; }
    void SetUnfold(bool value) { m_unfold = value; }

    // Index of the first line whose name equals name ignoring case, or -1.
    int IndexOfHeader(std::string_view name) const;
    // The unfolded, trimmed value of the first such line, or empty.
    std::string GetHeader(std::string_view name) const;
    // Sets or replaces the header in place (new names go to the end), folding the line;
    // an empty value removes it with its continuation lines.
    void SetHeader(std::string_view name, std::string_view value);
    // Sets (or with an empty value removes) one parameter inside a header value.
    void SetHeaderParam(std::string_view name, std::string_view param, std::string_view value);
    // Copies the lines of other unchanged to the end.
    void AppendLines(const TLpHeaderList& other);

private:
    void DeleteContinuations(std::size_t index);

    std::vector<std::string> m_lines;
    TLpHeaderQuotingType m_quoteType;
    int m_foldLength;
    bool m_fold = true;
    bool m_unfold = true;
};

// The text before the first ";" of a header value, trimmed.
std::string MainValue(std::string_view header);
// "text" matches any text/* value; "text/plain" matches that type alone (ignoring case).
bool HasMediaType(std::string_view header, std::string_view mediaType);
// The value of the first parameter named param (ignoring case), or empty.
std::string ParamValue(std::string_view header, std::string_view param, TLpHeaderQuotingType style);
// Returns the header with param set to value (removed when value is empty); oldValue, when
// given, receives the value param had.
std::string ReplaceParam(std::string_view header, std::string_view param, std::string_view value,
                         TLpHeaderQuotingType style, std::string* oldValue = nullptr);
std::string RemoveParam(std::string_view header, std::string_view param, TLpHeaderQuotingType style,
                        std::string* oldValue = nullptr);
// The value as it goes after "name=": escaped, and quoted when forced or when it needs to be.
std::string QuoteParamValue(std::string_view value, bool force, TLpHeaderQuotingType style);

// Wraps one long line at the last break character before maxCol, never inside double quotes,
// and honouring breaks already in it; the result holds breakStr at each break.
std::string WrapLine(std::string_view line, std::string_view breakStr, std::string_view breakChars,
                     int maxCol);
// "Name: value" folded into header lines of at most width columns where the value allows it.
std::vector<std::string> FoldHeaderLine(std::string_view line, int width = 78);

}  // namespace larkpost
