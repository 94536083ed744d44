#pragma once

#include <QByteArray>

// How much a line matters to the system's journal, as syslog counts it.
enum class JournalPriority { Error = 3, Warning = 4, Info = 6 };

// Whether `fd` is the stream the journal reads: systemd names it in $JOURNAL_STREAM
// ("DEVICE:INODE") for a service whose output goes there. Read once, by the thread that starts the
// station.
bool IsJournalStream(int fd);

// `lines` with the priority at the head of each ("<3>"), as the journal takes it from its stream.
QByteArray WithPriority(const QByteArray &lines, JournalPriority priority);
