#pragma once

#include "ports/com_port_map.h"
#include "station/station_plan.h"
#include "station_window/station_sound.h"

#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>

class BatchBanner;
class Lot;
class QToolButton;
class BoardRows;
class BoardTable;
class QLabel;
class StationControls;
class StationRunner;
enum class BoardState;

// The station's window: the set-up at the top, the batch's banner, one row per slot as its board
// runs, the totals at the bottom. The boards run on the station core's threads; their rows are
// brought up to date from the window's thread only.
class StationWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr const char *Title = "torvane station";

    explicit StationWindow(ComPortSource comPorts, QWidget *parent = nullptr);
    ~StationWindow() override;

    // Fills the set-up in from the command line's arguments; nothing starts.
    void fillIn(const StationPlan &arguments);
    // No sound, as the Sound box unchecked.
    void setQuiet(bool quiet);
    // The set-up came from `recipe`: it is shown and cannot change.
    void lockRecipe(const QString &recipe);

    // What Start (F5), Again (F6), Stop (Escape) and Open (Ctrl+O) do.
    void startRun();
    void againRun();
    void stopRun();
    // Stops every board in order, then closes, without asking: for Ctrl-C or SIGTERM.
    void stopAndClose();
    void chooseFile();
    // New lot… (Ctrl+L) and Save recipe… (Ctrl+S).
    void newLot();
    void saveRecipe();
    // Adds a step to the job after the one selected (Ctrl+T: "then").
    void addStep();

    bool running() const;

signals:
    // The run (or the watch) is over: every board has ended.
    void runEnded();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void createLayout();
    // The set-up as filled in, with the lot the boards are counted into.
    StationPlan plan() const;
    // Counts into the lot `name` from now on, and opens with it next time.
    bool openLot(const QString &name, bool remember);
    void showLot();
    // The set-up's own rules, before the station core is asked.
    bool planIsSound(const StationPlan &plan);
    void begin(const StationPlan &plan, bool again);
    void boardEnded(int row, BoardState state);
    void progressed();
    void finished();
    void showTotals();
    void showDetail(int row);
    void refuse(const QString &text);
    // A line of the station's own (where a port leads, a port a pattern matched but leaves
    // alone): the newest at the bottom, whole, and the last few in its tooltip.
    void note(const QString &text);
    void takeKeyboardBack();

    BoardRows *rows_ = nullptr;
    StationRunner *runner_ = nullptr;
    StationControls *controls_ = nullptr;
    BatchBanner *banner_ = nullptr;
    BoardTable *table_ = nullptr;
    QLabel *totals_ = nullptr;
    QLabel *sha_ = nullptr;
    QLabel *note_ = nullptr;
    QLabel *lotLabel_ = nullptr;
    QToolButton *lotButton_ = nullptr;
    // The lot's counts as its file keeps them: every board's end that any station counted.
    std::unique_ptr<Lot> lot_;
    QStringList notes_;
    StationSound sound_;
    // The plan of the last Start: Again runs it once more on some of its rows.
    std::optional<StationPlan> batch_;
    // What the window was opened with that it has no control of: where records are published.
    PublishSettings publish_;
    // The records waiting for the broker between runs: the line at the bottom follows them.
    QTimer publishingTick_;
    bool closing_ = false;
    bool shown_ = false;
};
