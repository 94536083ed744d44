#pragma once

#include "ports/com_port_map.h"
#include "station/station_arguments.h"
#include "widgets/bevel_panel.h"

#include <QStringList>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QToolButton;

// The set-up at the top of the station's window: the mode, the file, the ports, Watch,
// Overwrite, Trace, Sound and the report; Start, Stop and Again beside them.
class StationControls : public BevelPanel {
    Q_OBJECT
public:
    explicit StationControls(ComPortSource comPorts, QWidget *parent = nullptr);

    void fillIn(const StationPlan &plan);
    // The set-up as filled in, unchecked.
    StationPlan plan() const;
    // While boards run only Stop works; after, all but Stop.
    void setRunning(bool running);
    // Asks for the file: to open for a download, to save to for an upload. Returns whether the
    // operator chose one.
    bool chooseFile();

    // The ports' list takes no more than this of the window's height: the rows need it more.
    void fitPortList(int most);

    QCheckBox *soundBox() const { return soundBox_; }
    QWidget *lastInput() const;
    QWidget *firstInput() const;

signals:
    void startClicked();
    void stopClicked();
    void againClicked();
    void fileClicked();

private:
    void listPresentPorts();
    void addPort(const QString &port, bool checked);
    QStringList chosenPorts() const;
    void modeChosen();

    ComPortSource comPorts_;
    QComboBox *modeList_ = nullptr;
    QLineEdit *fileEdit_ = nullptr;
    QToolButton *fileButton_ = nullptr;
    QListWidget *portList_ = nullptr;
    QLineEdit *portEdit_ = nullptr;
    QCheckBox *watchBox_ = nullptr;
    QCheckBox *overwriteBox_ = nullptr;
    QCheckBox *traceBox_ = nullptr;
    QCheckBox *soundBox_ = nullptr;
    QLineEdit *reportEdit_ = nullptr;
    QToolButton *startButton_ = nullptr;
    QToolButton *stopButton_ = nullptr;
    QToolButton *againButton_ = nullptr;
};
