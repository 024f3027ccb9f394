// The in-memory mail message: header fields, address lists, body lines and MIME parts, and the
// header block built from them (RFC 5322 section 3.6, MIME-Version and Content-* of RFC 2045).
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "mail/EMailAddress.h"
#include "mail/HeaderList.h"
#include "mail/MIMEBoundary.h"
#include "mail/MessagePart.h"
#include "platform/Exception.h"

namespace larkpost {

enum TLpMessagePriority { mpHighest = 0, mpHigh = 1, mpNormal = 2, mpLow = 3, mpLowest = 4 };
enum TLpMessageEncoding { meDefault = 0, meMIME = 1, mePlainText = 2 };

// A point in time; the zero value (the epoch) stands for "now, at header building".
using TLpDateTime = std::chrono::system_clock::time_point;
// Lets the owner change the charset chosen for encoded header words.
using TLpInitializeIsoEvent = std::function<void(char& headerEncoding, std::string& charSet)>;

class ELpFailedToRetreiveTimeZoneInfo : public ELpException {
public:
    ELpFailedToRetreiveTimeZoneInfo()
        : ELpException("Failed attempting to retrieve time zone information.") {}
    const char* ClassName() const noexcept override { return "ELpFailedToRetreiveTimeZoneInfo"; }
};

class TLpMessage {
public:
    TLpMessage();
    TLpMessage(const TLpMessage&) = delete;
    TLpMessage& operator=(const TLpMessage&) = delete;

    void ClearMessage();
    // Rebuilds LastGeneratedHeaders (and the boundary stack) from the fields and the parts.
    void BuildHeaders();
    // (encoding letter, charset name) for encoded header words, from the user's locale.
    std::pair<char, std::string> ChooseHeaderCharset() const;
    // "Tue, 5 Mar 2024 14:03:09 +1100" in the local time zone.
    static std::string FormatMailDate(TLpDateTime date);

    // True after BuildHeaders when the one part writes its own Content-* lines: MIME, exactly
    // one part and a blank message body.
    bool IsMsgSinglePartMime() const noexcept { return m_singlePartMime; }
    // Every character of the body lines is a blank (an empty body is blank).
    bool IsBodyBlank() const;

    const std::string& Subject() const noexcept { return m_subject; }
    void SetSubject(std::string value) { m_subject = std::move(value); }
    TLpDateTime Date() const noexcept { return m_date; }
    void SetDate(TLpDateTime value) { m_date = value; }
    bool UseNowForDate() const noexcept { return m_date == TLpDateTime(); }
    void SetUseNowForDate(bool value);

    // Item 0 of FromList, appended first when the list is empty.
    TLpEMailAddressItem& From();
    void SetFrom(const TLpEMailAddressItem& value) { From() = value; }
    TLpEMailAddressList& FromList() noexcept { return m_fromList; }
    TLpEMailAddressList& Recipients() noexcept { return m_recipients; }
    void SetRecipients(const TLpEMailAddressList& value) { m_recipients = value; }
    TLpEMailAddressList& CCList() noexcept { return m_ccList; }
    void SetCCList(const TLpEMailAddressList& value) { m_ccList = value; }
    TLpEMailAddressList& BccList() noexcept { return m_bccList; }
    void SetBccList(const TLpEMailAddressList& value) { m_bccList = value; }
    TLpEMailAddressList& ReplyTo() noexcept { return m_replyTo; }
    void SetReplyTo(const TLpEMailAddressList& value) { m_replyTo = value; }
    TLpEMailAddressItem& Sender() noexcept { return m_sender; }
    void SetSender(const TLpEMailAddressItem& value) { m_sender = value; }
    TLpEMailAddressItem& ReceiptRecipient() noexcept { return m_receiptRecipient; }
    void SetReceiptRecipient(const TLpEMailAddressItem& value) { m_receiptRecipient = value; }

    const std::string& Organization() const noexcept { return m_organization; }
    void SetOrganization(std::string value) { m_organization = std::move(value); }
    const std::string& References() const noexcept { return m_references; }
    void SetReferences(std::string value) { m_references = std::move(value); }
    const std::string& InReplyTo() const noexcept { return m_inReplyTo; }
    void SetInReplyTo(std::string value) { m_inReplyTo = std::move(value); }
    std::vector<std::string>& NewsGroups() noexcept { return m_newsGroups; }
    TLpMessagePriority Priority() const noexcept { return m_priority; }
    void SetPriority(TLpMessagePriority value) { m_priority = value; }

    // Media type without its charset parameter. Setting it moves a charset parameter into
    // CharSet; an empty value means "text/plain" in us-ascii.
    const std::string& ContentType() const noexcept { return m_contentType; }
    void SetContentType(const std::string& value);
    const std::string& CharSet() const noexcept { return m_charSet; }
    void SetCharSet(std::string value) { m_charSet = std::move(value); }
    const std::string& ContentTransferEncoding() const noexcept {
        return m_contentTransferEncoding;
    }
    void SetContentTransferEncoding(std::string value) {
        m_contentTransferEncoding = std::move(value);
    }
    const std::string& ContentDisposition() const noexcept { return m_contentDisposition; }
    void SetContentDisposition(std::string value) { m_contentDisposition = std::move(value); }

    TLpMessageEncoding Encoding() const noexcept { return m_encoding; }
    // meMIME selects the "MIME" attachment encoder, anything else "UUE".
    void SetEncoding(TLpMessageEncoding value);
    const std::string& AttachmentEncoding() const noexcept { return m_attachmentEncoding; }
    // Raises ELpException "Message encoder not found: <name>" for an unknown encoder name.
    void SetAttachmentEncoding(const std::string& value);
    bool ConvertPreamble() const noexcept { return m_convertPreamble; }
    void SetConvertPreamble(bool value) { m_convertPreamble = value; }
    bool NoEncode() const noexcept { return m_noEncode; }
    void SetNoEncode(bool value) { m_noEncode = value; }

    std::vector<std::string>& Body() noexcept { return m_body; }
    const std::vector<std::string>& Body() const noexcept { return m_body; }
    void SetBody(const std::vector<std::string>& value) { m_body = value; }
    TLpHeaderList& InputHeaders() noexcept { return m_inputHeaders; }
    TLpHeaderList& ExtraHeaders() noexcept { return m_extraHeaders; }
    void SetExtraHeaders(const TLpHeaderList& value) { m_extraHeaders = value; }
    const TLpHeaderList& LastGeneratedHeaders() const noexcept { return m_lastGeneratedHeaders; }

    TLpMessageParts& MessageParts() noexcept { return m_parts; }
    TLpMIMEBoundary& MIMEBoundary() noexcept { return m_boundary; }

    // Written only when the message is saved to a file, never on the send road.
    const std::string& MsgId() const noexcept { return m_msgId; }
    void SetMsgId(std::string value) { m_msgId = std::move(value); }

    TLpInitializeIsoEvent OnInitializeISO;
    // The clock behind "now" (the Date header when Date is zero, UseNowForDate := false);
    // tests replace it to make the header block deterministic.
    std::function<TLpDateTime()> Clock = [] { return std::chrono::system_clock::now(); };

private:
    std::string m_subject;
    TLpDateTime m_date{};
    TLpEMailAddressList m_fromList;
    TLpEMailAddressList m_recipients;
    TLpEMailAddressList m_ccList;
    TLpEMailAddressList m_bccList;
    TLpEMailAddressList m_replyTo;
    TLpEMailAddressItem m_sender;
    TLpEMailAddressItem m_receiptRecipient;
    std::string m_organization;
    std::string m_references;
    std::string m_inReplyTo;
    std::vector<std::string> m_newsGroups;
    TLpMessagePriority m_priority = mpNormal;
    std::string m_contentType;
    std::string m_charSet;
    std::string m_contentTransferEncoding;
    std::string m_contentDisposition;
    TLpMessageEncoding m_encoding = meDefault;
    std::string m_attachmentEncoding = "MIME";
    bool m_convertPreamble = true;
    bool m_noEncode = false;
    std::vector<std::string> m_body;
    TLpHeaderList m_inputHeaders;
    TLpHeaderList m_extraHeaders;
    TLpHeaderList m_lastGeneratedHeaders;
    TLpMessageParts m_parts;
    TLpMIMEBoundary m_boundary;
    std::string m_msgId;
    bool m_singlePartMime = false;
};

}  // namespace larkpost
