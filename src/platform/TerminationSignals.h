#pragma once

#include <QObject>

class QSocketNotifier;

namespace ks {

// Turns SIGTERM and SIGINT (on Windows: Ctrl-C, Ctrl-Break, a closed console, logoff and
// shutdown) into a Qt signal on the GUI thread, so they end the program through the same
// order as "E&xit".
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void terminationRequested();

private:
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace ks
