#include "widgets/bevel_panel.h"

#include <QPainter>

BevelPanel::BevelPanel(QWidget *parent) : QWidget(parent) {}

void BevelPanel::paintEvent(QPaintEvent *) {
    QPainter p(this);
    const QColor light = palette().color(QPalette::Light);
    const QColor shadow = palette().color(QPalette::Dark);
    auto bevel = [&](QRect r, const QColor &topLeft, const QColor &bottomRight) {
        p.setPen(topLeft);
        p.drawLine(r.topLeft(), r.topRight());
        p.drawLine(r.topLeft(), r.bottomLeft());
        p.setPen(bottomRight);
        p.drawLine(r.bottomLeft(), r.bottomRight());
        p.drawLine(r.topRight(), r.bottomRight());
    };
    const QRect outer = rect();
    bevel(outer, light, shadow);
    bevel(outer.adjusted(1, 1, -1, -1), shadow, light);
}
