#pragma once

#include <QByteArray>
#include <QHostAddress>

#include <functional>

namespace ks {

// An address as the log and stderr write it: dotted-decimal; empty for none.
inline QByteArray addressText(const QHostAddress& address) { return address.toString().toLatin1(); }

// A diagnostic entry (written only while "Show Debug" is on) reaches the journal at debug
// priority, whatever its type; so does one written for every request, which would otherwise
// flood it during a burst; a trace entry (every request, telling nothing new) reaches it only
// with "Show Debug". A repeat (the entry before it said the same and more) stays in the log
// only.
enum class EntryKind { Normal, Diagnostic, PerRequest, Trace, Repeat };

// The event log as the owners of the services write to it: the window keeps the log, the
// owners only add entries and follow its options.
struct EventLog {
    // Headless, stderrDetails (when given) stand in for the details on stderr, where the
    // log's own would tell the operator too little.
    std::function<void(qint16 type, const QByteArray& event, const QByteArray& details, EntryKind kind,
                       const QByteArray& stderrDetails)>
        add;
    std::function<bool()> showDebug;
    std::function<bool()> indicateClientType;
    std::function<void()> saveCsv;

    void operator()(qint16 type, const QByteArray& event, const QByteArray& details,
                    EntryKind kind = EntryKind::Normal, const QByteArray& stderrDetails = {}) const {
        add(type, event, details, kind, stderrDetails);
    }
};

} // namespace ks
