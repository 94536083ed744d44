#include "plant/station_status.h"

#include "plant/record_stamp.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

QJsonObject said(bool online, const QString &station) {
    return {
        {QStringLiteral("state"), online ? QStringLiteral("online") : QStringLiteral("offline")},
        {QStringLiteral("station"), station},
        {QStringLiteral("tool"), ToolName()}};
}

} // namespace

QByteArray StatusMessage(const StationStatus &status) {
    QJsonObject message = said(status.online, status.station);
    message.insert(QStringLiteral("running"), status.running);
    message.insert(QStringLiteral("done"), status.done);
    message.insert(QStringLiteral("backlog"), status.backlog);
    message.insert(QStringLiteral("time"),
                   QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}

QByteArray LastWill(const QString &station) {
    return QJsonDocument(said(false, station)).toJson(QJsonDocument::Compact);
}
