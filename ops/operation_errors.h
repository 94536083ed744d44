#pragma once

#include <QString>

#include <stdexcept>

// A file the operation needs cannot be used: reported to the operator in an error box.
class FileError : public std::runtime_error {
public:
    explicit FileError(const QString &message) : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};

// The operator took the operation's file away (Reset closed it): the operation ends quietly.
struct OperationCancelled {};
