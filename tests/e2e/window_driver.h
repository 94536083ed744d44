#pragma once

// Drives the real window the way an operator does: picks from the lists, answers the file
// dialogs and message boxes, presses the buttons, and records every text the status line shows.

#include "app/form_main.h"
#include "widgets/port_lamp.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>

#include <functional>
#include <memory>

// Runs `answer` on the next modal window to open (a dialog or a message box), from inside the
// modal loop that shows it.
inline void answerNextModal(std::function<void(QWidget *)> answer) {
    auto *timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, answer] {
        if (QWidget *modal = QApplication::activeModalWidget()) {
            timer->stop();
            timer->deleteLater();
            answer(modal);
        }
    });
    timer->start();
}

struct WindowDriver {
    TFormMain form;
    QLineEdit *status = form.findChild<QLineEdit *>("Edit_Start");
    QLineEdit *fileName = form.findChild<QLineEdit *>("Edit_FileName");
    QComboBox *ports = form.findChild<QComboBox *>("CB_Com");
    QComboBox *modes = form.findChild<QComboBox *>("CB_Upg");
    QWidget *panel = form.findChild<QWidget *>("Panel_Main");
    QProgressBar *bar = form.findChild<QProgressBar *>("ProgressBarMain");
    QToolButton *open = form.findChild<QToolButton *>("SB_Open");
    QToolButton *start = form.findChild<QToolButton *>("SB_Sta");
    QToolButton *reset = form.findChild<QToolButton *>("SB_Reset");
    PortLamp *lamp = form.findChild<PortLamp *>("Shape_ComState");
    QStringList shown;
    QStringList errors;
    // Called with every text the status line shows, as it is shown.
    std::function<void(const QString &)> onStatus;

    WindowDriver() {
        QObject::connect(&form, &TFormMain::statusTextShown, [this](const QString &text) {
            shown << text;
            if (onStatus)
                onStatus(text);
        });
        form.show();
        watchErrors();
    }

    void pickMode(int mode) {
        modes->setCurrentIndex(mode);
        emit modes->activated(mode);
    }


    // The file button with the dialog answered by `path`; `cover` answers the question
    // before an existing upload file is covered.
    void chooseFile(const QString &path, QMessageBox::StandardButton cover = QMessageBox::Yes) {
        answerNextModal([path, cover](QWidget *modal) {
            auto *dialog = qobject_cast<QFileDialog *>(modal);
            Q_ASSERT(dialog);
            // Typed into the name field, as an operator would: the dialog's list of the folder
            // may still be loading.
            dialog->setDirectory(QFileInfo(path).absolutePath());
            dialog->findChild<QLineEdit *>("fileNameEdit")->setText(QFileInfo(path).fileName());
            if (QFileInfo::exists(path) && dialog->acceptMode() == QFileDialog::AcceptSave)
                answerNextModal([cover](QWidget *box) {
                    qobject_cast<QMessageBox *>(box)->button(cover)->click();
                });
            QMetaObject::invokeMethod(dialog, "accept");
        });
        open->click();
    }

    // Error boxes are answered with OK as soon as they open; their texts are kept.
    void watchErrors() {
        errorWatch.setInterval(5);
        QObject::connect(&errorWatch, &QTimer::timeout, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (box && box->icon() == QMessageBox::Critical) {
                errors << box->text();
                box->button(QMessageBox::Ok)->click();
            }
        });
        errorWatch.start();
    }
    QTimer errorWatch;

    // Presses Start; returns when the operation has ended.
    void pressStart() {
        shown.clear();
        start->click();
    }

    bool lampIsGreen() const { return lamp->colour() == QColor(0, 255, 0); }
};
