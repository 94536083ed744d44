#include "station_window/board_rows.h"

#include <QBrush>

int BoardRows::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : int(rows_.size());
}

int BoardRows::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QString BoardRows::shownResult(int row) const {
    const Row &r = rows_[size_t(row)];
    return r.result.isEmpty() ? r.status : r.result;
}

QVariant BoardRows::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || size_t(index.row()) >= rows_.size())
        return {};
    const Row &r = rows_[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case SlotColumn:
            return index.row() + 1;
        case PortColumn:
            return r.port;
        case DeviceColumn:
            return r.device;
        case StatusColumn:
            if (r.gone)
                return QStringLiteral("board removed");
            return r.attempt.isEmpty() ? r.status
                                       : QStringLiteral("%1 (%2)").arg(r.status, r.attempt);
        case ResultColumn:
            return r.result;
        case SecondsColumn:
            return r.seconds < 0 ? QString() : QString::number(r.seconds, 'f', 1);
        default:
            return {};
        }
    case Qt::ToolTipRole:
        if (index.column() == ResultColumn && !r.result.isEmpty())
            return r.detail.isEmpty() ? r.result : r.detail;
        return {};
    case Qt::TextAlignmentRole:
        if (index.column() == SlotColumn || index.column() == SecondsColumn)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    case Qt::BackgroundRole:
        switch (r.state) {
        case BoardState::Passed:
            return QBrush(PassedColour);
        case BoardState::Failed:
            return QBrush(FailedColour);
        case BoardState::Stopped:
            return QBrush(StoppedColour);
        default:
            return {};
        }
    case HeldRole:
        return r.held;
    case ProgressRole:
        return r.total > 0 ? double(r.done) / r.total : 0.0;
    case StateRole:
        return int(r.state);
    default:
        return {};
    }
}

QVariant BoardRows::headerData(int section, Qt::Orientation orientation, int role) const {
    static const char *const names[ColumnCount] = {"Slot",     "Port",   "Device", "",
                                                   "Progress", "Status", "Result", "Seconds"};
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < ColumnCount)
        return QLatin1String(names[section]);
    return QAbstractTableModel::headerData(section, orientation, role);
}

void BoardRows::clear() {
    beginResetModel();
    rows_.clear();
    rowOf_.clear();
    counts_ = {};
    endResetModel();
}

int BoardRows::find(const QString &port) const {
    const auto it = rowOf_.find(port);
    return it == rowOf_.end() ? -1 : it->second;
}

int BoardRows::slotFor(const QString &port) {
    if (const int row = find(port); row >= 0)
        return row;
    const int row = int(rows_.size());
    beginInsertRows({}, row, row);
    rows_.push_back(Row{});
    rows_.back().port = port;
    rowOf_[port] = row;
    endInsertRows();
    return row;
}

void BoardRows::changed(int row, int first, int last) {
    emit dataChanged(index(row, first), index(row, last));
}

void BoardRows::count(std::optional<BoardState> state, int by) {
    if (!state)
        return;
    switch (*state) {
    case BoardState::Passed:
        counts_.passed += by;
        break;
    case BoardState::Failed:
        counts_.failed += by;
        break;
    case BoardState::Stopped:
        counts_.stopped += by;
        break;
    default:
        break;
    }
}

void BoardRows::start(int row, const QString &device, bool again) {
    Row &r = rows_[size_t(row)];
    // The same board again is counted as running only, not in its last end as well.
    if (again)
        count(r.counted, -1);
    r.counted.reset();
    r.device = device;
    r.state = BoardState::Waiting;
    r.held = false;
    r.gone = false;
    r.done = r.total = 0;
    r.status.clear();
    r.attempt.clear();
    r.result.clear();
    r.detail.clear();
    r.seconds = -1;
    changed(row, 0, ColumnCount - 1);
}

void BoardRows::setTurn(int row, bool waiting, bool held) {
    Row &r = rows_[size_t(row)];
    const BoardState state = waiting ? BoardState::Waiting : BoardState::Running;
    if (r.state == state && r.held == held)
        return;
    r.state = state;
    r.held = held;
    changed(row, 0, ColumnCount - 1);
}

void BoardRows::setProgress(int row, const QString &status, int done, int total) {
    Row &r = rows_[size_t(row)];
    if (r.status == status && r.done == done && r.total == total)
        return;
    r.status = status;
    r.done = done;
    r.total = total;
    changed(row, ProgressColumn, StatusColumn);
}

void BoardRows::setStatus(int row, const QString &status) {
    Row &r = rows_[size_t(row)];
    if (r.status == status)
        return;
    r.status = status;
    changed(row, StatusColumn, StatusColumn);
}

void BoardRows::setSeconds(int row, double seconds) {
    Row &r = rows_[size_t(row)];
    // Shown to a tenth: only a tenth's change is drawn again.
    if (qRound(r.seconds * 10) == qRound(seconds * 10))
        return;
    r.seconds = seconds;
    changed(row, SecondsColumn, SecondsColumn);
}

void BoardRows::setAttempt(int row, const QString &attempt) {
    Row &r = rows_[size_t(row)];
    if (r.attempt == attempt)
        return;
    r.attempt = attempt;
    changed(row, StatusColumn, StatusColumn);
}

void BoardRows::end(int row, BoardState state, const QString &device, const QString &result,
                    const QString &detail, double seconds) {
    Row &r = rows_[size_t(row)];
    count(r.counted, -1);
    count(state, +1);
    r.counted = state;
    r.state = state;
    r.held = false;
    if (!device.isEmpty())
        r.device = device;
    if (state == BoardState::Passed)
        r.done = r.total = qMax(1, r.total);
    r.attempt.clear();
    r.result = result;
    r.detail = detail;
    r.seconds = seconds;
    changed(row, 0, ColumnCount - 1);
}

void BoardRows::removed(int row, const QString &last) {
    Row &r = rows_[size_t(row)];
    r.held = false;
    r.gone = true;
    if (!last.isEmpty() && r.result.isEmpty())
        r.result = last;
    changed(row, 0, ColumnCount - 1);
}

std::vector<int> BoardRows::notPassed() const {
    std::vector<int> rows;
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].state == BoardState::Failed || rows_[i].state == BoardState::Stopped)
            rows.push_back(int(i));
    }
    return rows;
}
