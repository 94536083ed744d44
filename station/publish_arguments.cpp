#include "station/publish_arguments.h"

#include <QCommandLineParser>
#include <QFileInfo>
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
      certificate(QStringLiteral("publish-cert"),
                  QStringLiteral("mqtts://: the station's own certificate (PEM), for a broker "
                                 "that asks for one; with --publish-key."),
                  QStringLiteral("FILE")),
      key(QStringLiteral("publish-key"),
          QStringLiteral("The key of --publish-cert (PEM, not encrypted), readable by its owner "
                         "alone."),
          QStringLiteral("FILE")),
      station(QStringLiteral("station"),
              QStringLiteral("The station's name in each record and in its status topic (the "
                             "host's name unless given)."),
              QStringLiteral("NAME")),
      outbox(QStringLiteral("outbox"),
             QStringLiteral("The folder where records wait for the broker (under "
                            "$XDG_STATE_HOME/torvane/outbox unless given)."),
             QStringLiteral("DIR")) {}

namespace {

// The service's credential for the broker's password (systemd's LoadCredential=).
constexpr char CredentialName[] = "publish-password";

// The password's source: TORVANE_PUBLISH_PASSWORD, else --publish-password-file, else the
// service's credential. Empty when sound, else what is wrong.
QString readPassword(const QCommandLineParser &parser, const PublishOptions &options,
                     PublishSettings *settings) {
    settings->password = qEnvironmentVariable("TORVANE_PUBLISH_PASSWORD");
    if (parser.isSet(options.passwordFile)) {
        settings->passwordFile = parser.value(options.passwordFile);
        if (settings->passwordFile.isEmpty())
            return QStringLiteral("--publish-password-file needs a file name");
        // The file is what was asked for; the environment's is left aside.
        settings->password.clear();
    } else if (const QString credentials = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
               settings->password.isEmpty() && !credentials.isEmpty()) {
        const QString credential = credentials + QLatin1Char('/') + QLatin1String(CredentialName);
        if (QFileInfo::exists(credential)) {
            settings->passwordFile = credential;
            settings->passwordCredential = true;
        }
    }
    // A broker takes a password only with a user name.
    if (settings->broker.user.isEmpty() &&
        (!settings->password.isEmpty() || !settings->passwordFile.isEmpty()))
        return QStringLiteral("--publish %1 has no user for the password%2: "
                              "mqtt%3://USER@host/topic")
            .arg(parser.value(options.publish),
                 settings->passwordCredential ? QStringLiteral(" in %1").arg(settings->passwordFile)
                                              : QString(),
                 settings->broker.tls ? "s" : "");
    return QString();
}

// The broker's trust and the station's certificate. Empty when sound, else what is wrong.
QString readTls(const QCommandLineParser &parser, const PublishOptions &options,
                PublishSettings *settings) {
    for (const QCommandLineOption *option :
         {&options.authority, &options.certificate, &options.key}) {
        if (!parser.isSet(*option))
            continue;
        const QString name = option->names().constFirst();
        if (!settings->broker.tls)
            return QStringLiteral("--%1 applies to an mqtts:// broker only").arg(name);
        if (parser.value(*option).isEmpty())
            return QStringLiteral("--%1 needs a file name").arg(name);
    }
    settings->caFile = parser.value(options.authority);
    settings->certFile = parser.value(options.certificate);
    settings->keyFile = parser.value(options.key);
    if (settings->certFile.isEmpty() != settings->keyFile.isEmpty())
        return QStringLiteral("--publish-cert and --publish-key go together: the certificate and "
                              "its key");
    return QString();
}

} // namespace

QString ReadPublishArguments(const QCommandLineParser &parser, const PublishOptions &options,
                             PublishSettings *into) {
    PublishSettings settings;
    settings.station = parser.isSet(options.station) ? parser.value(options.station).trimmed()
                                                     : QSysInfo::machineHostName();
    if (settings.station.isEmpty())
        return QStringLiteral("--station needs a name");
    if (!parser.isSet(options.publish)) {
        for (const QCommandLineOption &option : options.all()) {
            if (option.names() != options.station.names() && parser.isSet(option))
                return QStringLiteral("--%1 applies with --publish only")
                    .arg(option.names().first());
        }
        *into = settings;
        return QString();
    }
    if (const QString why = ParseBrokerAddress(parser.value(options.publish), &settings.broker);
        !why.isEmpty())
        return QStringLiteral("--publish: %1").arg(why);
    // The name is a level of the station's status topic.
    if (settings.station.contains(QLatin1Char('/')) ||
        settings.station.contains(QLatin1Char('+')) ||
        settings.station.contains(QLatin1Char('#')) || settings.station.contains(QChar(0)))
        return QStringLiteral("--station %1: the name is a level of the station's status topic, "
                              "and may not hold '/', '+' or '#'")
            .arg(settings.station);
    if (QString why = readPassword(parser, options, &settings); !why.isEmpty())
        return why;
    if (QString why = readTls(parser, options, &settings); !why.isEmpty())
        return why;
    if (parser.isSet(options.outbox)) {
        settings.outbox = parser.value(options.outbox);
        if (settings.outbox.isEmpty())
            return QStringLiteral("--outbox needs a folder");
    }
    *into = settings;
    return QString();
}
