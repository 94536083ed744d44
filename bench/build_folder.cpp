#include "bench/build_folder.h"

#include <QCoreApplication>
#include <QDir>

QString BuildFolder(int argc, char *argv[]) {
    return argc > 1 ? QString::fromLocal8Bit(argv[1])
                    : QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/.."))
                          .absolutePath();
}
