#pragma once

#include "base/state_folder.h"
#include "station/station_totals.h"

#include <QDateTime>
#include <QString>

#include <memory>
#include <mutex>

// A lot: the boards of one batch, counted (passed, failed, stopped) across runs, restarts of the
// program and stations until a new lot begins. Its counts are kept in the state folder, one file
// a lot, each change written whole or not at all; stations counting into the same lot at once
// each add to what the file holds then.
class Lot {
public:
    // The lot `name` as `folder` keeps it: its counts so far, zero for a lot not kept yet, which
    // nothing makes until its first board. Null, with the reason, when its counts cannot be read.
    static std::unique_ptr<Lot> open(const QString &name, QString *why,
                                     const QString &folder = StateFolder());

    QString name() const { return name_; }
    BoardCounts counts() const;

    // Counts a board's end into the lot, in the file before it returns, or, while another
    // board's count is being written, by that board's thread right after. False with the reason
    // when the counts could not be kept; counts() holds the board all the same, and the next
    // add() or refresh() writes it.
    bool add(BoardEnd end, QString *why);
    // Begins the lot anew, its counts zero, kept at once. Between runs: a board counted
    // meanwhile is dropped.
    bool restart(QString *why);
    // The counts as the file holds them now, with those a write missed written first: other
    // stations may have counted into the lot.
    bool refresh(QString *why);

private:
    Lot(QString name, QString folder);
    // What the file holds: zero for a lot not kept yet.
    bool readFile(BoardCounts *counts, QDateTime *began, QString *why) const;
    bool writeFile(const BoardCounts &counts, const QDateTime &began, QString *why) const;
    // Adds `batch` to what the file holds now (or, `anew`, to nothing) under the lock the lot's
    // stations share, and keeps the sum.
    bool commit(const BoardCounts &batch, bool anew, QString *why);
    // Writes this station's counts not in the file yet, unless another thread is doing so.
    bool writePending(QString *why);
    // What the file holds now, with this station's counts not in it yet.
    void seen(const BoardCounts &file);

    QString name_;
    QString folder_;
    QString path_;
    std::mutex fileMutex_; // one change of the file at a time in this process
    mutable std::mutex mutex_;
    BoardCounts counts_;  // the file's counts as last seen, and this station's since
    BoardCounts pending_; // this station's not yet in the file
    bool writing_ = false;
};

// The lot's name and its counts as they stand, for a front end to show after its own word:
// "week 50: 1 passed, 1 failed, 0 stopped; yield 50.0 %".
QString LotLine(const Lot &lot);

// Why `name` cannot name a lot; empty when it can.
QString LotNameProblem(const QString &name);

// The lot a station's window last worked in, so that it goes on with it when opened again, and
// keeping it. Empty when none is kept.
QString RememberedLot(const QString &folder = StateFolder());
bool RememberLot(const QString &name, QString *why, const QString &folder = StateFolder());
