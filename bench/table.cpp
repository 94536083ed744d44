#include "bench/table.h"

#include <QLocale>

#include <cstdio>

void PrintRow(const Row &row) {
    std::printf("| %s | %s | %s |\n", qPrintable(row.figure), qPrintable(row.measured),
                qPrintable(row.goal));
    std::fflush(stdout);
}

void Say(const QString &text) {
    std::fprintf(stderr, "bench: %s\n", qPrintable(text));
}

QString Number(double value, int decimals) {
    return QLocale(QLocale::English).toString(value, 'f', decimals);
}
