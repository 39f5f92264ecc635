#pragma once

#include <QLockFile>

#include <memory>

namespace ks {

// One copy per user: a lock file "kserver.lock" in $XDG_RUNTIME_DIR (else the temp folder).
// A lock left by a process that died is taken over.
class SingleInstance {
public:
    SingleInstance();
    // True when this process now holds the lock; false when another copy does.
    bool acquire();

private:
    std::unique_ptr<QLockFile> lock_;
};

} // namespace ks
