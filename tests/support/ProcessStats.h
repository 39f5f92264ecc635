#pragma once

#include <QtGlobal>

namespace ks::test {

// Figures of a running process from /proc; -1 when it is gone or unreadable.
qint64 processCpuMs(qint64 pid); // user + system time
qint64 processRssKiB(qint64 pid);

} // namespace ks::test
