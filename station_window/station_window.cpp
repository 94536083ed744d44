#include "station_window/station_window.h"

#include "base/counted.h"
#include "plant/publisher.h"
#include "station/lot.h"
#include "station/plan_rules.h"
#include "station/recipe.h"
#include "station/station_run.h"
#include "station/stop_signals.h"
#include "station_window/batch_banner.h"
#include "station_window/board_rows.h"
#include "station_window/board_table.h"
#include "station_window/flat_button.h"
#include "station_window/refusal_words.h"
#include "station_window/station_controls.h"
#include "station_window/station_runner.h"
#include "station_window/wrapped_line.h"
#include "widgets/bevel_panel.h"
#include "widgets/window_style.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QShortcut>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

// The notes the bottom line's tooltip keeps: the newest and those before it, a screen's worth.
constexpr qsizetype NotesKept = 40;

template <typename Label = QLabel> Label *makeLabel(QWidget *parent, const char *name, int pixels) {
    auto *label = new Label(parent);
    label->setObjectName(QLatin1String(name));
    label->setFont(WindowArial(pixels));
    SetNavy(label);
    return label;
}

} // namespace

StationWindow::StationWindow(ComPortSource comPorts, QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("StationWindow"));
    setWindowTitle(QLatin1String(Title));
    SetWindowLook(this);
    rows_ = new BoardRows(this);
    runner_ = new StationRunner(*rows_, comPorts, this);
    controls_ = new StationControls(std::move(comPorts), this);
    createLayout();
    connect(runner_, &StationRunner::boardEnded, this, &StationWindow::boardEnded);
    connect(runner_, &StationRunner::progressed, this, &StationWindow::progressed);
    connect(runner_, &StationRunner::note, this, &StationWindow::note);
    connect(runner_, &StationRunner::finished, this, &StationWindow::finished);
    connect(controls_, &StationControls::startClicked, this, &StationWindow::startRun);
    connect(controls_, &StationControls::againClicked, this, &StationWindow::againRun);
    connect(controls_, &StationControls::stopClicked, this, &StationWindow::stopRun);
    connect(controls_, &StationControls::fileClicked, this, &StationWindow::chooseFile);
    connect(controls_, &StationControls::saveRecipeClicked, this, &StationWindow::saveRecipe);
    connect(controls_->soundBox(), &QCheckBox::toggled, this,
            [this](bool on) { sound_.setEnabled(on); });
    for (const auto &[key, action] :
         std::initializer_list<std::pair<QKeySequence, void (StationWindow::*)()>>{
             {QKeySequence(Qt::Key_F5), &StationWindow::startRun},
             {QKeySequence(Qt::Key_F6), &StationWindow::againRun},
             {QKeySequence(Qt::Key_Escape), &StationWindow::stopRun},
             {QKeySequence(Qt::CTRL | Qt::Key_O), &StationWindow::chooseFile},
             {QKeySequence(Qt::CTRL | Qt::Key_L), &StationWindow::newLot},
             {QKeySequence(Qt::CTRL | Qt::Key_S), &StationWindow::saveRecipe},
             {QKeySequence(Qt::CTRL | Qt::Key_T), &StationWindow::addStep}})
        connect(new QShortcut(key, this), &QShortcut::activated, this, action);
    connect(table_, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex &index) { showDetail(index.row()); });
    connect(table_, &QAbstractItemView::activated, this,
            [this](const QModelIndex &index) { showDetail(index.row()); });
    publishingTick_.setInterval(1000);
    connect(&publishingTick_, &QTimer::timeout, this, &StationWindow::showTotals);
    resize(900, 700);
    // The lot the window last counted into goes on.
    if (const QString remembered = RememberedLot(); !remembered.isEmpty())
        openLot(remembered, false);
    showLot();
    showTotals();
}

void StationWindow::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    banner_->fitHeight(height() / 9);
    controls_->fitPortList(height() / 5);
}

void StationWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (shown_)
        return;
    shown_ = true;
    // The first size fits the screen, its title bar and frame included.
    if (const QScreen *on = screen()) {
        const QSize room = on->availableGeometry().size() - QSize(8, 40);
        if (width() > room.width() || height() > room.height())
            resize(size().boundedTo(room).expandedTo(minimumSizeHint()));
    }
}

StationWindow::~StationWindow() {
    // Its boards end, and their threads are waited for, while the rows are still there.
    delete runner_;
}

void StationWindow::createLayout() {
    banner_ = new BatchBanner(this);
    table_ = new BoardTable(rows_, this);

    auto *bottom = new BevelPanel(this);
    bottom->setObjectName(QStringLiteral("Panel_Bottom"));
    auto *lines = new QVBoxLayout(bottom);
    lines->setContentsMargins(10, 3, 10, 3);
    lines->setSpacing(2);
    auto *line = new QHBoxLayout;
    lines->addLayout(line);
    // The counts and the newest note wrap to the room there is, whole, never widening the
    // window; the image's hash is cut to it.
    totals_ = makeLabel<WrappedLine>(bottom, "Label_Totals", 14);
    sha_ = makeLabel(bottom, "Label_Sha256", 12);
    sha_->setMinimumWidth(1);
    line->setSpacing(16);
    line->addWidget(totals_, 1);
    line->addWidget(sha_, 0, Qt::AlignRight | Qt::AlignTop);
    note_ = makeLabel<WrappedLine>(bottom, "Label_Note", 12);
    note_->hide(); // until there is one
    lines->addWidget(note_);
    // The lot's counts, there all the time.
    auto *lotLine = new QHBoxLayout;
    lines->addLayout(lotLine);
    BevelPanel *lotFrame = nullptr;
    lotButton_ = MakeFlatButton(bottom, "SB_NewLot", QStringLiteral("New lot…"),
                                QStringLiteral(":/torvane/images/start.png"),
                                QStringLiteral("Ctrl+L"), &lotFrame, 96);
    lotLabel_ = makeLabel<WrappedLine>(bottom, "Label_Lot", 14);
    lotLine->addWidget(lotFrame);
    lotLine->addSpacing(8);
    lotLine->addWidget(lotLabel_, 1);
    connect(lotButton_, &QToolButton::clicked, this, &StationWindow::newLot);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(controls_);
    layout->addWidget(banner_);
    layout->addWidget(table_, 1);
    layout->addWidget(bottom);
    setTabOrder(controls_->lastInput(), table_);
    controls_->firstInput()->setFocus();
}

void StationWindow::fillIn(const StationPlan &arguments) {
    controls_->fillIn(arguments);
    publish_ = arguments.publish;
    if (!arguments.lot.isEmpty())
        openLot(arguments.lot, true);
    showLot();
}

void StationWindow::lockRecipe(const QString &recipe) {
    controls_->lock();
    const QString name = QFileInfo(recipe).fileName();
    setWindowTitle(QStringLiteral("%1 — recipe %2").arg(QLatin1String(Title), name));
    note(QStringLiteral("The set-up is the recipe %1's: Start, Stop and Again work").arg(recipe));
}

bool StationWindow::openLot(const QString &name, bool remember) {
    QString why;
    std::unique_ptr<Lot> lot = Lot::open(name, &why);
    if (!lot) {
        note(QStringLiteral("The lot %1 cannot be counted into: %2").arg(name, why));
        return false;
    }
    lot_ = std::move(lot);
    if (remember && !RememberLot(name, &why))
        note(QStringLiteral("The lot %1 is not kept for the next start: %2").arg(name, why));
    return true;
}

void StationWindow::showLot() {
    if (!lot_) {
        lotLabel_->setText(QStringLiteral("No lot: the boards are counted in no lot (New lot…)"));
        return;
    }
    QString why;
    if (!lot_->refresh(&why))
        note(QStringLiteral("The lot %1: %2").arg(lot_->name(), why));
    lotLabel_->setText(QStringLiteral("Lot ") + LotLine(*lot_));
}

// Asks for the new lot's name and, before its counts begin, whether that is what is meant.
void StationWindow::newLot() {
    if (running() || closing_)
        return;
    QInputDialog ask(this);
    ask.setObjectName(QStringLiteral("NewLotDialog"));
    ask.setWindowTitle(QStringLiteral("New lot"));
    ask.setLabelText(lot_ ? QStringLiteral("The boards are counted into the lot %1.\nThe new "
                                           "lot's name:")
                                .arg(lot_->name())
                          : QStringLiteral("The new lot's name:"));
    const int asked = ask.exec();
    takeKeyboardBack();
    const QString name = ask.textValue().trimmed();
    if (asked != QDialog::Accepted || name.isEmpty())
        return;
    if (const QString why = LotNameProblem(name); !why.isEmpty()) {
        refuse(QStringLiteral("The lot's name: %1.").arg(why));
        return;
    }
    QString why;
    std::unique_ptr<Lot> lot = Lot::open(name, &why);
    if (!lot) {
        refuse(QStringLiteral("The lot %1 cannot be counted into: %2").arg(name, why));
        return;
    }
    const BoardCounts kept = lot->counts();
    QString question =
        lot_ ? QStringLiteral("End the lot %1 (its counts stay kept) and count the "
                              "boards into %2 from now on?")
                   .arg(lot_->name(), name)
             : QStringLiteral("Count the boards into the lot %1 from now on?").arg(name);
    if (kept.served() > 0)
        question += QStringLiteral("\n\n%1 has counted %2 before: it begins anew, from zero.")
                        .arg(name, Counted(kept.served(), "board", "boards"));
    QMessageBox box(QMessageBox::Question, QLatin1String(Title), question,
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("NewLotQuestion"));
    box.setDefaultButton(QMessageBox::No);
    const int answer = box.exec();
    takeKeyboardBack();
    if (answer != QMessageBox::Yes)
        return;
    if (kept.served() > 0 && !lot->restart(&why)) {
        refuse(QStringLiteral("The lot %1 cannot begin anew: %2").arg(name, why));
        return;
    }
    lot_ = std::move(lot);
    if (!RememberLot(name, &why))
        note(QStringLiteral("The lot %1 is not kept for the next start: %2").arg(name, why));
    showLot();
}

void StationWindow::saveRecipe() {
    if (running() || closing_ || controls_->locked())
        return;
    StationPlan plan = this->plan();
    if (const std::optional<PlanProblem> problem = CheckPlan(plan, true)) {
        refuse(PlanProblemWords(*problem));
        return;
    }
    QFileDialog dialog(this, QStringLiteral("Save recipe"));
    dialog.setObjectName(QStringLiteral("RecipeDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters({QStringLiteral("Recipes (*.recipe)"), QStringLiteral("All File(*.*)")});
    dialog.setDefaultSuffix(QStringLiteral("recipe"));
    const int answer = dialog.exec();
    takeKeyboardBack();
    if (answer != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    // The recipe is the line's set-up; the lot is the operator's.
    plan.lot.clear();
    const QString path = dialog.selectedFiles().constFirst();
    if (const QString why = SaveRecipe(path, plan); !why.isEmpty()) {
        refuse(why);
        return;
    }
    note(QStringLiteral("Recipe saved: %1").arg(path));
}

void StationWindow::addStep() {
    if (!running() && !closing_)
        controls_->addStep();
}

void StationWindow::setQuiet(bool quiet) {
    controls_->soundBox()->setChecked(!quiet);
}

bool StationWindow::running() const {
    return runner_->running();
}

void StationWindow::chooseFile() {
    if (running())
        return;
    controls_->chooseFile();
    takeKeyboardBack();
}

// Without a window manager nobody gives the window the keyboard back when a dialog closes, and
// its keys (F5, Escape, Ctrl+O) would go nowhere.
void StationWindow::takeKeyboardBack() {
    activateWindow();
}

void StationWindow::refuse(const QString &text) {
    QMessageBox box(QMessageBox::Critical, QLatin1String(Title), text, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("StationRefusal"));
    box.exec();
    takeKeyboardBack();
}

bool StationWindow::planIsSound(const StationPlan &plan) {
    const std::optional<PlanProblem> problem = CheckPlan(plan, true);
    if (problem)
        refuse(PlanProblemWords(*problem));
    return !problem;
}

void StationWindow::begin(const StationPlan &plan, bool again) {
    if (const auto refusal = runner_->start(plan, again)) {
        refuse(RefusalWords(*refusal));
        return;
    }
    if (!again)
        batch_ = plan;
    if (runner_->publisher())
        publishingTick_.start();
    table_->clearSelection();
    controls_->setRunning(true);
    lotButton_->setEnabled(false);
    progressed();
}

StationPlan StationWindow::plan() const {
    StationPlan plan = controls_->plan();
    plan.lot = lot_ ? lot_->name() : QString();
    plan.publish = publish_;
    return plan;
}

void StationWindow::startRun() {
    if (running() || closing_)
        return;
    const StationPlan plan = this->plan();
    if (planIsSound(plan))
        begin(plan, false);
}

// The boards that did not pass, or the rows the operator selected, once more; the others keep
// their rows and the batch its counts.
void StationWindow::againRun() {
    if (running() || closing_)
        return;
    std::vector<int> chosen = table_->selectedSlots();
    if (chosen.empty())
        chosen = rows_->notPassed();
    if (!batch_ || chosen.empty()) {
        note(QStringLiteral("Again: no board failed or was stopped, and no row is selected"));
        return;
    }
    StationPlan plan = *batch_;
    // Counted into the lot the window counts into now, which "New lot…" may have changed since.
    plan.lot = lot_ ? lot_->name() : QString();
    plan.publish = publish_;
    plan.watch = false;
    plan.ports.clear();
    for (const int row : chosen)
        plan.ports << rows_->port(row);
    begin(plan, true);
}

void StationWindow::stopRun() {
    runner_->stop();
}

void StationWindow::boardEnded(int, BoardState state) {
    if (state == BoardState::Failed)
        sound_.boardFailed();
    showLot();
}

void StationWindow::progressed() {
    const BoardCounts &counts = rows_->counts();
    // In a watch, as on the command line, a board cut short is not done.
    if (runner_->watching())
        banner_->watching(counts.passed + counts.failed, counts.failed);
    else if (runner_->running())
        banner_->running(runner_->boardsEnded(), runner_->boardsLaunched(),
                         runner_->boardsFailed());
    showTotals();
}

void StationWindow::finished() {
    controls_->setRunning(false);
    lotButton_->setEnabled(true);
    showLot();
    banner_->ended(rows_->counts(), rows_->counts().served());
    sound_.batchEnded();
    table_->clearSelection();
    // A short window shows the first board that failed.
    for (int row = 0; row < rows_->rowCount(); ++row) {
        if (rows_->state(row) == BoardState::Failed) {
            table_->scrollTo(rows_->index(row, 0));
            break;
        }
    }
    showTotals();
    emit runEnded();
    if (closing_)
        close();
}

void StationWindow::showTotals() {
    const BoardCounts &counts = rows_->counts();
    QString text = QStringLiteral("%1: %2 passed, %3 failed, %4 stopped")
                       .arg(Counted(counts.served(), "board", "boards"))
                       .arg(counts.passed)
                       .arg(counts.failed)
                       .arg(counts.stopped);
    if (runner_->running()) {
        text += QStringLiteral("; %1 running").arg(runner_->boardsRunning());
        if (const int waiting = runner_->boardsWaiting(); waiting > 0)
            text += QStringLiteral(", %1 waiting").arg(waiting);
        if (runner_->stopping())
            text += QStringLiteral(": stopping");
        else if (runner_->watching())
            text += QStringLiteral(": watching");
    }
    if (const std::shared_ptr<Publisher> &publisher = runner_->publisher()) {
        for (const QString &said : publisher->takeNotes())
            note(said);
        text += QStringLiteral("; ") + PublishStateText(publisher->state());
    }
    totals_->setText(text);
    const QString sha = runner_->sha256();
    sha_->setText(sha.isEmpty() ? QString() : QStringLiteral("SHA-256 %1…").arg(sha.left(16)));
    sha_->setToolTip(sha.isEmpty() ? QString() : QStringLiteral("SHA-256 %1").arg(sha));
}

void StationWindow::note(const QString &text) {
    notes_ << text;
    if (notes_.size() > NotesKept)
        notes_.removeFirst();
    note_->setText(text);
    note_->setToolTip(notes_.join(QLatin1Char('\n')));
    note_->show();
}

void StationWindow::showDetail(int row) {
    if (row < 0 || row >= rows_->rowCount())
        return;
    const QString port = rows_->port(row);
    QMessageBox box(
        rows_->state(row) == BoardState::Failed ? QMessageBox::Warning : QMessageBox::Information,
        QStringLiteral("%1: slot %2, %3").arg(QLatin1String(Title)).arg(row + 1).arg(port),
        QStringLiteral("Slot %1: %2\n%3").arg(row + 1).arg(port, rows_->shownResult(row)),
        QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("BoardDetail"));
    box.setDetailedText(runner_->detail(row));
    // Room for a trace's lines, which the box would wrap at its own narrow width.
    if (auto *text = box.findChild<QTextEdit *>())
        text->setMinimumSize(560, 260);
    box.exec();
    takeKeyboardBack();
}

void StationWindow::stopAndClose() {
    closing_ = true;
    if (running())
        runner_->stop(StopSignalled() ? StopSignal.load() : StationRunner::OperatorStop);
    else
        close();
}

void StationWindow::closeEvent(QCloseEvent *event) {
    if (!running()) {
        event->accept();
        return;
    }
    event->ignore();
    if (closing_)
        return;
    const int runningNow = runner_->boardsRunning();
    const int waiting = runner_->boardsWaiting();
    QString question =
        QStringLiteral("%1 %2 running")
            .arg(Counted(runningNow, "board", "boards"), ForCount(runningNow, "is", "are"));
    if (waiting > 0)
        question += QStringLiteral(" and %1 waiting %2 turn")
                        .arg(QString::number(waiting), ForCount(waiting, "its", "their"));
    question +=
        QStringLiteral(". Stop %1 and close?").arg(ForCount(runningNow + waiting, "it", "them"));
    QMessageBox box(QMessageBox::Question, QLatin1String(Title), question,
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("CloseQuestion"));
    box.setDefaultButton(QMessageBox::No);
    const int answer = box.exec();
    takeKeyboardBack();
    if (answer != QMessageBox::Yes)
        return;
    closing_ = true;
    if (!running()) {
        // The run ended while the question was up.
        QTimer::singleShot(0, this, &QWidget::close);
        return;
    }
    stopRun();
}
