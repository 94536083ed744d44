// Runs one operation in the real window, as an operator would: picks COM.01, the mode and the
// file, and presses Start. Prints the stage texts as the status line shows them, for
// torvane_bench to time. Usage: torvane_bench_window download|upload MODE FILE DEVICE
// With "wait DEVICE POLLS" it instead opens COM.01 and waits that many polls for a reply, with
// the window as the console, and prints "cpu_seconds wall_seconds".
#include "app/form_main.h"
#include "bench/cpu_time.h"
#include "ports/com_numbering.h"
#include "link/frames.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iterator>
#include <optional>

namespace {

// Answers the file dialog with `path`, and any question that follows it (the dialog's own about
// a file that is there, the window's about covering it) with Yes, from inside their modal loops.
class DialogAnswers {
public:
    DialogAnswers(QFileDialog *dialog, const QString &path) {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this, dialog, path] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                QAbstractButton *yes = box->button(QMessageBox::Yes);
                (yes ? yes : box->defaultButton())->click();
                return;
            }
            // Typed in whole, as an operator would: a dialog still reading its folder may lose
            // a selection, but not what stands in its name field. Answered again if need be.
            if (dialog->isVisible() && answered_.hasExpired()) {
                answered_.setRemainingTime(100);
                dialog->selectFile(path);
                if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                    name->setText(path);
                static_cast<QDialog *>(dialog)->accept();
            }
        });
        timer_.start();
    }

private:
    QTimer timer_;
    QDeadlineTimer answered_{0};
};

int waitForNothing(int argc, char *argv[]) {
    const QString device = QString::fromLocal8Bit(argv[2]);
    const qint32 polls = qint32(std::atoi(argv[3]));
    QApplication app(argc, argv);
    TFormMain form;
    form.setComPorts([device] { return PointedComPorts({{1, device}}); });
    auto *ports = form.findChild<QComboBox *>(QStringLiteral("CB_Com"));
    if (!ports)
        return 1;
    form.show();
    ports->setCurrentIndex(0);
    emit ports->activated(0);
    if (!form.MSComm.PortOpen())
        return 3;
    const double cpuBefore = CpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    const bool replied = WaitReply(form.line(), CommandCode::RCVS, polls);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    std::printf("%.6f %.6f\n", CpuSeconds() - cpuBefore, wall);
    return replied ? 2 : 0;
}

} // namespace

int main(int argc, char *argv[]) {
    if (argc == 4 && qstrcmp(argv[1], "wait") == 0)
        return waitForNothing(argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: torvane_bench_window download|upload MODE FILE DEVICE\n");
        return 1;
    }
    const bool upload = qstrcmp(argv[1], "upload") == 0;
    const int mode = std::atoi(argv[2]);
    const QString file = QString::fromLocal8Bit(argv[3]);
    const QString device = QString::fromLocal8Bit(argv[4]);
    QApplication app(argc, argv);

    TFormMain form;
    form.setComPorts([device] { return PointedComPorts({{1, device}}); });
    auto *ports = form.findChild<QComboBox *>(QStringLiteral("CB_Com"));
    auto *modes = form.findChild<QComboBox *>(QStringLiteral("CB_Upg"));
    auto *status = form.findChild<QLineEdit *>(QStringLiteral("Edit_Start"));
    auto *open = form.findChild<QToolButton *>(QStringLiteral("SB_Open"));
    auto *start = form.findChild<QToolButton *>(QStringLiteral("SB_Sta"));
    if (!ports || !modes || !status || !open || !start) {
        std::fprintf(stderr, "torvane_bench_window: the window lacks its controls\n");
        return 1;
    }
    form.show();

    ports->setCurrentIndex(0);
    emit ports->activated(0);
    modes->setCurrentIndex(mode);
    emit modes->activated(mode);
    {
        DialogAnswers answers(upload ? form.SaveDialog() : form.OpenDialog(), file);
        open->click();
    }
    auto *fileName = form.findChild<QLineEdit *>(QStringLiteral("Edit_FileName"));
    if (!fileName || QFileInfo(fileName->text()) != QFileInfo(file)) {
        std::fprintf(stderr, "torvane_bench_window: the file dialog did not take %s\n",
                     qPrintable(file));
        return 1;
    }

    // The stages only, once each; the per-block texts would cost the window a print apiece.
    constexpr StatusCode stages[] = {
        StatusCode::Connecting,     StatusCode::Transfer,         StatusCode::Verify,
        StatusCode::UpdateSuccess,  StatusCode::ConnectFailed,    StatusCode::TransferFailed,
        StatusCode::VerifyFailed,   StatusCode::EraseFlashFailed, StatusCode::ProgramFlashFailed,
        StatusCode::SetUpFileFailed};
    std::optional<StatusCode> last;
    QObject::connect(&form, &TFormMain::statusTextShown, [&](const QString &text) {
        const std::optional<StatusCode> code = StatusCodeOf(text);
        if (!code || std::find(std::begin(stages), std::end(stages), *code) == std::end(stages) ||
            code == last)
            return;
        last = code;
        std::printf("%s\n", qPrintable(text));
        std::fflush(stdout);
    });
    start->click();
    return last == StatusCode::UpdateSuccess ? 0 : 2;
}
