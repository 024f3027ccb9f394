// The program icon, drawn rather than shipped so it stays sharp at every size it is asked for.
#pragma once

#include <QPixmap>

namespace larkpost {

QPixmap ProgramIcon(int size);

}  // namespace larkpost
