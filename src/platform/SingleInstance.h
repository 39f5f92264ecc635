#pragma once

#include <QtGlobal>

#include <memory>

class QLockFile;

namespace ks {

// One copy per user: on Linux a lock file "kserver.lock" in $XDG_RUNTIME_DIR (else the temp
// folder), where a lock left by a process that died is taken over; on Windows the named
// mutex "kserver", which the system releases with its holder.
class SingleInstance {
public:
    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;
    // True when this process now holds the lock; false when another copy does.
    bool acquire();

private:
#ifdef Q_OS_WIN
    void* mutex_ = nullptr;
#else
    std::unique_ptr<QLockFile> lock_;
#endif
};

} // namespace ks
