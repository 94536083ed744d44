#pragma once

#include <QString>

class BevelPanel;
class QToolButton;
class QWidget;

// A flat button filling a bevelled frame, as on the one-port window: it takes no focus, its key
// is in its tooltip. `frame` is what goes into a layout.
QToolButton *MakeFlatButton(QWidget *parent, const char *name, const QString &caption,
                            const QString &image, const QString &key, BevelPanel **frame,
                            int width = 76);
