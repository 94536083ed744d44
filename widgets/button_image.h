#pragma once

#include <QIcon>
#include <QString>

// A button image from the resources, with the colour of its bottom-left pixel made transparent.
QIcon ButtonImage(const QString &resource);
