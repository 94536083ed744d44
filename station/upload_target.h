#pragma once

#include <QString>

struct UploadTarget {
    bool usable = true;
    bool exists = false;
    QString reason; // why the file may not be written, when it may not
};

// Checked before the port opens, so that a whole upload is not received for a file that cannot
// take it. An existing file is covered only when the operator said --overwrite.
UploadTarget CheckUploadTarget(const QString &file, bool overwrite);
