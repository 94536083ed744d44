#pragma once

#include <QColor>
#include <QFont>
#include <QSize>
#include <QString>

class QToolButton;
class QWidget;

// The faces and colours both windows are drawn in.
inline const QColor WindowNavy(0, 0, 128);

// Arial (or a metric-compatible face) at a pixel size.
QFont WindowArial(int pixels, bool bold = false);

// Navy while the control is enabled; disabled, its text greys like its image and the lists.
void SetNavy(QWidget *widget);

// The icon and the default face (an 11-pixel sans) both windows are made with.
void SetWindowLook(QWidget *window);

// The windows' flat buttons: caption and image beside it, in bold navy Arial, raised only under
// the mouse, never taking the keyboard focus.
void StyleFlatButton(QToolButton *button, const QString &caption, const QString &image,
                     QSize imageSize);

// Why no window can be shown here (no display named, on a system whose windows need one), for
// a clear word before the toolkit would abort; empty when one may be.
QString NoDisplayReason();

// The windows' faces, found under the names they ask for: set once, at start-up.
void InstallWindowFonts();
