// Visual styles by name: style sheets compiled into the program.
#pragma once

#include <QString>

class QApplication;

namespace larkpost {

inline constexpr const char* kDefaultVisualStyle = "Aqua Graphite";

// Applies the named style to the whole application; false when no style has that name.
bool ApplyVisualStyle(QApplication& app, const QString& name);

}  // namespace larkpost
