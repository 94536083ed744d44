#include "plant/record_stamp.h"

#include <QCoreApplication>
#include <QJsonValue>
#include <QUuid>

RecordStamp NewStamp(const QString &station) {
    return {QUuid::createUuid().toString(QUuid::WithoutBraces), station, std::nullopt};
}

QString ToolName() {
    return QCoreApplication::applicationName() + QLatin1Char(' ') +
           QCoreApplication::applicationVersion();
}

void AddStamp(QJsonObject *record, const RecordStamp &stamp) {
    record->insert(QStringLiteral("id"), stamp.id);
    record->insert(QStringLiteral("station"), stamp.station);
    record->insert(QStringLiteral("seq"), stamp.seq ? QJsonValue(*stamp.seq) : QJsonValue());
    record->insert(QStringLiteral("schema"), RecordSchema);
    record->insert(QStringLiteral("tool"), ToolName());
}
