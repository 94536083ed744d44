#pragma once

#include <QColor>
#include <QFont>

class QWidget;

// The faces and colours both windows are drawn in.
inline const QColor WindowNavy(0, 0, 128);

// Arial (or a metric-compatible face) at a pixel size.
QFont WindowArial(int pixels, bool bold = false);

// Navy while the control is enabled; disabled, its text greys like its image and the lists.
void SetNavy(QWidget *widget);

// The icon and the default face (an 11-pixel sans) both windows are made with.
void SetWindowLook(QWidget *window);

// The windows' faces, found under the names they ask for: set once, at start-up.
void InstallWindowFonts();
