// The switch reader on arbitrary argument lists (NUL separates arguments), with the escape and
// environment expansions: failures are our exceptions, nothing else.
#include <cstdint>
#include <string>
#include <vector>

#include "app/SendSettings.h"
#include "app/SwitchValues.h"
#include "app/Switches.h"
#include "platform/Exception.h"

using namespace larkpost;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TLpArgs args;
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    args.push_back(current);
    for (const auto& a : args) {
        try {
            (void)DecodeHexEscapes(a);
        } catch (const ELpException&) {  // "Invalid hex digit in URL" is the specified outcome
        }
        (void)ExpandEnvVars(a);
    }
    (void)FindSwitch(args, "FILES");
    (void)GetParam(args, "TO");
    try {
        (void)CollectFiles(args);
    } catch (const ELpException&) {
    }
    (void)WantsWindows(args);
    TSwitchValues switches;
    TSendSettings settings;
    try {
        ReadCmdLineSettings(args, switches, settings);
    } catch (const ELpException&) {
    }
    return 0;
}
