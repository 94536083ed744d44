#include "station_window/board_table.h"

#include "station_window/board_rows.h"
#include "widgets/window_style.h"

#include <QHeaderView>
#include <QPainter>
#include <QStyledItemDelegate>

#include <algorithm>

namespace {

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
        default: {
            const QString text = index.data(Qt::DisplayRole).toString();
            const int align = index.data(Qt::TextAlignmentRole).toInt();
            const QRect room = r.adjusted(4, 0, -4, 0);
            p->setFont(option.font);
            p->setPen(option.palette.text().color());
            // A port's or device's name is told apart by its end.
            const bool name = index.column() == BoardRows::PortColumn ||
                              index.column() == BoardRows::DeviceColumn;
            p->drawText(room, align,
                        option.fontMetrics.elidedText(text, name ? Qt::ElideMiddle : Qt::ElideRight,
                                                      room.width()));
        }
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
};

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
    header->setSectionResizeMode(QHeaderView::Fixed);
    header->setSectionResizeMode(BoardRows::ResultColumn, QHeaderView::Stretch);
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
    // The widths a wide window gives each column, the result's included; a narrower one scales
    // all but the slot and the lamp down alike.
    static constexpr int widths[BoardRows::ColumnCount] = {40, 130, 90, 22, 90, 170, 220, 60};
    int scaled = 0;
    for (int column = 0; column < BoardRows::ColumnCount; ++column) {
        if (column != BoardRows::SlotColumn && column != BoardRows::LampColumn)
            scaled += widths[column];
    }
    const int room =
        viewport()->width() - widths[BoardRows::SlotColumn] - widths[BoardRows::LampColumn];
    const double share = std::min(1.0, double(std::max(room, 0)) / scaled);
    for (int column = 0; column < BoardRows::ColumnCount; ++column) {
        if (column == BoardRows::ResultColumn)
            continue;
        const bool fixed = column == BoardRows::SlotColumn || column == BoardRows::LampColumn;
        horizontalHeader()->resizeSection(column,
                                          fixed ? widths[column] : int(widths[column] * share));
    }
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
