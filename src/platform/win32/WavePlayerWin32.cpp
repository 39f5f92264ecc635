#include "platform/WavePlayer.h"

#include <QFileInfo>

#include <windows.h>
// Needs the Windows types before it.
#include <mmsystem.h>

namespace ks {

void playWaveSync(const QString& path) {
    const bool exists = !path.isEmpty() && QFileInfo::exists(path);
    if (exists && PlaySoundW(reinterpret_cast<const wchar_t*>(path.utf16()), nullptr,
                             SND_FILENAME | SND_SYNC | SND_NODEFAULT))
        return;
    PlaySoundW(reinterpret_cast<const wchar_t*>(u"SystemDefault"), nullptr, SND_ALIAS | SND_SYNC);
}

} // namespace ks
