#include "cli/terminal_output.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

bool CanRedraw(int fd) {
    const char *term = std::getenv("TERM");
    return ::isatty(fd) == 1 && !(term && std::strcmp(term, "dumb") == 0);
}

QString AttemptText(int attempt, int attempts) {
    return QStringLiteral("attempt %1 of %2").arg(attempt).arg(attempts);
}

TerminalOutput::TerminalOutput(std::FILE *out, std::FILE *err, bool live)
    : out_(out), err_(err), live_(live) {}

void TerminalOutput::endProgressLine(bool keep) {
    if (!progressShown_)
        return;
    std::fputs(keep ? "\n" : "\r\033[K", err_);
    std::fflush(err_);
    progressShown_ = false;
}

void TerminalOutput::statusLine(const QString &text) {
    // A stage that ends a phase early keeps the phase's last progress on screen above it.
    endProgressLine(true);
    std::fputs(text.toLocal8Bit().append('\n').constData(), out_);
    std::fflush(out_);
}

void TerminalOutput::errorLine(const QString &text) {
    endProgressLine(true);
    std::fputs(QStringLiteral("torvane-cli: %1\n").arg(text).toLocal8Bit().constData(), err_);
    std::fflush(err_);
}

void TerminalOutput::errorBox(const QString &cause) {
    errorLine(QStringLiteral("error: %1").arg(cause));
}

void TerminalOutput::attemptStarted(int attempt, int attempts) {
    errorLine(AttemptText(attempt, attempts));
}

void TerminalOutput::traceLine(const QByteArray &text) {
    endProgressLine(false);
    std::fwrite(text.constData(), 1, size_t(text.size()), err_);
    std::fputc('\n', err_);
}

void TerminalOutput::drawProgress(const QString &text) {
    if (!live_)
        return;
    std::fputs("\r\033[K", err_);
    std::fputs(text.toLocal8Bit().constData(), err_);
    std::fflush(err_);
    progressShown_ = true;
}

void TerminalOutput::finishProgress(const QString &text) {
    if (live_)
        std::fputs("\r\033[K", err_);
    std::fputs(text.toLocal8Bit().append('\n').constData(), err_);
    std::fflush(err_);
    progressShown_ = false;
}
