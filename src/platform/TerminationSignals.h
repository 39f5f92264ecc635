#pragma once

#include <QByteArray>
#include <QObject>

class QSocketNotifier;

namespace ks {

// Turns SIGTERM, SIGINT and SIGHUP (the terminal closed) into a Qt signal on the GUI thread,
// so they end the program through the same order as "E&xit". On Windows: Ctrl-C,
// Ctrl-Break, a closed console, logoff and shutdown.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    // With the signal's name, "SIGTERM".
    void terminationRequested(const QByteArray& signalName);

private:
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace ks
