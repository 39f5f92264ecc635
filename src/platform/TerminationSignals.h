#pragma once

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

namespace ks {

// Turns SIGTERM, SIGINT and SIGHUP (the terminal closed) into a Qt signal on the GUI thread,
// so they end the program through the same order as "E&xit". On Windows: Ctrl-C,
// Ctrl-Break and a closed console; the end of the user's session (logoff, shutdown) is told
// to a hidden window of the program's, since no console event reaches a GUI program then.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    // With the signal's name, "SIGTERM".
    void terminationRequested(const QByteArray& signalName);
    // Windows: the session ends ("logoff" or "shutdown"). The system ends the process as soon
    // as the handler returns, so the handler finishes the shutdown itself, on the GUI thread.
    void sessionEnding(const QByteArray& reason);

private:
    QSocketNotifier* notifier_ = nullptr;
    void* sessionWindow_ = nullptr; // Windows: the hidden window that hears of the session's end
};

} // namespace ks
