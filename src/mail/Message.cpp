#include "mail/Message.h"

#include <cstdio>
#include <cstdlib>

#include "mail/Encoders.h"
#include "platform/Locale.h"
#include "platform/TimeZone.h"

namespace larkpost {

namespace {

char Lower(char ch) {
    return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) return false;
    }
    return true;
}

bool IsOneOf(std::string_view value, std::initializer_list<std::string_view> names) {
    for (auto name : names) {
        if (SameText(value, name)) return true;
    }
    return false;
}

}  // namespace

TLpMessage::TLpMessage() {
    ClearMessage();
    m_encoding = meDefault;
}

void TLpMessage::ClearMessage() {
    m_subject.clear();
    m_date = TLpDateTime();
    m_fromList.Clear();
    m_recipients.Clear();
    m_ccList.Clear();
    m_bccList.Clear();
    m_replyTo.Clear();
    m_sender = TLpEMailAddressItem();
    m_receiptRecipient = TLpEMailAddressItem();
    m_organization.clear();
    m_references.clear();
    m_inReplyTo.clear();
    m_newsGroups.clear();
    m_priority = mpNormal;
    m_contentType.clear();
    m_charSet.clear();
    m_contentTransferEncoding.clear();
    m_contentDisposition.clear();
    m_encoding = meDefault;
    m_convertPreamble = true;
    m_body.clear();
    m_inputHeaders.Clear();
    m_extraHeaders.Clear();
    m_lastGeneratedHeaders.Clear();
    m_parts.Clear();
    m_boundary.ClearBoundaries();
    m_msgId.clear();
    m_singlePartMime = false;
}

void TLpMessage::SetUseNowForDate(bool value) {
    m_date = value ? TLpDateTime() : Clock();
}

TLpEMailAddressItem& TLpMessage::From() {
    if (m_fromList.Empty()) return m_fromList.Add();
    return m_fromList.Items(0);
}

void TLpMessage::SetContentType(const std::string& value) {
    if (value.empty()) {
        m_contentType = "text/plain";
        m_charSet = "us-ascii";
        return;
    }
    std::string charSet;
    m_contentType = RemoveParam(value, "charset", qtMIME, &charSet);
    if (!charSet.empty()) {
        m_charSet = charSet;
    } else if (HasMediaType(m_contentType, "text")) {
        m_charSet = "us-ascii";
    }
}

void TLpMessage::SetEncoding(TLpMessageEncoding value) {
    m_encoding = value;
    SetAttachmentEncoding(value == meMIME ? "MIME" : "UUE");
}

void TLpMessage::SetAttachmentEncoding(const std::string& value) {
    m_parts.SetAttachmentEncoding(value);
    m_attachmentEncoding = value;
}

bool TLpMessage::IsBodyBlank() const {
    for (const auto& line : m_body) {
        for (char ch : line) {
            if (ch != ' ' && ch != '\t' && ch != '\r' && ch != '\n') return false;
        }
    }
    return true;
}

std::pair<char, std::string> TLpMessage::ChooseHeaderCharset() const {
    const TLpUserLocale locale = UserLocale();
    std::string charSet = "UTF-8";
    if (locale.Language == "zh") {
        const bool simplified =
            locale.Script == "hans" ||
            (locale.Script != "hant" &&
             (locale.Territory.empty() || locale.Territory == "CN" || locale.Territory == "SG"));
        charSet = simplified ? "GB2312" : "Big5";
    } else if (locale.Language == "ja") {
        charSet = "ISO-2022-JP";
    } else if (locale.Language == "ko") {
        charSet = "csEUCKR";
    } else if (locale.Language == "ru") {
        charSet = "KOI8-R";
    } else if (locale.Language == "uk") {
        charSet = "windows-1251";
    }
    char letter = 'B';
    if (OnInitializeISO) OnInitializeISO(letter, charSet);
    return {letter, charSet};
}

// The offset written is the one in force at the moment being formatted, so a date from the
// other side of a daylight-saving change still names the right instant.
std::string TLpMessage::FormatMailDate(TLpDateTime date) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const auto local = LocalTimeAt(std::chrono::system_clock::to_time_t(date));
    if (!local) throw ELpFailedToRetreiveTimeZoneInfo();
    const std::tm& tm = local->Fields;
    const long offsetMinutes = local->UtcOffsetSeconds / 60;
    const long magnitude = std::labs(offsetMinutes);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %d %s %d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[tm.tm_wday % 7], tm.tm_mday, kMonths[tm.tm_mon % 12], tm.tm_year + 1900,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, offsetMinutes < 0 ? '-' : '+', magnitude / 60,
                  magnitude % 60);
    return text;
}

void TLpMessage::BuildHeaders() {
    m_parts.CountParts();
    const int partCount = m_parts.Count();
    const int textParts = m_parts.TextPartCount();
    const int attachments = m_parts.AttachmentCount();

    if (m_encoding == meDefault) m_encoding = partCount > 0 ? meMIME : mePlainText;

    for (int i = 0; i < partCount; ++i) {
        TLpMessagePart& part = m_parts[i];
        const std::string transfer = part.ContentTransfer();
        if (transfer.empty()) continue;
        if (m_encoding == meMIME) {
            if (!IsOneOf(transfer,
                         {"7bit", "8bit", "binary", "base64", "quoted-printable", "binhex40"})) {
                part.SetContentTransfer("base64");
            }
        } else if (!IsOneOf(transfer, {"UUE", "XXE"})) {
            part.SetContentTransfer("UUE");
        }
    }

    if (partCount > 0 && !m_contentTransferEncoding.empty() &&
        !IsOneOf(m_contentTransferEncoding, {"7bit", "8bit", "binary"})) {
        m_contentTransferEncoding.clear();
    }

    if (m_encoding == meMIME) {
        m_boundary.ClearBoundaries();
        m_boundary.PushBoundary(TLpMIMEBoundaryStrings::NewBoundary(), -1);
        if (m_contentType.empty()) {
            if (textParts > 1) {
                SetContentType(attachments > 0 ? "multipart/mixed" : "multipart/alternative");
            } else {
                SetContentType(attachments > 0 ? "multipart/mixed" : "text/plain");
            }
        }
    }

    auto [letter, charSet] = ChooseHeaderCharset();

    TLpHeaderList& h = m_lastGeneratedHeaders;
    h = m_inputHeaders;
    m_singlePartMime = m_encoding == meMIME && partCount == 1 && IsBodyBlank();

    h.SetHeader("From", EncodeAddressList(m_fromList, letter, charSet, true));
    h.SetHeader("Subject", EncodeHeaderText(m_subject, "", letter, charSet));
    h.SetHeader("To", EncodeAddressList(m_recipients, letter, charSet, false));
    h.SetHeader("Cc", EncodeAddressList(m_ccList, letter, charSet, false));
    // Bcc recipients travel only in the envelope.
    h.SetHeader("Bcc", "");
    std::string newsGroups;
    for (const auto& group : m_newsGroups) newsGroups += (newsGroups.empty() ? "" : ",") + group;
    h.SetHeader("Newsgroups", newsGroups);

    const std::string contentCharSet =
        !m_charSet.empty() ? m_charSet : (HasMediaType(m_contentType, "text") ? "us-ascii" : "");
    if (m_encoding == mePlainText) {
        h.SetHeader("Content-Type", m_contentType);
        h.SetHeaderParam("Content-Type", "charset", contentCharSet);
        h.SetHeader("Content-Transfer-Encoding", m_contentTransferEncoding);
    } else if (m_singlePartMime) {
        // The one part writes its own Content-* lines.
        h.SetHeader("MIME-Version", "1.0");
        h.SetHeader("Content-Type", "");
        h.SetHeader("Content-Transfer-Encoding", "");
        h.SetHeader("Content-Disposition", "");
    } else {
        h.SetHeader("Content-Type", m_contentType);
        h.SetHeaderParam("Content-Type", "charset", contentCharSet);
        const std::string boundary = m_boundary.CurrentBoundary();
        if (partCount > 0 && !boundary.empty())
            h.SetHeaderParam("Content-Type", "boundary", boundary);
        h.SetHeader("MIME-Version", "1.0");
        h.SetHeader("Content-Transfer-Encoding", m_contentTransferEncoding);
    }

    h.SetHeader("Sender", m_sender.Text());
    h.SetHeader("Reply-To", EncodeAddressList(m_replyTo, letter, charSet, false));
    h.SetHeader("Organization", EncodeHeaderText(m_organization, "", letter, charSet));
    const std::string receipt = EncodeAddressEntry(m_receiptRecipient, letter, charSet, false);
    h.SetHeader("Disposition-Notification-To", receipt);
    h.SetHeader("Return-Receipt-To", receipt);
    h.SetHeader("References", m_references);
    h.SetHeader("Date", FormatMailDate(UseNowForDate() ? Clock() : m_date));

    if (m_priority == mpNormal) {
        h.SetHeader("Priority", "");
        h.SetHeader("X-Priority", "");
        h.SetHeader("Importance", "");
    } else {
        const bool high = m_priority == mpHighest || m_priority == mpHigh;
        h.SetHeader("Priority", high ? "urgent" : "non-urgent");
        h.SetHeader("X-Priority", std::to_string(static_cast<int>(m_priority) + 1));
        h.SetHeader("Importance", high ? "high" : "low");
    }
    // The message id is written only when a message is saved to a file.
    h.SetHeader("Message-Id", "");

    if (m_extraHeaders.Count() > 0) h.AppendLines(m_extraHeaders);

    std::string inReplyTo = m_inReplyTo;
    if (!inReplyTo.empty()) {
        if (inReplyTo.front() != '<') inReplyTo.insert(0, "<");
        if (inReplyTo.back() != '>') inReplyTo += '>';
        h.SetHeader("In-Reply-To", inReplyTo);
    } else {
        const std::string messageId = h.GetHeader("Message-ID");
        if (!messageId.empty()) h.SetHeader("In-Reply-To", messageId);
    }
}

}  // namespace larkpost
