#pragma once

#include "ops/progress_sink.h"
#include "station/progress_display.h"
#include "station/stop_flag.h"

#include <chrono>
#include <functional>

class ConsoleOutput;
struct Line;
struct TransferState;

// An operation's progress on a terminal: each status text once on its own line, the data phases
// as progress, the error box as a line on stderr that gives its cause. Ctrl-C acts as the window's
// Reset.
class BoardConsole : public ProgressSink {
public:
    using Clock = std::chrono::steady_clock;

    // `stop` set acts as the window's Reset.
    BoardConsole(ConsoleOutput &output, const StopFlag *stop);

    // The link and state the operation runs on: an interruption closes this port.
    void attach(Line &line, TransferState &state);
    // The next step of a job begins, `label` naming it in a job of several (else empty): its
    // lines and its progress say which step they are of, and its blocks are counted apart.
    void beginStep(const QString &label);

    void processEvents() override;
    void statusShown(StatusCode code) override;
    void fileRefused(FileRefusal reason) override;
    void connectEnded(int requests, Clock::duration took) override {
        connectRequests_ = requests;
        connectTime_ = took;
    }
    void phaseStarted(Phase phase, int totalBlocks) override;
    void blockDone(const BlockProgress &progress) override;
    void Progress(int max, int step) override;
    void showError(const QString &text, const QString &cause = QString()) override;
    // The window's pause, cut short by Ctrl-C.
    void standStill(int ms) override;

    // Called as "Update Success!" is shown: an upload's file is saved by then, and the pause
    // that follows may still be cut short by a kill.
    void onSuccess(std::function<void()> hook) { onSuccess_ = std::move(hook); }

    // The operation has returned: a phase it left unfinished is shown where it stopped.
    void finish();

    // Ctrl-C or SIGTERM reached the operation.
    bool interrupted() const { return interrupted_; }
    // From the first connect attempt to the update's success, or zero before both were shown:
    // in a job, from its first step's connect to its last step's success.
    Clock::duration operationTime() const;
    // The last status line printed: the verdict, or the file check's reason.
    QString lastStatus() const { return printed_; }
    // Blocks moved in the data phases, and the time from the first phase's start to the last
    // block, each step's added.
    int blocksMoved() const { return blocks_; }
    Clock::duration blockTime() const { return stepsBlockTime_ + (lastBlock_ - firstPhase_); }
    // How the handshake went, once it ended.
    int connectRequests() const { return connectRequests_; }
    Clock::duration connectTime() const { return connectTime_; }

private:
    void interrupt();
    void print(const QString &text);

    ConsoleOutput &output_;
    ProgressDisplay progress_;
    Line *line_ = nullptr;
    TransferState *state_ = nullptr;
    const StopFlag *stop_;
    std::function<void()> onSuccess_;
    bool interrupted_ = false;
    QString printed_; // the last status line printed: a repeat is not printed again
    Clock::time_point connecting_{};
    Clock::time_point finished_{};
    int blocks_ = 0;
    Clock::time_point firstPhase_{};
    Clock::time_point lastBlock_{};
    Clock::duration stepsBlockTime_{}; // of the steps before this one
    int connectRequests_ = 0;
    Clock::duration connectTime_{};
};
