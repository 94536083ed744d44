// Running torvane-cli from a test: its exit code, its lines on stdout and what it said on stderr.
// The test's target defines TORVANE_CLI_PATH.
#pragma once

#include "ops/status_text.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <initializer_list>

namespace cli_test {

// Unpaced, the device verifies, erases and programs at once.
inline const QStringList Quick{"--erase-time", "0", "--program-time", "0"};

inline QStringList texts(std::initializer_list<StatusCode> codes) {
    QStringList lines;
    for (const StatusCode code : codes)
        lines << StatusText(code);
    return lines;
}

// What a single run prints, line for line.
inline const QStringList DownloadLines = texts(
    {StatusCode::Connecting, StatusCode::ConnectSuccess, StatusCode::Transfer,
     StatusCode::TransferSuccess, StatusCode::Verify, StatusCode::VerifySuccess,
     StatusCode::EraseFlash, StatusCode::EraseFlashSuccess, StatusCode::ProgramFlash,
     StatusCode::ProgramFlashSuccess, StatusCode::EraseEepromSuccess, StatusCode::UpdateSuccess});
inline const QStringList UploadLines =
    texts({StatusCode::Connecting, StatusCode::ConnectSuccess, StatusCode::Transfer,
           StatusCode::TransferSuccess, StatusCode::Verify, StatusCode::VerifySuccess,
           StatusCode::UpdateSuccess});

inline QString cliPath() {
    return QStringLiteral(TORVANE_CLI_PATH);
}

struct CliRun {
    int exitCode = -1;
    QStringList lines; // stdout
    QString errors;    // stderr
    // The status lines, without the result line at the end.
    QStringList statusLines() const { return lines.mid(0, lines.size() - 1); }
    QString resultLine() const { return lines.isEmpty() ? QString() : lines.last(); }
};

inline CliRun finish(QProcess &process, int timeoutMs = 120000) {
    CliRun run;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    const QString out = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.lines = out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    run.errors = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

inline void startCli(QProcess &process, const QStringList &arguments,
                     const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment()) {
    process.setProcessEnvironment(env);
    process.start(cliPath(), arguments);
}

inline CliRun runCli(const QStringList &arguments,
                     const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    startCli(process, arguments, env);
    return finish(process);
}

// Waits until `seen` (what the process printed on the channel read) holds `text`.
inline bool waitFor(QProcess &process, QByteArray &seen, const QByteArray &text, int timeoutMs,
                    QProcess::ProcessChannel channel = QProcess::StandardOutput) {
    QElapsedTimer timer;
    timer.start();
    process.setReadChannel(channel);
    while (!seen.contains(text)) {
        if (timer.elapsed() > timeoutMs || process.state() == QProcess::NotRunning)
            return false;
        process.waitForReadyRead(50);
        seen += process.readAll();
    }
    return true;
}

} // namespace cli_test
