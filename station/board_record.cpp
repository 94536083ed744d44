#include "station/board_record.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace {

QJsonValue orNull(const QString &text) {
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QString hex4(quint16 value) {
    return QString::number(value, 16).rightJustified(4, QLatin1Char('0'));
}

// A figure kept to `decimals` places: the record says no more than was measured.
double rounded(double value, int decimals) {
    const double scale = std::pow(10.0, decimals);
    return std::round(value * scale) / scale;
}

} // namespace

QJsonObject RecordObject(const BoardRecord &r) {
    QJsonObject usb;
    if (r.hasUsbIds)
        usb = {{QStringLiteral("vendor"), hex4(r.vendorId)},
               {QStringLiteral("product"), hex4(r.productId)},
               {QStringLiteral("serial"), orNull(r.serialNumber)}};
    QJsonObject object{
        {QStringLiteral("start"), r.start.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("end"), r.end.toUTC().toString(Qt::ISODateWithMs)},
        {QStringLiteral("host"), r.host},
        {QStringLiteral("port"), r.port},
        {QStringLiteral("device"), orNull(r.device)},
        {QStringLiteral("byId"), orNull(r.byIdName)},
        {QStringLiteral("usb"), r.hasUsbIds ? QJsonValue(usb) : QJsonValue()},
        {QStringLiteral("operation"), r.operation},
        {QStringLiteral("kind"), r.kind},
        {QStringLiteral("imageSize"), r.imageSize},
        {QStringLiteral("sha256"), orNull(QString::fromLatin1(r.sha256))},
        {QStringLiteral("result"), r.result},
        {QStringLiteral("cause"), orNull(r.cause)},
        {QStringLiteral("detail"), orNull(r.detail)},
        {QStringLiteral("exitCode"), r.exitCode},
        {QStringLiteral("seconds"), rounded(r.seconds, 3)},
        {QStringLiteral("blocksPerSecond"),
         r.blocksPerSecond ? QJsonValue(rounded(*r.blocksPerSecond, 1)) : QJsonValue()},
        {QStringLiteral("lot"), orNull(r.lot)},
        {QStringLiteral("attempt"), r.attempt},
        {QStringLiteral("connectRequests"),
         r.connectRequests > 0 ? QJsonValue(r.connectRequests) : QJsonValue()},
        {QStringLiteral("connectSeconds"),
         r.connectRequests > 0 ? QJsonValue(rounded(r.connectSeconds, 3)) : QJsonValue()},
    };
    AddStamp(&object, r.stamp);
    return object;
}

QByteArray RecordLine(const BoardRecord &record) {
    return QJsonDocument(RecordObject(record)).toJson(QJsonDocument::Compact) + '\n';
}

QString DirectionWord(TransferMode mode) {
    return IsUpload(mode) ? QStringLiteral("upload") : QStringLiteral("download");
}

QString KindWord(TransferMode mode) {
    // "Download Data" -> "data"
    return QString::fromLatin1(ModeName(mode)).section(QLatin1Char(' '), 1).toLower();
}
