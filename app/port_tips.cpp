#include "app/port_tips.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QEvent>

PortTips::PortTips(QComboBox *list) : QObject(list), list_(list) {
    // The list's items show in a popup window of their own: its showing is the list opening.
    list_->view()->window()->installEventFilter(this);
}

void PortTips::setSource(ComPortSource source) {
    source_ = std::move(source);
}

bool PortTips::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::Show)
        refresh();
    return QObject::eventFilter(watched, event);
}

void PortTips::refresh() {
    if (!source_)
        return;
    const ComPortMap ports = source_();
    for (int index = 0; index < list_->count(); ++index) {
        QString tip = DescribeComPort(ports.entry(index + 1));
        if (!tip.isEmpty())
            tip[0] = tip[0].toUpper();
        list_->setItemData(index, tip, Qt::ToolTipRole);
    }
}
