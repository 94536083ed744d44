#include "station_window/station_window.h"

#include "ports/com_numbering.h"
#include "ports/port_names.h"
#include "ports/system_ports.h"
#include "station/plan_rules.h"
#include "station/port_file_name.h"
#include "station_window/board_feed.h"
#include "widgets/bevel_panel.h"
#include "widgets/button_image.h"
#include "widgets/port_lamp.h"
#include "widgets/window_style.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QShortcut>
#include <QTableWidget>
#include <QTextEdit>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

using namespace std::chrono_literals;

// How often the rows are brought up to date, and how often a watch looks for ports.
constexpr int TickMs = 100;
constexpr qint64 LookMs = 250;

enum Column {
    PortColumn,
    DeviceColumn,
    LampColumn,
    ProgressColumn,
    StatusColumn,
    ResultColumn,
    SecondsColumn,
    ColumnCount
};

const QString SettingsFilesFilter = QStringLiteral("Settings Files(*.bin)");
const QString AllFilesFilter = QStringLiteral("All File(*.*)");

QLabel *makeLabel(const QString &text, QWidget *parent) {
    auto *label = new QLabel(text, parent);
    label->setFont(WindowArial(14));
    SetNavy(label);
    return label;
}

// A flat button filling a bevelled frame, as on the one-port window: it takes no focus, its key
// is in its tooltip.
QToolButton *makeButton(QWidget *parent, const char *name, const QString &caption,
                        const QString &image, const QString &key, BevelPanel **frameOut) {
    auto *frame = new BevelPanel(parent);
    frame->setObjectName(QLatin1String(name) + QStringLiteral("Frame"));
    frame->setFixedSize(76, 23);
    auto *button = new QToolButton(frame);
    button->setObjectName(QLatin1String(name));
    button->setGeometry(0, 0, 76, 23);
    StyleFlatButton(button, caption, image, {16, 16});
    button->setToolTip(QStringLiteral("%1 (%2)").arg(caption, key));
    *frameOut = frame;
    return button;
}

QString seconds(double s) {
    return QString::number(s, 'f', 1);
}

} // namespace

StationWindow::StationWindow(ComPortSource comPorts, QWidget *parent)
    : QWidget(parent), comPorts_(std::move(comPorts)) {
    setObjectName(QStringLiteral("StationWindow"));
    setWindowTitle(QLatin1String(Title));
    SetWindowLook(this);
    createControls();
    listPresentPorts();
    tick_.setInterval(TickMs);
    connect(&tick_, &QTimer::timeout, this, &StationWindow::tick);
    // Records go on to the broker between runs: the status line follows them.
    publishingTick_.setInterval(1000);
    connect(&publishingTick_, &QTimer::timeout, this, &StationWindow::showTotals);
    resize(820, 560);
    showTotals();
}

StationWindow::~StationWindow() {
    // Closed some other way than by the window's close (the process ending): every board ends
    // in order, and its thread is waited for while its feed and the run are still there.
    stop_.store(1);
    boards_.reset();
}

void StationWindow::createControls() {
    auto *top = new BevelPanel(this);
    top->setObjectName(QStringLiteral("Panel_Top"));
    auto *grid = new QGridLayout(top);
    grid->setContentsMargins(10, 8, 10, 8);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(5);

    modeList_ = new QComboBox(top);
    modeList_->setObjectName(QStringLiteral("CB_Mode"));
    modeList_->setFont(WindowArial(12));
    for (const char *mode : TransferModeNames)
        modeList_->addItem(QLatin1String(mode));
    fileEdit_ = new QLineEdit(top);
    fileEdit_->setObjectName(QStringLiteral("Edit_File"));
    fileEdit_->setFont(WindowArial(12));
    fileEdit_->setPlaceholderText(QStringLiteral("the image file; {port} stands for each port"));
    portList_ = new QListWidget(top);
    portList_->setObjectName(QStringLiteral("LB_Ports"));
    portList_->setFont(WindowArial(12));
    portList_->setFixedHeight(86);
    portEdit_ = new QLineEdit(top);
    portEdit_->setObjectName(QStringLiteral("Edit_Port"));
    portEdit_->setFont(WindowArial(12));
    portEdit_->setPlaceholderText(QStringLiteral("add a port or pattern, Enter"));
    watchBox_ = new QCheckBox(QStringLiteral("Watch"), top);
    watchBox_->setObjectName(QStringLiteral("CK_Watch"));
    watchBox_->setToolTip(
        QStringLiteral("Serve each board once as it appears on a port or pattern checked"));
    overwriteBox_ = new QCheckBox(QStringLiteral("Overwrite"), top);
    overwriteBox_->setObjectName(QStringLiteral("CK_Overwrite"));
    overwriteBox_->setToolTip(QStringLiteral("Uploads replace files that exist"));
    traceBox_ = new QCheckBox(QStringLiteral("Trace"), top);
    traceBox_->setObjectName(QStringLiteral("CK_Trace"));
    traceBox_->setToolTip(QStringLiteral("Keep each board's frames for its detail"));
    for (QCheckBox *box : {watchBox_, overwriteBox_, traceBox_}) {
        box->setFont(WindowArial(12));
        SetNavy(box);
    }
    reportEdit_ = new QLineEdit(top);
    reportEdit_->setObjectName(QStringLiteral("Edit_Report"));
    reportEdit_->setFont(WindowArial(12));
    reportEdit_->setPlaceholderText(QStringLiteral("a file each board's record is appended to"));

    BevelPanel *openFrame = nullptr;
    BevelPanel *startFrame = nullptr;
    BevelPanel *stopFrame = nullptr;
    openButton_ = makeButton(top, "SB_Open", QStringLiteral("Open"),
                             QStringLiteral(":/torvane/images/open.png"), QStringLiteral("Ctrl+O"),
                             &openFrame);
    startButton_ =
        makeButton(top, "SB_Start", QStringLiteral("Start"),
                   QStringLiteral(":/torvane/images/start.png"), QStringLiteral("F5"), &startFrame);
    stopButton_ = makeButton(top, "SB_Stop", QStringLiteral("Stop"),
                             QStringLiteral(":/torvane/images/reset.png"), QStringLiteral("Escape"),
                             &stopFrame);
    stopButton_->setEnabled(false);

    grid->addWidget(makeLabel(QStringLiteral("Mode:"), top), 0, 0);
    grid->addWidget(modeList_, 0, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(startFrame);
    buttons->addWidget(stopFrame);
    grid->addLayout(buttons, 0, 2);
    grid->addWidget(makeLabel(QStringLiteral("File:"), top), 1, 0);
    grid->addWidget(fileEdit_, 1, 1);
    grid->addWidget(openFrame, 1, 2, Qt::AlignLeft);
    grid->addWidget(makeLabel(QStringLiteral("Ports:"), top), 2, 0, Qt::AlignTop);
    grid->addWidget(portList_, 2, 1);
    auto *side = new QVBoxLayout;
    side->addWidget(portEdit_);
    side->addWidget(watchBox_);
    side->addWidget(overwriteBox_);
    side->addWidget(traceBox_);
    side->addStretch();
    grid->addLayout(side, 2, 2);
    grid->addWidget(makeLabel(QStringLiteral("Report:"), top), 3, 0);
    grid->addWidget(reportEdit_, 3, 1);
    grid->setColumnStretch(1, 1);

    table_ = new QTableWidget(0, ColumnCount, this);
    table_->setObjectName(QStringLiteral("TB_Boards"));
    table_->setHorizontalHeaderLabels({QStringLiteral("Port"), QStringLiteral("Device"), QString(),
                                       QStringLiteral("Progress"), QStringLiteral("Status"),
                                       QStringLiteral("Result"), QStringLiteral("Seconds")});
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setDefaultSectionSize(20);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    // Tab leaves the rows for the inputs; the arrows walk them.
    table_->setTabKeyNavigation(false);
    table_->setFont(WindowArial(12));
    QHeaderView *header = table_->horizontalHeader();
    header->setFont(WindowArial(12, true));
    header->resizeSection(PortColumn, 150);
    header->resizeSection(DeviceColumn, 90);
    header->resizeSection(LampColumn, 22);
    header->resizeSection(ProgressColumn, 110);
    header->resizeSection(StatusColumn, 170);
    header->resizeSection(SecondsColumn, 60);
    header->setSectionResizeMode(ResultColumn, QHeaderView::Stretch);
    table_->setToolTip(QStringLiteral("Double-click a board for its detail (Enter)"));

    auto *bottom = new BevelPanel(this);
    bottom->setObjectName(QStringLiteral("Panel_Bottom"));
    auto *totalsLayout = new QHBoxLayout(bottom);
    totalsLayout->setContentsMargins(10, 5, 10, 5);
    totals_ = makeLabel(QString(), bottom);
    totals_->setObjectName(QStringLiteral("Label_Totals"));
    sha_ = makeLabel(QString(), bottom);
    sha_->setObjectName(QStringLiteral("Label_Sha256"));
    sha_->setFont(WindowArial(12));
    sha_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    note_ = makeLabel(QString(), bottom);
    note_->setObjectName(QStringLiteral("Label_Note"));
    note_->setFont(WindowArial(12));
    // A long note is cut to the room there is, never widening the window.
    note_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    totalsLayout->addWidget(totals_);
    totalsLayout->addSpacing(16);
    totalsLayout->addWidget(note_, 1);
    totalsLayout->addWidget(sha_);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(top);
    layout->addWidget(table_, 1);
    layout->addWidget(bottom);

    setTabOrder(modeList_, fileEdit_);
    setTabOrder(fileEdit_, portList_);
    setTabOrder(portList_, portEdit_);
    setTabOrder(portEdit_, watchBox_);
    setTabOrder(watchBox_, overwriteBox_);
    setTabOrder(overwriteBox_, traceBox_);
    setTabOrder(traceBox_, reportEdit_);
    setTabOrder(reportEdit_, table_);
    modeList_->setFocus();

    connect(openButton_, &QToolButton::clicked, this, &StationWindow::chooseFile);
    connect(startButton_, &QToolButton::clicked, this, &StationWindow::startRun);
    connect(stopButton_, &QToolButton::clicked, this, &StationWindow::stopRun);
    connect(new QShortcut(QKeySequence(Qt::Key_F5), this), &QShortcut::activated, this,
            &StationWindow::startRun);
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
            &StationWindow::stopRun);
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_O), this), &QShortcut::activated, this,
            &StationWindow::chooseFile);
    connect(portEdit_, &QLineEdit::returnPressed, this, [this] {
        const QString port = portEdit_->text().trimmed();
        if (port.isEmpty())
            return;
        addPort(port, true);
        portEdit_->clear();
    });
    connect(table_, &QTableWidget::cellDoubleClicked, this,
            [this](int row, int) { showDetail(row); });
    connect(table_, &QTableWidget::cellActivated, this, [this](int row, int) { showDetail(row); });
}

// The ports present, each under its COM number where it has one, unchecked: the operator picks.
void StationWindow::listPresentPorts() {
    const ComPortMap map = comPorts_ ? comPorts_() : ComPortMap();
    std::map<QString, QString> numbered; // device -> its COM name
    for (int n = 1; n <= ComPortCount; ++n) {
        if (!map.devicePath(n).isEmpty())
            numbered.emplace(map.devicePath(n), ComPortName(n));
    }
    for (const PresentPort &port : ScanPresentPorts()) {
        if (!port.notABoard.isEmpty()) {
            // Shown for what it is (the system console, someone's terminal), never to be checked.
            auto *item = new QListWidgetItem(
                QStringLiteral("%1  (%2)").arg(port.path, port.notABoard), portList_);
            item->setFlags(Qt::NoItemFlags);
            continue;
        }
        const auto it = numbered.find(port.path);
        addPort(it != numbered.end() ? it->second : port.path, false);
    }
}

void StationWindow::addPort(const QString &port, bool checked) {
    for (int i = 0; i < portList_->count(); ++i) {
        QListWidgetItem *item = portList_->item(i);
        if (item->data(Qt::UserRole).toString() == port) {
            if (checked)
                item->setCheckState(Qt::Checked);
            return;
        }
    }
    QString text = port;
    if (const std::optional<PortChoice> choice = ParsePortName(port);
        choice && choice->portPath.isEmpty() && comPorts_ && !IsPortPattern(port)) {
        const ComPortEntry &entry = comPorts_().entry(choice->portIndex + 1);
        text += QStringLiteral("  ") + DescribeComPort(entry);
    } else if (IsPortPattern(port)) {
        text += QStringLiteral("  (pattern: with Watch)");
    }
    auto *item = new QListWidgetItem(text, portList_);
    item->setData(Qt::UserRole, port);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
}

QStringList StationWindow::chosenPorts() const {
    QStringList ports;
    for (int i = 0; i < portList_->count(); ++i) {
        const QListWidgetItem *item = portList_->item(i);
        if (item->checkState() == Qt::Checked)
            ports << item->data(Qt::UserRole).toString();
    }
    return ports;
}

void StationWindow::fillIn(const StationPlan &arguments) {
    filled_ = arguments;
    modeList_->setCurrentIndex(int(arguments.mode));
    fileEdit_->setText(arguments.file);
    for (const QString &port : arguments.ports)
        addPort(port, true);
    watchBox_->setChecked(arguments.watch);
    overwriteBox_->setChecked(arguments.overwrite);
    traceBox_->setChecked(arguments.trace);
    reportEdit_->setText(arguments.report);
}

void StationWindow::chooseFile() {
    if (running())
        return;
    const bool upload = IsUpload(TransferMode(modeList_->currentIndex()));
    QFileDialog dialog(this, upload ? QStringLiteral("Save As") : QStringLiteral("Open"));
    dialog.setObjectName(upload ? QStringLiteral("SaveDialog") : QStringLiteral("OpenDialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(upload ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(upload ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    // Each board's upload is asked about at Start, file by file, as --overwrite says.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.setNameFilters({SettingsFilesFilter, AllFilesFilter});
    dialog.setDefaultSuffix(QStringLiteral("bin"));
    if (!fileEdit_->text().isEmpty())
        dialog.setDirectory(QFileInfo(fileEdit_->text()).absolutePath());
    const int answer = dialog.exec();
    takeKeyboardBack();
    if (answer != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    QString name = dialog.selectedFiles().constFirst();
    // Several boards' uploads go to a file each: the port's name goes into the name chosen.
    if (upload && (chosenPorts().size() > 1 || watchBox_->isChecked()) &&
        !name.contains(QLatin1String(PortPlaceholder))) {
        const QFileInfo info(name);
        const QString suffix =
            info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
        name = info.path() + QLatin1Char('/') + info.completeBaseName() + QLatin1Char('-') +
               QLatin1String(PortPlaceholder) + suffix;
    }
    fileEdit_->setText(name);
}

// Without a window manager nobody gives the window the keyboard back when a dialog closes, and
// its keys (F5, Escape, Ctrl+O) would go nowhere.
void StationWindow::takeKeyboardBack() {
    activateWindow();
}

void StationWindow::refuse(const StationRefusal &refusal) {
    using Kind = StationRefusal::Kind;
    switch (refusal.kind) {
    case Kind::File:
        return refuse(refusal.status.isEmpty()
                          ? refusal.error
                          : refusal.status + QLatin1Char('\n') + refusal.error);
    case Kind::SameDevice:
        return refuse(QStringLiteral("%1 and %2 are the same device (%3): one device, one owner.")
                          .arg(refusal.first, refusal.second, refusal.place));
    case Kind::SameTarget:
        return refuse(QStringLiteral("%1 and %2 would both save to %3.")
                          .arg(refusal.first, refusal.second, refusal.place));
    case Kind::ImageDiffers:
        return refuse(QStringLiteral("%1 is not the image expected: no board was started.\n"
                                     "Its SHA-256:  %2\nExpected:  %3")
                          .arg(refusal.place, refusal.actual, refusal.expected));
    }
}

void StationWindow::refuse(const QString &text) {
    QMessageBox box(QMessageBox::Critical, QLatin1String(Title), text, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("StationRefusal"));
    box.exec();
    takeKeyboardBack();
}

std::optional<StationPlan> StationWindow::planFromInputs() {
    StationPlan plan;
    plan.mode = TransferMode(modeList_->currentIndex());
    plan.file = fileEdit_->text().trimmed();
    plan.ports = chosenPorts();
    plan.watch = watchBox_->isChecked();
    plan.overwrite = overwriteBox_->isChecked();
    plan.trace = traceBox_->isChecked();
    plan.report = reportEdit_->text().trimmed();
    plan.expectSha256 = filled_.expectSha256;
    plan.lot = filled_.lot;
    plan.retries = filled_.retries;
    plan.publish = filled_.publish;
    const std::optional<PlanProblem> problem = CheckPlan(plan, true);
    if (!problem)
        return plan;
    using K = PlanProblem::Kind;
    QString why;
    switch (problem->kind) {
    case K::NoFile:
        why = QStringLiteral("Choose the file first (Open, Ctrl+O).");
        break;
    case K::NoPorts:
        why = QStringLiteral("Check the ports to serve in the list of ports.");
        break;
    case K::UnknownPort:
        why = QStringLiteral("%1 names no port: COM.01 ... COM.10, a device path or a "
                             "/dev/serial/by-id name.")
                  .arg(problem->port);
        break;
    case K::BadPortName:
        why = QStringLiteral("The port %1.").arg(problem->detail);
        break;
    case K::PatternWithoutWatch:
        why = QStringLiteral("%1 is a pattern: check Watch to serve the ports that match it as "
                             "they appear.")
                  .arg(problem->port);
        break;
    case K::PortTwice:
        why = QStringLiteral("%1 is checked twice: one device, one owner.").arg(problem->port);
        break;
    case K::UploadNeedsPortName:
        why = QStringLiteral("With several ports the upload file needs %1 in its name, e.g. "
                             "back-%1.bin: each device's image goes to a file of its own.")
                  .arg(QLatin1String(PortPlaceholder));
        break;
    case K::OverwriteForDownload:
        why = QStringLiteral("Overwrite applies to uploads only.");
        break;
    case K::ExpectedHashForUpload:
        why = QStringLiteral("An expected SHA-256 applies to downloads only.");
        break;
    case K::BadExpectedHash:
        why = QStringLiteral("The expected SHA-256 is 64 hexadecimal digits, not %1.")
                  .arg(problem->detail);
        break;
    case K::BadLotName:
        why = QStringLiteral("The lot's name: %1.").arg(problem->detail);
        break;
    case K::RetriesOutOfRange:
        why = QStringLiteral("Retries go from 0 to %1.").arg(MaxRetries);
        break;
    }
    refuse(why);
    return std::nullopt;
}

void StationWindow::setInputsEnabled(bool enabled) {
    for (QWidget *input : std::initializer_list<QWidget *>{
             modeList_, fileEdit_, openButton_, portList_, portEdit_, watchBox_, overwriteBox_,
             traceBox_, reportEdit_, startButton_})
        input->setEnabled(enabled);
    stopButton_->setEnabled(!enabled);
}

void StationWindow::startRun() {
    if (running() || closing_)
        return;
    const std::optional<StationPlan> plan = planFromInputs();
    if (!plan)
        return;
    stop_.store(0);
    auto run = std::make_unique<StationRun>(*plan, &stop_);
    if (const auto refusal = run->open()) {
        refuse(*refusal);
        return;
    }
    std::vector<BoardJob> jobs;
    if (!plan->watch) {
        QStringList notes;
        if (const auto refusal = run->jobsForPorts(comPorts_, &jobs, &notes)) {
            refuse(*refusal);
            return;
        }
        for (const QString &text : notes)
            note(text);
    }
    // Every check has passed: only now is a report that is not there made.
    run->publishWith(publisher_);
    if (const auto refusal = run->begin()) {
        refuse(*refusal);
        return;
    }
    run_ = std::move(run);
    publisher_ = run_->publisher();
    if (publisher_)
        publishingTick_.start();
    counts_.reset();
    counts_.setLot(run_->lot());
    sha256_.clear();
    boards_ = std::make_unique<Boards>(static_cast<StationEvents &>(*this), run_->report(),
                                       &counts_, run_->publisher().get());
    setInputsEnabled(false);
    if (plan->watch) {
        watch_.emplace(*run_, comPorts_);
        sinceLook_.invalidate();
    }
    for (BoardJob &job : jobs)
        launch(std::move(job));
    showTotals();
    tick_.start();
    tick();
}

void StationWindow::launch(BoardJob job) {
    devices_[job.portName] =
        job.identity.device.isEmpty() ? job.request.portPath : job.identity.device;
    boards_->launch(std::move(job));
}

ConsoleOutput &StationWindow::started(int board, const QString &port) {
    const int row = rowFor(port);
    Row &r = rows_[size_t(row)];
    auto feed = std::make_shared<BoardFeed>(run_ && run_->plan().trace);
    feeds_[board] = feed;
    rowOfBoard_[board] = row;
    r.feed = feed;
    r.running = true;
    r.since.start();
    r.detail.clear();
    setFailed(row, false);
    r.lamp->setOpen(true);
    r.bar->setRange(0, 1);
    r.bar->setValue(0);
    rowText(row, DeviceColumn, devices_[port]);
    rowText(row, StatusColumn, QString());
    rowText(row, ResultColumn, QString());
    rowText(row, SecondsColumn, QString());
    return *feed;
}

void StationWindow::ended(int, const BoardOutcome &) {
    endedBoards_.fetch_add(1);
    QMetaObject::invokeMethod(
        this, [this] { tick(); }, Qt::QueuedConnection);
}

int StationWindow::rowFor(const QString &port) {
    if (const auto it = rowOf_.find(port); it != rowOf_.end())
        return it->second;
    const int row = table_->rowCount();
    table_->insertRow(row);
    for (int column = 0; column < ColumnCount; ++column) {
        auto *item = new QTableWidgetItem;
        if (column == SecondsColumn)
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        table_->setItem(row, column, item);
    }
    Row r;
    r.name = port;
    auto *lampCell = new QWidget(table_);
    r.lamp = new PortLamp(lampCell);
    r.lamp->setObjectName(QStringLiteral("Lamp"));
    r.lamp->setGeometry(5, 4, 11, 11);
    table_->setCellWidget(row, LampColumn, lampCell);
    // The view fills a cell's widget with the base colour: the row's own shows through instead.
    lampCell->setAutoFillBackground(false);
    r.bar = new QProgressBar(table_);
    r.bar->setObjectName(QStringLiteral("Progress"));
    r.bar->setTextVisible(false);
    r.bar->setRange(0, 1);
    r.bar->setValue(0);
    r.bar->setMaximumHeight(12);
    auto *barCell = new QWidget(table_);
    auto *barLayout = new QHBoxLayout(barCell);
    barLayout->setContentsMargins(4, 3, 4, 3);
    barLayout->addWidget(r.bar);
    table_->setCellWidget(row, ProgressColumn, barCell);
    barCell->setAutoFillBackground(false);
    rows_.push_back(std::move(r));
    rowOf_[port] = row;
    rowText(row, PortColumn, port);
    return row;
}

void StationWindow::rowText(int row, int column, const QString &text) {
    QTableWidgetItem *item = table_->item(row, column);
    if (item->text() != text)
        item->setText(text);
}

void StationWindow::setFailed(int row, bool failed) {
    rows_[size_t(row)].failed = failed;
    for (int column = 0; column < ColumnCount; ++column) {
        QTableWidgetItem *item = table_->item(row, column);
        item->setBackground(failed ? QBrush(FailedRow) : QBrush());
        item->setForeground(failed ? QBrush(QColor(128, 0, 0)) : QBrush());
    }
}

void StationWindow::tick() {
    if (!boards_)
        return;
    // A board that said it ended has its outcome there within moments.
    const bool due = collectedBoards_ < endedBoards_.load();
    for (auto &[board, outcome] : boards_->collect(due ? 50ms : 0ms)) {
        ++collectedBoards_;
        boardEnded(board, outcome);
    }
    for (size_t i = 0; i < rows_.size(); ++i) {
        Row &r = rows_[i];
        if (!r.running || !r.feed)
            continue;
        const BoardFeed::Look seen = r.feed->look();
        if (seen.changed) {
            rowText(int(i), StatusColumn, seen.status);
            if (r.bar->maximum() != qMax(1, seen.total))
                r.bar->setRange(0, qMax(1, seen.total));
            r.bar->setValue(qBound(0, seen.done, r.bar->maximum()));
        }
        rowText(int(i), SecondsColumn, seconds(double(r.since.elapsed()) / 1000));
    }
    if (watch_ && !StopRequested(&stop_) &&
        (!sinceLook_.isValid() || sinceLook_.elapsed() >= LookMs)) {
        sinceLook_.start();
        look();
    }
    const bool watching = watch_ && !StopRequested(&stop_);
    if (!watching && boards_->running() == 0)
        finishRun();
    else
        showTotals();
}

// One look of a watch, as the command line's watch does it.
void StationWindow::look() {
    const WatchStep step = watch_->look();
    for (const QString &text : step.notes)
        note(text);
    for (const QString &name : step.seen.appeared)
        rowFor(name);
    for (const auto &[name, last] : step.seen.removed) {
        const int row = rowFor(name);
        // The board is off: its row is no longer red, but says how it ended.
        setFailed(row, false);
        rows_[size_t(row)].lamp->setOpen(false);
        rowText(row, StatusColumn, QStringLiteral("board removed"));
        if (!last.isEmpty())
            rowText(row, ResultColumn, last);
    }
    for (const auto &[name, first] : step.seen.servedAs)
        rowText(rowFor(name), StatusColumn, QStringLiteral("the board served on %1").arg(first));
    for (const auto &[name, why] : step.refused) {
        const int row = rowFor(name);
        rowText(row, StatusColumn, QStringLiteral("not served"));
        rowText(row, ResultColumn, why);
        rows_[size_t(row)].detail = why;
        setFailed(row, true);
    }
    for (const auto &[port, job] : step.jobs)
        launch(job);
}

void StationWindow::boardEnded(int board, const BoardOutcome &outcome) {
    const int row = rowOfBoard_.at(board);
    rowOfBoard_.erase(board);
    Row &r = rows_[size_t(row)];
    // Its last words first: the feed is let go with its thread.
    const std::shared_ptr<BoardFeed> feed = feeds_.at(board);
    const BoardFeed::Look seen = feed->look();
    rowText(row, StatusColumn, seen.status);
    r.detail = feed->detail();
    feeds_.erase(board);
    r.feed.reset();
    r.running = false;
    r.lamp->setOpen(false);
    const BoardRecord &record = outcome.record;
    rowText(row, DeviceColumn, record.device.isEmpty() ? devices_[r.name] : record.device);
    rowText(row, ResultColumn, record.result);
    rowText(row, SecondsColumn, seconds(record.seconds));
    const bool ok = outcome.code == ExitCode::Success;
    if (ok)
        r.bar->setValue(r.bar->maximum());
    setFailed(row, !ok);
    table_->item(row, ResultColumn)
        ->setToolTip(record.detail.isEmpty() ? record.result : record.detail);
    if (!record.sha256.isEmpty() && (sha256_.isEmpty() || IsUpload(run_->plan().mode)))
        sha256_ = QString::fromLatin1(record.sha256);
    if (watch_)
        watch_->ended(r.name, record.result);
}

void StationWindow::finishRun() {
    tick_.stop();
    boards_.reset();
    counts_.setLot(nullptr);
    watch_.reset();
    run_.reset();
    feeds_.clear();
    stop_.store(0);
    setInputsEnabled(true);
    showTotals();
    emit runEnded();
    if (closing_)
        close();
}

void StationWindow::stopRun() {
    if (!running())
        return;
    // Every board sees it at its next poll and ends in order; tick() ends the run once all have.
    stop_.store(1);
    showTotals();
}

void StationWindow::showTotals() {
    const BoardCounts counts = counts_.counts();
    QString text = QStringLiteral("served %1, succeeded %2, failed %3")
                       .arg(counts.served())
                       .arg(counts.passed)
                       .arg(counts.failed);
    if (counts.stopped)
        text += QStringLiteral(", stopped %1").arg(counts.stopped);
    if (boards_) {
        text += QStringLiteral(", running %1").arg(boards_->running());
        if (StopRequested(&stop_))
            text += QStringLiteral(": stopping");
        else if (watch_)
            text += QStringLiteral(": watching");
    }
    if (publisher_) {
        for (const QString &said : publisher_->takeNotes())
            note(said);
        text += QStringLiteral("; ") + PublishStateText(publisher_->state());
    }
    totals_->setText(text);
    sha_->setText(sha256_.isEmpty() ? QString() : QStringLiteral("SHA-256 %1").arg(sha256_));
}

void StationWindow::note(const QString &text) {
    notes_ << text;
    note_->setText(note_->fontMetrics().elidedText(text, Qt::ElideRight, note_->width()));
    note_->setToolTip(notes_.join(QLatin1Char('\n')));
}

void StationWindow::showDetail(int row) {
    if (row < 0 || size_t(row) >= rows_.size())
        return;
    const Row &r = rows_[size_t(row)];
    QString detail = r.running && r.feed ? r.feed->detail() : r.detail;
    QMessageBox box(
        QMessageBox::Information, QStringLiteral("%1: %2").arg(QLatin1String(Title), r.name),
        QStringLiteral("%1\n%2").arg(r.name, table_->item(row, ResultColumn)->text().isEmpty()
                                                 ? table_->item(row, StatusColumn)->text()
                                                 : table_->item(row, ResultColumn)->text()),
        QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("BoardDetail"));
    box.setDetailedText(detail);
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
        QStringLiteral("%1 boards are running. Stop them and close?").arg(boards_->running()),
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
