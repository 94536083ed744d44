#pragma once

#include "link/transfer_mode.h"
#include "plant/publish_settings.h"

#include <QString>
#include <QStringList>

// What the operator asks the station for: one operation, on which ports.
struct StationPlan {
    TransferMode mode = TransferMode::DownloadSoftware;
    // The download file, or the upload file, in which `{port}` stands for each port's own.
    QString file;
    QStringList ports; // as the operator named them; for a watch, patterns too
    bool watch = false;
    bool overwrite = false;
    bool trace = false;
    QString report; // where each board's record is appended; empty for none
    // The download image's SHA-256 in hexadecimal, as given: a file that differs is refused
    // before any board starts. Empty: any image of the mode's size.
    QString expectSha256;
    QString lot;             // the lot each board is counted in; empty for none
    int retries = 0;         // further attempts for a board whose failure trying again may cure
    PublishSettings publish; // the plant's broker the records go to; none when not enabled
    // The programs run as each board ends and as the batch ends, each with its arguments as one
    // text of words (a word with spaces in double quotes); empty for none.
    QString onBoardEnd;
    QString onBatchEnd;
};
