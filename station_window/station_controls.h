#pragma once

#include "ports/com_port_map.h"
#include "station/station_plan.h"
#include "widgets/bevel_panel.h"

#include <QStringList>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QSpinBox;
class QToolButton;

// The set-up at the top of the station's window: the mode, the file, the ports, Watch, Retries,
// Overwrite, Trace, Sound, the report and the image's expected SHA-256; Start, Stop, Again and
// Save recipe beside them.
class StationControls : public BevelPanel {
    Q_OBJECT
public:
    explicit StationControls(ComPortSource comPorts, QWidget *parent = nullptr);

    void fillIn(const StationPlan &plan);
    // The set-up as filled in, unchecked.
    StationPlan plan() const;
    // While boards run only Stop works; after, all but Stop.
    void setRunning(bool running);
    // A recipe's set-up: the mode, the file, the ports, the report and the rest of the set-up
    // cannot change; Start, Stop, Again, Trace and Sound work.
    void lock();
    bool locked() const { return locked_; }
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
    void saveRecipeClicked();

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
    QSpinBox *retriesBox_ = nullptr;
    QLineEdit *reportEdit_ = nullptr;
    QLineEdit *shaEdit_ = nullptr;
    QToolButton *startButton_ = nullptr;
    QToolButton *stopButton_ = nullptr;
    QToolButton *againButton_ = nullptr;
    QToolButton *recipeButton_ = nullptr;
    bool running_ = false;
    bool locked_ = false;
};
