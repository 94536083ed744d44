// Draws the program icon and the four button images. Run once after changing a drawing:
//   cmake --build <dir> --target torvane_draw_images && <dir>/app/torvane_draw_images app/images
// and commit the PNGs it writes next to this file.
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdio>
#include <functional>

namespace {

// Each image is drawn large in its own small coordinates and then scaled down, so that its
// edges come out smooth at 16 pixels.
constexpr int Oversample = 8;

using Drawing = std::function<void(QPainter &)>;

QImage render(int width, int height, qreal units, const Drawing &draw) {
    QImage big(width * Oversample, height * Oversample, QImage::Format_ARGB32_Premultiplied);
    big.fill(Qt::transparent);
    {
        QPainter p(&big);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(big.width() / units, big.width() / units);
        draw(p);
    }
    return big.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
        .convertToFormat(QImage::Format_ARGB32);
}

QPen outline(const QColor &colour, qreal width) {
    QPen pen(colour, width);
    pen.setJoinStyle(Qt::RoundJoin);
    pen.setCapStyle(Qt::RoundCap);
    return pen;
}

// A filled arrowhead at `tip`, pointing along `angle` degrees (0 = right, 90 = down).
void arrowhead(QPainter &p, QPointF tip, qreal angle, qreal length, qreal halfWidth) {
    const qreal a = qDegreesToRadians(angle);
    const QPointF along(std::cos(a), std::sin(a));
    const QPointF across(-along.y(), along.x());
    const QPointF base = tip - along * length;
    p.drawPolygon(QPolygonF{tip, base + across * halfWidth, base - across * halfWidth});
}

// An opening yellow folder under a curved arrow (16 x 15).
void drawOpen(QPainter &p) {
    const QColor edge(120, 88, 0);
    p.setPen(outline(edge, 0.7));
    QPainterPath back;
    back.moveTo(0.8, 14.2);
    back.lineTo(0.8, 5.6);
    back.lineTo(2.0, 4.6);
    back.lineTo(5.2, 4.6);
    back.lineTo(6.2, 5.8);
    back.lineTo(12.0, 5.8);
    back.lineTo(12.0, 14.2);
    back.closeSubpath();
    p.setBrush(QColor(214, 160, 16));
    p.drawPath(back);
    QPolygonF flap{{3.2, 8.6}, {15.3, 8.6}, {12.4, 14.2}, {0.8, 14.2}};
    QLinearGradient front(0, 8.6, 0, 14.2);
    front.setColorAt(0, QColor(255, 232, 110));
    front.setColorAt(1, QColor(246, 196, 40));
    p.setBrush(front);
    p.drawPolygon(flap);

    const QColor blue(24, 86, 200);
    p.setPen(outline(blue, 1.5));
    p.setBrush(Qt::NoBrush);
    QPainterPath arc;
    arc.moveTo(4.2, 5.0);
    arc.cubicTo(4.6, 1.0, 10.4, 0.6, 12.6, 3.4);
    p.drawPath(arc);
    p.setPen(outline(blue, 0.4));
    p.setBrush(blue);
    arrowhead(p, {14.2, 6.0}, 60, 3.4, 2.0);
}

// A pale yellow arrow rising out of a pink tray (16 x 16).
void drawStart(QPainter &p) {
    QPainterPath tray;
    tray.moveTo(0.8, 9.6);
    tray.lineTo(3.4, 9.6);
    tray.lineTo(3.4, 12.4);
    tray.lineTo(12.6, 12.4);
    tray.lineTo(12.6, 9.6);
    tray.lineTo(15.2, 9.6);
    tray.lineTo(15.2, 15.2);
    tray.lineTo(0.8, 15.2);
    tray.closeSubpath();
    p.setPen(outline(QColor(168, 48, 104), 0.7));
    p.setBrush(QColor(244, 140, 184));
    p.drawPath(tray);

    QPolygonF arrow{{8.0, 0.6},  {13.6, 6.4}, {10.2, 6.4}, {10.2, 13.0},
                    {5.8, 13.0}, {5.8, 6.4},  {2.4, 6.4}};
    QLinearGradient fill(0, 0, 0, 13);
    fill.setColorAt(0, QColor(255, 252, 200));
    fill.setColorAt(1, QColor(255, 236, 130));
    p.setPen(outline(QColor(150, 120, 20), 0.7));
    p.setBrush(fill);
    p.drawPolygon(arrow);
}

// Two circling arrows, red and blue, on a shield (16 x 16).
void drawReset(QPainter &p) {
    QPainterPath shield;
    shield.moveTo(8.0, 0.6);
    shield.cubicTo(10.2, 1.8, 12.6, 2.2, 15.0, 2.2);
    shield.lineTo(15.0, 7.6);
    shield.cubicTo(15.0, 11.6, 11.6, 14.2, 8.0, 15.5);
    shield.cubicTo(4.4, 14.2, 1.0, 11.6, 1.0, 7.6);
    shield.lineTo(1.0, 2.2);
    shield.cubicTo(3.4, 2.2, 5.8, 1.8, 8.0, 0.6);
    QLinearGradient face(0, 0, 16, 16);
    face.setColorAt(0, QColor(250, 250, 252));
    face.setColorAt(1, QColor(196, 204, 220));
    p.setPen(outline(QColor(70, 82, 110), 0.8));
    p.setBrush(face);
    p.drawPath(shield);

    const QRectF ring(4.2, 4.0, 7.6, 7.6);
    const QColor red(214, 30, 30);
    const QColor blue(30, 70, 210);
    p.setBrush(Qt::NoBrush);
    p.setPen(outline(red, 1.5));
    p.drawArc(ring, 30 * 16, 150 * 16);
    p.setPen(outline(blue, 1.5));
    p.drawArc(ring, 210 * 16, 150 * 16);
    const QPointF c = ring.center();
    const qreal r = ring.width() / 2;
    auto at = [&](qreal deg) {
        const qreal a = qDegreesToRadians(deg);
        return QPointF(c.x() + r * std::cos(a), c.y() - r * std::sin(a));
    };
    p.setPen(outline(red, 0.3));
    p.setBrush(red);
    arrowhead(p, at(14), 95, 2.8, 1.8);
    p.setPen(outline(blue, 0.3));
    p.setBrush(blue);
    arrowhead(p, at(194), 275, 2.8, 1.8);
}

// A green running figure (20 x 20).
void drawClose(QPainter &p) {
    const QColor green(22, 150, 34);
    p.setPen(outline(green, 2.4));
    p.setBrush(Qt::NoBrush);
    QPainterPath body;
    body.moveTo(12.0, 6.6);
    body.lineTo(9.4, 12.0);
    p.drawPath(body);
    QPainterPath arms;
    arms.moveTo(5.2, 9.8);
    arms.lineTo(7.8, 7.4);
    arms.lineTo(11.6, 7.0);
    arms.lineTo(14.0, 9.6);
    arms.lineTo(16.6, 9.0);
    p.drawPath(arms);
    QPainterPath legs;
    legs.moveTo(9.4, 12.0);
    legs.lineTo(13.0, 14.6);
    legs.lineTo(12.0, 18.8);
    legs.moveTo(9.4, 12.0);
    legs.lineTo(7.0, 15.4);
    legs.lineTo(2.4, 16.4);
    p.drawPath(legs);
    p.setPen(Qt::NoPen);
    p.setBrush(green);
    p.drawEllipse(QPointF(13.4, 3.4), 2.3, 2.3);
}

// The program icon, in 128 units: a device chip with an image going up to it and coming back.
void drawIcon(QPainter &p) {
    QLinearGradient sky(0, 0, 0, 128);
    sky.setColorAt(0, QColor(52, 104, 214));
    sky.setColorAt(1, QColor(16, 44, 128));
    p.setPen(outline(QColor(10, 26, 80), 3));
    p.setBrush(sky);
    p.drawRoundedRect(QRectF(4, 4, 120, 120), 22, 22);

    p.setPen(outline(QColor(200, 204, 212), 7));
    for (int i = 0; i < 4; ++i) {
        const qreal y = 40 + i * 16;
        p.drawLine(QPointF(22, y), QPointF(34, y));
        p.drawLine(QPointF(94, y), QPointF(106, y));
    }
    QLinearGradient chip(0, 28, 0, 100);
    chip.setColorAt(0, QColor(70, 70, 76));
    chip.setColorAt(1, QColor(24, 24, 28));
    p.setPen(outline(QColor(8, 8, 10), 3));
    p.setBrush(chip);
    p.drawRoundedRect(QRectF(32, 28, 64, 72), 7, 7);

    p.setPen(outline(QColor(120, 90, 0), 2.5));
    p.setBrush(QColor(255, 214, 40));
    p.drawPolygon(QPolygonF{{50, 34}, {66, 56}, {56, 56}, {56, 92}, {44, 92}, {44, 56}, {34, 56}});
    p.setPen(outline(QColor(20, 100, 20), 2.5));
    p.setBrush(QColor(90, 230, 70));
    p.drawPolygon(QPolygonF{{78, 94}, {94, 72}, {84, 72}, {84, 36}, {72, 36}, {72, 72}, {62, 72}});
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    struct Item {
        const char *file;
        int width, height;
        qreal units;
        Drawing draw;
    };
    const Item items[] = {
        {"open.png", 16, 15, 16, drawOpen},           {"start.png", 16, 16, 16, drawStart},
        {"reset.png", 16, 16, 16, drawReset},         {"close.png", 20, 20, 20, drawClose},
        {"torvane-16.png", 16, 16, 128, drawIcon},    {"torvane-32.png", 32, 32, 128, drawIcon},
        {"torvane-128.png", 128, 128, 128, drawIcon},
    };
    for (const Item &item : items) {
        const QString path = out.filePath(QString::fromLatin1(item.file));
        if (!render(item.width, item.height, item.units, item.draw).save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
