#include "chime/SoundThread.h"

#include "platform/WavePlayer.h"

namespace ks {

void MySoundThread::start() {
    auto* thread = new MySoundThread();
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->QThread::start();
}

void MySoundThread::run() { playWave(findSoundFile(QStringLiteral("hour.wav"))); }

} // namespace ks
