#pragma once

#include <QString>

// The build tree whose programs a benchmark runs: its first argument, else the folder above the
// benchmark's own.
QString BuildFolder(int argc, char *argv[]);
