#include "cli/port_output.h"

#include "cli/station_view.h"
#include "cli/terminal_output.h"

bool PortOutput::live() const {
    return view_.live();
}

void PortOutput::statusLine(const QString &text) {
    view_.status(row_, text);
}

void PortOutput::errorLine(const QString &text) {
    view_.error(row_, text);
}

void PortOutput::errorBox(const QString &cause) {
    view_.error(row_, QStringLiteral("error: %1").arg(cause));
}

void PortOutput::attemptStarted(int attempt, int attempts) {
    view_.attempt(row_, AttemptText(attempt, attempts));
}

void PortOutput::traceLine(const QByteArray &text) {
    view_.trace(row_, text);
}

void PortOutput::drawProgress(const QString &text) {
    view_.progress(row_, text);
}

void PortOutput::finishProgress(const QString &text) {
    view_.progressDone(row_, text);
}
