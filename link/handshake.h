#pragma once

#include "link/reply_copies.h"
#include "link/transfer_mode.h"

#include <QtGlobal>

#include <chrono>

struct Line;
class TMSComm;

// What a handshake learnt: how many requests it sent, how long it took, and the copies of the
// device's answer that may still come (a device that answers every request it read, late ones
// included, sends one for each request after the first).
struct Handshake {
    int requests = 0;
    std::chrono::steady_clock::duration took{};
    ReplyCopies copies;
};

// Sets the request to send and the reply to expect for a mode; a value outside the mode list
// changes nothing.
void JudgeUpdateItem(Line &line, TransferMode mode);

// Sends the mode's request, at most 1,999 times and for at most two minutes, until the device
// answers with the expected reply. Each request waits as long as its answer could take to come
// back through a USB adapter before it is sent again, the first one longer still; an answer that
// comes sooner is taken at once. False when the port is (or gets) closed or the attempts run out. `learnt`, when given,
// is told how it went, either way.
bool ConnectDevice(Line &line, TransferMode mode, Handshake *learnt = nullptr);

// How many polls one request waits for its answer on this port: the request's and the answer's
// time on the wire at the port's rate, the adapter's latency and the device's turnaround.
qint32 AnswerPolls(const TMSComm &comm);
