// The real window on the offscreen platform: the test picks from its lists, clicks its buttons
// and answers its dialogs and boxes as the operator would.
#include "app/form_layout.h"
#include "app/form_main.h"
#include "link/lock_file.h"
#include "ports/com_numbering.h"
#include "support/pty_pair.h"
#include "widgets/port_lamp.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <unistd.h>
#include <utility>

namespace {

const QColor Red(255, 0, 0);
const QColor Lime(0, 255, 0);
const QString PortInUse = QStringLiteral("The Port you selected is used by other application!");

// Answers the next modal window that comes up (a box or a dialog) with `act`.
class ModalAnswer {
public:
    explicit ModalAnswer(std::function<void(QWidget *)> act) : act_(std::move(act)) {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal || !modal->isVisible())
                return;
            timer_.stop();
            seen_ = true;
            act_(modal);
            // A check that failed inside must not leave the window waiting for an answer.
            if (QTest::currentTestFailed() && modal->isVisible())
                modal->close();
        });
        timer_.start();
    }
    bool seen() const { return seen_; }

private:
    std::function<void(QWidget *)> act_;
    QTimer timer_;
    bool seen_ = false;
};

struct BoxSeen {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString cause; // beside the text
};

// Records a message box and presses one of its buttons.
std::function<void(QWidget *)> pressInBox(QMessageBox::StandardButton button, BoxSeen *seen) {
    return [=](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        QVERIFY2(box, "a message box was expected");
        *seen = {box->windowTitle(), box->text(), box->icon(), box->informativeText()};
        QTest::mouseClick(box->button(button), Qt::LeftButton);
    };
}

// Types a name into a file dialog and confirms it, or cancels the dialog when `name` is empty.
std::function<void(QWidget *)> answerFileDialog(const QString &name, QString *title) {
    return [=](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        QVERIFY2(dialog, "a file dialog was expected");
        *title = dialog->windowTitle();
        if (name.isEmpty()) {
            QTest::keyClick(dialog, Qt::Key_Escape);
            return;
        }
        auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        QVERIFY(edit);
        edit->clear();
        QTest::keyClicks(edit, name);
        QTest::keyClick(edit, Qt::Key_Return);
    };
}

// Keys as the window system delivers them: to the window, which hands them to its open popup
// first, if any.
void typeIn(QWidget *window, const char *text) {
    for (const char *c = text; *c; ++c)
        QTest::keyClick(window->windowHandle(), *c);
}

QColor lampColour(QWidget *lamp) {
    return lamp->grab().toImage().pixelColor(lamp->width() / 2, lamp->height() / 2);
}

} // namespace

class TestFormMain : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void stateAfterStart();
    void controlsStandWhereTheLayoutPutsThem();
    void resizeKeepsControlsInPlace();
    void buttonsNeverTakeTheFocus();
    void disabledCaptions_data();
    void disabledCaptions();

    void modeChange_data();
    void modeChange();
    void resetAfterAnUploadMode();
    void ctrlOThroughEveryCaption();

    void fileButton_data();
    void fileButton();

    void allFilesListsEveryFile();
    void clickActsAfterATypedName();
    void noPatternForAName();

    void statusLineRepaintsAfterABurst();
    void progressSteps_data();
    void progressSteps();
    void progressBarKeepsItsColoursWhileTheInputsAreDisabled();

    void pickingAMissingPort();
    void pickingAPortOnAPty();
    void portListSaysWhereEachNumberLeads();
    void closeEndsTheProgramMidOperation_data();
    void closeEndsTheProgramMidOperation();

private:
    template <class T = QWidget> T *child(const char *name) const {
        T *widget = window->findChild<T *>(QLatin1String(name));
        if (!widget)
            qFatal("no control %s", name);
        return widget;
    }
    // The operator opens the list and clicks the item.
    void pick(const char *list, int index);
    void clickButton(const char *name) { QTest::mouseClick(child(name), Qt::LeftButton); }
    QString fileNameField() const { return child<QLineEdit>("Edit_FileName")->text(); }
    // A click as the window system delivers it: to the window, where an open popup takes it
    // first.
    void clickInWindow(const char *name) {
        QWidget *target = child(name);
        QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {},
                          target->mapTo(window.get(), target->rect().center()));
    }

    ComOverrides devices; // where each COM number leads
    std::unique_ptr<TFormMain> window;
    std::unique_ptr<PtyPair> pty;
    QTemporaryDir dir;
};

void TestFormMain::init() {
    pty = std::make_unique<PtyPair>();
    devices = {{2, pty->slavePath()}, {3, "/dev/torvane-no-such-device"}};
    window = std::make_unique<TFormMain>();
    window->setComPorts([this] { return PointedComPorts(devices); });
    window->show();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
}

void TestFormMain::cleanup() {
    window.reset();
    pty.reset();
}

void TestFormMain::pick(const char *list, int index) {
    auto *box = child<QComboBox>(list);
    box->showPopup();
    QAbstractItemView *view = box->view();
    QTRY_VERIFY(view->isVisible());
    const QRect item = view->visualRect(box->model()->index(index, 0));
    QVERIFY(view->viewport()->rect().contains(item.center()));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, item.center());
}

void TestFormMain::stateAfterStart() {
    QCOMPARE(window->windowTitle(), QStringLiteral("TORVANE 1.0.07B-R002"));
    QCOMPARE(window->size(), QSize(447, 168));
    const Qt::WindowFlags flags = window->windowFlags();
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));

    auto *com = child<QComboBox>("CB_Com");
    auto *upg = child<QComboBox>("CB_Upg");
    QCOMPARE(com->count(), 10);
    QCOMPARE(com->itemText(0), QStringLiteral("COM.01"));
    QCOMPARE(com->itemText(9), QStringLiteral("COM.10"));
    QCOMPARE(com->maxVisibleItems(), 10);
    const QStringList modes{"Download Software", "Download Data", "Download Default",
                            "Download Loader",   "Download All",  "Upload Software",
                            "Upload Data",       "Upload Default"};
    QCOMPARE(upg->count(), modes.size());
    for (int i = 0; i < modes.size(); ++i)
        QCOMPARE(upg->itemText(i), modes[i]);
    QCOMPARE(com->currentText(), QStringLiteral("COM.01"));
    QCOMPARE(upg->currentText(), QStringLiteral("Download Software"));

    QVERIFY(child<QLineEdit>("Edit_FileName")->text().isEmpty());
    QVERIFY(child<QLineEdit>("Edit_Start")->text().isEmpty());
    QCOMPARE(child<QLineEdit>("Edit_Bau")->text(), QStringLiteral("115200[bps]"));
    for (const char *field : {"Edit_FileName", "Edit_Start", "Edit_Bau"})
        QVERIFY(child<QLineEdit>(field)->isReadOnly());
    auto *bar = child<QProgressBar>("ProgressBarMain");
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(child<QToolButton>("SB_Open")->text(), QStringLiteral("Open"));
    QCOMPARE(lampColour(child("Shape_ComState")), Red);
    QVERIFY(!window->MSComm.PortOpen());
    QVERIFY(!window->state().CreateNewFile);
    QVERIFY(!window->state().OperationAborted);
    QCOMPARE(QApplication::focusWidget(), com);
    // The lists' item height and the buttons' images.
    QCOMPARE(com->view()->sizeHintForRow(0), 15);
    QVERIFY(!child<QToolButton>("SB_Close")->icon().isNull());
    QVERIFY(!window->windowIcon().isNull());
}

void TestFormMain::controlsStandWhereTheLayoutPutsThem() {
    QCOMPARE(window->size(), QSize(ClientWidth, ClientHeight));
    for (const ControlPlace &place : FormLayout) {
        const QWidget *widget = child(place.name);
        QVERIFY2(widget->isVisible(), place.name);
        QCOMPARE(widget->geometry(), place.geometry);
        // Arial itself, or a face with Arial's metrics: another face would not fit the places.
        const QString family = QFontInfo(widget->font()).family();
        QVERIFY2(QStringList({"Arial", "Liberation Sans", "Arimo"}).contains(family),
                 qPrintable(family));
    }
}

void TestFormMain::resizeKeepsControlsInPlace() {
    window->resize(600, 300);
    QCOMPARE(child("Panel_Main")->geometry(), QRect(0, 0, 600, TopPanelHeight));
    QCOMPARE(child("Panel6")->geometry(), QRect(0, TopPanelHeight, 600, 300 - TopPanelHeight));
    for (const char *name : {"CB_Com", "Edit_Start", "Panel2"})
        QCOMPARE(child(name)->geometry(), PlaceOf(name));
    window->resize(ClientWidth, ClientHeight);
    QCOMPARE(child("Panel6")->geometry(), PlaceOf("Panel6"));
}

void TestFormMain::buttonsNeverTakeTheFocus() {
    auto *com = child<QComboBox>("CB_Com");
    QCOMPARE(QApplication::focusWidget(), com);
    for (const char *name : {"SB_Open", "SB_Sta", "SB_Reset", "SB_Close"})
        QCOMPARE(child(name)->focusPolicy(), Qt::NoFocus);
    clickButton("SB_Reset");
    QCOMPARE(QApplication::focusWidget(), com);
    // Tab walks the lists and fields only.
    QTest::keyClick(com, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), child("CB_Upg"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), child("Edit_FileName"));

    // Their keys act wherever the focus is, and their tooltips say them.
    for (const auto &[name, key] :
         {std::pair{"SB_Open", "Ctrl+O"}, std::pair{"SB_Sta", "F5"}, std::pair{"SB_Reset", "Esc"}})
        QVERIFY2(child(name)->toolTip().contains(QLatin1String(key)),
                 qPrintable(child(name)->toolTip()));
    window->OpenDialog()->setDirectory(dir.path());
    QString title;
    ModalAnswer answer(answerFileDialog(QStringLiteral("keyed.bin"), &title));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_O, Qt::ControlModifier);
    QTRY_VERIFY(answer.seen());
    QTRY_COMPARE(fileNameField(), dir.filePath("keyed.bin"));
}

void TestFormMain::progressBarKeepsItsColoursWhileTheInputsAreDisabled() {
    auto *bar = child<QProgressBar>("ProgressBarMain");
    window->setProgressPosition(50);
    const QImage enabled = bar->grab().toImage();
    window->setInputPanelEnabled(false);
    QVERIFY(!bar->isEnabled());
    QCOMPARE(bar->grab().toImage(), enabled);
}

void TestFormMain::disabledCaptions_data() {
    QTest::addColumn<QString>("name");
    for (const char *name : {"SB_Open", "SB_Sta", "Label1", "Label2", "Label3"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestFormMain::disabledCaptions() {
    QFETCH(QString, name);
    QWidget *control = child(qPrintable(name));
    // Navy and its blends into the background: blue well above red and green.
    auto navyPixels = [control] {
        const QImage image = control->grab().toImage();
        int count = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                count += c.blue() > qMax(c.red(), c.green()) + 40;
            }
        }
        return count;
    };
    QVERIFY(navyPixels() > 0);
    // Greyed with the lists and the images while an operation runs.
    window->setInputPanelEnabled(false);
    QCOMPARE(navyPixels(), 0);
    window->setInputPanelEnabled(true);
    QVERIFY(navyPixels() > 0);
}

void TestFormMain::modeChange_data() {
    QTest::addColumn<QList<int>>("picks");
    QTest::addColumn<QString>("caption");
    QTest::newRow("Upload Data") << QList<int>{6} << "Save";
    QTest::newRow("Upload Software") << QList<int>{5} << "Save";
    QTest::newRow("Upload Default") << QList<int>{7} << "Save";
    QTest::newRow("Download All") << QList<int>{4} << "Open";
    QTest::newRow("Upload Data, then Download All") << QList<int>{6, 4} << "Open";
    QTest::newRow("Download Software again") << QList<int>{0} << "Open";
}

void TestFormMain::modeChange() {
    QFETCH(QList<int>, picks);
    QFETCH(QString, caption);
    pick("CB_Com", 1);
    QVERIFY(window->MSComm.PortOpen());
    QCOMPARE(lampColour(child("Shape_ComState")), Lime);
    child<QLineEdit>("Edit_FileName")->setText(QStringLiteral("/tmp/image.bin"));
    window->statusShown(StatusCode::Transfer);
    for (int i = 0; i < 5; ++i)
        window->Progress(10, 1);

    for (int mode : picks)
        pick("CB_Upg", mode);

    QCOMPARE(child<QComboBox>("CB_Upg")->currentIndex(), picks.last());
    QCOMPARE(child<QToolButton>("SB_Open")->text(), caption);
    QVERIFY(child<QLineEdit>("Edit_FileName")->text().isEmpty());
    QVERIFY(child<QLineEdit>("Edit_Start")->text().isEmpty());
    QCOMPARE(child<QProgressBar>("ProgressBarMain")->value(), 0);
    QVERIFY(!window->MSComm.PortOpen());
    QCOMPARE(lampColour(child("Shape_ComState")), Red);
    QVERIFY(window->state().OperationAborted);
    QCOMPARE(child<QComboBox>("CB_Com")->currentIndex(), 1);
}

void TestFormMain::resetAfterAnUploadMode() {
    pick("CB_Upg", 6);
    pick("CB_Com", 1);
    QVERIFY(window->MSComm.PortOpen());
    window->blockDone({Phase::Upload, 43, 100, 42, 99});
    child<QLineEdit>("Edit_FileName")->setText(QStringLiteral("/tmp/upload.bin"));
    for (int i = 0; i < 3; ++i)
        window->Progress(10, 1);
    window->setInputPanelEnabled(false);
    window->state().ImageFileHandle = std::make_unique<QFile>(dir.filePath("image.bin"));
    QVERIFY(window->state().ImageFileHandle->open(QIODevice::WriteOnly));

    clickButton("SB_Reset");

    QCOMPARE(child<QComboBox>("CB_Com")->currentText(), QStringLiteral("COM.01"));
    QCOMPARE(child<QComboBox>("CB_Upg")->currentText(), QStringLiteral("Download Software"));
    QCOMPARE(child<QToolButton>("SB_Open")->text(), QStringLiteral("Open"));
    QVERIFY(child<QLineEdit>("Edit_FileName")->text().isEmpty());
    QVERIFY(child<QLineEdit>("Edit_Start")->text().isEmpty());
    QVERIFY(child("Panel_Main")->isEnabled());
    QVERIFY(window->state().OperationAborted);
    // Selecting COM.01 from code ran no handler: the port stays closed.
    QVERIFY(!window->MSComm.PortOpen());
    QCOMPARE(lampColour(child("Shape_ComState")), Red);
    QVERIFY(!window->state().ImageFileHandle);
    QCOMPARE(child<QProgressBar>("ProgressBarMain")->value(), 3);
}

void TestFormMain::ctrlOThroughEveryCaption() {
    // Ctrl+O opens the dialog of the mode's direction, and the test cancels it.
    const auto ctrlO = [this](const QString &expected) {
        QString title;
        ModalAnswer answer(answerFileDialog(QString(), &title));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_O, Qt::ControlModifier);
        QTRY_VERIFY(answer.seen());
        QCOMPARE(title, expected);
    };
    pick("CB_Upg", 6);
    QCOMPARE(child<QToolButton>("SB_Open")->text(), QStringLiteral("Save"));
    ctrlO(QStringLiteral("Save Upload File"));
    // The offscreen platform leaves the dialog the active window once it has gone.
    QApplication::setActiveWindow(window.get());
    clickButton("SB_Reset");
    ctrlO(QStringLiteral("Open Download File"));
}

void TestFormMain::fileButton_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("typed");    // empty: the dialog is cancelled
    QTest::addColumn<int>("answer");       // to the overwrite question; NoButton: none expected
    QTest::addColumn<QString>("expected"); // the file name shown afterwards
    QTest::addColumn<bool>("createNew");

    const int none = QMessageBox::NoButton;
    // Before each row the operator has already chosen "earlier.bin" (a new file) in the mode.
    QTest::newRow("download: existing file")
        << 0 << "existing.bin" << none << "existing.bin" << true;
    QTest::newRow("download: name without extension")
        << 3 << "fresh" << none << "fresh.bin" << true;
    QTest::newRow("download: cancelled") << 0 << "" << none << "earlier.bin" << true;
    QTest::newRow("upload: new name") << 6 << "new.bin" << none << "new.bin" << true;
    QTest::newRow("upload: new name without extension") << 5 << "new" << none << "new.bin" << true;
    QTest::newRow("upload: existing, Yes")
        << 6 << "existing.bin" << int(QMessageBox::Yes) << "existing.bin" << false;
    QTest::newRow("upload: existing, Cancel")
        << 7 << "existing.bin" << int(QMessageBox::Cancel) << "earlier.bin" << true;
    QTest::newRow("upload: existing, Escape")
        << 6 << "existing.bin" << int(QMessageBox::Escape) << "earlier.bin" << true;
    QTest::newRow("upload: cancelled") << 6 << "" << none << "earlier.bin" << true;
}

void TestFormMain::fileButton() {
    QFETCH(int, mode);
    QFETCH(QString, typed);
    QFETCH(int, answer);
    QFETCH(QString, expected);
    QFETCH(bool, createNew);
    QFile existing(dir.filePath("existing.bin"));
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.write("keep me");
    existing.close();
    const bool upload = mode > 4;
    pick("CB_Upg", mode);
    QCOMPARE(child<QToolButton>("SB_Open")->text(), upload ? "Save" : "Open");
    QFileDialog *dialog = upload ? window->SaveDialog() : window->OpenDialog();
    dialog->setDirectory(dir.path());

    QString title;
    {
        ModalAnswer answerDialog(answerFileDialog(QStringLiteral("earlier.bin"), &title));
        clickButton("SB_Open");
        QVERIFY(answerDialog.seen());
    }
    QCOMPARE(title, upload ? "Save Upload File" : "Open Download File");
    QCOMPARE(fileNameField(), dir.filePath("earlier.bin"));
    QCOMPARE(window->state().CreateNewFile, upload);

    BoxSeen box;
    {
        ModalAnswer answerDialog(answerFileDialog(typed, &title));
        std::unique_ptr<ModalAnswer> answerBox;
        auto watchForBox = [&] {
            if (answer != QMessageBox::NoButton && !answerBox) {
                if (answer == QMessageBox::Escape)
                    answerBox = std::make_unique<ModalAnswer>([&box](QWidget *modal) {
                        auto *question = qobject_cast<QMessageBox *>(modal);
                        box = {question->windowTitle(), question->text(), question->icon(),
                               question->informativeText()};
                        QTest::keyClick(modal, Qt::Key_Escape);
                    });
                else
                    answerBox = std::make_unique<ModalAnswer>(
                        pressInBox(QMessageBox::StandardButton(answer), &box));
            }
        };
        // The question comes up once the dialog has gone.
        connect(dialog, &QDialog::finished, this, watchForBox);
        clickButton("SB_Open");
        disconnect(dialog, &QDialog::finished, this, nullptr);
        QVERIFY(answerDialog.seen());
        if (answer != QMessageBox::NoButton)
            QVERIFY(answerBox && answerBox->seen());
    }
    if (answer != QMessageBox::NoButton) {
        QCOMPARE(box.title, QStringLiteral("Confirm"));
        QCOMPARE(box.text, QStringLiteral("The file has existed, are you sure to cover it?"));
        QCOMPARE(box.icon, QMessageBox::Question);
    } else {
        QVERIFY(box.title.isEmpty());
    }
    QCOMPARE(fileNameField(), dir.filePath(expected));
    QCOMPARE(window->currentRequest().file, dir.filePath(expected));
    if (upload)
        QCOMPARE(window->state().CreateNewFile, createNew);
    // The file the operator declined to cover is untouched.
    QVERIFY(existing.open(QIODevice::ReadOnly));
    QCOMPARE(existing.readAll(), QByteArray("keep me"));
    // A change of mode clears the choice.
    pick("CB_Upg", mode);
    QVERIFY(fileNameField().isEmpty());
    QVERIFY(window->currentRequest().file.isEmpty());
}

void TestFormMain::allFilesListsEveryFile() {
    QTemporaryDir folder;
    for (const char *name : {"image.bin", "notes.txt", "noext"}) {
        QFile file(folder.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    window->OpenDialog()->setDirectory(folder.path());
    auto listed = [](QFileDialog *dialog) {
        auto *view = dialog->findChild<QAbstractItemView *>(QStringLiteral("listView"));
        QStringList names;
        for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row)
            names << view->model()->index(row, 0, view->rootIndex()).data().toString();
        names.sort();
        return names;
    };
    for (int round = 0; round < 2; ++round) {
        ModalAnswer answer([&](QWidget *modal) {
            auto *dialog = qobject_cast<QFileDialog *>(modal);
            QVERIFY(dialog);
            // Each time the dialog opens, the first filter is in effect.
            QCOMPARE(dialog->selectedNameFilter(), QStringLiteral("Settings Files(*.bin)"));
            QTRY_COMPARE(listed(dialog), QStringList{"image.bin"});
            auto *types = dialog->findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
            QVERIFY(types);
            QTest::keyClick(types, Qt::Key_Down);
            QCOMPARE(dialog->selectedNameFilter(), QStringLiteral("All File(*.*)"));
            QTRY_COMPARE(listed(dialog), (QStringList{"image.bin", "noext", "notes.txt"}));
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        clickButton("SB_Open");
        QVERIFY(answer.seen());
    }
    QVERIFY(fileNameField().isEmpty());
}

void TestFormMain::clickActsAfterATypedName() {
    QTemporaryDir folder;
    QFile file(folder.filePath("image.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(1000, '\x5a'));
    file.close();
    pick("CB_Upg", 1);
    window->OpenDialog()->setDirectory(folder.path());
    {
        // The name typed in whole: its completion list is up when Enter is pressed.
        ModalAnswer answer([](QWidget *modal) {
            auto *dialog = qobject_cast<QFileDialog *>(modal);
            QVERIFY(dialog);
            auto *view = dialog->findChild<QAbstractItemView *>(QStringLiteral("listView"));
            QTRY_COMPARE(view->model()->rowCount(view->rootIndex()), 1);
            // The keys go to the dialog once it is the active window; the list just closed in
            // the main window may hand the activation back to it first.
            QTRY_COMPARE(QApplication::activeWindow(), dialog);
            typeIn(dialog, "image.bin");
            QTRY_VERIFY(QApplication::activePopupWidget());
            QTest::keyClick(dialog->windowHandle(), Qt::Key_Return);
        });
        clickButton("SB_Open");
        QVERIFY(answer.seen());
    }
    QCOMPARE(fileNameField(), folder.filePath("image.bin"));
    // One click on Start, and the file check refuses the image.
    clickInWindow("SB_Sta");
    QTRY_COMPARE(child<QLineEdit>("Edit_Start")->text(), QStringLiteral("File wrong!"));
}

void TestFormMain::noPatternForAName() {
    QTemporaryDir folder;
    QFile data(folder.filePath("data.bin"));
    QVERIFY(data.open(QIODevice::WriteOnly));
    data.write("keep me");
    data.close();
    pick("CB_Upg", 6);
    window->SaveDialog()->setDirectory(folder.path());
    BoxSeen refusal;
    BoxSeen cover;
    std::unique_ptr<ModalAnswer> answerCover;
    {
        ModalAnswer answer([&](QWidget *modal) {
            auto *dialog = qobject_cast<QFileDialog *>(modal);
            QVERIFY(dialog);
            auto *view = dialog->findChild<QAbstractItemView *>(QStringLiteral("listView"));
            QTRY_COMPARE(view->model()->rowCount(view->rootIndex()), 1);
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            QWindow *input = dialog->windowHandle();
            QTRY_COMPARE(QApplication::activeWindow(), dialog);
            auto click = [&](QWidget *target, QPoint at) {
                QTest::mouseClick(input, Qt::LeftButton, {}, target->mapTo(dialog, at));
            };

            // A pattern typed as the name is refused, and the dialog stays.
            typeIn(dialog, "d?ta.*");
            {
                ModalAnswer answerRefusal(pressInBox(QMessageBox::Ok, &refusal));
                QTest::keyClick(input, Qt::Key_Return);
                QVERIFY(answerRefusal.seen());
            }
            QVERIFY(dialog->isVisible());
            // No window manager here hands the dialog back the activation the box had.
            dialog->activateWindow();
            QTRY_COMPARE(QApplication::activeWindow(), dialog);

            // The file picked from the list keeps its name when the type list changes. The list
            // shows as the operator last had it: names only or in detail.
            if (!view->isVisible())
                view = dialog->findChild<QAbstractItemView *>(QStringLiteral("treeView"));
            click(view->viewport(),
                  view->visualRect(view->model()->index(0, 0, view->rootIndex())).center());
            QCOMPARE(name->text(), QStringLiteral("data.bin"));
            auto *types = dialog->findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
            click(types, types->rect().center());
            QAbstractItemView *typeList = types->view();
            QTRY_VERIFY(typeList->isVisible());
            QWindow *popup = typeList->window()->windowHandle();
            const QPoint allFiles = typeList->viewport()->mapTo(
                typeList->window(), typeList->visualRect(types->model()->index(1, 0)).center());
            QTest::mouseMove(popup, allFiles);
            QTest::mouseClick(popup, Qt::LeftButton, {}, allFiles);
            QTRY_COMPARE(dialog->selectedNameFilter(), QStringLiteral("All File(*.*)"));
            QCOMPARE(name->text(), QStringLiteral("data.bin"));

            QPushButton *save =
                dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Save);
            click(save, save->rect().center());
            answerCover = std::make_unique<ModalAnswer>(pressInBox(QMessageBox::Yes, &cover));
        });
        clickButton("SB_Open");
        QVERIFY(answer.seen());
    }
    QVERIFY(answerCover && answerCover->seen());
    QCOMPARE(refusal.icon, QMessageBox::Warning);
    QVERIFY2(refusal.text.contains(QLatin1String("d?ta.*")), qPrintable(refusal.text));
    QCOMPARE(window->currentRequest().file, folder.filePath("data.bin"));
    QCOMPARE(fileNameField(), folder.filePath("data.bin"));
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files), QStringList{"data.bin"});
}

void TestFormMain::statusLineRepaintsAfterABurst() {
    auto *status = child<QLineEdit>("Edit_Start");
    QStringList shown;
    connect(window.get(), &TFormMain::statusTextShown, [&](const QString &text) { shown << text; });
    for (int i = 0; i <= 100; ++i) {
        window->statusShown(StatusCode::TransferSuccess);
        window->processEvents();
        window->blockDone({Phase::Data, i, 100, i, 100});
        window->processEvents();
        QCOMPARE(window->statusText(), QStringLiteral("Transfering Data:  %1%").arg(i));
    }
    // Every text was shown in its turn; the field itself takes the last one a frame later.
    QCOMPARE(shown.size(), 202);
    QCOMPARE(shown.last(), QStringLiteral("Transfering Data:  100%"));
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("Transfering Data:  100%"), 1000);
    // A clear is at once, and no text held back from before comes after it.
    window->statusShown(StatusCode::TransferSuccess);
    clickButton("SB_Reset");
    QCOMPARE(status->text(), QString());
    QTRY_VERIFY(!window->statusHeldBack());
    QCOMPARE(status->text(), QString());
}

void TestFormMain::progressSteps_data() {
    QTest::addColumn<int>("max");
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("calls");
    QTest::addColumn<int>("position");
    QTest::newRow("a whole software image") << 6656 << 1 << 6656 << 6656;
    QTest::newRow("one step past the end") << 6656 << 1 << 6657 << 0;
    QTest::newRow("checksum blocks") << 104 << 1 << 50 << 50;
    QTest::newRow("steps of three past ten") << 10 << 3 << 4 << 0;
    QTest::newRow("steps of five to ten") << 10 << 5 << 2 << 10;
}

void TestFormMain::progressSteps() {
    QFETCH(int, max);
    QFETCH(int, step);
    QFETCH(int, calls);
    QFETCH(int, position);
    auto *bar = child<QProgressBar>("ProgressBarMain");
    int expected = 0;
    for (int i = 0; i < calls; ++i) {
        window->Progress(max, step);
        expected = expected + step > max ? 0 : expected + step;
        if (bar->value() != expected)
            QFAIL(qPrintable(QStringLiteral("call %1: at %2, expected %3")
                                 .arg(i + 1)
                                 .arg(bar->value())
                                 .arg(expected)));
    }
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), max);
    QCOMPARE(bar->value(), position);
}

void TestFormMain::pickingAMissingPort() {
    pick("CB_Com", 1);
    QVERIFY(window->MSComm.PortOpen());
    BoxSeen box;
    {
        ModalAnswer answer(pressInBox(QMessageBox::Ok, &box));
        pick("CB_Com", 2);
        QVERIFY(answer.seen());
    }
    QCOMPARE(box.title, QStringLiteral("Error"));
    QCOMPARE(box.text, PortInUse);
    QCOMPARE(box.icon, QMessageBox::Critical);
    QVERIFY2(box.cause.contains("/dev/torvane-no-such-device: No such file or directory"),
             qPrintable(box.cause));
    QCOMPARE(lampColour(child("Shape_ComState")), Red);
    QVERIFY(!window->MSComm.PortOpen());
    QCOMPARE(child<QComboBox>("CB_Com")->currentText(), QStringLiteral("COM.03"));
    // The window stays usable: the next pick opens its port.
    pick("CB_Com", 1);
    QVERIFY(window->MSComm.PortOpen());
    QCOMPARE(lampColour(child("Shape_ComState")), Lime);
}

void TestFormMain::pickingAPortOnAPty() {
    pick("CB_Com", 1);
    QVERIFY(window->MSComm.PortOpen());
    QCOMPARE(window->MSComm.CommPort(), 2);
    QCOMPARE(window->MSComm.Settings(), QStringLiteral("115200,E,8,1"));
    QCOMPARE(lampColour(child("Shape_ComState")), Lime);
    // The port is really open: what the tool sends reaches the device side.
    window->MSComm.setOutput("@KZVNTSPO");
    QCOMPARE(pty->read(9), QByteArray("@KZVNTSPO"));
    // Picking it again closes and reopens it; the lamp stays green.
    pick("CB_Com", 1);
    QVERIFY(window->MSComm.PortOpen());
    QCOMPARE(lampColour(child("Shape_ComState")), Lime);
}

void TestFormMain::portListSaysWhereEachNumberLeads() {
    std::vector<PresentPort> present;
    window->setComPorts([&] { return AssignComNumbers(present, {}, devices).map; });
    auto *ports = child<QComboBox>("CB_Com");
    QStringList tips;
    const auto openTheList = [&] {
        QTest::mouseClick(ports, Qt::LeftButton);
        QTRY_VERIFY(ports->view()->isVisible());
        tips.clear();
        for (int index = 0; index < ports->count(); ++index)
            tips << ports->itemData(index, Qt::ToolTipRole).toString();
        QTest::keyClick(ports->view(), Qt::Key_Escape);
        QTRY_VERIFY(!ports->view()->isVisible());
    };
    openTheList();
    QStringList expected(ComPortCount, QStringLiteral("No device"));
    expected[1] = pty->slavePath() + " (set by TORVANE_COM2)";
    expected[2] = "/dev/torvane-no-such-device (set by TORVANE_COM3)";
    QCOMPARE(tips, expected);

    // An adapter plugged in while the window is open shows the next time the list opens.
    PresentPort adapter;
    adapter.path = "/dev/ttyUSB0";
    adapter.description = "FT232R USB UART";
    present.push_back(adapter);
    // The kernel's console on a built-in port keeps that port's number, and leads nowhere.
    PresentPort console;
    console.path = "/dev/ttyS3";
    console.builtInUart = true;
    console.notABoard = "the system console";
    present.push_back(console);
    openTheList();
    expected[0] = "/dev/ttyUSB0 (FT232R USB UART)";
    expected[3] = "No device: /dev/ttyS3 (the system console)";
    QCOMPARE(tips, expected);
}

void TestFormMain::closeEndsTheProgramMidOperation_data() {
    QTest::addColumn<QString>("how");
    QTest::newRow("Close button") << "button";
    QTest::newRow("close box") << "box";
    QTest::newRow("SIGTERM") << "signal";
}

void TestFormMain::closeEndsTheProgramMidOperation() {
    QFETCH(QString, how);
    // The window ends its own process: it runs in a child, started from this same program.
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TORVANE_CLOSE_MID_OPERATION"), how);
    // The child ends at once, without cleaning up: its folder is this test's.
    env.insert(QStringLiteral("TORVANE_CLOSE_MID_OPERATION_DIR"), dir.path());
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(child.waitForFinished(60000));
    const QByteArray said = child.readAllStandardOutput();
    QVERIFY2(said.contains("closing during: " + StatusText(StatusCode::Connecting).toLatin1()),
             said.constData());
    QVERIFY2(!said.contains("operation returned"), said.constData());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    // The port's lock file was there while the window had the port, and went with the window.
    const qsizetype at = said.indexOf("lock file held: ");
    QVERIFY2(at >= 0, said.constData());
    const QString lock = QString::fromLocal8Bit(said.mid(at + 16).split('\n').first());
    QVERIFY2(!QFileInfo::exists(lock), qPrintable(lock));
}

// The child of closeEndsTheProgramMidOperation: Start runs against a device that never answers,
// and while the handshake waits the operator closes the window.
static int closeMidOperation(const QString &how) {
    PtyPair silentDevice;
    TFormMain window;
    window.setComPorts([&] { return PointedComPorts({{1, silentDevice.slavePath()}}); });
    window.show();
    auto *modes = window.findChild<QComboBox *>(QStringLiteral("CB_Upg"));
    // "Upload Software": it never writes a file here.
    modes->setCurrentIndex(5);
    emit modes->activated(5);
    // Where the dialog opens.
    QDir::setCurrent(qEnvironmentVariable("TORVANE_CLOSE_MID_OPERATION_DIR"));
    {
        QString title;
        ModalAnswer answer(answerFileDialog(QStringLiteral("never-written.bin"), &title));
        QTest::mouseClick(window.findChild<QToolButton *>(QStringLiteral("SB_Open")),
                          Qt::LeftButton);
    }
    window.endInOrder();
    QTimer::singleShot(500, &window, [&] {
        const QString status = window.findChild<QLineEdit *>(QStringLiteral("Edit_Start"))->text();
        std::printf("closing during: %s\n", qPrintable(status));
        const QString lock = LockFilePathOf(silentDevice.slavePath());
        if (QFileInfo::exists(lock))
            std::printf("lock file held: %s\n", qPrintable(lock));
        std::fflush(stdout);
        if (how == QLatin1String("signal"))
            ::kill(::getpid(), SIGTERM);
        else if (how == QLatin1String("button"))
            QTest::mouseClick(window.findChild<QToolButton *>(QStringLiteral("SB_Close")),
                              Qt::LeftButton);
        else
            window.close();
    });
    QTest::mouseClick(window.findChild<QToolButton *>(QStringLiteral("SB_Sta")), Qt::LeftButton);
    std::printf("operation returned\n");
    return 3;
}

int main(int argc, char **argv) {
    QApplication app(argc, argv);
    const QString closeMid = qEnvironmentVariable("TORVANE_CLOSE_MID_OPERATION");
    if (!closeMid.isEmpty())
        return closeMidOperation(closeMid);
    TestFormMain test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_form_main.moc"
