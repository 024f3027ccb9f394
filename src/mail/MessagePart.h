// MIME parts of a message (RFC 2045 Content-* fields, RFC 2183 Content-Disposition): the text and
// file-attachment parts the send workflow creates, and the collection the message owns.
#pragma once

#include <cstddef>
#include <fstream>
#include <istream>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "mail/HeaderList.h"
#include "platform/Exception.h"

namespace larkpost {

class TLpMessageParts;

enum TLpMessagePartType { mptText = 0, mptAttachment = 1 };

class ELpCanNotCreateMessagePart : public ELpException {
public:
    ELpCanNotCreateMessagePart()
        : ELpException("TLpMessagePart can not be created.  Use descendant classes. ") {}
    const char* ClassName() const noexcept override { return "ELpCanNotCreateMessagePart"; }
};

// One part. The Content-* values live as lines of the part's own header list; CharSet, Name and
// FileName are kept apart and added as parameters when the part is written.
class TLpMessagePart {
public:
    virtual ~TLpMessagePart() = default;
    TLpMessagePart(const TLpMessagePart&) = delete;
    TLpMessagePart& operator=(const TLpMessagePart&) = delete;

    TLpMessageParts* Collection() const noexcept { return m_collection; }
    // Position in the collection, -1 when the part belongs to none.
    int Index() const;

    virtual std::string ContentDisposition() const;
    virtual std::string ContentType() const;
    virtual std::string ContentTransfer() const;
    virtual std::string ContentID() const;
    virtual std::string ContentLocation() const;
    virtual std::string ContentDescription() const;
    // Takes a "filename" parameter out of value into FileName (encoded words decoded).
    virtual void SetContentDisposition(const std::string& value);
    // Takes "charset" and "name" parameters out of value into CharSet and Name.
    virtual void SetContentType(const std::string& value);
    virtual void SetContentTransfer(const std::string& value);
    virtual void SetContentID(const std::string& value);
    virtual void SetContentDescription(const std::string& value);
    virtual void SetContentLocation(const std::string& value);
    virtual TLpMessagePartType PartKind() const = 0;

    const std::string& CharSet() const noexcept { return m_charSet; }
    void SetCharSet(std::string value) { m_charSet = std::move(value); }
    const std::string& Name() const noexcept { return m_name; }
    void SetName(std::string value) { m_name = std::move(value); }
    const std::string& FileName() const noexcept { return m_fileName; }
    void SetFileName(std::string value) { m_fileName = std::move(value); }
    // Index of the multipart part holding this one; -1 for the top level.
    int ParentPart() const noexcept { return m_parentPart; }
    void SetParentPart(int value) { m_parentPart = value; }

    TLpHeaderList& ExtraHeaders() noexcept { return m_extraHeaders; }
    const TLpHeaderList& ExtraHeaders() const noexcept { return m_extraHeaders; }
    TLpHeaderList& Headers() noexcept { return m_headers; }
    const TLpHeaderList& Headers() const noexcept { return m_headers; }

protected:
    explicit TLpMessagePart(TLpMessageParts& collection);

private:
    friend class TLpMessageParts;

    TLpMessageParts* m_collection;
    std::string m_charSet;
    std::string m_name;
    std::string m_fileName;
    int m_parentPart = -1;
    TLpHeaderList m_extraHeaders;
    TLpHeaderList m_headers;
};

// A part whose data is text lines held in memory (the message body on the send road).
class TLpText : public TLpMessagePart {
public:
    explicit TLpText(TLpMessageParts& collection,
                     const std::vector<std::string>& body = std::vector<std::string>());

    TLpMessagePartType PartKind() const override { return mptText; }
    std::vector<std::string>& Body() noexcept { return m_body; }
    const std::vector<std::string>& Body() const noexcept { return m_body; }
    virtual void SetBody(const std::vector<std::string>& value) { m_body = value; }

private:
    std::vector<std::string> m_body;
};

// A part whose data is read from a stream while it is written.
class TLpAttachment : public TLpMessagePart {
public:
    TLpMessagePartType PartKind() const override { return mptAttachment; }

    // A readable stream of the data, valid until CloseContent.
    virtual std::istream& OpenContent() = 0;
    virtual void CloseContent() = 0;
    // A writable stream for data saved into the part (not on the send road).
    virtual std::ostream& PrepareTempContent() = 0;
    virtual void FinishTempContent() = 0;

    void LoadFromFile(const std::string& path);
    void LoadFromStream(std::istream& source);
    void SaveToFile(const std::string& path);
    void SaveToStream(std::ostream& destination);

protected:
    using TLpMessagePart::TLpMessagePart;
};

// An attachment backed by a file on disk; the file is read in blocks while the part is written.
class TLpAttachmentFile : public TLpAttachment {
public:
    // FileName := the name after the last "/" of path; ContentType := its media type.
    TLpAttachmentFile(TLpMessageParts& collection, const std::string& path);
    ~TLpAttachmentFile() override;

    const std::string& SourcePath() const noexcept { return m_sourcePath; }
    void SetSourcePath(std::string value) { m_sourcePath = std::move(value); }
    bool FileIsTempFile() const noexcept { return m_fileIsTempFile; }
    void SetFileIsTempFile(bool value) { m_fileIsTempFile = value; }

    // Raises the file-open error (ELpFileError "Cannot open file ...") when the file cannot be
    // read, or when another process holds it open for writing (a half-written file is not sent).
    std::istream& OpenContent() override;
    void CloseContent() override;
    std::ostream& PrepareTempContent() override;
    void FinishTempContent() override;

private:
    struct TContentStream;

    std::string m_sourcePath;
    std::unique_ptr<TContentStream> m_stream;
    std::unique_ptr<std::ofstream> m_tempStream;
    bool m_fileIsTempFile = false;
};

// The parts of one message, owned by it, in the order they are written.
class TLpMessageParts {
public:
    TLpMessageParts() = default;
    TLpMessageParts(const TLpMessageParts&) = delete;
    TLpMessageParts& operator=(const TLpMessageParts&) = delete;

    // Creates a part in this collection: parts.Add<TLpText>(lines),
    // parts.Add<TLpAttachmentFile>(path).
    template <class T, class... Args>
    T& Add(Args&&... args) {
        if constexpr (std::is_same_v<T, TLpMessagePart>) {
            throw ELpCanNotCreateMessagePart();
        } else {
            auto part = std::make_unique<T>(*this, std::forward<Args>(args)...);
            T& result = *part;
            m_items.push_back(std::move(part));
            return result;
        }
    }

    int Count() const noexcept { return static_cast<int>(m_items.size()); }
    TLpMessagePart& operator[](int index) { return *m_items.at(static_cast<size_t>(index)); }
    const TLpMessagePart& operator[](int index) const {
        return *m_items.at(static_cast<size_t>(index));
    }
    int IndexOf(const TLpMessagePart& part) const;
    void Delete(int index);
    void Clear() noexcept { m_items.clear(); }

    // Counts by kind (related parts: those with a Content-ID); filled by CountParts.
    void CountParts();
    int TextPartCount() const noexcept { return m_textPartCount; }
    int AttachmentCount() const noexcept { return m_attachmentCount; }
    int RelatedPartCount() const noexcept { return m_relatedPartCount; }

    // Name of the attachment encoder; raises ELpException "Message encoder not found: <name>"
    // for a name that is not registered.
    const std::string& AttachmentEncoding() const noexcept { return m_attachmentEncoding; }
    void SetAttachmentEncoding(const std::string& value);

private:
    std::vector<std::unique_ptr<TLpMessagePart>> m_items;
    int m_textPartCount = 0;
    int m_attachmentCount = 0;
    int m_relatedPartCount = 0;
    std::string m_attachmentEncoding = "MIME";
};

}  // namespace larkpost
