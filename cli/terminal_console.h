#pragma once

#include "cli/cli_options.h"
#include "cli/outcome.h"
#include "cli/progress_display.h"
#include "ops/operator_console.h"

#include <chrono>

class TerminalOutput;
struct Line;
struct TransferState;

// The operator console on a terminal: each status text once on its own line, the percentage
// texts as progress, the error box as a line on stderr. Ctrl-C acts as the window's Reset.
class TerminalConsole : public OperatorConsole {
public:
    using Clock = std::chrono::steady_clock;

    TerminalConsole(const CliOptions &options, TerminalOutput &output);

    // The link and state the operation runs on: an interruption closes this port.
    void attach(Line &line, TransferState &state);

    int selectedPortIndex() const override { return options_.portIndex; }
    void setPortLamp(bool) override {}
    void showError(const QString &text) override;
    void noteOpenFailure(const QString &cause) override;
    void processEvents() override;

    int selectedMode() const override { return options_.mode; }
    QString fileNameField() const override { return options_.file; }
    QString downloadFileName() const override { return options_.file; }
    QString uploadFileName() const override { return options_.file; }

    void showStatus(const QString &text) override;
    void showProgressText(const QString &text) override;
    void Progress(int max, int step) override;
    void setProgressPosition(int position) override;
    void setInputPanelEnabled(bool) override {}

    // The operation has returned: a phase it left unfinished is shown where it stopped.
    void finish();

    const OperationRecord &record() const { return record_; }
    // From the first "Connectting..." to "Update Success!", or zero before both were shown.
    Clock::duration operationTime() const;

private:
    void interrupt();
    void print(const QString &text);
    void printHeldSuccess();

    const CliOptions &options_;
    TerminalOutput &output_;
    ProgressDisplay progress_;
    Line *line_ = nullptr;
    TransferState *state_ = nullptr;
    OperationRecord record_;
    QString printed_;          // the last status line printed: a repeat is not printed again
    bool successHeld_ = false; // a "Transfer Success!" not yet known to end its phase
    Clock::time_point connecting_{};
    Clock::time_point finished_{};
};
