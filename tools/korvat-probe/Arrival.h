#pragma once

#include <QHostAddress>
#include <QtGlobal>

// Reading an accepted TCP socket with the moment each byte reached this PC, as the system
// stamped it on arrival: a reply's lateness is then the server's and the network's, not the
// probe's own delay in reading it. One implementation per system.
namespace probe::arrival {

// Receives without waiting, with arrival stamps where the system gives them.
void prepare(qintptr socket);
QHostAddress peerAddress(qintptr socket);
void closeSocket(qintptr socket);

enum class Outcome { Data, Closed, Nothing, Failed };
// Takes up to `size` waiting bytes. With Data: *count, and *arrivalNs when the last of them
// arrived (monoNs), or the moment they were read where the system gives no stamp.
Outcome receive(qintptr socket, char* data, qint64 size, qint64* count, qint64* arrivalNs);

} // namespace probe::arrival
