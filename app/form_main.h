#pragma once

#include "link/line.h"
#include "link/tmscomm.h"
#include "ops/operation_request.h"
#include "ops/panel_view.h"
#include "ops/progress_sink.h"
#include "ops/transfer_state.h"
#include "ports/com_port_map.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

class BevelPanel;
class PortLamp;
class PortTips;
class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QProgressBar;
class QToolButton;

// The tool's one window: the port, mode and file inputs, the status line, the progress bar and
// the four buttons. It hosts the serial component and shows the operations' progress.
class TFormMain : public QWidget, public ProgressSink, public PanelView {
    Q_OBJECT
public:
    static constexpr const char *Caption = "TORVANE 1.0.07B-R002";

    explicit TFormMain(QWidget *parent = nullptr);
    ~TFormMain() override;

    // The window's faces, found under the names it asks for: set once, at start-up.
    static void InstallFontSubstitutes();

    // ProgressSink
    void processEvents() override;
    void statusShown(StatusCode code) override;
    void fileRefused(FileRefusal reason) override;
    void blockDone(const BlockProgress &progress) override;
    void Progress(int max, int step) override;
    void showError(const QString &text, const QString &cause = QString()) override;
    void standStill(int ms) override;
    PanelView *panel() override { return this; }

    // PanelView
    void setProgressPosition(int position) override;
    void setInputPanelEnabled(bool enabled) override;
    void setPortLamp(bool open) override;

    // What the operator has chosen on the window as it stands now.
    OperationRequest currentRequest() const;

    // Handlers. Each is what the operator's action runs; the window calls them through
    // runHandler, so that no error of theirs reaches the event loop.
    void FormCreate(QObject *Sender);
    void CB_ComSelect(QObject *Sender);
    void CB_UpgSelect(QObject *Sender);
    void SB_OpenClick(QObject *Sender);
    void SB_ResetClick(QObject *Sender);
    void SB_StaClick(QObject *Sender);
    [[noreturn]] void SB_CloseClick(QObject *Sender);

    // A second start of the program asked this one to come forward.
    void WMShowInstance();

    // SIGTERM, SIGINT and SIGHUP end the program as Close does, and so does an end the toolkit
    // makes itself (the display gone): every way out lets go of the port and its lock file. For
    // the window the program runs, once.
    void endInOrder();

    // Where the port list's numbers lead, asked again whenever a port opens or the list opens.
    // Until main() gives the system's, they lead nowhere.
    void setComPorts(ComPortSource ports);

    TMSComm MSComm;
    // What the status line says: the field itself catches up within a frame during a transfer.
    QString statusText() const { return statusText_; }
    // A text waits for the frame's end before the field shows it.
    bool statusHeldBack() const { return statusHold_.isActive(); }
    TransferState &state() { return state_; }
    Line &line() { return line_; }
    // The file dialogs, made when first needed: most sessions open one of them once, if at all.
    QFileDialog *OpenDialog();
    QFileDialog *SaveDialog();

signals:
    // Every text the status line is given, in order, as the operation shows it.
    void statusTextShown(const QString &text);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    template <class Handler> void runHandler(Handler handler);
    void showStatus(const QString &text);
    // Runs the dialog; the full name confirmed, or empty when the operator cancelled.
    QString runFileDialog(QFileDialog *dialog);
    bool confirmCover();
    void releaseStatus();
    void clearStatus();

    TransferState state_;
    Line line_;
    QFileDialog *openDialog_ = nullptr;
    QFileDialog *saveDialog_ = nullptr;
    QString downloadFileName_;
    QString uploadFileName_;
    QString statusText_;
    bool statusPending_ = false;
    QTimer statusHold_;
    QElapsedTimer statusPainted_;
    QTimer endWatch_;

    BevelPanel *Panel_Main = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    PortLamp *Shape_ComState = nullptr;
    QComboBox *CB_Com = nullptr;
    PortTips *portTips_ = nullptr;
    QComboBox *CB_Upg = nullptr;
    QLineEdit *Edit_FileName = nullptr;
    QLineEdit *Edit_Start = nullptr;
    QLineEdit *Edit_Bau = nullptr;
    QProgressBar *ProgressBarMain = nullptr;
    BevelPanel *Panel3 = nullptr;
    QToolButton *SB_Open = nullptr;
    BevelPanel *Panel4 = nullptr;
    QToolButton *SB_Sta = nullptr;
    BevelPanel *Panel6 = nullptr;
    BevelPanel *Panel5 = nullptr;
    QToolButton *SB_Reset = nullptr;
    BevelPanel *Panel2 = nullptr;
    QToolButton *SB_Close = nullptr;
};
