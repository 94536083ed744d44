#pragma once

#include <QByteArray>
#include <QString>

class QProcess;

// A program started in namespaces of its own (a user's, a mount's and, for a name server, a
// network's), where the system itself refuses what a test needs refused, without root on the
// machine: a disk with no byte left, a name lookup that the network never answers.
struct Sandbox {
    // A small tmpfs mounted on this folder and filled to its last byte.
    QString fullDisk;
    // The name server the program asks: one on 127.0.0.1 of a network of its own, that takes
    // each question and never answers. /etc/resolv.conf and the hosts line of
    // /etc/nsswitch.conf are the sandbox's, from files made in `folder`.
    bool silentNameServer = false;
    QString folder;
};

// The exit code of a program whose sandbox the system would not make (no user namespaces); it
// says why on its standard error.
inline constexpr int SandboxRefused = 97;

// Makes `process` start in `sandbox`; false with why when the sandbox's files cannot be made.
bool SetUpSandbox(QProcess &process, const Sandbox &sandbox, QString *why);
