#include "station/station_options.h"

StationOptions::StationOptions()
    : port({QStringLiteral("p"), QStringLiteral("port")},
           QStringLiteral("The serial port: COM.01 ... COM.10, a device path or a "
                          "/dev/serial/by-id name. Give it once for each device; with --watch "
                          "it may be a pattern."),
           QStringLiteral("PORT")),
      overwrite(QStringLiteral("overwrite"),
                QStringLiteral("Upload: replace FILE when it exists.")),
      report(QStringLiteral("report"),
             QStringLiteral("Appends one line of JSON for each device's operation to FILE."),
             QStringLiteral("FILE")),
      watch(QStringLiteral("watch"),
            QStringLiteral("Keeps running: each time a port matching a --port appears, the "
                           "operation runs on it once. Ctrl-C ends it.")),
      trace(QStringLiteral("trace"),
            QStringLiteral("Print every frame and block exchanged, with times, to stderr.")),
      expectSha256(QStringLiteral("expect-sha256"),
                   QStringLiteral("Download or verify: refuse a FILE whose SHA-256 is not HEX, "
                                  "before any device starts. A step's own: it follows the step's "
                                  "FILE."),
                   QStringLiteral("HEX")),
      lot(QStringLiteral("lot"),
          QStringLiteral("Counts each device's end (passed, failed, stopped) in the lot NAME, "
                         "kept across runs, and names it in each record."),
          QStringLiteral("NAME")),
      retries(QStringLiteral("retries"),
              QStringLiteral("Runs a device's operation again, up to N more times, when it "
                             "failed in a way trying again may cure (0 to 10; default 0)."),
              QStringLiteral("N")),
      then(QStringLiteral("then"),
           QStringLiteral("Starts the job's next step, COMMAND KIND FILE, run on each device once "
                          "the step before has succeeded; the port stays open between them.")),
      onBoardEnd(QStringLiteral("on-board-end"),
                 QStringLiteral("Runs PROGRAM (with its arguments, as words; no shell) as each "
                                "device's operation ends: its record on standard input, "
                                "TORVANE_RESULT (pass, fail, stopped or refused) in its "
                                "environment. It never holds a device up; it is given 5 s."),
                 QStringLiteral("PROGRAM")),
      onBatchEnd(QStringLiteral("on-batch-end"),
                 QStringLiteral("Runs PROGRAM as the batch ends (every port named, or the "
                                "watch): the totals as JSON on standard input, TORVANE_RESULT "
                                "pass, fail or stopped."),
                 QStringLiteral("PROGRAM")),
      recipe(QStringLiteral("recipe"),
             QStringLiteral("Takes the operation and the options from FILE, one to a line; only "
                            "--lot, --trace and --watch may be added."),
             QStringLiteral("FILE")) {}
