#pragma once

#include <QString>

#include <exception>

namespace ks {

// A failure that carries a message for the operator. Start-up failures and failures that
// escape an event handler end in the "Korvat Server" box with this text.
class Error : public std::exception {
public:
    explicit Error(QString message) : message_(std::move(message)), utf8_(message_.toUtf8()) {}
    const QString& message() const { return message_; }
    const char* what() const noexcept override { return utf8_.constData(); }

private:
    QString message_;
    QByteArray utf8_;
};

// A failure of the settings themselves (unreadable, malformed, a value of the wrong type):
// starting again cannot help until the operator mends them, so the program says so by its
// exit status.
class ConfigError : public Error {
public:
    using Error::Error;
};

} // namespace ks
