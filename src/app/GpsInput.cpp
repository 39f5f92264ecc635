// The serial connection buttons and the GPS receiver's sentences.
#include "app/TimeNow.h"

namespace ks {

// The serial port driver arrives with the GPS receiver work; until then the port is closed.
bool TForm1::SerialConnected() const { return false; }

void TForm1::btnConnectClick() { GpsSetupPending = true; }

void TForm1::btnDisconnectClick() {}

void TForm1::SendGpsSetup() {}

} // namespace ks
