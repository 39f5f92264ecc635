#include "platform/TcpListener.h"

namespace ks {

void TcpListener::setAccepting(bool on) {
    // With no room for pending connections QTcpServer stops taking them, also in the middle
    // of a burst it is taking; the default room is 30, and this class never uses it.
    setMaxPendingConnections(on ? 30 : 0);
    if (on) resumeAccepting();
}

void TcpListener::incomingConnection(qintptr descriptor) {
    emit accepted(new IncomingConnection(descriptor, this));
}

} // namespace ks
