#pragma once

#include <QString>

// The benchmarks print one table (Markdown) on standard output, a row a figure, and say what
// they are doing meanwhile on standard error, so that the table stays clean.
struct Row {
    QString figure;
    QString measured;
    QString goal;
};

void PrintRow(const Row &row);

// "bench: <text>" on standard error.
void Say(const QString &text);

// A figure as the table writes it: English digits, grouped, with `decimals` places.
QString Number(double value, int decimals);
