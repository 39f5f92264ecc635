#include "platform/Ui.h"

namespace ks {

// A Unix program always has the streams its starter gave it.
void attachParentConsole() {}

} // namespace ks
