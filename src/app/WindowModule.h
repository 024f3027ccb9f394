// Chooses the windows of a run: the Qt window module when the run wants a window and a display
// is there, otherwise the headless windows. An unattended run never loads the module.
#pragma once

#include <memory>

#include "app/Windows.h"

namespace larkpost {

std::unique_ptr<ILpWindows> CreateWindows(TLpShell& shell, int& argc, char** argv);

}  // namespace larkpost
