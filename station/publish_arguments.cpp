#include "station/publish_arguments.h"

#include <QCommandLineParser>
#include <QSysInfo>

PublishOptions::PublishOptions()
    : publish(QStringLiteral("publish"),
              QStringLiteral("Publishes each device's record, with an id and the station's "
                             "name, to the MQTT broker at URL (mqtt://[user@]host[:port]/topic, "
                             "or mqtts:// for TLS) at QoS 1, through an outbox on disk that "
                             "keeps every record until the broker has taken it. The password "
                             "comes from $TORVANE_PUBLISH_PASSWORD or --publish-password-file."),
              QStringLiteral("URL")),
      passwordFile(QStringLiteral("publish-password-file"),
                   QStringLiteral("The broker's password: the first line of FILE, read at each "
                                  "connection."),
                   QStringLiteral("FILE")),
      authority(QStringLiteral("publish-ca"),
                QStringLiteral("mqtts://: trusts the broker's certificate when FILE's authority "
                               "signed it, instead of the system's authorities. The host name is "
                               "always checked."),
                QStringLiteral("FILE")),
      station(QStringLiteral("station"),
              QStringLiteral("The station's name in each published record (the host's name "
                             "unless given)."),
              QStringLiteral("NAME")),
      outbox(QStringLiteral("outbox"),
             QStringLiteral("The folder where records wait for the broker (under "
                            "$XDG_STATE_HOME/torvane/outbox unless given)."),
             QStringLiteral("DIR")) {}

QString ReadPublishArguments(const QCommandLineParser &parser, const PublishOptions &options,
                             PublishSettings *into) {
    PublishSettings settings;
    if (!parser.isSet(options.publish)) {
        for (const QCommandLineOption &option :
             {options.passwordFile, options.authority, options.station, options.outbox}) {
            if (parser.isSet(option))
                return QStringLiteral("--%1 applies with --publish only")
                    .arg(option.names().first());
        }
        *into = settings;
        return QString();
    }
    if (const QString why = ParseBrokerAddress(parser.value(options.publish), &settings.broker);
        !why.isEmpty())
        return QStringLiteral("--publish: %1").arg(why);
    settings.password = qEnvironmentVariable("TORVANE_PUBLISH_PASSWORD");
    if (parser.isSet(options.passwordFile)) {
        settings.passwordFile = parser.value(options.passwordFile);
        if (settings.passwordFile.isEmpty())
            return QStringLiteral("--publish-password-file needs a file name");
        // The file is what was asked for; the environment's is left aside.
        settings.password.clear();
    }
    // A broker takes a password only with a user name.
    if (settings.broker.user.isEmpty() &&
        (!settings.password.isEmpty() || !settings.passwordFile.isEmpty()))
        return QStringLiteral("--publish %1 has no user for the password: "
                              "mqtt%2://USER@host/topic")
            .arg(parser.value(options.publish), settings.broker.tls ? "s" : "");
    if (parser.isSet(options.authority)) {
        settings.caFile = parser.value(options.authority);
        if (!settings.broker.tls)
            return QStringLiteral("--publish-ca applies to an mqtts:// broker only");
        if (settings.caFile.isEmpty())
            return QStringLiteral("--publish-ca needs a file name");
    }
    settings.station = parser.isSet(options.station) ? parser.value(options.station).trimmed()
                                                     : QSysInfo::machineHostName();
    if (settings.station.isEmpty())
        return QStringLiteral("--station needs a name");
    if (parser.isSet(options.outbox)) {
        settings.outbox = parser.value(options.outbox);
        if (settings.outbox.isEmpty())
            return QStringLiteral("--outbox needs a folder");
    }
    *into = settings;
    return QString();
}
