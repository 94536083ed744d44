#include "station/board_record.h"

namespace {

QByteArray quoted(const QString &text) {
    QByteArray out = "\"";
    for (const char c : text.toUtf8()) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00" + QByteArray::number(byte, 16).rightJustified(2, '0');
        } else {
            out += c;
        }
    }
    return out + '"';
}

QByteArray time(const QDateTime &at) {
    return quoted(at.toUTC().toString(Qt::ISODateWithMs));
}

QByteArray hex4(quint16 value) {
    return QByteArray::number(value, 16).rightJustified(4, '0');
}

} // namespace

QByteArray RecordLine(const BoardRecord &r) {
    QByteArray line = "{";
    const auto field = [&line](const char *name, const QByteArray &value) {
        if (line.size() > 1)
            line += ',';
        line += '"';
        line += name;
        line += "\":";
        line += value;
    };
    const auto orNull = [](const QString &text) {
        return text.isEmpty() ? QByteArray("null") : quoted(text);
    };
    field("start", time(r.start));
    field("end", time(r.end));
    field("host", quoted(r.host));
    field("port", quoted(r.port));
    field("device", orNull(r.device));
    field("byId", orNull(r.byIdName));
    field("usb", r.hasUsbIds
                     ? "{\"vendor\":\"" + hex4(r.vendorId) + "\",\"product\":\"" +
                           hex4(r.productId) + "\",\"serial\":" + orNull(r.serialNumber) + '}'
                     : QByteArray("null"));
    field("operation", quoted(r.operation));
    field("kind", quoted(r.kind));
    field("imageSize", QByteArray::number(r.imageSize));
    field("sha256", r.sha256.isEmpty() ? QByteArray("null") : '"' + r.sha256 + '"');
    field("result", quoted(r.result));
    field("detail", orNull(r.detail));
    field("exitCode", QByteArray::number(r.exitCode));
    field("seconds", QByteArray::number(r.seconds, 'f', 3));
    field("blocksPerSecond",
          r.blocksPerSecond ? QByteArray::number(*r.blocksPerSecond, 'f', 1) : QByteArray("null"));
    return line + "}\n";
}
