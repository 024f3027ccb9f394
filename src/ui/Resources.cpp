// Resource registration.
#include "ui/Resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void InitUiResourcesOnce() {
    Q_INIT_RESOURCE(ui);
}

namespace larkpost {

void InitUiResources() {
    static const bool done = (InitUiResourcesOnce(), true);
    (void)done;
}

}  // namespace larkpost
