// The RTF and plain-text body readers on arbitrary bytes; RTF written from lines reads back as
// the same lines.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "app/BodyFile.h"
#include "platform/Exception.h"

using namespace larkpost;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> lines = RtfToLines(bytes);
    (void)IsRtf(bytes);

    const std::string path = fuzz::ScratchPath("body");
    std::ofstream(path, std::ios::binary) << bytes;
    try {
        (void)LoadBodyFile(path);
    } catch (const ELpException&) {
    }
    std::remove(path.c_str());

    // Lines of valid text without line breaks survive the writer and the reader.
    std::vector<std::string> text;
    std::string current;
    for (char c : bytes) {
        if (c == '\n') { text.push_back(current); current.clear(); }
        else if (c != '\r' && c != '\0') current.push_back(c);
    }
    text.push_back(current);
    // Control characters other than tab are not text a body holds; the writer drops them.
    for (const auto& l : text) {
        if (!fuzz::IsValidUtf8(l)) return 0;
        for (unsigned char c : l)
            if ((c < 32 && c != '\t') || c == 127) return 0;
    }
    if (RtfToLines(LinesToRtf(text)) != text) std::abort();
    return 0;
}
