#pragma once

#include <QHash>
#include <QTableView>

class BoardRows;

// The slots' rows as the operator sees them: each row in the colour of how its board stands,
// the lamp lit while a board holds its port, the phase's progress as a bar. A row the operator
// selects (arrows, Shift, Ctrl, a click) is framed rather than filled, so its colour still shows.
class BoardTable : public QTableView {
    Q_OBJECT
public:
    BoardTable(BoardRows *rows, QWidget *parent = nullptr);

    // The rows the operator selected, in slot order.
    std::vector<int> selectedSlots() const;

protected:
    // The columns share the width there is: every header whole, the words before the rest.
    void resizeEvent(QResizeEvent *event) override;
    // Only the operator selects: the keyboard's focus arriving, or a row the program makes
    // current, selects nothing.
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex &index,
                                                         const QEvent *event) const override;

private:
    void fitColumns();
    // The text's width in the rows' face, measured once: every row's texts are weighed at each
    // change, ten times a second while boards run.
    int textWidth(const QFontMetrics &metrics, const QString &text);

    static constexpr qsizetype WidthsKept = 4096;
    bool fitPending_ = false;
    QHash<QString, int> widths_;
};
