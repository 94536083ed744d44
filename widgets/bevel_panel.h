#pragma once

#include <QWidget>

// A panel framed by a raised outer and a lowered inner bevel, one pixel each: the frame the
// window's panels and the buttons' frames share.
class BevelPanel : public QWidget {
    Q_OBJECT
public:
    explicit BevelPanel(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};
