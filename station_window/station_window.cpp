#include "station_window/station_window.h"

#include "ports/port_names.h"
#include "station/port_file_name.h"
#include "station/station_plan.h"
#include "station_window/batch_banner.h"
#include "station_window/board_rows.h"
#include "station_window/board_table.h"
#include "station_window/station_controls.h"
#include "station_window/station_runner.h"
#include "widgets/bevel_panel.h"
#include "widgets/window_style.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QShortcut>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

namespace {

QLabel *makeLabel(QWidget *parent, const char *name, int pixels) {
    auto *label = new QLabel(parent);
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
    connect(controls_->soundBox(), &QCheckBox::toggled, this,
            [this](bool on) { sound_.setEnabled(on); });
    for (const auto &[key, action] :
         std::initializer_list<std::pair<QKeySequence, void (StationWindow::*)()>>{
             {QKeySequence(Qt::Key_F5), &StationWindow::startRun},
             {QKeySequence(Qt::Key_F6), &StationWindow::againRun},
             {QKeySequence(Qt::Key_Escape), &StationWindow::stopRun},
             {QKeySequence(Qt::CTRL | Qt::Key_O), &StationWindow::chooseFile}})
        connect(new QShortcut(key, this), &QShortcut::activated, this, action);
    connect(table_, &QAbstractItemView::doubleClicked, this,
            [this](const QModelIndex &index) { showDetail(index.row()); });
    connect(table_, &QAbstractItemView::activated, this,
            [this](const QModelIndex &index) { showDetail(index.row()); });
    resize(900, 700);
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
    auto *line = new QHBoxLayout(bottom);
    line->setContentsMargins(10, 4, 10, 4);
    totals_ = makeLabel(bottom, "Label_Totals", 14);
    note_ = makeLabel(bottom, "Label_Note", 12);
    sha_ = makeLabel(bottom, "Label_Sha256", 12);
    // What the bottom line says is cut to the room there is, never widening the window; the
    // totals and the image's hash first, the notes in what is left.
    totals_->setMinimumWidth(1);
    sha_->setMinimumWidth(1);
    note_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    line->setSpacing(16);
    line->addWidget(totals_);
    line->addWidget(note_, 1);
    line->addWidget(sha_);

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
    const bool upload = IsUpload(plan.mode);
    QString why;
    if (plan.file.isEmpty())
        why = QStringLiteral("Choose the file first (Open, Ctrl+O).");
    else if (plan.ports.isEmpty())
        why = QStringLiteral("Check the ports to serve in the list of ports.");
    for (const QString &port : plan.ports) {
        if (!why.isEmpty())
            break;
        if (IsPortPattern(port) && !plan.watch)
            why = QStringLiteral("%1 is a pattern: check Watch to serve the ports that match it "
                                 "as they appear.")
                      .arg(port);
    }
    if (why.isEmpty() && upload && (plan.ports.size() > 1 || plan.watch) &&
        !plan.file.contains(QLatin1String(PortPlaceholder)))
        why = QStringLiteral("With several ports the upload file needs %1 in its name, e.g. "
                             "back-%1.bin: each device's image goes to a file of its own.")
                  .arg(QLatin1String(PortPlaceholder));
    if (why.isEmpty() && plan.overwrite && !upload)
        why = QStringLiteral("Overwrite applies to uploads only.");
    if (why.isEmpty())
        return true;
    refuse(why);
    return false;
}

void StationWindow::begin(const StationPlan &plan, bool again) {
    if (const auto refusal = runner_->start(plan, again)) {
        refuse(refusal->status.isEmpty() ? refusal->error
                                         : refusal->status + QLatin1Char('\n') + refusal->error);
        return;
    }
    if (!again)
        batch_ = plan;
    table_->clearSelection();
    controls_->setRunning(true);
    progressed();
}

void StationWindow::startRun() {
    if (running() || closing_)
        return;
    const StationPlan plan = controls_->plan();
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
}

void StationWindow::progressed() {
    const BoardCounts &counts = rows_->counts();
    if (runner_->watching())
        banner_->watching(counts.served(), counts.failed);
    else if (runner_->running())
        banner_->running(runner_->boardsEnded(), runner_->boardsLaunched(),
                         runner_->boardsFailed());
    showTotals();
}

void StationWindow::finished() {
    controls_->setRunning(false);
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
    QString text = QStringLiteral("%1 boards: %2 passed, %3 failed, %4 stopped")
                       .arg(counts.served())
                       .arg(counts.passed)
                       .arg(counts.failed)
                       .arg(counts.stopped);
    if (runner_->running()) {
        text += QStringLiteral("; %1 running").arg(runner_->boardsRunning());
        if (runner_->stopping())
            text += QStringLiteral(": stopping");
        else if (runner_->watching())
            text += QStringLiteral(": watching");
    }
    totals_->setText(text);
    const QString sha = runner_->sha256();
    sha_->setText(sha.isEmpty() ? QString() : QStringLiteral("SHA-256 %1…").arg(sha.left(16)));
    sha_->setToolTip(sha.isEmpty() ? QString() : QStringLiteral("SHA-256 %1").arg(sha));
}

void StationWindow::note(const QString &text) {
    notes_ << text;
    note_->setText(note_->fontMetrics().elidedText(text, Qt::ElideRight, note_->width()));
    note_->setToolTip(notes_.join(QLatin1Char('\n')));
}

void StationWindow::showDetail(int row) {
    if (row < 0 || row >= rows_->rowCount())
        return;
    const QString port = rows_->port(row);
    QMessageBox box(
        QMessageBox::Information,
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
        stopRun();
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
    QMessageBox box(
        QMessageBox::Question, QLatin1String(Title),
        QStringLiteral("%1 boards are running. Stop them and close?").arg(runner_->boardsRunning()),
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
