#pragma once

#include "link/transfer_mode.h"
#include "plant/record_stamp.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

// What the report keeps of one device's operation: when and where it ran, on which device, with
// which image, and how it ended.
struct BoardRecord {
    QDateTime start; // UTC
    QDateTime end;
    QString host;
    QString port;   // as the operator named it, or as a watched pattern found it
    QString device; // the device it opened
    // The device's steady names, where the system knows them.
    QString byIdName;
    bool hasUsbIds = false;
    quint16 vendorId = 0;
    quint16 productId = 0;
    QString serialNumber;
    QString operation; // "download" or "upload"
    QString kind;      // "data", ...
    qint64 imageSize = 0;
    QByteArray sha256; // hex: of the image sent, or of the verified image received; else empty
    QString result;    // the verdict shown last, the file check's reason, or the exit code's words
    QString cause;     // why it failed, in plain words; empty for a success
    QString detail;    // the cause and what lay behind it
    int exitCode = 0;
    double seconds = 0;
    std::optional<double> blocksPerSecond; // over the data phases; none where no block moved
    QString lot;                           // the lot the board is counted in; empty for none
    int attempt = 1;                       // of the board's operation: 2 and on are its retries
    // How the connect went: the requests sent and the time to the device's answer (or to giving
    // up); no requests where none was sent.
    int connectRequests = 0;
    double connectSeconds = 0;
    RecordStamp stamp; // its id, station and number, given as it is written
};

// The record as JSON, stamped, and as one line of it, '\n' included.
QJsonObject RecordObject(const BoardRecord &record);
QByteArray RecordLine(const BoardRecord &record);

// The words a record gives an operation, as the command line takes them: "download", "data".
QString DirectionWord(TransferMode mode);
QString KindWord(TransferMode mode);
