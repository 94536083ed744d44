#pragma once

#include "station/board_job.h"
#include "station/board_outcome.h"
#include "station/station_events.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

class ConsoleOutput;
class EndPrograms;
class Publisher;
class QThread;
class RecordSequence;
class ReportFile;
class StationTotals;

// Where each board's record goes: numbered for `station` by `sequence` (when given), then into
// `report` and `publisher`, where they are given; `programs` have it as the board ends.
struct RecordTargets {
    ReportFile *report = nullptr;
    Publisher *publisher = nullptr;
    RecordSequence *sequence = nullptr;
    QString station;
    EndPrograms *programs = nullptr;
};

// As many as the emulator plays, and more than the largest station one PC drives.
inline constexpr int MostBoardsAtOnce = 256;

// The boards' operations, each on a thread of its own with its own serial component and state,
// and their outcomes as they end. A board is known by the number launch() gives it. At most
// MostBoardsAtOnce run at once, so that threads and memory stay bounded however many ports a
// station names, and no more than the descriptors the process may open (ulimit -n) serve, though
// a board alone is always tried: the others wait their turn, in order, and start as collect()
// finds boards ended.
class Boards {
public:
    // Each board's end is counted in `totals` (when given) before ended() says it. A record
    // that none of `records` keeps makes its board's run fail as a report refusing it does.
    Boards(StationEvents &events, RecordTargets records, StationTotals *totals = nullptr);
    ~Boards(); // waits for every board's thread
    Boards(const Boards &) = delete;
    Boards &operator=(const Boards &) = delete;

    int launch(BoardJob job);
    // The boards not yet collected: running, or waiting their turn.
    int running() const;
    // The boards that ended, waiting up to `timeout` for one when none has.
    std::vector<std::pair<int, BoardOutcome>> collect(std::chrono::steady_clock::duration timeout);

private:
    struct Worker {
        std::unique_ptr<QThread> thread;
        int board = 0;
        int descriptors = 0; // what its run may hold at once
        std::optional<BoardOutcome> outcome;
        std::optional<BoardJob> waiting; // its turn has not come yet
        ConsoleOutput *output = nullptr;
    };
    // Whether the board may start now: a thread and the descriptors it takes are free.
    bool hasRoomFor(const Worker &worker) const;
    // Starts the board's thread, or ends it at once when the system gives none; `lock` holds
    // the station's lock, and is let go on the way.
    void start(Worker &worker, BoardJob job, std::unique_lock<std::mutex> &lock);
    // The boards waiting whose turn has come.
    void startWaiting(std::unique_lock<std::mutex> &lock);
    void run(Worker &worker, ConsoleOutput &output, const BoardJob &job);
    // The board ends before its thread starts: stopped before its turn came, its file refused,
    // or no thread given by the system.
    void notServed(Worker &worker, ConsoleOutput &output, BoardRecord record, const QString &why,
                   ExitCode code = ExitCode::PortUnavailable);
    // Written as soon as the board is done: a crash of the station later loses nothing.
    void writeRecord(BoardOutcome &outcome, ConsoleOutput &output);
    // The record's id, station and number.
    void stamp(BoardRecord &record, ConsoleOutput &output);
    // The board's run fails for a record not kept, as `why` says; its own cause stays first.
    static void notKept(BoardOutcome &outcome, const QString &why);
    // The board has ended, its record written: the front end hears of it, the station's state
    // on the broker counts it, the programs at a board's end have its record.
    void ended(int board, const BoardOutcome &outcome);
    void count(const BoardOutcome &outcome, ConsoleOutput &output);

    StationEvents &events_;
    RecordTargets records_;
    StationTotals *totals_;
    mutable std::mutex mutex_;
    std::condition_variable done_;
    std::list<Worker> workers_; // a worker stays where it is while its thread runs
    int launched_ = 0;
    int threads_ = 0; // boards started and not yet collected
    int descriptors_; // what the boards may hold at once; -1 for no limit
};
