#pragma once

#include <QHostAddress>
#include <QString>

// The system's own calls on an accepted TCP socket, one implementation per system; the
// connection logic above them is shared (the program's and korvat-probe's).
namespace ks::socketcalls {

// Lets the process hold as many sockets as the system allows it (replies on the second keep
// one open per waiting reply): a lower soft limit on open descriptors is raised to the hard one.
void raiseSocketLimit();

// Makes receives return at once, never wait.
void setNonBlocking(qintptr socket);
// The IPv4 address of the other end; null when it has none.
QHostAddress peerIPv4(qintptr socket);
void closeSocket(qintptr socket);
// Bytes the system holds for reading; 0 when unknown.
qint64 bytesWaiting(qintptr socket);

enum class Peek { Data, Closed, Nothing, Failed };
// Copies up to size waiting bytes without taking them: Data with *count, Closed at the
// other end's close, Nothing when none wait, Failed with the system's message in *error.
Peek peek(qintptr socket, char* data, qint64 size, qint64* count, QString* error);
// Takes count bytes that peek showed.
void discard(qintptr socket, qint64 count);
// Hands bytes to the system without waiting: the count it took, or -1 with its message in
// *error.
qint64 sendNow(qintptr socket, const char* data, qint64 size, QString* error);

// Asks the system to stamp every segment received with the moment it arrived; receives
// on the socket no longer wait.
void stampArrivals(qintptr socket);
enum class Received { Data, Closed, Nothing, Failed };
// Takes up to `size` waiting bytes. With Data: *count, and *stampNs when the last of them
// arrived, as the system stamped it on its clock (ns since 1970; 0 where it gives no stamp).
Received receiveStamped(qintptr socket, char* data, qint64 size, qint64* count, qint64* stampNs);

} // namespace ks::socketcalls
