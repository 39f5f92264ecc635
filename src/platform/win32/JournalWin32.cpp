#include "platform/Ui.h"

namespace ks {

// Windows has no journal stream to write syslog priorities into.
bool stderrIsJournal() { return false; }

} // namespace ks
