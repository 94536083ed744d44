#pragma once

#include "ports/com_port_map.h"

#include <QObject>

class QComboBox;

// Each item of the port list says what its COM number leads to: the device and the system's
// words for it, or that nothing is there. Looked up again each time the list opens, so an
// adapter plugged in meanwhile shows at once.
class PortTips : public QObject {
public:
    explicit PortTips(QComboBox *list);
    void setSource(ComPortSource source);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refresh();

    QComboBox *list_;
    ComPortSource source_;
};
