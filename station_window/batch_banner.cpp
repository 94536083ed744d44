#include "station_window/batch_banner.h"

#include "station_window/board_rows.h"
#include "widgets/window_style.h"

#include <QResizeEvent>

namespace {

// The letters' height: large, but never more than the window has room for.
constexpr int MostPixels = 40;
constexpr int LeastPixels = 18;

} // namespace

BatchBanner::BatchBanner(QWidget *parent) : QLabel(parent), most_(MostPixels) {
    setObjectName(QStringLiteral("Label_Banner"));
    setAlignment(Qt::AlignCenter);
    setAutoFillBackground(true);
    // Its text never widens the window: the letters shrink to the room instead.
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    setFont(WindowArial(MostPixels, true));
    setFixedHeight(MostPixels + 12);
    show(State::Ready, QStringLiteral("READY"));
}

void BatchBanner::running(int done, int total, int failed) {
    QString text = QStringLiteral("RUNNING  %1 of %2 done").arg(done).arg(total);
    if (failed)
        text += QStringLiteral(", %1 failed").arg(failed);
    show(State::Running, text);
}

void BatchBanner::watching(int done, int failed) {
    show(State::Watching, QStringLiteral("WATCHING  %1 done, %2 failed").arg(done).arg(failed));
}

void BatchBanner::ended(const BoardCounts &counts, int boards) {
    if (counts.failed)
        show(State::Fail, QStringLiteral("FAIL  %1 of %2 failed").arg(counts.failed).arg(boards));
    else if (counts.stopped || counts.passed == 0)
        show(State::Stopped,
             QStringLiteral("STOPPED  %1 of %2 passed").arg(counts.passed).arg(boards));
    else
        show(State::Pass, QStringLiteral("PASS  %1 of %2").arg(counts.passed).arg(boards));
}

void BatchBanner::show(State state, const QString &text) {
    if (state == state_ && text == this->text())
        return;
    state_ = state;
    QColor back;
    QColor fore = Qt::black;
    switch (state) {
    case State::Ready:
        back = QColor(224, 224, 224);
        fore = QColor(96, 96, 96);
        break;
    case State::Running:
    case State::Watching:
        back = QColor(255, 210, 60);
        break;
    case State::Pass:
        back = BoardRows::PassedColour;
        break;
    case State::Fail:
        back = BoardRows::FailedColour;
        fore = Qt::white;
        break;
    case State::Stopped:
        back = BoardRows::StoppedColour;
        break;
    }
    QPalette colours = palette();
    colours.setColor(QPalette::Window, back);
    colours.setColor(QPalette::WindowText, fore);
    setPalette(colours);
    setText(text);
    fitFont();
}

void BatchBanner::fitHeight(int pixels) {
    const int letters = qBound(LeastPixels, pixels - 12, MostPixels);
    if (letters == most_)
        return;
    most_ = letters;
    setFixedHeight(letters + 12);
    fitFont();
}

void BatchBanner::resizeEvent(QResizeEvent *event) {
    QLabel::resizeEvent(event);
    fitFont();
}

void BatchBanner::fitFont() {
    int pixels = most_;
    while (pixels > LeastPixels &&
           QFontMetrics(WindowArial(pixels, true)).horizontalAdvance(text()) > width() - 16)
        pixels -= 2;
    if (font().pixelSize() != pixels)
        setFont(WindowArial(pixels, true));
}
