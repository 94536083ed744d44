#pragma once

#include "ports/com_port_map.h"
#include "station/job_step.h"
#include "station/station_plan.h"
#include "widgets/bevel_panel.h"

#include <QStringList>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QSpinBox;
class QToolButton;
class StepList;

// The set-up at the top of the station's window: the job's steps, the selected one's mode, file
// and expected SHA-256, the ports, Watch, Retries, Overwrite, Trace, Sound and the report; Start,
// Stop, Again and Save recipe beside them.
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
    // Asks for the selected step's file: to open for a download or a read-back, to save to for an
    // upload. Returns whether the operator chose one.
    bool chooseFile();
    // Adds a step after the one selected (Ctrl+T), and gives its mode the keyboard.
    void addStep();

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
    void makeInputs();
    void makeButtons();
    void layOut();
    JobStep editedStep() const;
    // The mode, the file or the SHA-256 changed: so does the step selected.
    void stepEdited();
    // Another step was selected: the mode, the file and the SHA-256 show it.
    void stepChosen();
    void listPresentPorts();
    void addPort(const QString &port, bool checked);
    QStringList chosenPorts() const;
    void modeChosen();

    ComPortSource comPorts_;
    QComboBox *modeList_ = nullptr;
    QLineEdit *fileEdit_ = nullptr;
    StepList *stepList_ = nullptr;
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
    BevelPanel *fileFrame_ = nullptr;
    BevelPanel *startFrame_ = nullptr;
    BevelPanel *stopFrame_ = nullptr;
    BevelPanel *againFrame_ = nullptr;
    BevelPanel *recipeFrame_ = nullptr;
    bool showingStep_ = false; // the step's fields are being filled in from the list
    bool running_ = false;
    bool locked_ = false;
};
