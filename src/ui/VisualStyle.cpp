// Visual styles.
#include "ui/VisualStyle.h"

#include <QApplication>
#include <QFile>
#include <QStyleFactory>

#include "ui/Resources.h"

namespace larkpost {

bool ApplyVisualStyle(QApplication& app, const QString& name) {
    InitUiResources();
    QFile file(":/styles/" + name);
    if (!file.open(QIODevice::ReadOnly)) return false;
    // Fusion draws every control from the style sheet alike on every desktop.
    if (QStyle* fusion = QStyleFactory::create("Fusion")) app.setStyle(fusion);
    app.setStyleSheet(QString::fromUtf8(file.readAll()));
    return true;
}

}  // namespace larkpost
