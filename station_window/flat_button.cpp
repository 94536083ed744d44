#include "station_window/flat_button.h"

#include "widgets/bevel_panel.h"
#include "widgets/window_style.h"

#include <QToolButton>

QToolButton *MakeFlatButton(QWidget *parent, const char *name, const QString &caption,
                            const QString &image, const QString &key, BevelPanel **frame,
                            int width) {
    *frame = new BevelPanel(parent);
    (*frame)->setObjectName(QLatin1String(name) + QStringLiteral("Frame"));
    (*frame)->setFixedSize(width, 23);
    auto *button = new QToolButton(*frame);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(0, 0, width, 23);
    StyleFlatButton(button, caption, image, {16, 16});
    button->setToolTip(QStringLiteral("%1 (%2)").arg(caption, key));
    return button;
}
