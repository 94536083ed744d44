#pragma once

#include "station/job_step.h"

#include <QList>
#include <QWidget>

class QListWidget;
class QToolButton;

// The job's steps in the set-up, in order, one line each; the one selected is the one the
// set-up's mode, file and SHA-256 show and change. Add (Insert), Remove (Delete) and Up and Down
// (Ctrl+Up, Ctrl+Down) change the list, by key where it has the keyboard or by its buttons.
class StepList : public QWidget {
    Q_OBJECT
public:
    explicit StepList(QWidget *parent = nullptr);

    // Shows `steps` (one step with no file when none), the first selected.
    void setSteps(const QList<JobStep> &steps);
    QList<JobStep> steps() const { return steps_; }
    const JobStep &current() const { return steps_[current_]; }
    int currentIndex() const { return current_; }
    // The set-up changed the selected step.
    void setCurrent(const JobStep &step);

    // After the selected step: a read-back of its image where it is a download that can be read
    // back, else a download with no file yet. It is then selected.
    void addStep();
    // The selected step, while another is left.
    void removeStep();
    // The selected step `by` places up (negative) or down, as far as there are.
    void moveStep(int by);
    void setEditable(bool editable);

    QListWidget *list() const { return list_; }

signals:
    // Another step was selected, or the list changed: the set-up shows the selected one.
    void currentChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void show();
    void select(int index);

    QList<JobStep> steps_;
    int current_ = 0;
    bool editable_ = true;
    QListWidget *list_ = nullptr;
    QList<QToolButton *> buttons_;
};

// A step as its line shows it: "2. Verify Software  sw.bin  SHA-256 3fa9…".
QString StepLine(int index, const JobStep &step);
