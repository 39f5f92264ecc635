#include "platform/Ui.h"

#include <QByteArray>
#include <QList>

#include <sys/stat.h>
#include <unistd.h>

namespace ks {

bool stderrIsJournal() {
    // Decided once: stderr does not change under the running program.
    static const bool journal = [] {
        const QList<QByteArray> ids = qgetenv("JOURNAL_STREAM").split(':');
        struct stat st {};
        if (ids.size() != 2 || ::fstat(STDERR_FILENO, &st) != 0) return false;
        bool devOk = false;
        bool inoOk = false;
        const qulonglong dev = ids[0].toULongLong(&devOk);
        const qulonglong ino = ids[1].toULongLong(&inoOk);
        return devOk && inoOk && dev == qulonglong(st.st_dev) && ino == qulonglong(st.st_ino);
    }();
    return journal;
}

} // namespace ks
