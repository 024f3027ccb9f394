#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "mail/MimeTable.h"
#include "platform/Exception.h"

namespace larkpost {
namespace {

const std::string kDataDir = LARKPOST_TEST_DATA_DIR;

TEST(MimeTable, BuiltInTableKeepsItsShape) {
    const auto& lines = BuiltInMediaTypeLines();
    ASSERT_EQ(lines.size(), 384u);
    std::set<std::string> extensions;
    for (const auto& line : lines) extensions.insert(line.substr(0, line.find('=')));
    EXPECT_EQ(extensions.size(), 372u);
    EXPECT_EQ(lines.front(), ".nml=application/x-nml");
    EXPECT_EQ(lines.back(), ".mht=message/rfc822");

    TLpMimeTable table(false);
    table.BuildCache();
    EXPECT_EQ(table.Extensions().size(), 372u);
    EXPECT_EQ(table.Extensions().front(), ".nml");
    EXPECT_EQ(table.Extensions().back(), ".mht");
}

// A reader that meets a type without a known top-level name and a subtype treats the part as
// unreadable; every built-in line must name a real media type.
TEST(MimeTable, EveryBuiltInTypeIsAMediaType) {
    const std::set<std::string> topLevel = {"application", "audio", "font",  "image",
                                            "message",     "model", "text",  "video"};
    for (const auto& line : BuiltInMediaTypeLines()) {
        SCOPED_TRACE(line);
        const std::string type = line.substr(line.find('=') + 1);
        const size_t slash = type.find('/');
        ASSERT_NE(slash, std::string::npos);
        EXPECT_EQ(topLevel.count(type.substr(0, slash)), 1u);
        EXPECT_GT(type.size(), slash + 1);
        EXPECT_EQ(type.find_first_of("/ ;", slash + 1), std::string::npos);
    }
}

TEST(MimeTable, BuiltInTypesOfTheTellingRows) {
    struct Case {
        const char* extensions;
        const char* type;
    };
    const Case cases[] = {
        {"txt", "text/plain"},
        {"htm html", "text/html"},
        {"xml", "text/xml"},
        {"css", "text/css"},
        {"js ls mocha", "text/javascript"},
        {"rtx", "text/richtext"},
        {"vcf", "text/x-vcard"},
        {"shtml", "text/x-server-parsed-html"},
        {"mht", "message/rfc822"},
        {"pdf", "application/pdf"},
        {"doc dot", "application/msword"},
        {"xls xlb", "application/x-msexcel"},
        {"pot pps ppt ppz", "application/mspowerpoint"},
        {"zip", "application/x-zip-compressed"},
        {"rar", "application/rar"},
        {"7z", "application/x-7z-compressed"},
        {"gz gzip", "application/x-gzip"},
        {"tar", "application/x-tar"},
        {"tgz", "application/x-compressed-tar"},
        {"bat com dll exe", "application/x-msdos-program"},
        {"msi", "application/x-msi"},
        {"ai eps ps", "application/postscript"},
        {"hqx", "application/mac-binhex40"},
        {"odt", "application/vnd.oasis.opendocument.text"},
        {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
        {"dist distz mpkg pkg", "application/vnd.apple.installer+xml"},
        {"jpg jpeg jpe", "image/jpeg"},
        {"gif", "image/gif"},
        {"bmp", "image/bmp"},
        {"png", "image/x-png"},
        {"tif", "image/x-tiff"},
        {"ico", "image/x-icon"},
        {"svg svgz", "image/svg+xml"},
        {"wav", "audio/x-wav"},
        {"mp2 mp3 m4a mpega mpga", "audio/x-mpg"},
        {"mid midi kar", "audio/midi"},
        {"mjf", "audio/x-vnd.audioexplosion.mjuicemediafile"},
        {"avi", "video/x-msvideo"},
        {"mp4 mpa mpe mpg", "video/mpeg"},
        {"mpeg", "video/x-mpeg2a"},
        {"mov moov qt", "video/quicktime"},
        {"wmv", "video/x-ms-wmv"},
        // Listed twice: the first line counts.
        {"m3u", "audio/mpegurl"},
        {"xbm", "image/xbm"},
        {"asx asf", "video/x-ms-asf"},
        {"cpt", "image/x-corelphotopaint"},
        {"rm", "audio/x-pn-realaudio"},
    };
    TLpMimeTable table(false);
    for (const auto& c : cases) {
        std::string list = c.extensions;
        size_t pos = 0;
        while (pos < list.size()) {
            size_t end = list.find(' ', pos);
            if (end == std::string::npos) end = list.size();
            const std::string ext = list.substr(pos, end - pos);
            SCOPED_TRACE(ext);
            EXPECT_EQ(table.MediaTypeOf("file." + ext), c.type);
            pos = end + 1;
        }
    }
}

TEST(MimeTable, ExtensionOfTheFileName) {
    struct Case {
        const char* name;
        const char* fileName;
        const char* type;
    };
    const Case cases[] = {
        {"upper-case extension", "report.PDF", "application/pdf"},
        {"last full stop counts", "archive.tar.gz", "application/x-gzip"},
        {"path with folders", "/home/u/doc.v2/report.pdf", "application/pdf"},
        {"no full stop", "README", "application/octet-stream"},
        {"ends in a full stop", "name.", "application/octet-stream"},
        {"full stop only in a folder", "/data/old.files/notes", "application/octet-stream"},
        {"not built in: docx", "a.docx", "application/octet-stream"},
        {"not built in: xlsx", "a.xlsx", "application/octet-stream"},
        {"not built in: pptx", "a.pptx", "application/octet-stream"},
        {"not built in: rtf", "a.rtf", "application/octet-stream"},
        {"not built in: tiff", "a.tiff", "application/octet-stream"},
        {"empty name", "", "application/octet-stream"},
    };
    TLpMimeTable table(false);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(table.MediaTypeOf(c.fileName), c.type);
    }
}

TEST(MimeTable, SystemAssociationsOverrideInTheirOrder) {
    TLpMimeTable table(true, TLpMediaTypeStore(kDataDir + "/mimetypes-per-type.types",
                                               kDataDir + "/mimetypes-per-extension.types"));
    struct Case {
        const char* name;
        const char* fileName;
        const char* type;
    };
    const Case cases[] = {
        {"per-type pass beats the user's file and the built-in line", "a.png", "image/png"},
        {"user's file beats the built-in line", "a.mp3", "audio/mpeg"},
        {"per-type pass beats the user's file", "a.lpboth", "application/x-larkpost-both"},
        {"user's file adds an extension", "a.lpuser", "application/x-larkpost-user"},
        {"later line of one pass wins", "a.lpdup", "application/x-larkpost-second"},
        {"names and types are lower-cased", "a.LpShout", "image/x-larkpost-shouted"},
        {"untouched built-in line", "a.m3u", "audio/mpegurl"},
        {"still unknown", "a.docx", "application/octet-stream"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(table.MediaTypeOf(c.fileName), c.type);
    }
    EXPECT_EQ(table.Extensions().size(), 372u + 4u);

    TLpMimeTable builtInOnly(false, TLpMediaTypeStore(kDataDir + "/mimetypes-per-type.types",
                                                      kDataDir + "/mimetypes-per-extension.types"));
    EXPECT_EQ(builtInOnly.MediaTypeOf("a.png"), "image/x-png");
    EXPECT_EQ(builtInOnly.MediaTypeOf("a.mp3"), "audio/x-mpg");
}

TEST(MimeTable, MissingStoreFilesLeaveTheBuiltInTable) {
    TLpMimeTable table(true, TLpMediaTypeStore("/nonexistent/mime.types", ""));
    EXPECT_EQ(table.MediaTypeOf("a.png"), "image/x-png");
    EXPECT_EQ(table.Extensions().size(), 372u);
}

TEST(MimeTable, MediaTypeForFileReadsTheUsersFile) {
    const auto dir = std::filesystem::temp_directory_path() /
                     ("larkpost-mimetable-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::ofstream(dir / ".mime.types") << "application/x-larkpost-home lphome\n";
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    ::setenv("HOME", dir.c_str(), 1);
    const std::string type = MediaTypeForFile("report.lphome");
    if (oldHome)
        ::setenv("HOME", savedHome.c_str(), 1);
    else
        ::unsetenv("HOME");
    std::filesystem::remove_all(dir);
    EXPECT_EQ(type, "application/x-larkpost-home");
}

TEST(MimeTable, AddMediaTypeRejectsBadPairsWhenAsked) {
    TLpMimeTable table(false);
    table.AddMediaType("LPX", "Application/X-Lp", true);
    EXPECT_EQ(table.Extensions().back(), ".lpx");
    EXPECT_EQ(table.MediaTypes().back(), "application/x-lp");

    struct Case {
        const char* ext;
        const char* type;
        const char* message;
    };
    const Case cases[] = {
        {"", "text/plain", "Extension is empty"},
        {"lpy", "", "Mimetype is empty"},
        {".LPX", "text/plain", "Extension already exits"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        try {
            table.AddMediaType(c.ext, c.type, true);
            ADD_FAILURE() << "no exception";
        } catch (const ELpException& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_NO_THROW(table.AddMediaType(c.ext, c.type, false));
    }
    EXPECT_EQ(table.MediaTypeOf("a.lpx"), "application/x-lp");
}

}  // namespace
}  // namespace larkpost
