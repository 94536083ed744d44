#include "widgets/window_style.h"

#include "widgets/button_image.h"

#include <QIcon>
#include <QPalette>
#include <QStringList>
#include <QToolButton>
#include <QWidget>

QFont WindowArial(int pixels, bool bold) {
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

void SetNavy(QWidget *widget) {
    QPalette palette = widget->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::WindowText, WindowNavy);
        palette.setColor(group, QPalette::Text, WindowNavy);
        palette.setColor(group, QPalette::ButtonText, WindowNavy);
    }
    widget->setPalette(palette);
}

// Arial is found as itself or as a metric-compatible face; the window's default face, a
// bitmap sans of the tool's home platform, as the closest outline sans at hand.
void InstallWindowFonts() {
    const QStringList metricArial{QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"),
                                  QStringLiteral("Helvetica")};
    QFont::insertSubstitutions(QStringLiteral("Arial"), metricArial);
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               QStringList{QStringLiteral("Arial")} + metricArial);
}

void SetWindowLook(QWidget *window) {
    QIcon icon;
    for (int size : {16, 32, 128})
        icon.addFile(QStringLiteral(":/torvane/images/torvane-%1.png").arg(size));
    window->setWindowIcon(icon);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    window->setFont(font);
}

QString NoDisplayReason() {
#if defined(Q_OS_LINUX)
    // The platform the operator named (offscreen, a frame buffer) needs no display.
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
        !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return {};
    return QStringLiteral("no display to open the window on: neither DISPLAY nor WAYLAND_DISPLAY "
                          "is set");
#else
    return {};
#endif
}

void StyleFlatButton(QToolButton *button, const QString &caption, const QString &image,
                     QSize imageSize) {
    button->setFont(WindowArial(12, true));
    SetNavy(button);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::NoFocus);
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setIcon(ButtonImage(image));
    button->setIconSize(imageSize);
    button->setText(caption);
}
