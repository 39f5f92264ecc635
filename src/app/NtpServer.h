#pragma once

#include "platform/UdpPort.h"
#include "protocol/NtpServe.h"

#include <QJsonObject>
#include <QObject>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace ks {

// The NTP server on UDP (123 unless `ntpport` says otherwise), every IPv4 and IPv6 address:
// answers client requests from the time it is handed, and keeps no state of a client beyond
// the bounded rate-limit table.
class NtpServer : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<NtpServedTime()> servedTime;
        std::function<bool()> showDebug;
        // A log entry's details; diagnostic ones come only while Show Debug is on.
        std::function<void(const QByteArray& details, bool diagnostic)> log;
    };
    NtpServer(quint16 port, bool rateLimit, Hooks hooks, QObject* parent = nullptr);
    ~NtpServer() override;
    // Opens the port; a port that is taken is told once (an alert in the log, so on stderr
    // headless) and kept in the status.
    void start();
    QJsonObject status() const;

private:
    void readable(UdpPort* socket);
    void serve(UdpPort* socket, const UdpPort::Datagram& request);

    struct Listener {
        std::unique_ptr<UdpPort> socket;
        QSocketNotifier* notifier = nullptr;
        QByteArray address;
    };
    quint16 port_;
    bool rateLimit_;
    Hooks hooks_;
    int precision_ = 0;
    std::vector<Listener> listeners_;
    QByteArray error_;
    NtpRateLimit limit_;
    quint64 answered_ = 0;
    quint64 rateLimited_ = 0;
    std::map<QByteArray, quint64> dropped_;
};

} // namespace ks
