#pragma once

#include "plant/publish_settings.h"

#include <QCommandLineOption>
#include <QList>

class QCommandLineParser;

// The options that publish a station's records to the plant's broker: --publish,
// --publish-password-file, --publish-ca, --publish-cert, --publish-key, --station and --outbox.
struct PublishOptions {
    PublishOptions();
    QList<QCommandLineOption> all() const {
        return {publish, passwordFile, authority, certificate, key, station, outbox};
    }

    QCommandLineOption publish;
    QCommandLineOption passwordFile;
    QCommandLineOption authority;
    QCommandLineOption certificate;
    QCommandLineOption key;
    QCommandLineOption station;
    QCommandLineOption outbox;
};

// Reads them from `parser`, and the password from TORVANE_PUBLISH_PASSWORD, else the file the
// option names, else the service's credential $CREDENTIALS_DIRECTORY/publish-password; empty
// when they are sound, else what is wrong. The station's name is read without --publish too:
// the report's records carry it.
QString ReadPublishArguments(const QCommandLineParser &parser, const PublishOptions &options,
                             PublishSettings *into);
