#include "platform/WavePlayer.h"

#include "platform/Ui.h"

#include <QDir>
#include <QFileInfo>

#include <canberra.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace ks {

namespace {
struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool finished = false;
};

void onFinished(ca_context*, uint32_t, int, void* userdata) {
    auto* done = static_cast<Done*>(userdata);
    std::lock_guard lock(done->mutex);
    done->finished = true;
    done->cv.notify_one();
}

// Plays one sound described by a property pair and waits until it has ended.
int playAndWait(ca_context* context, const char* key, const QByteArray& value) {
    ca_proplist* props = nullptr;
    if (ca_proplist_create(&props) != CA_SUCCESS) return CA_ERROR_OOM;
    ca_proplist_sets(props, key, value.constData());
    Done done;
    const int rc = ca_context_play_full(context, 1, props, onFinished, &done);
    ca_proplist_destroy(props);
    if (rc != CA_SUCCESS) return rc;
    std::unique_lock lock(done.mutex);
    done.cv.wait(lock, [&] { return done.finished; });
    return CA_SUCCESS;
}
} // namespace

void playWaveSync(const QString& path) {
    ca_context* context = nullptr;
    if (ca_context_create(&context) != CA_SUCCESS) return;
    const bool exists = !path.isEmpty() && QFileInfo::exists(path);
    if (!exists || playAndWait(context, CA_PROP_MEDIA_FILENAME, QFile::encodeName(path)) != CA_SUCCESS)
        playAndWait(context, CA_PROP_EVENT_ID, "bell");
    ca_context_destroy(context);
}

namespace {
std::atomic<WavePlayerFn> player{nullptr};
}

void installWavePlayer(WavePlayerFn p) { player = p; }

void playWave(const QString& path) {
    const WavePlayerFn p = player;
    (p ? p : playWaveSync)(path);
}

QString findSoundFile(const QString& name) {
    // As a bare file name would be found: the current folder first. Then beside the
    // executable (a build tree) and the installed data folder.
    for (const QString& dir : {QDir::currentPath(), executableDir(),
                               executableDir() + QStringLiteral("/../share/korvat-server")}) {
        const QString candidate = dir + QLatin1Char('/') + name;
        if (QFileInfo::exists(candidate)) return candidate;
    }
    return {};
}

} // namespace ks
