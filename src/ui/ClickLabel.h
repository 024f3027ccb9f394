// A label that reports clicks and double clicks: the about box's version text and its links.
#pragma once

#include <QLabel>

namespace larkpost {

class TClickLabel : public QLabel {
    Q_OBJECT
public:
    explicit TClickLabel(const QString& text, QWidget* parent = nullptr);

signals:
    void Clicked();
    void DoubleClicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};

}  // namespace larkpost
