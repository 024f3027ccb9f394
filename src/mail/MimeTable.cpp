#include "mail/MimeTable.h"

#include <sys/stat.h>

#include <memory>
#include <mutex>

#include "platform/Exception.h"

namespace larkpost {
namespace {

std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// Replaces the value of the first line named ext (ignoring case) or appends a line; the index maps
// each lower-cased name to its first line.
void PutLine(std::vector<std::string>& lines, std::unordered_map<std::string, size_t>& firstLine,
             const std::string& ext, const std::string& type) {
    const std::string line = ext + "=" + type;
    const auto found = firstLine.find(ext);
    if (found != firstLine.end()) {
        lines[found->second] = line;
        return;
    }
    firstLine.emplace(ext, lines.size());
    lines.push_back(line);
}

// Path, size and modification time: what tells that a mime.types file has changed.
std::string FileStamp(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) return path + ":none";
    return path + ":" + std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) +
           "." + std::to_string(info.st_mtim.tv_nsec) + ":" + std::to_string(info.st_ino);
}

}  // namespace

const std::vector<std::string>& BuiltInMediaTypeLines() {
    // Where an extension appears twice the first line is the one that counts; the second stays
    // so the table keeps its established shape.
    static const std::vector<std::string> lines = {
        ".nml=application/x-nml",
        ".aac=audio/aac",
        ".aif=audio/x-aiff",
        ".aifc=audio/x-aiff",
        ".aiff=audio/x-aiff",
        ".au=audio/basic",
        ".gsm=audio/x-gsm",
        ".kar=audio/midi",
        ".m3u=audio/mpegurl",
        ".m4a=audio/x-mpg",
        ".mid=audio/midi",
        ".midi=audio/midi",
        ".mpega=audio/x-mpg",
        ".mp2=audio/x-mpg",
        ".mp3=audio/x-mpg",
        ".mpga=audio/x-mpg",
        ".pls=audio/x-scpls",
        ".m3u=audio/x-mpegurl",
        ".qcp=audio/vnd.qcelp",
        ".ra=audio/x-pn-realaudio",
        ".ram=audio/x-pn-realaudio",
        ".rm=audio/x-pn-realaudio",
        ".sd2=audio/x-sd2",
        ".sid=audio/prs.sid",
        ".snd=audio/basic",
        ".wav=audio/x-wav",
        ".wax=audio/x-ms-wax",
        ".wma=audio/x-ms-wma",
        ".mjf=audio/x-vnd.AudioExplosion.MjuiceMediaFile",
        ".art=image/x-jg",
        ".bmp=image/bmp",
        ".cdr=image/x-coreldraw",
        ".cdt=image/x-coreldrawtemplate",
        ".cpt=image/x-corelphotopaint",
        ".djv=image/vnd.djvu",
        ".djvu=image/vnd.djvu",
        ".gif=image/gif",
        ".ief=image/ief",
        ".ico=image/x-icon",
        ".jng=image/x-jng",
        ".jpg=image/jpeg",
        ".jpeg=image/jpeg",
        ".jpe=image/jpeg",
        ".pat=image/x-coreldrawpattern",
        ".pcx=image/pcx",
        ".pbm=image/x-portable-bitmap",
        ".pgm=image/x-portable-graymap",
        ".pict=image/x-pict",
        ".png=image/x-png",
        ".pnm=image/x-portable-anymap",
        ".pntg=image/x-macpaint",
        ".ppm=image/x-portable-pixmap",
        ".psd=image/vnd.adobe.photoshop",
        ".qtif=image/x-quicktime",
        ".ras=image/x-cmu-raster",
        ".rf=image/vnd.rn-realflash",
        ".rgb=image/x-rgb",
        ".rp=image/vnd.rn-realpix",
        ".sgi=image/x-sgi",
        ".svg=image/svg+xml",
        ".svgz=image/svg+xml",
        ".targa=image/x-targa",
        ".tif=image/x-tiff",
        ".wbmp=image/vnd.wap.wbmp",
        ".webp=image/webp",
        ".wbmp=image/vnd.wap.wbmp",
        ".xbm=image/xbm",
        ".xbm=image/x-xbitmap",
        ".xpm=image/x-xpixmap",
        ".xwd=image/x-xwindowdump",
        ".323=text/h323",
        ".xml=text/xml",
        ".uls=text/iuls",
        ".txt=text/plain",
        ".rtx=text/richtext",
        ".wsc=text/scriptlet",
        ".rt=text/vnd.rn-realtext",
        ".htt=text/webviewhtml",
        ".htc=text/x-component",
        ".vcf=text/x-vcard",
        ".xml=text/xml",
        ".asf=video/x-ms-asf",
        ".asx=video/x-ms-asf",
        ".asx=video/x-ms-asf-plugin",
        ".avi=video/x-msvideo",
        ".dl=video/dl",
        ".dv=video/dv",
        ".flc=video/fli",
        ".fli=video/fli",
        ".gl=video/gl",
        ".lsf=video/x-la-asf",
        ".lsx=video/x-la-asf",
        ".mng=video/x-mng",
        ".mp4=video/mpeg",
        ".mpeg=video/x-mpeg2a",
        ".mpa=video/mpeg",
        ".mpe=video/mpeg",
        ".mpg=video/mpeg",
        ".mp2=video/mpeg",
        ".mp3=video/mpeg",
        ".ogv=video/ogg",
        ".moov=video/quicktime",
        ".mov=video/quicktime",
        ".mxu=video/vnd.mpegurl",
        ".qt=video/quicktime",
        ".qtc=video/x-qtc",
        ".rv=video/vnd.rn-realvideo",
        ".ivf=video/x-ivf",
        ".webm=video/webm",
        ".wm=video/x-ms-wm",
        ".wmp=video/x-ms-wmp",
        ".wmv=video/x-ms-wmv",
        ".wmx=video/x-ms-wmx",
        ".wvx=video/x-ms-wvx",
        ".rms=video/vnd.rn-realvideo-secure",
        ".movie=video/x-sgi-movie",
        ".7z=application/x-7z-compressed",
        ".a=application/x-archive",
        ".aab=application/x-authorware-bin",
        ".aam=application/x-authorware-map",
        ".aas=application/x-authorware-seg",
        ".abw=application/x-abiword",
        ".ace=application/x-ace-compressed",
        ".ai=application/postscript",
        ".alz=application/x-alz-compressed",
        ".ani=application/x-navi-animation",
        ".arj=application/x-arj",
        ".asf=application/vnd.ms-asf",
        ".bat=application/x-msdos-program",
        ".bcpio=application/x-bcpio",
        ".boz=application/x-bzip2",
        ".bz=application/x-bzip",
        ".bz2=application/x-bzip2",
        ".cab=application/vnd.ms-cab-compressed",
        ".cat=application/vnd.ms-pki.seccat",
        ".ccn=application/x-cnc",
        ".cco=application/x-cocoa",
        ".cdf=application/x-cdf",
        ".cer=application/x-x509-ca-cert",
        ".chm=application/vnd.ms-htmlhelp",
        ".chrt=application/vnd.kde.kchart",
        ".cil=application/vnd.ms-artgalry",
        ".class=application/java-vm",
        ".com=application/x-msdos-program",
        ".clp=application/x-msclip",
        ".cpio=application/x-cpio",
        ".cpt=application/mac-compactpro",
        ".cqk=application/x-calquick",
        ".crd=application/x-mscardfile",
        ".crl=application/pkix-crl",
        ".csh=application/x-csh",
        ".dar=application/x-dar",
        ".dbf=application/x-dbase",
        ".dcr=application/x-director",
        ".deb=application/x-debian-package",
        ".dir=application/x-director",
        ".dist=application/vnd.apple.installer+xml",
        ".distz=application/vnd.apple.installer+xml",
        ".dll=application/x-msdos-program",
        ".dmg=application/x-apple-diskimage",
        ".doc=application/msword",
        ".dot=application/msword",
        ".dvi=application/x-dvi",
        ".dxr=application/x-director",
        ".ebk=application/x-expandedbook",
        ".eps=application/postscript",
        ".evy=application/envoy",
        ".exe=application/x-msdos-program",
        ".fdf=application/vnd.fdf",
        ".fif=application/fractals",
        ".flm=application/vnd.kde.kivio",
        ".fml=application/x-file-mirror-list",
        ".gzip=application/x-gzip",
        ".gnumeric=application/x-gnumeric",
        ".gtar=application/x-gtar",
        ".gz=application/x-gzip",
        ".hdf=application/x-hdf",
        ".hlp=application/winhlp",
        ".hpf=application/x-icq-hpf",
        ".hqx=application/mac-binhex40",
        ".hta=application/hta",
        ".ims=application/vnd.ms-ims",
        ".ins=application/x-internet-signup",
        ".iii=application/x-iphone",
        ".iso=application/x-iso9660-image",
        ".jar=application/java-archive",
        ".karbon=application/vnd.kde.karbon",
        ".kfo=application/vnd.kde.kformula",
        ".kon=application/vnd.kde.kontour",
        ".kpr=application/vnd.kde.kpresenter",
        ".kpt=application/vnd.kde.kpresenter",
        ".kwd=application/vnd.kde.kword",
        ".kwt=application/vnd.kde.kword",
        ".latex=application/x-latex",
        ".lha=application/x-lzh",
        ".lcc=application/fastman",
        ".lrm=application/vnd.ms-lrm",
        ".lz=application/x-lzip",
        ".lzh=application/x-lzh",
        ".lzma=application/x-lzma",
        ".lzo=application/x-lzop",
        ".lzx=application/x-lzx",
        ".m13=application/x-msmediaview",
        ".m14=application/x-msmediaview",
        ".mpp=application/vnd.ms-project",
        ".mvb=application/x-msmediaview",
        ".man=application/x-troff-man",
        ".mdb=application/x-msaccess",
        ".me=application/x-troff-me",
        ".ms=application/x-troff-ms",
        ".msi=application/x-msi",
        ".mpkg=application/vnd.apple.installer+xml",
        ".mny=application/x-msmoney",
        ".nix=application/x-mix-transfer",
        ".o=application/x-object",
        ".oda=application/oda",
        ".odb=application/vnd.oasis.opendocument.database",
        ".odc=application/vnd.oasis.opendocument.chart",
        ".odf=application/vnd.oasis.opendocument.formula",
        ".odg=application/vnd.oasis.opendocument.graphics",
        ".odi=application/vnd.oasis.opendocument.image",
        ".odm=application/vnd.oasis.opendocument.text-master",
        ".odp=application/vnd.oasis.opendocument.presentation",
        ".ods=application/vnd.oasis.opendocument.spreadsheet",
        ".ogg=application/ogg",
        ".odt=application/vnd.oasis.opendocument.text",
        ".otg=application/vnd.oasis.opendocument.graphics-template",
        ".oth=application/vnd.oasis.opendocument.text-web",
        ".otp=application/vnd.oasis.opendocument.presentation-template",
        ".ots=application/vnd.oasis.opendocument.spreadsheet-template",
        ".ott=application/vnd.oasis.opendocument.text-template",
        ".p10=application/pkcs10",
        ".p12=application/x-pkcs12",
        ".p7b=application/x-pkcs7-certificates",
        ".p7m=application/pkcs7-mime",
        ".p7r=application/x-pkcs7-certreqresp",
        ".p7s=application/pkcs7-signature",
        ".package=application/vnd.autopackage",
        ".pfr=application/font-tdpfr",
        ".pkg=application/vnd.apple.installer+xml",
        ".pdf=application/pdf",
        ".pko=application/vnd.ms-pki.pko",
        ".pl=application/x-perl",
        ".pnq=application/x-icq-pnq",
        ".pot=application/mspowerpoint",
        ".pps=application/mspowerpoint",
        ".ppt=application/mspowerpoint",
        ".ppz=application/mspowerpoint",
        ".ps=application/postscript",
        ".pub=application/x-mspublisher",
        ".qpw=application/x-quattropro",
        ".qtl=application/x-quicktimeplayer",
        ".rar=application/rar",
        ".rdf=application/rdf+xml",
        ".rjs=application/vnd.rn-realsystem-rjs",
        ".rm=application/vnd.rn-realmedia",
        ".rmf=application/vnd.adobe.rmf",
        ".rmp=application/vnd.rn-rn_music_package",
        ".rmx=application/vnd.rn-realsystem-rmx",
        ".rnx=application/vnd.rn-realplayer",
        ".rpm=application/x-redhat-package-manager",
        ".rsml=application/vnd.rn-rsml",
        ".rtsp=application/x-rtsp",
        ".rss=application/rss+xml",
        ".scm=application/x-icq-scm",
        ".ser=application/java-serialized-object",
        ".scd=application/x-msschedule",
        ".sda=application/vnd.stardivision.draw",
        ".sdc=application/vnd.stardivision.calc",
        ".sdd=application/vnd.stardivision.impress",
        ".sdp=application/sdp",
        ".setpay=application/set-payment-initiation",
        ".setreg=application/set-registration-initiation",
        ".sh=application/x-sh",
        ".shar=application/x-shar",
        ".shw=application/presentations",
        ".sit=application/x-stuffit",
        ".sitx=application/x-stuffitx",
        ".skd=application/x-koan",
        ".skm=application/x-koan",
        ".skp=application/x-koan",
        ".skt=application/x-koan",
        ".smf=application/vnd.stardivision.math",
        ".smi=application/smil",
        ".smil=application/smil",
        ".spl=application/futuresplash",
        ".ssm=application/streamingmedia",
        ".sst=application/vnd.ms-pki.certstore",
        ".stc=application/vnd.sun.xml.calc.template",
        ".std=application/vnd.sun.xml.draw.template",
        ".sti=application/vnd.sun.xml.impress.template",
        ".stl=application/vnd.ms-pki.stl",
        ".stw=application/vnd.sun.xml.writer.template",
        ".svi=application/softvision",
        ".sv4cpio=application/x-sv4cpio",
        ".sv4crc=application/x-sv4crc",
        ".swf=application/x-shockwave-flash",
        ".swf1=application/x-shockwave-flash",
        ".sxc=application/vnd.sun.xml.calc",
        ".sxi=application/vnd.sun.xml.impress",
        ".sxm=application/vnd.sun.xml.math",
        ".sxw=application/vnd.sun.xml.writer",
        ".sxg=application/vnd.sun.xml.writer.global",
        ".t=application/x-troff",
        ".tar=application/x-tar",
        ".tcl=application/x-tcl",
        ".tex=application/x-tex",
        ".texi=application/x-texinfo",
        ".texinfo=application/x-texinfo",
        ".tbz=application/x-bzip-compressed-tar",
        ".tbz2=application/x-bzip-compressed-tar",
        ".tgz=application/x-compressed-tar",
        ".tlz=application/x-lzma-compressed-tar",
        ".tr=application/x-troff",
        ".trm=application/x-msterminal",
        ".troff=application/x-troff",
        ".tsp=application/dsptype",
        ".torrent=application/x-bittorrent",
        ".ttz=application/t-time",
        ".txz=application/x-xz-compressed-tar",
        ".udeb=application/x-debian-package",
        ".uin=application/x-icq",
        ".urls=application/x-url-list",
        ".ustar=application/x-ustar",
        ".vcd=application/x-cdlink",
        ".vor=application/vnd.stardivision.writer",
        ".vsl=application/x-cnet-vsl",
        ".wcm=application/vnd.ms-works",
        ".wb1=application/x-quattropro",
        ".wb2=application/x-quattropro",
        ".wb3=application/x-quattropro",
        ".wdb=application/vnd.ms-works",
        ".wks=application/vnd.ms-works",
        ".wmd=application/x-ms-wmd",
        ".wms=application/x-ms-wms",
        ".wmz=application/x-ms-wmz",
        ".wp5=application/wordperfect5.1",
        ".wpd=application/wordperfect",
        ".wpl=application/vnd.ms-wpl",
        ".wps=application/vnd.ms-works",
        ".wri=application/x-mswrite",
        ".xfdf=application/vnd.adobe.xfdf",
        ".xls=application/x-msexcel",
        ".xlb=application/x-msexcel",
        ".xpi=application/x-xpinstall",
        ".xps=application/vnd.ms-xpsdocument",
        ".xsd=application/xml",
        ".xul=application/vnd.mozilla.xul+xml",
        ".z=application/x-compress",
        ".zoo=application/x-zoo",
        ".zip=application/x-zip-compressed",
        ".rdf=application/rdf+xml",
        ".rss=application/rss+xml",
        ".wml=text/vnd.wap.wml",
        ".wmlc=application/vnd.wap.wmlc",
        ".wmls=text/vnd.wap.wmlscript",
        ".wmlsc=application/vnd.wap.wmlscriptc",
        ".asm=text/x-asm",
        ".p=text/x-pascal",
        ".pas=text/x-pascal",
        ".cs=text/x-csharp",
        ".c=text/x-csrc",
        ".c++=text/x-c++src",
        ".cpp=text/x-c++src",
        ".cxx=text/x-c++src",
        ".cc=text/x-c++src",
        ".h=text/x-chdr",
        ".h++=text/x-c++hdr",
        ".hpp=text/x-c++hdr",
        ".hxx=text/x-c++hdr",
        ".hh=text/x-c++hdr",
        ".java=text/x-java",
        ".css=text/css",
        ".js=text/javascript",
        ".htm=text/html",
        ".html=text/html",
        ".xhtml=application/xhtml+xml",
        ".xht=application/xhtml+xml",
        ".ls=text/javascript",
        ".mocha=text/javascript",
        ".shtml=text/x-server-parsed-html",
        ".sgm=text/sgml",
        ".sgml=text/sgml",
        ".mht=message/rfc822",
    };
    return lines;
}

void FillTypeTable(std::vector<std::string>& lines, bool usePlatformTypes,
                   const TLpMediaTypeStore& store) {
    if (!lines.empty()) return;
    lines = BuiltInMediaTypeLines();
    if (!usePlatformTypes) return;
    std::unordered_map<std::string, size_t> firstLine;
    for (size_t i = lines.size(); i-- > 0;)
        firstLine[LowerAscii(lines[i].substr(0, lines[i].find('=')))] = i;
    for (const TLpMediaTypePair& pair : store.PerExtensionTypes()) {
        if (pair.MediaType.empty() || pair.Extension.size() < 2 || pair.Extension.front() != '.')
            continue;
        PutLine(lines, firstLine, LowerAscii(pair.Extension), LowerAscii(pair.MediaType));
    }
    // The per-type pass runs second, so for one extension the type database wins.
    for (const TLpMediaTypePair& pair : store.PerTypeExtensions()) {
        if (pair.Extension.empty() || pair.MediaType.empty()) continue;
        std::string ext = LowerAscii(pair.Extension);
        if (ext.front() != '.') ext.insert(0, 1, '.');
        PutLine(lines, firstLine, ext, LowerAscii(pair.MediaType));
    }
}

std::string FileNameExtension(const std::string& fileName) {
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos) return {};
    const size_t slash = fileName.rfind('/');
    if (slash != std::string::npos && slash > dot) return {};
    return fileName.substr(dot);
}

TLpMimeTable::TLpMimeTable(bool usePlatformTypes) : m_usePlatformTypes(usePlatformTypes) {}

TLpMimeTable::TLpMimeTable(bool usePlatformTypes, TLpMediaTypeStore store)
    : m_usePlatformTypes(usePlatformTypes), m_store(std::move(store)) {}

void TLpMimeTable::AddMediaType(const std::string& ext, const std::string& type,
                                bool raiseOnError) {
    std::string key = LowerAscii(ext);
    if (key.empty()) {
        if (raiseOnError) throw ELpException("Extension is empty");
        return;
    }
    if (type.empty()) {
        if (raiseOnError) throw ELpException("Mimetype is empty");
        return;
    }
    if (key.front() != '.') key.insert(0, 1, '.');
    if (m_index.count(key) != 0) {
        if (raiseOnError) throw ELpException("Extension already exits");
        return;
    }
    m_index.emplace(key, m_extensions.size());
    m_extensions.push_back(std::move(key));
    m_mediaTypes.push_back(LowerAscii(type));
}

void TLpMimeTable::BuildCache() {
    if (!m_extensions.empty()) return;
    std::vector<std::string> lines;
    FillTypeTable(lines, m_usePlatformTypes, m_store);
    for (const std::string& line : lines) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        AddMediaType(line.substr(0, equals), line.substr(equals + 1), false);
    }
}

std::string TLpMimeTable::MediaTypeOf(const std::string& fileName) {
    BuildCache();
    return Lookup(fileName);
}

std::string TLpMimeTable::Lookup(const std::string& fileName) const {
    const auto found = m_index.find(LowerAscii(FileNameExtension(fileName)));
    if (found == m_index.end()) return "application/octet-stream";
    return m_mediaTypes[found->second];
}

std::string MediaTypeForFile(const std::string& fileName) {
    struct Cache {
        std::mutex lock;
        std::string stamp;
        std::shared_ptr<const TLpMimeTable> table;
    };
    static Cache cache;

    TLpMediaTypeStore store;
    const std::string stamp =
        FileStamp(store.PerTypePath()) + "|" + FileStamp(store.PerExtensionPath());
    std::shared_ptr<const TLpMimeTable> table;
    {
        std::lock_guard<std::mutex> guard(cache.lock);
        if (cache.table && cache.stamp == stamp) table = cache.table;
    }
    if (!table) {
        auto built = std::make_shared<TLpMimeTable>(true, store);
        built->BuildCache();
        table = built;
        std::lock_guard<std::mutex> guard(cache.lock);
        cache.stamp = stamp;
        cache.table = table;
    }
    return table->Lookup(fileName);
}

}  // namespace larkpost
