#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "mail/MIMEBoundary.h"
#include "mail/MessagePart.h"
#include "platform/Random.h"
#include "platform/SystemError.h"

namespace larkpost {
namespace {

class TempDir {
public:
    TempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_path = std::filesystem::temp_directory_path() /
                 ("larkpost-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_path);
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    std::string File(const std::string& name, const std::string& content) const {
        const auto path = m_path / name;
        std::ofstream(path, std::ios::binary) << content;
        return path.string();
    }
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

TEST(MessagePart, ContentTypeMovesCharsetAndNameOut) {
    TLpMessageParts parts;
    TLpText& text = parts.Add<TLpText>(std::vector<std::string>{"a", "b"});
    EXPECT_EQ(text.Body(), (std::vector<std::string>{"a", "b"}));

    text.SetContentType("text/plain; charset=UTF-8; name=a.txt");
    EXPECT_EQ(text.ContentType(), "text/plain");
    EXPECT_EQ(text.CharSet(), "UTF-8");
    EXPECT_EQ(text.Name(), "a.txt");

    text.SetContentType("text/html");
    EXPECT_EQ(text.ContentType(), "text/html");
    EXPECT_EQ(text.CharSet(), "UTF-8");
    EXPECT_EQ(text.Name(), "a.txt");
    EXPECT_EQ(text.Headers().Lines(), std::vector<std::string>{"Content-Type: text/html"});
}

TEST(MessagePart, ContentDispositionMovesTheDecodedFileNameOut) {
    TLpMessageParts parts;
    TLpText& text = parts.Add<TLpText>();
    text.SetContentDisposition(
        "attachment; filename=\"=?UTF-8?B?R3LDvMOfZQ==?= =?UTF-8?Q?_K=C3=B6ln?=.txt\"");
    EXPECT_EQ(text.ContentDisposition(), "attachment");
    EXPECT_EQ(text.FileName(),
              "Gr\xC3\xBC\xC3\x9F"
              "e K\xC3\xB6ln.txt");

    text.SetContentDisposition("inline");
    EXPECT_EQ(text.FileName(),
              "Gr\xC3\xBC\xC3\x9F"
              "e K\xC3\xB6ln.txt");
}

TEST(MessagePart, OtherContentFieldsAreHeaderLines) {
    TLpMessageParts parts;
    TLpText& text = parts.Add<TLpText>();
    text.SetContentTransfer("base64");
    text.SetContentID("<id@x>");
    text.SetContentDescription("desc");
    text.SetContentLocation("loc");
    EXPECT_EQ(text.ContentTransfer(), "base64");
    EXPECT_EQ(text.ContentID(), "<id@x>");
    EXPECT_EQ(text.Headers().Count(), 4u);
    text.SetContentID("");
    EXPECT_EQ(text.ContentID(), "");
    EXPECT_EQ(text.Headers().Count(), 3u);
}

TEST(MessageParts, CollectionCountsAndOrder) {
    TempDir dir;
    TLpMessageParts parts;
    TLpText& body = parts.Add<TLpText>();
    TLpAttachmentFile& a = parts.Add<TLpAttachmentFile>(dir.File("a.pdf", "%PDF"));
    TLpAttachmentFile& b = parts.Add<TLpAttachmentFile>(dir.File("b.bin", "x"));
    b.SetContentID("<b@x>");
    parts.CountParts();
    EXPECT_EQ(parts.Count(), 3);
    EXPECT_EQ(parts.TextPartCount(), 1);
    EXPECT_EQ(parts.AttachmentCount(), 2);
    EXPECT_EQ(parts.RelatedPartCount(), 1);
    EXPECT_EQ(body.Index(), 0);
    EXPECT_EQ(a.Index(), 1);
    EXPECT_EQ(b.ParentPart(), -1);
    EXPECT_EQ(&parts[2], &b);

    try {
        parts.Add<TLpMessagePart>();
        ADD_FAILURE() << "a bare part was created";
    } catch (const ELpCanNotCreateMessagePart& e) {
        EXPECT_STREQ(e.what(), "TLpMessagePart can not be created.  Use descendant classes. ");
    }
    EXPECT_EQ(parts.Count(), 3);

    EXPECT_THROW(parts.SetAttachmentEncoding("NOPE"), ELpException);
    parts.SetAttachmentEncoding("UUE");
    EXPECT_EQ(parts.AttachmentEncoding(), "UUE");
}

TEST(AttachmentFile, NameAndTypeFromThePath) {
    struct Case {
        const char* path;
        const char* fileName;
        const char* type;
    };
    const Case cases[] = {
        {"/data/old.files/notes", "notes", "application/octet-stream"},
        {"/data/report.PDF", "report.PDF", "application/pdf"},
        {"relative.lpnotknown", "relative.lpnotknown", "application/octet-stream"},
        {"/data/folder/", "", ""},
    };
    TLpMessageParts parts;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        TLpAttachmentFile& file = parts.Add<TLpAttachmentFile>(c.path);
        EXPECT_EQ(file.FileName(), c.fileName);
        EXPECT_EQ(file.SourcePath(), c.path);
        EXPECT_EQ(file.ContentType(), c.type);
    }
}

TEST(AttachmentFile, ContentIsReadInFull) {
    TempDir dir;
    std::string data;
    for (int i = 0; i < 200000; ++i) data += static_cast<char>(i * 7 % 256);
    TLpMessageParts parts;
    TLpAttachmentFile& file = parts.Add<TLpAttachmentFile>(dir.File("data.bin", data));
    for (int round = 0; round < 2; ++round) {
        std::istream& in = file.OpenContent();
        // One small read, then a large one: both the buffered and the direct path.
        std::string got(10, '\0');
        in.read(got.data(), 10);
        std::string rest(data.size(), '\0');
        in.read(rest.data(), static_cast<std::streamsize>(rest.size()));
        got += rest.substr(0, static_cast<size_t>(in.gcount()));
        EXPECT_EQ(got, data);
        file.CloseContent();
    }
}

TEST(AttachmentFile, FileThatCannotBeOpenedRaisesTheFileOpenError) {
    TempDir dir;
    TLpMessageParts parts;
    const std::string path = dir.File("gone.txt", "x");
    TLpAttachmentFile& file = parts.Add<TLpAttachmentFile>(path);
    std::filesystem::remove(path);
    try {
        file.OpenContent();
        ADD_FAILURE() << "no exception";
    } catch (const ELpFileError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Cannot open file \"" + path + "\". No such file or directory");
    }
}

// Only a regular file is data to send: a pipe without a writer blocked the open for ever, a
// device never ends. Each is refused at once with the file-open error.
TEST(AttachmentFile, AnythingButARegularFileCannotBeOpened) {
    TempDir dir;
    const std::string pipe = (dir.Path() / "pipe").string();
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::string folder = (dir.Path() / "folder.txt").string();
    std::filesystem::create_directory(folder);
    struct Case {
        std::string path;
        std::string reason;
    };
    const Case cases[] = {
        {"/dev/zero", "Not a regular file"},
        {"/dev/null", "Not a regular file"},
        {pipe, "Not a regular file"},
        {folder, "Is a directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        TLpMessageParts parts;
        TLpAttachmentFile& file = parts.Add<TLpAttachmentFile>(c.path);
        try {
            file.OpenContent();
            ADD_FAILURE() << "opened";
        } catch (const ELpFileError& e) {
            EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + c.path + "\". " + c.reason);
        }
    }
}

TEST(AttachmentFile, FileOpenForWritingElsewhereIsRefused) {
    TempDir dir;
    const std::string path = dir.File("busy.txt", "half");
    {
        // Leases need a file system and a user that allow them; without, the check is moot.
        const int probe = ::open(path.c_str(), O_RDONLY);
        const bool leases = ::fcntl(probe, F_SETLEASE, F_RDLCK) == 0;
        ::close(probe);
        if (!leases) GTEST_SKIP() << "file leases not available here";
    }
    TLpMessageParts parts;
    TLpAttachmentFile& file = parts.Add<TLpAttachmentFile>(path);
    {
        std::ofstream writer(path, std::ios::app);
        try {
            file.OpenContent();
            ADD_FAILURE() << "a file open for writing was opened";
        } catch (const ELpFileError& e) {
            EXPECT_EQ(std::string(e.what()),
                      "Cannot open file \"" + path + "\". Device or resource busy");
        }
    }
    EXPECT_NO_THROW(file.OpenContent());
}

TEST(AttachmentFile, DataLoadedIntoATemporaryFileGoesWithThePart) {
    std::string path;
    {
        TLpMessageParts parts;
        TLpAttachmentFile& file = parts.Add<TLpAttachmentFile>("");
        std::istringstream source(std::string("loaded\0data", 11));
        file.LoadFromStream(source);
        path = file.SourcePath();
        EXPECT_TRUE(file.FileIsTempFile());
        std::ostringstream saved;
        file.SaveToStream(saved);
        EXPECT_EQ(saved.str(), std::string("loaded\0data", 11));
        EXPECT_TRUE(std::filesystem::exists(path));
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(MIMEBoundary, StackOfBoundaries) {
    TLpMIMEBoundary stack;
    EXPECT_EQ(stack.CurrentBoundary(), "");
    EXPECT_EQ(stack.CurrentParentIndex(), -1);
    stack.PopBoundary();
    EXPECT_EQ(stack.BoundaryCount(), 0);

    stack.PushBoundary("outer", -1);
    stack.PushBoundary("inner", 2);
    EXPECT_EQ(stack.BoundaryCount(), 2);
    EXPECT_EQ(stack.CurrentBoundary(), "inner");
    EXPECT_EQ(stack.CurrentParentIndex(), 2);
    stack.PopBoundary();
    EXPECT_EQ(stack.CurrentBoundary(), "outer");
    EXPECT_EQ(stack.CurrentParentIndex(), -1);
    stack.ClearBoundaries();
    EXPECT_EQ(stack.BoundaryCount(), 0);
}

// Feeds RandomReal from a list, so each boundary character and the "=_" position are chosen.
class FixedRandom {
public:
    explicit FixedRandom(std::vector<double> values) : m_values(std::move(values)) {
        SetRandomSource([this] { return m_values.at(m_next++ % m_values.size()); });
    }
    ~FixedRandom() { SetRandomSource(nullptr); }

private:
    std::vector<double> m_values;
    size_t m_next = 0;
};

// The real that draws n (1..62) for a boundary character.
double DrawFor(int n) {
    return (n - 1) / 61.0;
}

TEST(MIMEBoundary, NewBoundaryMapsDrawsOntoLettersAndDigits) {
    {
        FixedRandom random({0.0});
        EXPECT_EQ(TLpMIMEBoundaryStrings::NewBoundary(), "=_" + std::string(32, '0'));
    }
    {
        FixedRandom random({0.9999999});
        EXPECT_EQ(TLpMIMEBoundaryStrings::NewBoundary(), std::string(32, 'z') + "=_");
    }
    {
        // 1..62 cover "0".."9", "A".."Z", "a".."z", with the seams at 10/11 and 36/37.
        std::vector<double> draws;
        const int picks[] = {1, 10, 11, 36, 37, 62};
        for (int i = 0; i < 34; ++i) draws.push_back(DrawFor(picks[i % 6]));
        draws.push_back(16.0 / 32);  // k = 17
        FixedRandom random(draws);
        const std::string b = TLpMIMEBoundaryStrings::NewBoundary();
        EXPECT_EQ(b, "09AZaz09AZaz09AZ=_09AZaz09AZaz09AZ");
    }
}

TEST(MIMEBoundary, NewBoundaryFromTheClockSeededGenerator) {
    std::set<std::string> seen;
    std::set<size_t> pairPositions;
    for (int i = 0; i < 2000; ++i) {
        const std::string b = TLpMIMEBoundaryStrings::NewBoundary();
        ASSERT_EQ(b.size(), 34u);
        const size_t pair = b.find("=_");
        ASSERT_NE(pair, std::string::npos) << b;
        pairPositions.insert(pair);
        int alnum = 0;
        for (const char c : b) alnum += std::isalnum(static_cast<unsigned char>(c)) ? 1 : 0;
        EXPECT_EQ(alnum, 32) << b;
        seen.insert(b);
    }
    EXPECT_EQ(seen.size(), 2000u);
    EXPECT_EQ(pairPositions.size(), 33u);  // 1-2 through 33-34
}

TEST(MIMEBoundary, InjectedBoundarySource) {
    TLpMIMEBoundaryStrings::SetBoundarySource([] { return std::string("fixed=_boundary"); });
    EXPECT_EQ(TLpMIMEBoundaryStrings::NewBoundary(), "fixed=_boundary");
    TLpMIMEBoundaryStrings::SetBoundarySource(nullptr);
    EXPECT_EQ(TLpMIMEBoundaryStrings::NewBoundary().size(), 34u);
}

}  // namespace
}  // namespace larkpost
