#include "app/WindowModule.h"

#include <cstdlib>

#include "app/HeadlessWindows.h"
#include "app/Shell.h"
#include "platform/DynamicLibrary.h"
#include "platform/Paths.h"

namespace larkpost {

namespace {

bool IsSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

}  // namespace

std::unique_ptr<ILpWindows> CreateWindows(TLpShell& shell, int& argc, char** argv) {
    auto headless = [&](std::string reason) {
        auto windows = std::make_unique<TLpHeadlessWindows>(shell);
        windows->SetNoWindowReason(std::move(reason));
        return windows;
    };
    if (!WantsWindows(shell.Args())) return headless("");
    // QT_QPA_PLATFORM covers the offscreen and other display-less platforms.
    if (!IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY") && !IsSet("QT_QPA_PLATFORM"))
        return headless("no display is available");

    // Never unloaded: the windows' code and the toolkit's own clean-up at exit live in it.
    static auto* module = new TLpDynamicLibrary;
    // Beside the program in the build folder and in a copied one; installed, in lib/larkpost/.
    std::string path = ExeDir() + kWindowsModuleName;
    if (!FileExists(path) && FileExists(ExeDir() + "../lib/larkpost/" + kWindowsModuleName))
        path = ExeDir() + "../lib/larkpost/" + kWindowsModuleName;
    if (!module->IsLoaded() && !module->Load(path))
        return headless("the window module could not be loaded (" + module->LastError() + ")");
    auto create = reinterpret_cast<LpCreateWindowsFunc>(module->Symbol(kCreateWindowsSymbol));
    if (create == nullptr) return headless(path + " is not a Larkpost window module");
    std::unique_ptr<ILpWindows> windows(create(shell, argc, argv));
    if (!windows) return headless("the display could not be opened");
    return windows;
}

}  // namespace larkpost
