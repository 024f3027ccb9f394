// Opening addresses through the desktop.
#include "ui/Links.h"

#include <QDesktopServices>

namespace larkpost {

std::function<void(const QUrl&)> OpenWithDesktop = [](const QUrl& url) {
    QDesktopServices::openUrl(url);
};

}  // namespace larkpost
