#pragma once

#include "ports/com_port_map.h"
#include "station/boards.h"
#include "station/station_plan.h"
#include "station/station_run.h"
#include "station/station_totals.h"
#include "station/stop_flag.h"

#include <QObject>
#include <QTimer>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <optional>

class BoardFeed;
class EndPrograms;
class Publisher;
class BoardRows;
class WatchThread;
enum class BoardState;
struct WatchStep;

// A run of the station in the window: its boards on the station core's threads, a watch's looks
// on a thread of their own, and the slots' rows brought up to date from the window's thread only.
class StationRunner : public QObject, private StationEvents {
    Q_OBJECT
public:
    StationRunner(BoardRows &rows, ComPortSource comPorts, QObject *parent = nullptr);
    ~StationRunner() override;

    // Checks the plan and starts its boards; nothing is touched, and the rows stay as they are,
    // when it is refused. `again`: the plan's ports are rows that run once more (Again), the
    // other rows left as they are; otherwise the rows start anew, one for each port.
    std::optional<StationRefusal> start(const StationPlan &plan, bool again);
    // Every board ends in order at its next poll; finished() follows once all have. `why`: the
    // signal that ends the station, or the operator's Stop.
    static constexpr int OperatorStop = -1;
    void stop(int why = OperatorStop);

    bool running() const { return boards_ != nullptr; }
    bool stopping() const { return running() && StopRequested(&stop_); }
    bool watching() const { return watch_ != nullptr; }
    // This run's boards: launched, and as the station counted them once each as they ended.
    int boardsLaunched() const { return launched_ + int(waiting_.size()); }
    int boardsEnded() const { return totals_.counts().served(); }
    int boardsFailed() const { return totals_.counts().failed; }
    // The boards not ended yet: those whose operation runs, and those waiting their turn.
    int boardsRunning() const;
    int boardsWaiting() const;
    // What the board on the row said beyond its status, while it runs or since it ended.
    QString detail(int row) const;
    // The image's SHA-256: of the image sent, or of the last upload's.
    QString sha256() const { return sha256_; }
    // Where the records go on to the plant's broker; none until a run publishes. It outlives the
    // runs, so that records left waiting go on while the window is open.
    const std::shared_ptr<Publisher> &publisher() const { return publisher_; }

signals:
    // A board ended on the row, in the state its row now shows.
    void boardEnded(int row, BoardState state);
    // The rows were brought up to date (ten times a second while boards run).
    void progressed();
    // A line of the station's own: where a port leads, a port a pattern matched but leaves alone.
    void note(const QString &text);
    // Every board has ended (and a watch was stopped).
    void finished();

private:
    // StationEvents: started() comes on this thread (the runner launches each board); the
    // board's lines go to its feed; its end, on the board's thread, only asks this thread to
    // collect it now rather than at the next tick.
    ConsoleOutput &started(int board, const QString &port) override;
    void ended(int board, const BoardOutcome &outcome) override;

    void launch(BoardJob job);
    void launchSome();
    void tick();
    struct Live;
    // Brings the board's row up to date with what its feed says now.
    void show(Live &live);
    void look(const WatchStep &step);
    void collectEnd(int board, const BoardOutcome &outcome);
    void finish();

    BoardRows &rows_;
    ComPortSource comPorts_;
    StopFlag stop_{0};
    std::unique_ptr<StationRun> run_;
    // This run's boards counted once each, and into its lot when it has one.
    StationTotals totals_;
    std::shared_ptr<Publisher> publisher_;
    // The programs at each board's and the batch's end: they outlive the boards, and the batch,
    // so that its program runs and is heard from while the window waits for the next.
    std::unique_ptr<EndPrograms> programs_;
    QTimer programNotes_;
    std::unique_ptr<Boards> boards_;
    std::unique_ptr<WatchThread> watch_;
    std::deque<BoardJob> waiting_; // to launch, a few at a time
    QTimer tick_;
    bool again_ = false;
    // Boards that said they ended, and those collected: a board says so just before its
    // outcome is there to collect.
    std::atomic<int> endedBoards_{0};
    int collectedBoards_ = 0;
    int launched_ = 0;
    struct Live {
        int row = 0;
        std::shared_ptr<BoardFeed> feed;
        bool waiting = true; // as its row last showed it
    };
    std::map<int, Live> live_;           // by board, while it runs
    std::map<QString, QString> devices_; // port -> the device it opens
    QString sha256_;
};
