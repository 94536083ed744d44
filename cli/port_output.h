#pragma once

#include "station/console_output.h"

class StationView;

// One port's operation speaking through its line of the station's view: the console of a single
// run, unchanged, sees a terminal of its own.
class PortOutput : public ConsoleOutput {
public:
    PortOutput(StationView &view, int row) : view_(view), row_(row) {}

    bool live() const override;
    void statusLine(const QString &text) override;
    void errorLine(const QString &text) override;
    void errorBox(const QString &cause) override;
    void attemptStarted(int attempt, int attempts) override;
    void traceLine(const QByteArray &text) override;
    void drawProgress(const QString &text) override;
    void finishProgress(const QString &text) override;

private:
    StationView &view_;
    int row_;
};
