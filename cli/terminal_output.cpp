#include "cli/terminal_output.h"

#include "cli/journal_stream.h"

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
    : out_(out), err_(err), live_(live), outIsJournal_(IsJournalStream(::fileno(out))),
      errIsJournal_(IsJournalStream(::fileno(err))) {}

void TerminalOutput::put(std::FILE *stream, const QByteArray &line) {
    const bool journal = stream == err_ ? errIsJournal_ : outIsJournal_;
    const QByteArray bytes = journal ? WithPriority(line, JournalPriority::Info) : line;
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

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
    put(out_, text.toLocal8Bit().append('\n'));
}

void TerminalOutput::errorLine(const QString &text) {
    endProgressLine(true);
    put(err_, QStringLiteral("torvane-cli: %1\n").arg(text).toLocal8Bit());
}

void TerminalOutput::errorBox(const QString &cause) {
    errorLine(QStringLiteral("error: %1").arg(cause));
}

void TerminalOutput::attemptStarted(int attempt, int attempts) {
    errorLine(AttemptText(attempt, attempts));
}

void TerminalOutput::traceLine(const QByteArray &text) {
    endProgressLine(false);
    put(err_, text + '\n');
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
    put(err_, text.toLocal8Bit().append('\n'));
    progressShown_ = false;
}
