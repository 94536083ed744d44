#include "widgets/port_lamp.h"

#include <QPainter>

PortLamp::PortLamp(QWidget *parent) : QWidget(parent), colour_(255, 0, 0) {
    // The label under the lamp stays visible around the circle.
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void PortLamp::setOpen(bool open) {
    const QColor colour = open ? QColor(0, 255, 0) : QColor(255, 0, 0);
    if (colour == colour_)
        return;
    colour_ = colour;
    update();
}

void PortLamp::paintEvent(QPaintEvent *) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(Qt::black, 1));
    p.setBrush(colour_);
    p.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}
