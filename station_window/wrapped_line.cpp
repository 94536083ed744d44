#include "station_window/wrapped_line.h"

#include <QHelpEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QTextLayout>
#include <QToolTip>
#include <QtMath>

namespace {

// Room for a few letters: the least a line is given in a narrow window.
constexpr int LeastLetters = 4;
// The lines it always has room for, however short the window.
constexpr int LeastLines = 2;

} // namespace

WrappedLine::WrappedLine(QWidget *parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    // As tall as its words: the height follows the width, the width follows the window.
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
}

void WrappedLine::lay(QTextLayout &layout, qreal width) const {
    QString words = text();
    words.replace(QLatin1Char('\n'), QChar::LineSeparator);
    layout.setText(words);
    layout.setFont(font());
    QTextOption option(alignment());
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    qreal y = 0;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(qMax<qreal>(width, 1));
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
}

int WrappedLine::heightFor(int width, int lines) const {
    const QMargins margins = contentsMargins();
    QTextLayout layout;
    lay(layout, width - margins.left() - margins.right());
    const int shown = lines < 0 ? layout.lineCount() : qMin(lines, layout.lineCount());
    const QTextLine last = layout.lineAt(shown - 1);
    const int words = last.isValid() ? qCeil(last.y() + last.height()) : fontMetrics().height();
    return words + margins.top() + margins.bottom();
}

int WrappedLine::laidWidth() const {
    return testAttribute(Qt::WA_Resized) ? width() : QWIDGETSIZE_MAX;
}

QSize WrappedLine::minimumSizeHint() const {
    const QMargins margins = contentsMargins();
    return {LeastLetters * fontMetrics().averageCharWidth() + margins.left() + margins.right(),
            heightFor(laidWidth(), LeastLines)};
}

QSize WrappedLine::sizeHint() const {
    return {minimumSizeHint().width(), heightFor(laidWidth(), -1)};
}

bool WrappedLine::event(QEvent *event) {
    if (event->type() == QEvent::ToolTip && toolTip().isEmpty() && !text().isEmpty()) {
        QToolTip::showText(static_cast<QHelpEvent *>(event)->globalPos(), text(), this);
        return true;
    }
    return QLabel::event(event);
}

// A new width may take more lines or fewer: the layout is asked again. (A new text asks by
// itself.)
void WrappedLine::resizeEvent(QResizeEvent *event) {
    QLabel::resizeEvent(event);
    if (heightForWidth(event->size().width()) != heightForWidth(event->oldSize().width()))
        updateGeometry();
}

void WrappedLine::paintEvent(QPaintEvent *) {
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    const QRect room = contentsRect();
    QTextLayout layout;
    lay(layout, room.width());
    for (int i = 0; i < layout.lineCount(); ++i) {
        const QTextLine line = layout.lineAt(i);
        const QTextLine next = layout.lineAt(i + 1);
        if (!next.isValid() || next.y() + next.height() <= room.height()) {
            line.draw(&painter, room.topLeft());
            continue;
        }
        // The last line there is room for: the rest of the words in it, cut with "…".
        const QString rest =
            layout.text().mid(line.textStart()).replace(QChar::LineSeparator, QLatin1Char(' '));
        painter.setFont(font());
        painter.drawText(QPointF(room.left(), room.top() + line.y() + line.ascent()),
                         fontMetrics().elidedText(rest, Qt::ElideRight, room.width()));
        break;
    }
}
