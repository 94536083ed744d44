#include "station/board_attempts.h"

#include "station/console_output.h"

#include <QThread>

bool RetryMayCure(const BoardOutcome &outcome) {
    switch (outcome.code) {
    case ExitCode::ConnectFailed:
    case ExitCode::TransferFailed:
    case ExitCode::VerifyFailed:
    case ExitCode::EraseFailed:
    case ExitCode::ProgramFailed:
        return true;
    // A read-back that differs came whole (its checksums matched): the device holds other
    // bytes than the file, and reading them again gives the same answer.
    case ExitCode::ReadBackDiffers:
    default:
        return false;
    }
}

BoardOutcome RunAttempts(BoardJob job, ConsoleOutput &output,
                         const std::function<void(BoardOutcome &)> &keep) {
    using Clock = std::chrono::steady_clock;
    for (job.attempt = 1;; ++job.attempt) {
        if (job.attempt > 1)
            output.attemptStarted(job.attempt, job.attempts);
        BoardOutcome outcome = RunBoard(job, output, keep);
        if (job.attempt >= job.attempts || !RetryMayCure(outcome) || StopRequested(job.stop))
            return outcome;
        const Clock::time_point until = Clock::now() + RetryPause;
        while (Clock::now() < until && !StopRequested(job.stop))
            QThread::msleep(20);
        if (StopRequested(job.stop))
            return outcome;
        // The steps that succeeded stand: the job goes on from the one that failed.
        job.firstStep = outcome.step;
    }
}
