// SyncToNtp and its watchdog.
#include "app/TimeNow.h"

namespace ks {

// The SNTP client arrives with the NTP work; until then no attempt is made.
bool TForm1::SyncToNtp() { return false; }

} // namespace ks
