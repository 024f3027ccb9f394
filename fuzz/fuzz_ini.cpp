// The INI reader and writer on an arbitrary file: read, write a value back, read again — the
// value written is the value read, and every other key keeps its value.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "FuzzSupport.h"
#include "platform/ProfileFile.h"

using namespace larkpost;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first line (up to LF) is the value to write; the rest is the file.
    const std::string all(reinterpret_cast<const char*>(data), size);
    const size_t lf = all.find('\n');
    std::string value = lf == std::string::npos ? all : all.substr(0, lf);
    const std::string file = lf == std::string::npos ? std::string() : all.substr(lf + 1);
    const std::string path = fuzz::ScratchPath("ini");
    std::ofstream(path, std::ios::binary) << file;

    TLpProfileFile ini(path);
    const char* keys[] = {"Host", "Port", "Password3", "Files", "To"};
    std::string before[5];
    for (int i = 0; i < 5; ++i) before[i] = ini.ReadString("Larkpost", keys[i], "\x01");
    (void)ini.ReadInteger("Larkpost", "Port", 25);
    (void)ini.ReadBool("Larkpost", "SaveLog", false);
    (void)ini.ReadStoredUnits("Larkpost", "Password");

    // What the writer promises: CR and LF stored as spaces, values cut at the maximum length,
    // text kept as UTF-8 (other bytes are not text a user could have typed).
    if (!fuzz::IsValidUtf8(value) || value.find('\0') != std::string::npos) value = "x";
    for (char& c : value)
        if (c == '\r' || c == '\n') c = ' ';
    ini.WriteString("larkpost", "Subject", value);
    const std::string back = ini.ReadString("Larkpost", "Subject", "\x01");
    if (value.size() <= TLpProfileFile::kMaxValueLength && back != value) std::abort();
    for (int i = 0; i < 5; ++i)
        if (ini.ReadString("Larkpost", keys[i], "\x01") != before[i] && fuzz::IsValidUtf8(file))
            std::abort();
    ini.DeleteKey("Larkpost", "Subject");
    if (ini.ValueExists("Larkpost", "Subject")) std::abort();
    std::remove(path.c_str());
    return 0;
}
