#include "app/VersionInfo.h"

#include "larkpost/Version.h"

namespace larkpost {

std::string GetVersionNumber() {
    return std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
           std::to_string(kVersionRelease) + "." + std::to_string(kVersionBuild);
}

std::string GetVersionText() {
    return "Version " + std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) +
           " Release " + std::to_string(kVersionRelease) + " Build " +
           std::to_string(kVersionBuild);
}

}  // namespace larkpost
