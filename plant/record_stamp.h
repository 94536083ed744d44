#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

// What every record carries beside its board's facts, the same in the report and on the broker,
// so that the plant can match the two, drop a copy by its id and see a gap in a station's
// numbers.
struct RecordStamp {
    QString id;                // a new UUID
    QString station;           // the station's name
    std::optional<qint64> seq; // the station's own count; none when it could not be kept
};

// The records' layout: a consumer reads "schema" before anything else.
inline constexpr int RecordSchema = 1;

// A stamp with a new id.
RecordStamp NewStamp(const QString &station);
// The program and its version, as the records and the station's status name it:
// "torvane-cli 1.4.0".
QString ToolName();
// Adds the stamp, "schema" and "tool" to `record`.
void AddStamp(QJsonObject *record, const RecordStamp &stamp);
