#include "cli/station_view.h"

#include "base/counted.h"

#include <algorithm>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Without a size from the terminal, the size every terminal has.
constexpr int FallbackColumns = 80;
constexpr int FallbackLines = 24;
// What may wait while the output is still taking the last batch before trace lines are dropped.
constexpr qsizetype TraceBacklog = 256 << 10;

} // namespace

void StationView::touch(int row, const QString &text) {
    Row &line = rows_[size_t(row)];
    line.text = text;
    line.touched = ++changes_;
    dirty_ = true;
}

StationView::StationView(std::FILE *out, std::FILE *err, bool live, bool outIsTerminal)
    : out_(out), err_(err), live_(live), outIsTerminal_(outIsTerminal),
      outIsJournal_(IsJournalStream(::fileno(out))), errIsJournal_(IsJournalStream(::fileno(err))) {
}

int StationView::addRow(const QString &port) {
    const std::lock_guard<std::mutex> lock(mutex_);
    rows_.push_back({port, QString(), QString(), ++changes_});
    nameWidth_ = std::max(nameWidth_, int(port.size()));
    dirty_ = true;
    return int(rows_.size()) - 1;
}

QByteArray StationView::prefixed(int row, const QString &text) const {
    return (rows_[size_t(row)].name + QStringLiteral(": ") + text).toLocal8Bit() + '\n';
}

void StationView::status(int row, const QString &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (live_) {
        touch(row, text);
        rows_[size_t(row)].failed = false; // a new operation on the port
        // Where stdout is a file, it keeps the log the terminal only shows in passing.
        if (outIsTerminal_)
            return;
    }
    write(out_, prefixed(row, text));
}

void StationView::error(int row, const QString &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    toErr(prefixed(row, text));
}

void StationView::attempt(int row, const QString &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    rows_[size_t(row)].attempt = text;
    dirty_ = live_;
    if (!live_)
        write(err_, prefixed(row, text));
}

void StationView::note(const QString &text, JournalPriority priority) {
    const std::lock_guard<std::mutex> lock(mutex_);
    toErr(text.toLocal8Bit() + '\n', priority);
}

void StationView::trace(int row, const QByteArray &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (flushing_ && queuedBytes_ + above_.size() > TraceBacklog) {
        ++droppedTraces_;
        return;
    }
    toErr(rows_[size_t(row)].name.toLocal8Bit() + ": " + text + '\n');
}

void StationView::progress(int row, const QString &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!live_)
        return;
    touch(row, text);
}

void StationView::progressDone(int row, const QString &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    doneLine(row, text, JournalPriority::Info);
}

void StationView::doneLine(int row, const QString &text, JournalPriority priority) {
    if (live_) {
        touch(row, text);
        return;
    }
    write(err_, prefixed(row, text), priority);
}

void StationView::event(int row, const QString &text) {
    {
        // A board found or taken off: what failed there is no longer on the station.
        const std::lock_guard<std::mutex> lock(mutex_);
        rows_[size_t(row)].failed = false;
    }
    progressDone(row, text);
}

void StationView::ended(int row, const QString &text, BoardEnd end) {
    const std::lock_guard<std::mutex> lock(mutex_);
    rows_[size_t(row)].failed = end != BoardEnd::Passed;
    // The result says which attempt it came to.
    rows_[size_t(row)].attempt.clear();
    doneLine(row, text, end == BoardEnd::Failed ? JournalPriority::Error : JournalPriority::Info);
}

void StationView::setFooter(const QString &text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (text == footer_)
        return;
    footer_ = text;
    dirty_ = live_;
}

void StationView::refresh() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (live_ && dirty_ && !closed_) {
            QByteArray bytes;
            redraw(bytes);
            write(err_, bytes);
        }
    }
    flushQueued();
}

void StationView::close() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (live_ && !closed_) {
            QByteArray bytes;
            redraw(bytes, true);
            write(err_, bytes);
            drawn_ = 0;
        }
        closed_ = true;
    }
    flushQueued();
}

void StationView::redraw(QByteArray &into, bool last) {
    if (!above_.isEmpty()) {
        if (drawn_ > 0)
            into += "\033[" + QByteArray::number(drawn_) + 'A';
        into += "\r\033[J" + above_;
        above_.clear();
        drawn_ = 0;
    }
    draw(into, last);
}

// Back to the first port's line, then every line anew. A line never wraps and the lines never
// fill the screen, so that the count of lines to go back stays true: with more ports than
// lines, those that failed and then those that changed last are shown (a long watch meets new
// boards on new names). The last drawing, left on screen for good, has every port.
void StationView::draw(QByteArray &into, bool last) {
    if (drawn_ > 0)
        into += "\033[" + QByteArray::number(drawn_) + 'A';
    into += "\r\033[J";
    const auto [columns, lines] = size();
    const auto line = [&](const QString &text) {
        into += text.left(columns - 1).toLocal8Bit() + '\n';
    };
    const int footer = footer_.isEmpty() ? 0 : 1;
    const int rows = int(rows_.size());
    // One line stays free for the cursor; one says how many ports are left out.
    const int shown = last || rows + footer < lines ? rows : std::max(0, lines - 2 - footer);
    std::vector<int> order(size_t(rows), 0);
    for (int r = 0; r < rows; ++r)
        order[size_t(r)] = r;
    if (shown < rows) {
        std::nth_element(order.begin(), order.begin() + shown, order.end(), [this](int a, int b) {
            const Row &x = rows_[size_t(a)];
            const Row &y = rows_[size_t(b)];
            return x.failed != y.failed ? x.failed : x.touched > y.touched;
        });
        order.resize(size_t(shown));
        std::sort(order.begin(), order.end());
    }
    for (const int r : order) {
        const Row &row = rows_[size_t(r)];
        line(QStringLiteral("%1  %2%3")
                 .arg(row.name, -nameWidth_)
                 .arg(row.attempt.isEmpty() ? QString() : row.attempt + QStringLiteral(": "),
                      row.text));
    }
    if (shown < rows)
        line(QStringLiteral("... and %1 more").arg(Counted(rows - shown, "port", "ports")));
    if (footer)
        line(footer_);
    drawn_ = shown + (shown < rows) + footer;
    dirty_ = false;
}

void StationView::toErr(const QByteArray &line, JournalPriority priority) {
    if (live_ && !closed_) {
        above_ += line;
        dirty_ = true;
    } else {
        write(err_, line, priority);
    }
}

void StationView::write(std::FILE *stream, const QByteArray &bytes, JournalPriority priority) {
    const bool journal = stream == err_ ? errIsJournal_ : outIsJournal_;
    const QByteArray lines = journal ? WithPriority(bytes, priority) : bytes;
    queuedBytes_ += lines.size();
    if (!queued_.empty() && queued_.back().first == stream)
        queued_.back().second += lines;
    else
        queued_.emplace_back(stream, lines);
}

void StationView::flushQueued() {
    const std::lock_guard<std::mutex> writing(writing_);
    std::vector<std::pair<std::FILE *, QByteArray>> out;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        // Here only once the last batch was taken whole: the output moves again.
        if (droppedTraces_ > 0) {
            toErr("torvane-cli: " + QByteArray::number(droppedTraces_) +
                  " trace lines dropped while " + (live_ ? "the terminal" : "stderr") +
                  " took no output\n");
            droppedTraces_ = 0;
            if (live_ && !closed_) {
                QByteArray bytes;
                redraw(bytes);
                write(err_, bytes);
            }
        }
        out.swap(queued_);
        queuedBytes_ = 0;
        flushing_ = !out.empty();
    }
    for (const auto &[stream, bytes] : out) {
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
        std::fflush(stream);
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    flushing_ = false;
}

std::pair<int, int> StationView::size() const {
    winsize size{};
    // A small terminal is taken at its size: drawn as 80 by 24 it would scroll.
    if (::ioctl(::fileno(err_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0)
        return {std::max<int>(size.ws_col, 2), std::max<int>(size.ws_row, 3)};
    return {FallbackColumns, FallbackLines};
}
