// An envelope on an aqua tile with a yellow wing stroke: the lark that carries the post.
#include "ui/Icon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace larkpost {

QPixmap ProgramIcon(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);

    QLinearGradient tile(0, 0, 0, 32);
    tile.setColorAt(0, QColor(0x3f, 0xd0, 0xd4));
    tile.setColorAt(1, QColor(0x17, 0x7f, 0x86));
    p.setPen(QPen(QColor(0x22, 0x26, 0x2a), 1));
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(1, 1, 30, 30), 6, 6);

    const QRectF envelope(5, 10, 22, 15);
    p.setPen(QPen(QColor(0x2d, 0x31, 0x36), 1.2));
    p.setBrush(QColor(0xf4, 0xf6, 0xf7));
    p.drawRect(envelope);
    QPainterPath flap;
    flap.moveTo(envelope.topLeft());
    flap.lineTo(envelope.center().x(), envelope.top() + 8.5);
    flap.lineTo(envelope.topRight());
    p.setBrush(Qt::NoBrush);
    p.drawPath(flap);

    QPainterPath wing;
    wing.moveTo(14, 9);
    wing.cubicTo(18, 2, 25, 3, 29, 5);
    wing.cubicTo(24, 6, 20, 8, 17, 11);
    wing.closeSubpath();
    p.setPen(QPen(QColor(0x8a, 0x6d, 0x00), 0.8));
    p.setBrush(QColor(0xff, 0xd5, 0x4a));
    p.drawPath(wing);
    return pixmap;
}

}  // namespace larkpost
