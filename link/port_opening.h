#pragma once

struct Line;

// The one message for every port that will not open, whatever the cause.
inline constexpr const char PortUnavailableText[] =
    "The Port you selected is used by other application!";

// Closes the port if open, then opens the one chosen in the port list at 115200,E,8,1 in text
// mode with one-character reads. False after a failure it has already shown the operator.
bool OpenComPort(Line &line);
