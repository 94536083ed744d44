#pragma once

#include <QLabel>

struct BoardCounts;

// The batch's state across the window in letters read from across the room: RUNNING with how
// many are done, PASS when every board passed, FAIL with how many failed. It stays until the next
// Start.
class BatchBanner : public QLabel {
    Q_OBJECT
public:
    enum class State { Ready, Running, Watching, Pass, Fail, Stopped };

    explicit BatchBanner(QWidget *parent = nullptr);

    // While boards run: `done` of `total` ended (a watch has no total).
    void running(int done, int total, int failed);
    void watching(int done, int failed);
    // The batch is over: its boards as they stand.
    void ended(const BoardCounts &counts, int boards);

    State state() const { return state_; }
    // As tall as the window can spare: a short window's rows need the room more.
    void fitHeight(int pixels);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void show(State state, const QString &text);
    void fitFont();

    State state_ = State::Ready;
    int most_;
};
