#include "cli/station_summary.h"

#include "base/counted.h"
#include "station/station_totals.h"

#include <algorithm>

namespace {

double operationSeconds(const BoardOutcome &outcome) {
    return std::chrono::duration<double>(outcome.operationTime).count();
}

QString rate(const BoardOutcome &outcome) {
    if (outcome.code != ExitCode::Success || operationSeconds(outcome) <= 0)
        return QStringLiteral("-");
    return QString::number(qint64(double(outcome.bytes) / operationSeconds(outcome)));
}

// Why it failed; in a job of several steps, in which step.
QString causeOf(const BoardOutcome &outcome) {
    const QString &cause = outcome.record.cause;
    if (outcome.steps < 2 || outcome.code == ExitCode::Success || outcome.stepName.isEmpty())
        return cause;
    const QString step = QStringLiteral("step %1 of %2, %3")
                             .arg(outcome.step + 1)
                             .arg(outcome.steps)
                             .arg(outcome.stepName);
    return cause.isEmpty() ? step : QStringLiteral("%1: %2").arg(step, cause);
}

QString seconds(const BoardOutcome &outcome) {
    // A success counts as a single run's does: from "Connectting..." to "Update Success!".
    const double time = outcome.code == ExitCode::Success && operationSeconds(outcome) > 0
                            ? operationSeconds(outcome)
                            : outcome.record.seconds;
    return QString::number(time, 'f', 2);
}

} // namespace

QString BoardResultText(const BoardOutcome &outcome) {
    // The attempt it came to, where it tried again.
    const QString attempt =
        outcome.record.attempt > 1
            ? QStringLiteral(", attempt %1 of %2").arg(outcome.record.attempt).arg(outcome.attempts)
            : QString();
    if (outcome.code == ExitCode::Success)
        return QStringLiteral("%1  %2 s  %3 bytes/s  (exit 0%4)")
            .arg(outcome.record.result, seconds(outcome), rate(outcome), attempt);
    const QString cause =
        causeOf(outcome).isEmpty() ? QString() : QStringLiteral("  ") + causeOf(outcome);
    return QStringLiteral("%1%2  (exit %3%4)")
        .arg(outcome.record.result, cause)
        .arg(int(outcome.code))
        .arg(attempt);
}

QString SummaryTable(const std::vector<BoardOutcome> &outcomes) {
    const QStringList header{QStringLiteral("PORT"),    QStringLiteral("DEVICE"),
                             QStringLiteral("RESULT"),  QStringLiteral("EXIT"),
                             QStringLiteral("SECONDS"), QStringLiteral("BYTES/S"),
                             QStringLiteral("CAUSE")};
    // The causes' column only where a board has one.
    const bool causes = std::any_of(outcomes.begin(), outcomes.end(),
                                    [](const BoardOutcome &o) { return !causeOf(o).isEmpty(); });
    std::vector<QStringList> rows{causes ? header : header.mid(0, header.size() - 1)};
    for (const BoardOutcome &outcome : outcomes) {
        const BoardRecord &r = outcome.record;
        rows.push_back({r.port, r.device.isEmpty() ? QStringLiteral("-") : r.device, r.result,
                        QString::number(r.exitCode), seconds(outcome), rate(outcome)});
        if (causes)
            rows.back() << causeOf(outcome);
    }
    std::vector<int> widths(size_t(rows.front().size()), 0);
    for (const QStringList &row : rows) {
        for (int c = 0; c < row.size(); ++c)
            widths[size_t(c)] = std::max(widths[size_t(c)], int(row[c].size()));
    }
    QString text;
    for (const QStringList &row : rows) {
        QString line;
        for (int c = 0; c < row.size(); ++c) {
            // Words to the left, numbers to the right.
            const int width = c < 3 || c == 6 ? -widths[size_t(c)] : widths[size_t(c)];
            line +=
                (c ? QStringLiteral("  ") : QString()) + QStringLiteral("%1").arg(row[c], width);
        }
        text += line.trimmed() + QLatin1Char('\n');
    }
    return text;
}

QString WatchTotals(const StationTotals &totals) {
    const BoardCounts counts = totals.counts();
    // A board cut short is not done: the boards served, then how each ended.
    QString text = QStringLiteral("torvane-cli: watch ended: %1: %2 succeeded, %3 failed, %4 "
                                  "stopped\n")
                       .arg(Counted(counts.served(), "board", "boards"))
                       .arg(counts.passed)
                       .arg(counts.failed)
                       .arg(counts.stopped);
    for (const auto &[result, count] : totals.byResult())
        text += QStringLiteral("%1  %2\n").arg(count, 5).arg(result);
    return text;
}
