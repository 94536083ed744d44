#pragma once

#include <QColor>
#include <QWidget>

// The port lamp over "COM:": a filled circle with a black outline, red while the port is
// closed, lime green while it is open.
class PortLamp : public QWidget {
    Q_OBJECT
public:
    explicit PortLamp(QWidget *parent = nullptr);

    void setOpen(bool open);
    QColor colour() const { return colour_; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor colour_;
};
