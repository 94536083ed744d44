#pragma once

#include "cli/journal_stream.h"
#include "station/board_end.h"

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

// What the station shows of its ports. On a terminal (stderr), one line per port, redrawn in
// place by refresh(); any other line is printed above them. Off a terminal, every line is
// printed as it comes, prefixed with its port's name: status lines on stdout (also when only
// stderr is a terminal, for a log), progress, errors and the trace on stderr.
// The ports' threads call it at once; every call takes its lock, briefly, and only queues what
// is to be written: the main thread writes it in refresh() and close(), so that an output that
// blocks (a terminal stopped by Ctrl-S, a full pipe) holds up no board. What waits stays
// bounded meanwhile: the ports' lines are drawn once per refresh, whatever came above them, and
// trace lines past the bound are dropped, and counted in a line once the output moves again.
// Where a stream is the journal's, each line on it carries its priority: an error for a board
// that failed, a warning where it is a note's.
class StationView {
public:
    StationView(std::FILE *out, std::FILE *err, bool live, bool outIsTerminal);

    bool live() const { return live_; }

    // A line for a port; the row's index.
    int addRow(const QString &port);

    void status(int row, const QString &text);
    void error(int row, const QString &text);
    // A line of the station's own on stderr, above the ports' lines.
    void note(const QString &text, JournalPriority priority = JournalPriority::Info);
    void trace(int row, const QByteArray &text);
    // The phase's progress as it runs (live only), and as it ends.
    void progress(int row, const QString &text);
    void progressDone(int row, const QString &text);
    // What became of the port: its result, or that its board came or went. Off a terminal a line
    // on stderr.
    void event(int row, const QString &text);
    // The board is trying again: "attempt 2 of 3" stays at the head of its line until it ends.
    // Off a terminal a line on stderr.
    void attempt(int row, const QString &text);
    // The port's result. A board that did not pass stays on screen until it is taken off or the
    // port has a newer status, also when more ports than lines leave others out.
    void ended(int row, const QString &text, BoardEnd end);
    // A line of the station's own below the ports (live only: off a terminal each port's lines
    // say as much).
    void setFooter(const QString &text);

    // Redraws the lines that changed since the last time (live only); called about ten times a
    // second.
    void refresh();
    // Draws the lines a last time and leaves them on screen: what follows goes below.
    void close();

private:
    struct Row {
        QString name;
        QString text;
        QString attempt;     // while the board tries again
        quint64 touched = 0; // when its text last changed, in changes of any row
        bool failed = false;
    };
    void touch(int row, const QString &text);
    // The lines that came above the ports' lines since the last drawing, then the drawing.
    void redraw(QByteArray &into, bool last = false);
    QByteArray prefixed(int row, const QString &text) const;
    // A line on stderr: above the ports' lines (at the next drawing) when live, else as it
    // comes. Under the lock.
    void toErr(const QByteArray &line, JournalPriority priority = JournalPriority::Info);
    // The port's last progress, or what became of it.
    void doneLine(int row, const QString &text, JournalPriority priority);
    void draw(QByteArray &into, bool last = false);
    // Queues lines for a stream, in order.
    void write(std::FILE *stream, const QByteArray &bytes,
               JournalPriority priority = JournalPriority::Info);
    // Writes what is queued, outside the view's lock.
    void flushQueued();
    // The terminal's columns and lines.
    std::pair<int, int> size() const;

    mutable std::mutex mutex_;
    std::mutex writing_; // one writer at a time, so that the queue's order holds
    std::vector<std::pair<std::FILE *, QByteArray>> queued_;
    qsizetype queuedBytes_ = 0;
    QByteArray above_;          // live: lines for above the ports' lines, not yet drawn
    quint64 droppedTraces_ = 0; // since the output last moved
    bool flushing_ = false;     // the main thread is writing a batch
    std::FILE *out_;
    std::FILE *err_;
    bool live_;
    bool outIsTerminal_;
    bool outIsJournal_;
    bool errIsJournal_;
    std::vector<Row> rows_;
    QString footer_;
    quint64 changes_ = 0;
    int nameWidth_ = 0;
    int drawn_ = 0; // lines on screen below the last line printed
    bool dirty_ = false;
    bool closed_ = false;
};
