#pragma once

#include "plant/publish_settings.h"

#include <QCommandLineOption>
#include <QList>

class QCommandLineParser;

// The options that publish a station's records to the plant's broker: --publish,
// --publish-password-file, --publish-ca, --station and --outbox.
struct PublishOptions {
    PublishOptions();
    QList<QCommandLineOption> all() const {
        return {publish, passwordFile, authority, station, outbox};
    }

    QCommandLineOption publish;
    QCommandLineOption passwordFile;
    QCommandLineOption authority;
    QCommandLineOption station;
    QCommandLineOption outbox;
};

// Reads them from `parser`, and the password from TORVANE_PUBLISH_PASSWORD; empty when they are
// sound, else what is wrong.
QString ReadPublishArguments(const QCommandLineParser &parser, const PublishOptions &options,
                             PublishSettings *into);
