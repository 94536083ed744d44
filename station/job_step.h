#pragma once

#include "link/transfer_mode.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What a step does with its file: sends it, saves the device's image to it, or reads the
// device's image back and compares it with it.
enum class StepCommand { Download, Upload, Verify };

// One step of the job each board gets: an operation on the wire with its own handshake.
struct JobStep {
    StepCommand command = StepCommand::Download;
    // The mode on the wire: a read-back's is the upload of its kind.
    TransferMode mode = TransferMode::DownloadSoftware;
    // The image sent or compared with; an upload's file, in which `{port}` stands for each
    // port's own.
    QString file;
    // The file's SHA-256 in hexadecimal, as given: a file that differs is refused before any
    // board starts. Empty: any image of the mode's size.
    QString expectSha256;

    // Its file is read whole, and held, before any board starts: a download's, a read-back's.
    bool holdsImage() const { return command != StepCommand::Upload; }
    bool operator==(const JobStep &other) const {
        return command == other.command && mode == other.mode && file == other.file &&
               expectSha256 == other.expectSha256;
    }
    bool operator!=(const JobStep &other) const { return !(*this == other); }
};

// "download", "upload", "verify": the step's first word, as a command line and a record give it.
QString CommandWord(StepCommand command);
// The kinds a command takes, as its usage error lists them: "software, data or default".
QString KindsOf(StepCommand command);

// Reads a step's three words (command, KIND, FILE) into `into`; empty when they are sound, else
// what was wrong. A read-back of a kind no upload mode reads (loader, all) is refused.
QString ReadStep(const QStringList &words, JobStep *into);

// The read-back of what a download step sends, where an upload mode reads its kind back.
std::optional<JobStep> ReadBackOf(const JobStep &step);

// The step as an operator reads it: "Download Loader", "Upload Data", "Verify Software".
QString StepName(const JobStep &step);
// A job of several steps by their names, "Download Loader, Download All, Verify Default"; one
// step's is its name.
QString JobName(const QList<JobStep> &steps);
// "step 2 of 3: Download Software"
QString StepLabel(int index, int steps, const JobStep &step);

// The bytes a job moves on each board: its steps' images.
qint64 JobBytes(const QList<JobStep> &steps);
bool AnyUpload(const QList<JobStep> &steps);
