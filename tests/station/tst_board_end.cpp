// How a board's ending is said and counted, and whether trying again may cure it: plain values,
// no ports.
#include "station/board_attempts.h"
#include "station/exit_code.h"
#include "station/station_totals.h"

#include <QTest>

namespace {

OperationResult ended(Ending ending, Stage stage, std::optional<StatusCode> status = {}) {
    OperationResult result;
    result.ending = ending;
    result.stage = stage;
    result.status = status;
    return result;
}

} // namespace

class TestBoardEnd : public QObject {
    Q_OBJECT
private slots:
    void oneEndingOneResult_data();
    void oneEndingOneResult();
};

void TestBoardEnd::oneEndingOneResult_data() {
    QTest::addColumn<OperationResult>("result");
    QTest::addColumn<bool>("interrupted");
    QTest::addColumn<QString>("said");
    QTest::addColumn<BoardEnd>("counted");
    QTest::addColumn<bool>("retried");
    using S = StatusCode;
    const QString transferFailed = StatusText(S::TransferFailed);
    QTest::newRow("a block the device refused")
        << ended(Ending::Completed, Stage::Data, S::TransferFailed) << false << transferFailed
        << BoardEnd::Failed << true;
    // The same step's failure, whether the device said no or went away: counted together.
    QTest::newRow("the device lost in the data")
        << ended(Ending::Error, Stage::Data) << false << transferFailed << BoardEnd::Failed << true;
    QTest::newRow("the device lost in the checksums")
        << ended(Ending::Error, Stage::ChecksumTable) << false << transferFailed << BoardEnd::Failed
        << true;
    QTest::newRow("the device lost while erasing")
        << ended(Ending::Error, Stage::Erase) << false << StatusText(S::EraseFlashFailed)
        << BoardEnd::Failed << true;
    QTest::newRow("no answer to connect")
        << ended(Ending::Completed, Stage::Connect, S::ConnectFailed) << false
        << StatusText(S::ConnectFailed) << BoardEnd::Failed << true;
    QTest::newRow("stopped in the data")
        << ended(Ending::Aborted, Stage::Data) << true << "stopped" << BoardEnd::Stopped << false;
    // Its failure may be cured; the stop itself keeps it from another attempt.
    QTest::newRow("a verdict shown before the stop stands")
        << ended(Ending::Completed, Stage::Connect, S::ConnectFailed) << true
        << StatusText(S::ConnectFailed) << BoardEnd::Failed << true;
    QTest::newRow("a port another program holds")
        << ended(Ending::PortUnavailable, Stage::PortOpening) << false << "port cannot be opened"
        << BoardEnd::Failed << false;
    QTest::newRow("an upload not saved")
        << ended(Ending::Completed, Stage::Save, S::SetUpFileFailed) << false
        << StatusText(S::SetUpFileFailed) << BoardEnd::Failed << false;
    QTest::newRow("success") << ended(Ending::Completed, Stage::Done, S::UpdateSuccess) << false
                             << StatusText(S::UpdateSuccess) << BoardEnd::Passed << false;
}

void TestBoardEnd::oneEndingOneResult() {
    QFETCH(OperationResult, result);
    QFETCH(bool, interrupted);
    QFETCH(QString, said);
    QFETCH(BoardEnd, counted);
    QFETCH(bool, retried);
    BoardOutcome outcome;
    outcome.result = result;
    outcome.code = ExitCodeOf(result, interrupted);
    outcome.record.result = ResultText(outcome.code, result);
    QCOMPARE(outcome.record.result, said);
    QCOMPARE(EndOf(outcome.code), counted);
    QCOMPARE(RetryMayCure(outcome), retried);
}

QTEST_APPLESS_MAIN(TestBoardEnd)
#include "tst_board_end.moc"
