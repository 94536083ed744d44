#pragma once

#include "ports/com_port_map.h"
#include "ports/port_watch.h"
#include "station/boards.h"
#include "station/station_arguments.h"
#include "station/station_plan.h"
#include "station/station_totals.h"
#include "station/station_watch.h"
#include "station/stop_flag.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class BoardFeed;
class PortLamp;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QTableWidget;
class QToolButton;

// The station's window: the operation, its file and ports chosen at the top, one row per board
// as it runs, the totals at the bottom. The boards run on the station core's threads; their
// rows are brought up to date from the GUI thread only.
class StationWindow : public QWidget, private StationEvents {
    Q_OBJECT
public:
    static constexpr const char *Title = "torvane station";
    // The row of a board that failed, until its board is taken off or starts anew.
    static inline const QColor FailedRow{255, 150, 150};

    explicit StationWindow(ComPortSource comPorts, QWidget *parent = nullptr);
    ~StationWindow() override;

    // Fills the inputs in from the command line's arguments; nothing starts.
    void fillIn(const StationPlan &arguments);

    // What Start (F5), Stop (Escape) and Open (Ctrl+O) do.
    void startRun();
    void stopRun();
    // Stops every board in order, then closes, without asking: for Ctrl-C or SIGTERM.
    void stopAndClose();
    void chooseFile();

    bool running() const { return boards_ != nullptr; }

signals:
    // The run (or the watch) is over: every board has ended.
    void runEnded();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    struct Row {
        QString name;
        std::shared_ptr<BoardFeed> feed;
        PortLamp *lamp = nullptr;
        QProgressBar *bar = nullptr;
        QElapsedTimer since;
        bool running = false;
        bool failed = false;
        QString detail; // the cause, when it failed
    };

    // StationEvents: started() comes on this thread (the window launches each board); the
    // board's lines go to its feed; its end, on the board's thread, only asks this thread to
    // collect it now rather than at the next tick.
    ConsoleOutput &started(int board, const QString &port) override;
    void ended(int, const BoardOutcome &) override;

    void createControls();
    void listPresentPorts();
    void addPort(const QString &port, bool checked);
    QStringList chosenPorts() const;
    std::optional<StationPlan> planFromInputs();
    void setInputsEnabled(bool enabled);
    int rowFor(const QString &port);
    void rowText(int row, int column, const QString &text);
    void setFailed(int row, bool failed);
    void launch(BoardJob job);
    void tick();
    void look();
    void boardEnded(int board, const BoardOutcome &outcome);
    void finishRun();
    void showTotals();
    void showDetail(int row);
    void refuse(const QString &text);
    void refuse(const StationRefusal &refusal);
    // A line of the station's own (where a port leads, a port a pattern matched but leaves
    // alone): the newest at the bottom, all of them in its tooltip.
    void note(const QString &text);
    void takeKeyboardBack();

    ComPortSource comPorts_;
    StopFlag stop_{0};
    std::unique_ptr<StationRun> run_;
    std::unique_ptr<Boards> boards_;
    std::optional<StationWatch> watch_;
    QTimer tick_;
    // Boards that said they ended, and those collected: a board says so just before its
    // outcome is there to collect.
    std::atomic<int> endedBoards_{0};
    int collectedBoards_ = 0;
    QElapsedTimer sinceLook_;
    bool closing_ = false;

    std::vector<Row> rows_;
    std::map<QString, int> rowOf_;                    // by the port's name
    std::map<int, int> rowOfBoard_;                   // board -> row
    std::map<int, std::shared_ptr<BoardFeed>> feeds_; // while its board runs
    std::map<QString, QString> devices_;              // port -> the device it opens
    StationTotals counts_;
    StationPlan filled_; // what the window was opened with, for what it has no control of yet
    QString sha256_;

    QComboBox *modeList_ = nullptr;
    QLineEdit *fileEdit_ = nullptr;
    QToolButton *openButton_ = nullptr;
    QListWidget *portList_ = nullptr;
    QLineEdit *portEdit_ = nullptr;
    QCheckBox *watchBox_ = nullptr;
    QCheckBox *overwriteBox_ = nullptr;
    QCheckBox *traceBox_ = nullptr;
    QLineEdit *reportEdit_ = nullptr;
    QToolButton *startButton_ = nullptr;
    QToolButton *stopButton_ = nullptr;
    QTableWidget *table_ = nullptr;
    QLabel *totals_ = nullptr;
    QLabel *sha_ = nullptr;
    QLabel *note_ = nullptr;
    QStringList notes_;
};
