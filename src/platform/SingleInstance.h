#pragma once

#include <QtGlobal>

#include <memory>

class QLockFile;

namespace ks {

// One copy per user: on Linux a lock file "kserver.lock" in the user's run-time folder
// (runtimeFolder()), where a lock left by a process that died is taken over; on Windows the
// named mutex "kserver", which the system releases with its holder.
class SingleInstance {
public:
    SingleInstance();
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;
    // True when this process now holds the lock; false when another copy does. Throws
    // ks::Error when there is no safe folder for the lock.
    bool acquire();

private:
#ifdef Q_OS_WIN
    void* mutex_ = nullptr;
#else
    std::unique_ptr<QLockFile> lock_;
#endif
};

} // namespace ks
