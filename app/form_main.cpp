#include "app/form_main.h"

#include "app/form_layout.h"
#include "app/port_tips.h"
#include "link/comm_error.h"
#include "link/transfer_mode.h"
#include "ops/driver.h"
#include "ops/progress_text.h"
#include "ports/machine_terminals.h"
#include "widgets/bevel_panel.h"
#include "widgets/button_image.h"
#include "widgets/port_lamp.h"
#include "widgets/window_style.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QScreen>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QThread>
#include <QToolButton>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <utility>

namespace {

// The status line repaints at most this often during a transfer.
constexpr qint64 StatusFrameMs = 20;
const QString SettingsFilesFilter = QStringLiteral("Settings Files(*.bin)");
const QString AllFilesFilter = QStringLiteral("All File(*.*)");

QFont arial(int pixels, bool bold = false) {
    return WindowArial(pixels, bold);
}

void setNavy(QWidget *widget) {
    SetNavy(widget);
}

// Both lists show their items 15 pixels high.
class ItemHeightDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), 15};
    }
};

template <class W> W *place(W *widget, const char *name) {
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(PlaceOf(name));
    return widget;
}

QComboBox *makeList(QWidget *parent, const char *name, const QStringList &items) {
    auto *list = place(new QComboBox(parent), name);
    list->setFont(arial(12));
    list->setFrame(false);
    list->setItemDelegate(new ItemHeightDelegate(list));
    list->setMaxVisibleItems(10);
    list->addItems(items);
    return list;
}

QLineEdit *makeField(QWidget *parent, const char *name) {
    auto *field = place(new QLineEdit(parent), name);
    field->setFont(arial(12));
    field->setReadOnly(true);
    field->setFrame(false);
    // Flat: one plain line round a field on the window's own colour, navy text.
    field->setStyleSheet(QStringLiteral("QLineEdit { border: 1px solid palette(dark); "
                                        "background: palette(window); color: #000080; }"));
    return field;
}

BevelPanel *makeFrame(QWidget *parent, const char *name) {
    auto *frame = place(new BevelPanel(parent), name);
    frame->setFont(arial(12));
    setNavy(frame);
    return frame;
}

// A flat button filling its frame panel; it never takes the keyboard focus.
QToolButton *makeButton(BevelPanel *frame, const char *name, const QString &caption,
                        const QString &image, QSize imageSize) {
    auto *button = place(new QToolButton(frame), name);
    StyleFlatButton(button, caption, image, imageSize);
    return button;
}

bool isPattern(const QString &name) {
    return name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?'));
}

// The file dialogs hand back no pattern for a name: an upload would create a file named "data.*",
// a download look for one.
class FileDialog : public QFileDialog {
public:
    using QFileDialog::QFileDialog;

protected:
    void accept() override {
        const QString name = selectedFiles().value(0);
        if (!isPattern(name)) {
            QFileDialog::accept();
            return;
        }
        QMessageBox box(QMessageBox::Warning, windowTitle(),
                        QStringLiteral("%1\nA file name cannot contain * or ?.")
                            .arg(QDir::toNativeSeparators(name)),
                        QMessageBox::Ok, this);
        box.exec();
    }
};

QFileDialog *makeFileDialog(QWidget *parent, const char *name, const QString &title,
                            QFileDialog::AcceptMode mode) {
    auto *dialog = new FileDialog(parent, title);
    dialog->setObjectName(QLatin1String(name));
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    dialog->setAcceptMode(mode);
    // The open dialog takes a name that does not exist: Start reports it.
    dialog->setFileMode(QFileDialog::AnyFile);
    // The save dialog asks nothing itself: the file button asks before covering a file.
    dialog->setOption(QFileDialog::DontConfirmOverwrite);
    dialog->setNameFilters({SettingsFilesFilter, AllFilesFilter});
    dialog->setDefaultSuffix(QStringLiteral("bin"));
    // "*.*" means every file here, names without a dot included; the toolkit would read it as
    // names with a dot only. Queued: the dialog sets its own filter first.
    QObject::connect(
        dialog, &QFileDialog::filterSelected, dialog,
        [dialog](const QString &filter) {
            if (filter != AllFilesFilter)
                return;
            if (auto *model = dialog->findChild<QFileSystemModel *>())
                model->setNameFilters({QStringLiteral("*")});
        },
        Qt::QueuedConnection);
    // A switch of the type list rewrites the extension in the name field to the list's: the
    // chosen "data.bin" would become "data.*". The name stays as it was before the switch.
    auto *fileName = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    auto *types = dialog->findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
    if (fileName && types) {
        auto chosen = std::make_shared<QString>();
        // The list's new index is reported before the dialog rewrites the name.
        QObject::connect(types, &QComboBox::currentIndexChanged, dialog,
                         [fileName, chosen] { *chosen = fileName->text(); });
        QObject::connect(dialog, &QFileDialog::filterSelected, dialog, [fileName, chosen] {
            if (isPattern(fileName->text()) && !isPattern(*chosen))
                fileName->setText(*chosen);
        });
    }
    return dialog;
}

// Enter in a dialog's name field closes the dialog with the name's completion list still up, and
// the toolkit leaves that list shown and open as a popup: it would swallow the window's next click
// and its keys. The window had no popup open when the dialog came up: any open now is a leftover.
void closePopupsLeftOpen() {
    while (QWidget *popup = QApplication::activePopupWidget()) {
        popup->close();
        if (QApplication::activePopupWidget() == popup)
            return;
    }
}

} // namespace

TFormMain::TFormMain(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      line_(MSComm, *this) {
    setObjectName(QStringLiteral("FormMain"));
    setWindowTitle(QLatin1String(Caption));
    SetWindowLook(this);
    resize(ClientWidth, ClientHeight);
    createControls();
    setComPorts([] { return ComPortMap(); });
    // A COM number's device must still be a board's port as it opens (a terminal someone uses
    // is not); one pointed at by hand (TORVANE_COMn) is opened as asked.
    PortCheck check;
    check.judge = NoBoardPortNow;
    MSComm.setPortCheck(check);
    statusHold_.setSingleShot(true);
    connect(&statusHold_, &QTimer::timeout, this, &TFormMain::releaseStatus);
    if (const QScreen *screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    FormCreate(this);
}

namespace {

// The signal that asked the window to end; 0 while none has.
std::atomic<int> endRequested{0};
// The window the program runs, for an end the toolkit makes itself.
TFormMain *endingWindow = nullptr;

void requestEnd(int signal) {
    endRequested.store(signal);
}

} // namespace

TFormMain::~TFormMain() {
    if (endingWindow == this)
        endingWindow = nullptr;
}

void TFormMain::InstallFontSubstitutes() {
    InstallWindowFonts();
}

void TFormMain::createControls() {
    Panel_Main = place(new BevelPanel(this), "Panel_Main");
    Panel_Main->setFont(arial(14, true));

    auto label = [this](const char *name, const char *text) {
        auto *l = place(new QLabel(QLatin1String(text), Panel_Main), name);
        l->setFont(arial(14));
        setNavy(l);
        return l;
    };
    Label1 = label("Label1", "COM:");
    Label2 = label("Label2", "Upgrade:");
    Label3 = label("Label3", "Baudrates:");
    // Created after the label, so it lies over the label's second letter.
    Shape_ComState = place(new PortLamp(Panel_Main), "Shape_ComState");

    QStringList ports;
    for (int i = 1; i <= 10; ++i)
        ports << QStringLiteral("COM.%1").arg(i, 2, 10, QLatin1Char('0'));
    CB_Com = makeList(Panel_Main, "CB_Com", ports);
    portTips_ = new PortTips(CB_Com);
    QStringList modes;
    for (const char *mode : TransferModeNames)
        modes << QLatin1String(mode);
    CB_Upg = makeList(Panel_Main, "CB_Upg", modes);

    Edit_FileName = makeField(Panel_Main, "Edit_FileName");
    Edit_Start = makeField(Panel_Main, "Edit_Start");
    Edit_Bau = makeField(Panel_Main, "Edit_Bau");
    Edit_Bau->setText(QStringLiteral("115200[bps]"));

    ProgressBarMain = place(new QProgressBar(Panel_Main), "ProgressBarMain");
    ProgressBarMain->setRange(0, 100);
    ProgressBarMain->setValue(0);
    ProgressBarMain->setTextVisible(false);
    // The bar lies on the input panel, which is disabled for the whole transfer: it is drawn in
    // its enabled colours all the same.
    QPalette barPalette = ProgressBarMain->palette();
    for (int role = 0; role < QPalette::NColorRoles; ++role)
        barPalette.setColor(QPalette::Disabled, QPalette::ColorRole(role),
                            barPalette.color(QPalette::Active, QPalette::ColorRole(role)));
    ProgressBarMain->setPalette(barPalette);

    Panel3 = makeFrame(Panel_Main, "Panel3");
    SB_Open = makeButton(Panel3, "SB_Open", QStringLiteral("Open"),
                         QStringLiteral(":/torvane/images/open.png"), {16, 15});
    Panel4 = makeFrame(Panel_Main, "Panel4");
    SB_Sta = makeButton(Panel4, "SB_Sta", QStringLiteral("Start"),
                        QStringLiteral(":/torvane/images/start.png"), {16, 16});

    Panel6 = makeFrame(this, "Panel6");
    Panel5 = makeFrame(Panel6, "Panel5");
    SB_Reset = makeButton(Panel5, "SB_Reset", QStringLiteral("Reset"),
                          QStringLiteral(":/torvane/images/reset.png"), {16, 16});
    Panel2 = makeFrame(Panel6, "Panel2");
    SB_Close = makeButton(Panel2, "SB_Close", QStringLiteral("Close"),
                          QStringLiteral(":/torvane/images/close.png"), {20, 20});

    // The buttons take no focus but have keys, said in their tooltips; a key acts as a click
    // (and as nothing while its button is disabled). The keys are the window's own, not the
    // buttons': a caption set anew (Open to Save) takes a button's key with it.
    const std::pair<QToolButton *, QKeySequence> keys[] = {
        {SB_Open, QKeySequence(Qt::CTRL | Qt::Key_O)},
        {SB_Sta, QKeySequence(Qt::Key_F5)},
        {SB_Reset, QKeySequence(Qt::Key_Escape)}};
    for (const auto &[button, key] : keys) {
        connect(new QShortcut(key, this), &QShortcut::activated, button, [button = button] {
            if (button->isEnabled())
                button->animateClick();
        });
        button->setToolTip(QStringLiteral("%1 (%2)").arg(
            button == SB_Open ? QStringLiteral("Open or Save the file") : button->text(),
            key.toString(QKeySequence::NativeText)));
    }

    setTabOrder(CB_Com, CB_Upg);
    setTabOrder(CB_Upg, Edit_FileName);
    setTabOrder(Edit_FileName, Edit_Start);
    setTabOrder(Edit_Start, Edit_Bau);
    CB_Com->setFocus();

    // activated: only the operator's pick runs a list's handler, never a selection from code.
    connect(CB_Com, &QComboBox::activated, this,
            [this] { runHandler([this] { CB_ComSelect(CB_Com); }); });
    connect(CB_Upg, &QComboBox::activated, this,
            [this] { runHandler([this] { CB_UpgSelect(CB_Upg); }); });
    connect(SB_Open, &QToolButton::clicked, this,
            [this] { runHandler([this] { SB_OpenClick(SB_Open); }); });
    connect(SB_Sta, &QToolButton::clicked, this,
            [this] { runHandler([this] { SB_StaClick(SB_Sta); }); });
    connect(SB_Reset, &QToolButton::clicked, this,
            [this] { runHandler([this] { SB_ResetClick(SB_Reset); }); });
    connect(SB_Close, &QToolButton::clicked, this, [this] { SB_CloseClick(SB_Close); });
}

template <class Handler> void TFormMain::runHandler(Handler handler) {
    // An exception through the event loop would end the program: the operator sees it instead,
    // and the window stays usable.
    try {
        handler();
    } catch (const CommError &e) {
        showError(e.message());
    } catch (const std::exception &e) {
        showError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        showError(QStringLiteral("An unexpected error ended the action."));
    }
}

void TFormMain::setComPorts(ComPortSource ports) {
    MSComm.setPortResolver(ComPortResolver(ports));
    portTips_->setSource(std::move(ports));
}

// Progress --------------------------------------------------------------------------------------

void TFormMain::setPortLamp(bool open) {
    Shape_ComState->setOpen(open);
}

void TFormMain::showError(const QString &text, const QString &cause) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok, this);
    // The text says the same whatever went wrong; the cause beside it says what did.
    box.setInformativeText(cause);
    box.exec();
}

void TFormMain::processEvents() {
    QCoreApplication::processEvents();
}

void TFormMain::statusShown(StatusCode code) {
    showStatus(StatusText(code));
}

void TFormMain::fileRefused(FileRefusal reason) {
    showStatus(QLatin1String(FileRefusalText(reason)));
}

void TFormMain::blockDone(const BlockProgress &progress) {
    showStatus(ProgressText(progress));
}

OperationRequest TFormMain::currentRequest() const {
    OperationRequest request;
    request.mode = TransferMode(CB_Upg->currentIndex());
    request.portIndex = CB_Com->currentIndex();
    // The field is empty until a file has been chosen for the current direction.
    if (!Edit_FileName->text().isEmpty())
        request.file = IsUpload(request.mode) ? uploadFileName_ : downloadFileName_;
    request.createNewFile = state_.CreateNewFile;
    return request;
}

void TFormMain::showStatus(const QString &text) {
    // A transfer changes the line several times a block, thousands of blocks a second; laying
    // out and painting each text would cost more than the transfer. Within a frame of the last
    // change the field takes only the newest text, when the frame is over.
    if (statusText_ == text)
        return;
    statusText_ = text;
    emit statusTextShown(text);
    if (!statusHold_.isActive() && statusPainted_.isValid() &&
        statusPainted_.elapsed() < StatusFrameMs)
        statusHold_.start(int(StatusFrameMs - statusPainted_.elapsed()));
    if (statusHold_.isActive()) {
        statusPending_ = true;
        return;
    }
    Edit_Start->setText(text);
    statusPainted_.start();
}

void TFormMain::standStill(int ms) {
    // The window answers nothing meanwhile, but the operator reads the last status throughout.
    statusHold_.stop();
    releaseStatus();
    Edit_Start->repaint();
    QThread::msleep(static_cast<unsigned long>(ms));
}

void TFormMain::releaseStatus() {
    if (statusPending_)
        Edit_Start->setText(statusText_);
    statusPending_ = false;
    statusPainted_.start();
}

void TFormMain::clearStatus() {
    statusHold_.stop();
    statusPending_ = false;
    if (!statusText_.isEmpty()) {
        statusText_.clear();
        emit statusTextShown(statusText_);
    }
    Edit_Start->clear();
}

void TFormMain::Progress(int max, int step) {
    max = qMax(0, max);
    if (ProgressBarMain->minimum() != 0 || ProgressBarMain->maximum() != max) {
        // A new range keeps the position where it fits (the bar itself would reset it).
        const int kept = qBound(0, ProgressBarMain->value(), max);
        ProgressBarMain->setRange(0, max);
        ProgressBarMain->setValue(kept);
    }
    const qint64 position = qint64(qMax(0, ProgressBarMain->value())) + step;
    // The bar's own step: past the maximum it starts again at the minimum.
    ProgressBarMain->setValue(position > max || position < 0 ? 0 : int(position));
    processEvents();
}

void TFormMain::setProgressPosition(int position) {
    ProgressBarMain->setValue(
        qBound(ProgressBarMain->minimum(), position, ProgressBarMain->maximum()));
}

void TFormMain::setInputPanelEnabled(bool enabled) {
    Panel_Main->setEnabled(enabled);
}

// Handlers --------------------------------------------------------------------------------------

void TFormMain::FormCreate(QObject *) {
    clearStatus();
    Edit_FileName->clear();
    CB_Com->setCurrentIndex(0);
    CB_Upg->setCurrentIndex(0);
    state_.CreateNewFile = false;
    state_.OperationAborted = false;
}

void TFormMain::CB_ComSelect(QObject *) {
    OpenPort(line_, CB_Com->currentIndex(), *this);
}

void TFormMain::CB_UpgSelect(QObject *) {
    SB_Open->setText(IsUpload(TransferMode(CB_Upg->currentIndex())) ? QStringLiteral("Save")
                                                                    : QStringLiteral("Open"));
    clearStatus();
    Edit_FileName->clear();
    if (MSComm.PortOpen()) {
        MSComm.setPortOpen(false);
        setPortLamp(false);
    }
    state_.OperationAborted = true;
    setProgressPosition(0);
}

void TFormMain::SB_OpenClick(QObject *) {
    if (!IsUpload(TransferMode(CB_Upg->currentIndex()))) {
        const QString name = runFileDialog(OpenDialog());
        if (name.isEmpty())
            return;
        downloadFileName_ = name;
        Edit_FileName->setText(QDir::toNativeSeparators(name));
        return;
    }
    const QString name = runFileDialog(SaveDialog());
    if (name.isEmpty())
        return;
    const bool exists = QFileInfo::exists(name);
    // Cancel withdraws the whole choice: the field, the flag and the upload's target stay as
    // they were, so an upload never covers a file the operator declined to cover.
    if (exists && !confirmCover())
        return;
    state_.CreateNewFile = !exists;
    uploadFileName_ = name;
    Edit_FileName->setText(QDir::toNativeSeparators(name));
}

QFileDialog *TFormMain::OpenDialog() {
    if (!openDialog_)
        openDialog_ = makeFileDialog(this, "OpenDialog", QStringLiteral("Open Download File"),
                                     QFileDialog::AcceptOpen);
    return openDialog_;
}

QFileDialog *TFormMain::SaveDialog() {
    if (!saveDialog_)
        saveDialog_ = makeFileDialog(this, "SaveDialog", QStringLiteral("Save Upload File"),
                                     QFileDialog::AcceptSave);
    return saveDialog_;
}

QString TFormMain::runFileDialog(QFileDialog *dialog) {
    // Each time it opens, the first filter is in effect.
    dialog->selectNameFilter(SettingsFilesFilter);
    const int result = dialog->exec();
    closePopupsLeftOpen();
    if (result != QDialog::Accepted)
        return {};
    return dialog->selectedFiles().value(0);
}

bool TFormMain::confirmCover() {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"),
                    QStringLiteral("The file has existed, are you sure to cover it?"),
                    QMessageBox::Yes | QMessageBox::Cancel, this);
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::Cancel);
    return box.exec() == QMessageBox::Yes;
}

void TFormMain::SB_ResetClick(QObject *) {
    clearStatus();
    Edit_FileName->clear();
    CB_Com->setCurrentIndex(0);
    CB_Upg->setCurrentIndex(0);
    SB_Open->setText(QStringLiteral("Open"));
    Panel_Main->setEnabled(true);
    state_.OperationAborted = true;
    if (MSComm.PortOpen()) {
        MSComm.setPortOpen(false);
        setPortLamp(false);
    }
    state_.ImageFileHandle.reset();
}

void TFormMain::SB_StaClick(QObject *) {
    const OperationResult result =
        RunOperation(line_, state_, currentRequest(), *this, [this] { return currentRequest(); });
    // The upload's own file now: the next upload to the same choice covers it.
    if (result.succeeded() && IsUpload(TransferMode(CB_Upg->currentIndex())))
        state_.CreateNewFile = false;
}

void TFormMain::SB_CloseClick(QObject *) {
    // At once, even in the middle of a transfer that runs inside another handler: the port is
    // let go first (its exclusive mode and its lock file, which another program would otherwise
    // meet), and the end of the process releases the files.
    MSComm.setPortOpen(false);
    std::_Exit(0);
}

void TFormMain::endInOrder() {
    struct sigaction action {};
    action.sa_handler = requestEnd;
    sigemptyset(&action.sa_mask);
    // A second signal while the first is being handled ends the program at once.
    action.sa_flags = SA_RESETHAND;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        struct sigaction before {};
        // Under nohup a hangup stays ignored, and so does a Ctrl-C a shell's background job
        // was started without.
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
    // Looked at on the window's thread: an operation's polls let it run, as they let Close.
    connect(&endWatch_, &QTimer::timeout, this, [this] {
        if (endRequested.load() != 0)
            SB_CloseClick(this);
    });
    endWatch_.start(100);
    // The toolkit ends the process itself when its display goes away.
    endingWindow = this;
    std::atexit([] {
        if (endingWindow)
            endingWindow->MSComm.setPortOpen(false);
    });
}

void TFormMain::WMShowInstance() {
    if (windowState() & Qt::WindowMinimized)
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    // The window the operator last worked in: an open dialog or box over the window, if any.
    QWidget *target = QApplication::activeModalWidget();
    if (!target)
        target = this;
    if (!target->isVisible() || !target->isEnabled())
        return;
    target->raise();
    target->activateWindow();
}

void TFormMain::resizeEvent(QResizeEvent *event) {
    // The top panel keeps its height; the bottom panel takes the rest; controls stay put.
    Panel_Main->setGeometry(0, 0, width(), TopPanelHeight);
    Panel6->setGeometry(0, TopPanelHeight, width(), qMax(0, height() - TopPanelHeight));
    QWidget::resizeEvent(event);
}

void TFormMain::closeEvent(QCloseEvent *event) {
    // The close box in the middle of an operation: the operation runs inside a handler and
    // would go on in a window no longer shown; end as Close does.
    if (state_.OperationRunning)
        SB_CloseClick(this);
    event->accept();
}
