#pragma once

#include <QString>

// A symbolic link to the device's terminal under a name the operator chose, so the tool finds it
// at the same path every run. A link left by a device that is gone is replaced; a running
// device's link and any other file of that name are left alone. False with the reason in *error.
bool MakeTerminalLink(const QString &link, const QString &target, QString *error);

// Removes the link only while it still points to `target`: a link another device has taken over
// stays.
void RemoveTerminalLink(const QString &link, const QString &target);
