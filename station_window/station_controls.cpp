#include "station_window/station_controls.h"

#include "ports/com_numbering.h"
#include "ports/port_names.h"
#include "ports/system_ports.h"
#include "station/plan_rules.h"
#include "station/port_file_name.h"
#include "station_window/flat_button.h"
#include "station_window/step_list.h"
#include "widgets/button_image.h"
#include "widgets/window_style.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSpinBox>
#include <QToolButton>

#include <algorithm>
#include <iterator>
#include <map>

namespace {

const QString SettingsFilesFilter = QStringLiteral("Settings Files(*.bin)");
const QString AllFilesFilter = QStringLiteral("All File(*.*)");

// The ports' list shows this many lines at most before it scrolls, and at least this many.
constexpr int MostPortLines = 8;
constexpr int LeastPortLines = 3;

QLabel *makeLabel(const QString &text, QWidget *parent) {
    auto *label = new QLabel(text, parent);
    label->setFont(WindowArial(14));
    SetNavy(label);
    return label;
}

QCheckBox *makeBox(const QString &caption, const char *name, const QString &tip, QWidget *parent) {
    auto *box = new QCheckBox(caption, parent);
    box->setObjectName(QLatin1String(name));
    box->setToolTip(tip);
    box->setFont(WindowArial(12));
    SetNavy(box);
    return box;
}

// A list as tall as its lines, within bounds: 8 to 32 ports are seen at a glance, in columns.
class PortList : public QListWidget {
public:
    using QListWidget::QListWidget;
    QSize sizeHint() const override {
        const int lines = qBound(LeastPortLines, count(), MostPortLines);
        return {QListWidget::sizeHint().width(), lines * sizeHintForRow(0) + 2 * frameWidth() + 4};
    }
    QSize minimumSizeHint() const override {
        return {QListWidget::minimumSizeHint().width(),
                LeastPortLines * sizeHintForRow(0) + 2 * frameWidth() + 4};
    }
};

} // namespace

namespace {

// The mode list: the eight transfer modes, then the read-backs of the kinds an upload reads.
constexpr const char *ReadBackNames[] = {"Verify Software", "Verify Data", "Verify Default"};

int itemOf(const JobStep &step) {
    if (step.command == StepCommand::Verify)
        return TransferModeCount + int(step.mode) - int(TransferMode::UploadSoftware);
    return int(step.mode);
}

} // namespace

StationControls::StationControls(ComPortSource comPorts, QWidget *parent)
    : BevelPanel(parent), comPorts_(std::move(comPorts)) {
    setObjectName(QStringLiteral("Panel_Top"));
    makeInputs();
    makeButtons();
    layOut();
    connect(fileButton_, &QToolButton::clicked, this, &StationControls::fileClicked);
    connect(startButton_, &QToolButton::clicked, this, &StationControls::startClicked);
    connect(stopButton_, &QToolButton::clicked, this, &StationControls::stopClicked);
    connect(againButton_, &QToolButton::clicked, this, &StationControls::againClicked);
    connect(recipeButton_, &QToolButton::clicked, this, &StationControls::saveRecipeClicked);
    connect(modeList_, &QComboBox::currentIndexChanged, this, [this] {
        modeChosen();
        stepEdited();
    });
    connect(fileEdit_, &QLineEdit::textChanged, this, &StationControls::stepEdited);
    connect(shaEdit_, &QLineEdit::textChanged, this, &StationControls::stepEdited);
    connect(stepList_, &StepList::currentChanged, this, &StationControls::stepChosen);
    connect(portEdit_, &QLineEdit::returnPressed, this, [this] {
        const QString port = portEdit_->text().trimmed();
        if (port.isEmpty())
            return;
        addPort(port, true);
        portEdit_->clear();
    });
    listPresentPorts();
    stepChosen();
}

void StationControls::makeInputs() {
    modeList_ = new QComboBox(this);
    modeList_->setObjectName(QStringLiteral("CB_Mode"));
    modeList_->setFont(WindowArial(12));
    for (const char *mode : TransferModeNames)
        modeList_->addItem(QLatin1String(mode));
    for (const char *readBack : ReadBackNames)
        modeList_->addItem(QLatin1String(readBack));
    modeList_->setToolTip(QStringLiteral("The selected step's mode: a download, an upload, or a "
                                         "read-back that compares the device's image with the "
                                         "file"));
    fileEdit_ = new QLineEdit(this);
    fileEdit_->setObjectName(QStringLiteral("Edit_File"));
    fileEdit_->setFont(WindowArial(12));
    fileEdit_->setPlaceholderText(QStringLiteral("the image file; {port} stands for each port"));
    stepList_ = new StepList(this);
    portList_ = new PortList(this);
    portList_->setObjectName(QStringLiteral("LB_Ports"));
    portList_->setFont(WindowArial(12));
    // Column after column: many ports use the window's width rather than a long scroll.
    portList_->setFlow(QListView::TopToBottom);
    portList_->setWrapping(true);
    portList_->setResizeMode(QListView::Adjust);
    portList_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    portEdit_ = new QLineEdit(this);
    portEdit_->setObjectName(QStringLiteral("Edit_Port"));
    portEdit_->setFont(WindowArial(12));
    portEdit_->setPlaceholderText(QStringLiteral("add a port or pattern, Enter"));
    watchBox_ = makeBox(QStringLiteral("Watch"), "CK_Watch",
                        QStringLiteral("Serve each board once as it appears on a port or pattern "
                                       "checked"),
                        this);
    overwriteBox_ = makeBox(QStringLiteral("Overwrite"), "CK_Overwrite",
                            QStringLiteral("Uploads replace files that exist"), this);
    traceBox_ = makeBox(QStringLiteral("Trace"), "CK_Trace",
                        QStringLiteral("Keep each board's frames for its detail"), this);
    soundBox_ =
        makeBox(QStringLiteral("Sound"), "CK_Sound",
                QStringLiteral("A sound when a board fails, another when a batch ends"), this);
    soundBox_->setChecked(true);
    retriesBox_ = new QSpinBox(this);
    retriesBox_->setObjectName(QStringLiteral("SE_Retries"));
    retriesBox_->setFont(WindowArial(12));
    retriesBox_->setRange(0, MaxRetries);
    retriesBox_->setPrefix(QStringLiteral("Retries "));
    retriesBox_->setToolTip(QStringLiteral("How many more times a board whose failure trying "
                                           "again may cure runs its job again, from the step "
                                           "that failed"));
    reportEdit_ = new QLineEdit(this);
    reportEdit_->setObjectName(QStringLiteral("Edit_Report"));
    reportEdit_->setFont(WindowArial(12));
    reportEdit_->setPlaceholderText(QStringLiteral("a file each board's record is appended to"));
    shaEdit_ = new QLineEdit(this);
    shaEdit_->setObjectName(QStringLiteral("Edit_Sha256"));
    shaEdit_->setFont(WindowArial(12));
    shaEdit_->setPlaceholderText(QStringLiteral("the step's image's expected SHA-256"));
    shaEdit_->setToolTip(QStringLiteral("A download's or a read-back's image whose SHA-256 "
                                        "differs is refused at Start, before any board starts"));
}

void StationControls::makeButtons() {
    fileButton_ = MakeFlatButton(this, "SB_Open", QStringLiteral("Open"),
                                 QStringLiteral(":/torvane/images/open.png"),
                                 QStringLiteral("Ctrl+O"), &fileFrame_);
    startButton_ = MakeFlatButton(this, "SB_Start", QStringLiteral("Start"),
                                  QStringLiteral(":/torvane/images/start.png"),
                                  QStringLiteral("F5"), &startFrame_);
    stopButton_ = MakeFlatButton(this, "SB_Stop", QStringLiteral("Stop"),
                                 QStringLiteral(":/torvane/images/reset.png"),
                                 QStringLiteral("Escape"), &stopFrame_);
    againButton_ = MakeFlatButton(this, "SB_Again", QStringLiteral("Again"),
                                  QStringLiteral(":/torvane/images/start.png"),
                                  QStringLiteral("F6"), &againFrame_);
    againButton_->setToolTip(QStringLiteral("Again: runs the boards that failed or were stopped "
                                            "once more, or the rows selected; the boards that "
                                            "passed are left alone (F6)"));
    recipeButton_ = MakeFlatButton(this, "SB_SaveRecipe", QStringLiteral("Save recipe…"),
                                   QStringLiteral(":/torvane/images/open.png"),
                                   QStringLiteral("Ctrl+S"), &recipeFrame_, 112);
    recipeButton_->setToolTip(QStringLiteral("Save recipe…: keeps this set-up, with each image's "
                                             "SHA-256, in a file a station opens with --recipe "
                                             "(Ctrl+S)"));
    stopButton_->setEnabled(false);
}

void StationControls::layOut() {
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(10, 6, 10, 6);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(4);
    grid->addWidget(makeLabel(QStringLiteral("Mode:"), this), 0, 0);
    grid->addWidget(modeList_, 0, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(startFrame_);
    buttons->addWidget(stopFrame_);
    buttons->addWidget(againFrame_);
    grid->addLayout(buttons, 0, 2);
    grid->addWidget(makeLabel(QStringLiteral("File:"), this), 1, 0);
    grid->addWidget(fileEdit_, 1, 1);
    auto *fileButtons = new QHBoxLayout;
    fileButtons->addWidget(fileFrame_);
    fileButtons->addStretch();
    fileButtons->addWidget(recipeFrame_);
    grid->addLayout(fileButtons, 1, 2);
    grid->addWidget(makeLabel(QStringLiteral("Steps:"), this), 2, 0, Qt::AlignTop);
    grid->addWidget(stepList_, 2, 1, 1, 2);
    grid->addWidget(makeLabel(QStringLiteral("Ports:"), this), 3, 0, Qt::AlignTop);
    grid->addWidget(portList_, 3, 1, 1, 2);
    auto *options = new QHBoxLayout;
    options->setSpacing(6);
    // Room for a port's name as it is typed, even in a narrow window.
    portEdit_->setMinimumWidth(60);
    options->addWidget(portEdit_, 1);
    options->addWidget(watchBox_);
    options->addWidget(retriesBox_);
    for (QCheckBox *box : {overwriteBox_, traceBox_, soundBox_})
        options->addWidget(box);
    grid->addLayout(options, 4, 1, 1, 2);
    grid->addWidget(makeLabel(QStringLiteral("Report:"), this), 5, 0);
    auto *files = new QHBoxLayout;
    files->addWidget(reportEdit_, 3);
    files->addWidget(makeLabel(QStringLiteral("SHA-256:"), this));
    files->addWidget(shaEdit_, 2);
    grid->addLayout(files, 5, 1, 1, 2);
    grid->setColumnStretch(1, 1);

    QWidget *order[] = {modeList_, fileEdit_, stepList_->list(), portList_,
                        portEdit_, watchBox_, retriesBox_,       overwriteBox_,
                        traceBox_, soundBox_, reportEdit_,       shaEdit_};
    for (size_t k = 1; k < std::size(order); ++k)
        setTabOrder(order[k - 1], order[k]);
}

// The step selected, as the mode, the file and the SHA-256 show it.
JobStep StationControls::editedStep() const {
    const int item = modeList_->currentIndex();
    JobStep step;
    if (item >= TransferModeCount) {
        step.command = StepCommand::Verify;
        step.mode = TransferMode(int(TransferMode::UploadSoftware) + item - TransferModeCount);
    } else {
        step.mode = TransferMode(item);
        step.command = IsUpload(step.mode) ? StepCommand::Upload : StepCommand::Download;
    }
    step.file = fileEdit_->text().trimmed();
    step.expectSha256 = shaEdit_->text().trimmed();
    return step;
}

void StationControls::stepEdited() {
    if (!showingStep_)
        stepList_->setCurrent(editedStep());
}

void StationControls::stepChosen() {
    const JobStep &step = stepList_->current();
    showingStep_ = true;
    modeList_->setCurrentIndex(itemOf(step));
    fileEdit_->setText(step.file);
    shaEdit_->setText(step.expectSha256);
    showingStep_ = false;
    modeChosen();
}

void StationControls::addStep() {
    if (stepList_->isEnabled() && !running_ && !locked_) {
        stepList_->addStep();
        modeList_->setFocus();
    }
}

void StationControls::fitPortList(int most) {
    portList_->setMaximumHeight(std::max(most, portList_->minimumSizeHint().height()));
}

QWidget *StationControls::firstInput() const {
    return modeList_;
}

QWidget *StationControls::lastInput() const {
    return shaEdit_;
}

// The file button says what its dialog does: Open for a download's or a read-back's image, Save
// for an upload's.
void StationControls::modeChosen() {
    const bool upload = editedStep().command == StepCommand::Upload;
    const QString caption = upload ? QStringLiteral("Save") : QStringLiteral("Open");
    fileButton_->setText(caption);
    fileButton_->setToolTip(QStringLiteral("%1 (Ctrl+O)").arg(caption));
}

// The ports present, each under its COM number where it has one, unchecked: the operator picks.
void StationControls::listPresentPorts() {
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

void StationControls::addPort(const QString &port, bool checked) {
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
    portList_->updateGeometry();
}

QStringList StationControls::chosenPorts() const {
    QStringList ports;
    for (int i = 0; i < portList_->count(); ++i) {
        const QListWidgetItem *item = portList_->item(i);
        if (item->checkState() == Qt::Checked)
            ports << item->data(Qt::UserRole).toString();
    }
    return ports;
}

void StationControls::fillIn(const StationPlan &plan) {
    stepList_->setSteps(plan.steps);
    for (const QString &port : plan.ports)
        addPort(port, true);
    watchBox_->setChecked(plan.watch);
    overwriteBox_->setChecked(plan.overwrite);
    traceBox_->setChecked(plan.trace);
    reportEdit_->setText(plan.report);
    retriesBox_->setValue(plan.retries);
}

StationPlan StationControls::plan() const {
    StationPlan plan;
    plan.steps = stepList_->steps();
    plan.ports = chosenPorts();
    plan.watch = watchBox_->isChecked();
    plan.overwrite = overwriteBox_->isChecked();
    plan.trace = traceBox_->isChecked();
    plan.report = reportEdit_->text().trimmed();
    plan.retries = retriesBox_->value();
    return plan;
}

void StationControls::setRunning(bool running) {
    running_ = running;
    // The set-up: a recipe's stays as it is.
    for (QWidget *input : std::initializer_list<QWidget *>{
             modeList_, fileEdit_, fileButton_, portList_, portEdit_, watchBox_, retriesBox_,
             overwriteBox_, reportEdit_, shaEdit_, recipeButton_})
        input->setEnabled(!running && !locked_);
    stepList_->setEditable(!running && !locked_);
    for (QWidget *input : std::initializer_list<QWidget *>{traceBox_, startButton_, againButton_})
        input->setEnabled(!running);
    stopButton_->setEnabled(running);
}

void StationControls::lock() {
    locked_ = true;
    setRunning(running_);
}

bool StationControls::chooseFile() {
    if (!fileButton_->isEnabled())
        return false;
    const bool upload = editedStep().command == StepCommand::Upload;
    QFileDialog dialog(window(), upload ? QStringLiteral("Save As") : QStringLiteral("Open"));
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
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
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
    return true;
}
