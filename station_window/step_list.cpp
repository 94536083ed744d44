#include "station_window/step_list.h"

#include "widgets/window_style.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QListWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <tuple>

namespace {

// Lines the list shows before it scrolls: a job rarely has more steps.
constexpr int ShownLines = 3;

class ShortList : public QListWidget {
public:
    using QListWidget::QListWidget;
    QSize sizeHint() const override {
        return {QListWidget::sizeHint().width(),
                ShownLines * std::max(sizeHintForRow(0), fontMetrics().height()) +
                    2 * frameWidth() + 4};
    }
    QSize minimumSizeHint() const override { return {60, sizeHint().height()}; }
};

} // namespace

QString StepLine(int index, const JobStep &step) {
    QString text = QStringLiteral("%1. %2").arg(index + 1).arg(StepName(step));
    text += step.file.isEmpty() ? QStringLiteral("  (no file)")
                                : QStringLiteral("  ") + QFileInfo(step.file).fileName();
    if (!step.expectSha256.isEmpty())
        text += QStringLiteral("  SHA-256 %1…").arg(step.expectSha256.left(8));
    return text;
}

StepList::StepList(QWidget *parent) : QWidget(parent) {
    list_ = new ShortList(this);
    list_->setObjectName(QStringLiteral("LB_Steps"));
    list_->setFont(WindowArial(12));
    list_->setToolTip(QStringLiteral("The job's steps, in order: Insert adds one after the one "
                                     "selected, Delete removes it, Ctrl+Up and Ctrl+Down move it"));
    list_->installEventFilter(this);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(list_, 1);
    auto *column = new QVBoxLayout;
    column->setSpacing(2);
    layout->addLayout(column);
    struct Button {
        const char *name;
        const char *caption;
        const char *tip;
        void (StepList::*act)();
    };
    const Button buttons[] = {
        {"SB_AddStep", "Add", "Add a step after the one selected (Insert)", &StepList::addStep},
        {"SB_RemoveStep", "Remove", "Remove the step selected (Delete)", &StepList::removeStep},
    };
    for (const Button &b : buttons) {
        auto *button = new QToolButton(this);
        button->setObjectName(QLatin1String(b.name));
        button->setText(QLatin1String(b.caption));
        button->setToolTip(QLatin1String(b.tip));
        button->setFont(WindowArial(12));
        button->setFocusPolicy(Qt::NoFocus);
        button->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        connect(button, &QToolButton::clicked, this, b.act);
        column->addWidget(button);
        buttons_ << button;
    }
    auto *arrows = new QHBoxLayout;
    arrows->setSpacing(2);
    column->addLayout(arrows);
    for (const auto &[name, arrow, tip, by] :
         {std::tuple{"SB_StepUp", Qt::UpArrow, "Move the step up (Ctrl+Up)", -1},
          std::tuple{"SB_StepDown", Qt::DownArrow, "Move the step down (Ctrl+Down)", 1}}) {
        auto *button = new QToolButton(this);
        button->setObjectName(QLatin1String(name));
        button->setArrowType(arrow);
        button->setToolTip(QLatin1String(tip));
        button->setFocusPolicy(Qt::NoFocus);
        connect(button, &QToolButton::clicked, this, [this, by = by] { moveStep(by); });
        arrows->addWidget(button);
        buttons_ << button;
    }
    column->addStretch();
    connect(list_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (row < 0 || row == current_ || row >= steps_.size())
            return;
        current_ = row;
        emit currentChanged();
    });
    setSteps({});
}

void StepList::setSteps(const QList<JobStep> &steps) {
    steps_ = steps.isEmpty() ? QList<JobStep>{JobStep{}} : steps;
    current_ = 0;
    show();
    emit currentChanged();
}

void StepList::setCurrent(const JobStep &step) {
    if (steps_[current_] == step)
        return;
    steps_[current_] = step;
    list_->item(current_)->setText(StepLine(current_, step));
    list_->item(current_)->setToolTip(step.file);
}

void StepList::addStep() {
    if (!editable_)
        return;
    // A download is most often read back next; a loader or "all" cannot be.
    steps_.insert(current_ + 1, ReadBackOf(steps_[current_]).value_or(JobStep{}));
    select(current_ + 1);
}

void StepList::removeStep() {
    if (!editable_ || steps_.size() < 2)
        return;
    steps_.removeAt(current_);
    select(std::min(current_, int(steps_.size()) - 1));
}

void StepList::moveStep(int by) {
    const int to = std::clamp(current_ + by, 0, int(steps_.size()) - 1);
    if (!editable_ || to == current_)
        return;
    steps_.move(current_, to);
    select(to);
}

void StepList::setEditable(bool editable) {
    editable_ = editable;
    for (QToolButton *button : buttons_)
        button->setEnabled(editable);
}

void StepList::select(int index) {
    current_ = index;
    show();
    emit currentChanged();
}

void StepList::show() {
    const QSignalBlocker quiet(list_);
    list_->clear();
    for (int k = 0; k < steps_.size(); ++k) {
        auto *item = new QListWidgetItem(StepLine(k, steps_[k]), list_);
        item->setToolTip(steps_[k].file);
    }
    list_->setCurrentRow(current_);
}

bool StepList::eventFilter(QObject *watched, QEvent *event) {
    if (watched != list_ || event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    const auto *key = static_cast<QKeyEvent *>(event);
    const bool ctrl = key->modifiers() & Qt::ControlModifier;
    if (key->key() == Qt::Key_Insert)
        addStep();
    else if (key->key() == Qt::Key_Delete)
        removeStep();
    else if (ctrl && (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down))
        moveStep(key->key() == Qt::Key_Up ? -1 : 1);
    else
        return QWidget::eventFilter(watched, event);
    return true;
}
