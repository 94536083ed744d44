#pragma once

#include "station/station_totals.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QString>

#include <map>
#include <optional>
#include <vector>

// How a slot's board stands: seen from across the room by its row's colour.
enum class BoardState { Waiting, Running, Passed, Failed, Stopped };

// The station's slots: one row per port, numbered 1, 2, 3 … in the order the ports were given or
// found, whatever order their boards end in. A port named again takes its row again.
class BoardRows : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        SlotColumn,
        PortColumn,
        DeviceColumn,
        LampColumn,
        ProgressColumn,
        StatusColumn,
        ResultColumn,
        SecondsColumn,
        ColumnCount
    };
    // What the view draws beside the text: the lamp (lit while the board holds its port) and the
    // phase's progress, 0 to 1.
    enum Role { HeldRole = Qt::UserRole, ProgressRole, StateRole };

    static inline const QColor PassedColour{96, 200, 96};
    static inline const QColor FailedColour{235, 80, 80};
    static inline const QColor StoppedColour{200, 200, 200};

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // A new batch: no rows, nothing counted.
    void clear();
    // The port's row, made at the end when it has none.
    int slotFor(const QString &port);
    int find(const QString &port) const;
    QString port(int row) const { return rows_[size_t(row)].port; }
    BoardState state(int row) const { return rows_[size_t(row)].state; }
    QString detail(int row) const { return rows_[size_t(row)].detail; }
    QString shownResult(int row) const;

    // A board starts on the row, waiting until its turn comes. `again`: the same board once more
    // (Again, a retry), whose last end is counted no more from now on: it counts as running
    // until it ends again; otherwise a new board on the port, the last one's count stands.
    void start(int row, const QString &device, bool again);
    // The board still waits (its turn, its port), or runs; `held`: its port is open.
    void setTurn(int row, bool waiting, bool held);
    void setProgress(int row, const QString &status, int done, int total);
    void setStatus(int row, const QString &status);
    // Its operation's seconds so far; -1 for none yet.
    void setSeconds(int row, double seconds);
    void setAttempt(int row, const QString &attempt);
    // The board ended: its row takes the colour of how it did.
    void end(int row, BoardState state, const QString &device, const QString &result,
             const QString &detail, double seconds);
    // Its board was taken off: its row keeps the colour of how it ended.
    void removed(int row, const QString &last);
    // What the Again key would run: the rows that neither passed nor run.
    std::vector<int> notPassed() const;

    // The batch's boards that ended, counted once each, as they stand: Again takes a board's
    // last end away, and its new end counts.
    const BoardCounts &counts() const { return counts_; }

private:
    struct Row {
        QString port;
        QString device;
        BoardState state = BoardState::Waiting;
        bool held = false;
        bool gone = false; // its board was taken off
        int done = 0;
        int total = 0;
        QString status;
        QString attempt; // "attempt 2 of 3" while it retries
        QString result;
        QString detail;
        double seconds = -1;
        std::optional<BoardState> counted; // its last end, as counted
    };
    void changed(int row, int first, int last);
    void count(std::optional<BoardState> state, int by);

    std::vector<Row> rows_;
    std::map<QString, int> rowOf_;
    BoardCounts counts_;
};
