#pragma once

#include <QLabel>

class QTextLayout;

// A line of the window's own words (its counts, its newest note) that wraps to the width it is
// given, even inside a long path, and never asks for more: the window stays as wide as the
// operator made it. It asks for the height of all its lines, and is never given less than that
// of its first two; in less room than it asks for, the last line it shows ends in "…". Its whole
// text is its tooltip, unless it is given one of its own.
class WrappedLine : public QLabel {
    Q_OBJECT
public:
    explicit WrappedLine(QWidget *parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    // How tall the words are at `width`, its margins included, in at most `lines` lines.
    int heightForWidth(int width) const override { return heightFor(width, -1); }
    int heightFor(int width, int lines) const;

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // Lays the words out in `layout`, each line at most `width` wide.
    void lay(QTextLayout &layout, qreal width) const;
    // The width the words are laid out in: before its layout has given it one, the width it has
    // means nothing, and the words are taken as one line.
    int laidWidth() const;
};
