#pragma once

#include "Probe.h"

#include <QTimer>
#include <QUdpSocket>

namespace probe {

// korvat-probe listen: prints every state announcement on 224.0.0.1:6649.
class ListenCommand : public QObject {
    Q_OBJECT
public:
    // seconds <= 0: until interrupted.
    explicit ListenCommand(int seconds, QObject* parent = nullptr);
    void start();

private:
    void readDatagrams();

    int seconds_;
    QUdpSocket socket_;
    QTimer end_;
    int count_ = 0;
};

} // namespace probe
