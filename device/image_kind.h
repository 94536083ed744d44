#pragma once

#include <QByteArray>
#include <QtGlobal>

// What the device keeps in its flash, one image per kind. Downloads write all five; uploads read
// software, data and default.
enum class ImageKind { Software, Data, Default, Loader, All };
inline constexpr int ImageKindCount = 5;

// The kind a transfer mode (0..7) moves.
ImageKind KindOfMode(int mode);
// "software", "data", "default", "loader", "all".
const char *KindName(ImageKind kind);
// The exact size of an image of this kind.
qint32 KindSize(ImageKind kind);

// What an upload sends before any download has stored an image of that kind: the same bytes in
// every run, different for every kind, and no two neighbouring blocks alike. Shared by every
// device, never changed.
QByteArray PatternImage(ImageKind kind);
