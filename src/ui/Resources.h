// Registers the resources compiled into the windows library (the help page, the visual style);
// needed because a static library's registration would otherwise be dropped by the linker.
#pragma once

namespace larkpost {

void InitUiResources();

}  // namespace larkpost
