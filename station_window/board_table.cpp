#include "station_window/board_table.h"

#include "station_window/board_rows.h"
#include "widgets/window_style.h"

#include <QHeaderView>
#include <QHelpEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolTip>

#include <algorithm>
#include <array>
#include <numeric>

namespace {

// The room either side of a cell's text.
constexpr int CellMargin = 4;
constexpr int LampWidth = 22;
// The progress bar's width where the window has room to spare.
constexpr int WideBar = 90;

bool isName(int column) {
    return column == BoardRows::PortColumn || column == BoardRows::DeviceColumn;
}

// A port's or device's path, told apart by its end: cut in its folders, its own name kept whole
// ("/tmp/bo…/tty3"), or cut before its end where even that has no room ("…tty3").
QString elidedPath(const QFontMetrics &metrics, const QString &path, int width) {
    if (metrics.horizontalAdvance(path) <= width)
        return path;
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash > 0) {
        const QString name = path.mid(slash);
        const QString folders = metrics.elidedText(path.left(slash), Qt::ElideRight,
                                                   width - metrics.horizontalAdvance(name));
        if (!folders.isEmpty())
            return folders + name;
    }
    return metrics.elidedText(path, Qt::ElideLeft, width);
}

// The cell's text as it is drawn: whole, or cut to the room the cell has.
QString shownText(const QStyleOptionViewItem &option, const QModelIndex &index) {
    const QString text = index.data(Qt::DisplayRole).toString();
    const int width = option.rect.width() - 2 * CellMargin;
    return isName(index.column()) ? elidedPath(option.fontMetrics, text, width)
                                  : option.fontMetrics.elidedText(text, Qt::ElideRight, width);
}

// Paints a cell itself: the state's colour is never covered by the style's selection.
class RowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *p, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override {
        p->save();
        const QRect r = option.rect;
        const QVariant background = index.data(Qt::BackgroundRole);
        p->fillRect(r, background.isValid() ? background.value<QBrush>() : option.palette.base());
        switch (index.column()) {
        case BoardRows::LampColumn:
            // Lit while its board holds the port; after the end, the row's colour speaks.
            if (index.data(BoardRows::HeldRole).toBool()) {
                const int d = std::min({11, r.height() - 4, r.width() - 4});
                p->setRenderHint(QPainter::Antialiasing);
                p->setPen(QPen(Qt::black, 1));
                p->setBrush(QColor(0, 255, 0));
                p->drawEllipse(QRectF(r.center().x() - d / 2.0, r.center().y() - d / 2.0, d, d));
            }
            break;
        case BoardRows::ProgressColumn: {
            const double done = index.data(BoardRows::ProgressRole).toDouble();
            const QRect bar = r.adjusted(4, 4, -4, -4);
            p->setPen(QColor(128, 128, 128));
            p->setBrush(QColor(255, 255, 255));
            p->drawRect(bar.adjusted(0, 0, -1, -1));
            if (done > 0)
                p->fillRect(bar.adjusted(1, 1, -1, -1)
                                .adjusted(0, 0, -int((bar.width() - 2) * (1 - done)), 0),
                            WindowNavy);
            break;
        }
        default:
            p->setFont(option.font);
            p->setPen(option.palette.text().color());
            p->drawText(r.adjusted(CellMargin, 0, -CellMargin, 0),
                        index.data(Qt::TextAlignmentRole).toInt(), shownText(option, index));
        }
        // A selected row is framed, top and bottom, and at its ends.
        if (option.state & QStyle::State_Selected) {
            p->setPen(QPen(WindowNavy, 2));
            p->drawLine(r.topLeft() + QPoint(0, 1), r.topRight() + QPoint(0, 1));
            p->drawLine(r.bottomLeft(), r.bottomRight());
            if (index.column() == 0)
                p->drawLine(r.topLeft() + QPoint(1, 0), r.bottomLeft() + QPoint(1, 0));
            if (index.column() == index.model()->columnCount() - 1)
                p->drawLine(r.topRight(), r.bottomRight());
        }
        if ((option.state & QStyle::State_HasFocus) && index.column() == 0) {
            p->setPen(QPen(WindowNavy, 1, Qt::DotLine));
            p->drawRect(r.adjusted(3, 3, -4, -4));
        }
        p->restore();
    }

    // A cell cut short shows its whole text in its tooltip, with what the row's own adds (a
    // failed board's detail).
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override {
        if (event->type() == QEvent::ToolTip && index.isValid()) {
            const QString text = index.data(Qt::DisplayRole).toString();
            QString tip = index.data(Qt::ToolTipRole).toString();
            if (!text.isEmpty() && shownText(option, index) != text && !tip.contains(text))
                tip = tip.isEmpty() ? text : text + QStringLiteral("\n\n") + tip;
            if (!tip.isEmpty()) {
                QToolTip::showText(event->globalPos(), tip, view->viewport(), option.rect);
                return true;
            }
        }
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    }
};

// Gives `columns` of `spare` by turns, each up to what it wants, in proportion to its weight:
// those that want little have all of it, the others share the rest.
void share(std::array<int, BoardRows::ColumnCount> &widths,
           const std::array<int, BoardRows::ColumnCount> &wanted, int &spare,
           std::initializer_list<std::pair<int, int>> columns) {
    while (spare > 0) {
        int weights = 0;
        for (const auto &[column, weight] : columns)
            weights += widths[size_t(column)] < wanted[size_t(column)] ? weight : 0;
        if (weights == 0)
            return;
        const int step = std::max(1, spare / weights);
        for (const auto &[column, weight] : columns) {
            const int more =
                std::min({wanted[size_t(column)] - widths[size_t(column)], step * weight, spare});
            if (more <= 0)
                continue;
            widths[size_t(column)] += more;
            spare -= more;
        }
    }
}

} // namespace

BoardTable::BoardTable(BoardRows *rows, QWidget *parent) : QTableView(parent) {
    setObjectName(QStringLiteral("TB_Boards"));
    setModel(rows);
    setItemDelegate(new RowDelegate(this));
    verticalHeader()->hide();
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    // Tab leaves the rows for the inputs; the arrows walk them.
    setTabKeyNavigation(false);
    setWordWrap(false);
    setFont(WindowArial(12));
    verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 6);
    QHeaderView *header = horizontalHeader();
    header->setFont(WindowArial(12, true));
    header->setMinimumSectionSize(16);
    // Each column as wide as fitColumns() makes it, the result's too.
    header->setSectionResizeMode(QHeaderView::Fixed);
    // The widths follow what the rows say: once for all that changed at once.
    const auto refit = [this] {
        if (fitPending_)
            return;
        fitPending_ = true;
        QTimer::singleShot(0, this, [this] {
            fitPending_ = false;
            fitColumns();
        });
    };
    connect(rows, &QAbstractItemModel::dataChanged, this,
            [refit](const QModelIndex &first, const QModelIndex &last) {
                if (first.column() <= BoardRows::ResultColumn &&
                    last.column() >= BoardRows::PortColumn)
                    refit();
            });
    connect(rows, &QAbstractItemModel::rowsInserted, this, refit);
    connect(rows, &QAbstractItemModel::modelReset, this, refit);
    fitColumns();
    // A short window still shows a few boards' rows: the ports' list gives up its room first.
    setMinimumHeight(header->sizeHint().height() + 3 * verticalHeader()->defaultSectionSize() +
                     2 * frameWidth());
    setToolTip(QStringLiteral("Double-click a board for its detail (Enter); select rows for "
                              "Again (arrows, Shift, Ctrl)"));
}

void BoardTable::resizeEvent(QResizeEvent *event) {
    QTableView::resizeEvent(event);
    fitColumns();
}

void BoardTable::fitColumns() {
    using Widths = std::array<int, BoardRows::ColumnCount>;
    QHeaderView *header = horizontalHeader();
    const QFontMetrics metrics(font());
    const int margins = 2 * CellMargin + 2;
    // Each column has its header whole at least; a number its digits; a column of words or
    // names wants its longest text, the bar its width in a wide window.
    Widths least{};
    for (int column = 0; column < BoardRows::ColumnCount; ++column)
        least[size_t(column)] = header->sectionSizeHint(column);
    const auto atLeast = [&](int column, int width) {
        least[size_t(column)] = std::max(least[size_t(column)], width);
    };
    atLeast(BoardRows::LampColumn, LampWidth);
    atLeast(BoardRows::SlotColumn,
            metrics.horizontalAdvance(QString::number(model()->rowCount())) + margins);
    atLeast(BoardRows::SecondsColumn,
            metrics.horizontalAdvance(QStringLiteral("9999.9")) + margins);
    Widths wanted = least;
    wanted[BoardRows::ProgressColumn] = std::max(least[BoardRows::ProgressColumn], WideBar);
    for (int row = 0; row < model()->rowCount(); ++row) {
        for (const int column : {BoardRows::PortColumn, BoardRows::DeviceColumn,
                                 BoardRows::StatusColumn, BoardRows::ResultColumn}) {
            const QString text = model()->index(row, column).data().toString();
            if (!text.isEmpty())
                wanted[size_t(column)] =
                    std::max(wanted[size_t(column)], textWidth(metrics, text) + margins);
        }
    }
    // The room beyond the least goes to the words first, a status and a cause, which cut short
    // say nothing; then to the names, which cut in their middle still tell a port apart; then to
    // the bar; what is left, to the result. A narrower window scrolls rather than cut a header.
    Widths widths = least;
    int spare = viewport()->width() - std::accumulate(least.begin(), least.end(), 0);
    share(widths, wanted, spare,
          {{BoardRows::StatusColumn, 2},
           {BoardRows::ResultColumn, 2},
           {BoardRows::PortColumn, 1},
           {BoardRows::DeviceColumn, 1}});
    share(widths, wanted, spare, {{BoardRows::ProgressColumn, 1}});
    widths[BoardRows::ResultColumn] += std::max(spare, 0);
    for (int column = 0; column < BoardRows::ColumnCount; ++column) {
        if (header->sectionSize(column) != widths[size_t(column)])
            header->resizeSection(column, widths[size_t(column)]);
    }
}

int BoardTable::textWidth(const QFontMetrics &metrics, const QString &text) {
    const auto known = widths_.constFind(text);
    if (known != widths_.constEnd())
        return *known;
    // A run's texts are few (statuses, percentages, ports), but a long watch's causes are not.
    if (widths_.size() >= WidthsKept)
        widths_.clear();
    return *widths_.insert(text, metrics.horizontalAdvance(text));
}

std::vector<int> BoardTable::selectedSlots() const {
    std::vector<int> rows;
    for (const QModelIndex &index : selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

QItemSelectionModel::SelectionFlags BoardTable::selectionCommand(const QModelIndex &index,
                                                                 const QEvent *event) const {
    if (!event)
        return QItemSelectionModel::NoUpdate;
    return QTableView::selectionCommand(index, event);
}
