// The settings suite: saves killed at random points never leave a torn file. (An unwritable
// settings folder is a main-window test.)
#include "soak.h"

#include "platform/SettingsStore.h"
#include "protocol/RegFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <cstdio>

using namespace ks;
using namespace ks::soak;

namespace {

const QByteArray Key = SettingsStore::MainKey;

// Version v of the file a saving child writes: its size changes with v, so a torn file
// can never pass for a whole one.
void fillVersion(RegFile& file, quint32 v) {
    file.set(Key, "baud", RegFile::encodeDword(6 + v % 2));
    file.set(Key, "source", RegFile::encodeDword(v % 4));
    file.set(Key, "ntpserver",
             RegFile::encodeString(QByteArray(64 + int(v * 7919 % 6000), char('a' + v % 26))));
    file.set(Key, "version", RegFile::encodeDword(v));
}

QByteArray versionText(quint32 v) {
    RegFile file;
    fillVersion(file, v);
    return file.serialize();
}

} // namespace

// The child: saves versions base, base+1, ... (at most 100 000, at most 60 s) and says
// "saved" after the first.
int ks::soak::settingsSaveLoop(const QString& path, quint32 base) {
    SettingsStore store(path);
    const double start = nowS();
    for (quint32 i = 0; i < 100'000 && nowS() - start < 60; ++i) {
        fillVersion(store.file(), base + i);
        QString error;
        if (!store.save(&error)) return 2;
        if (i == 0) {
            std::fputs("saved\n", stdout);
            std::fflush(stdout);
        }
    }
    return 0;
}

namespace {

Verdict settingsKill(QByteArray& figures) {
    constexpr int Kills = 1000;
    constexpr quint32 Span = 1'000'000; // versions of one child: round * Span upwards
    Verdict v;
    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/BREVANE");
    const QString path = folder + QStringLiteral("/KORVATSERVER.reg");
    const double start = nowS();
    int kills = 0, whole = 0;
    quint64 versionsSaved = 0;
    QRandomGenerator rng(1000);
    for (int round = 0; round < Kills && nowS() - start < 240; ++round) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KS_SOAK_SAVE_LOOP"), path);
        env.insert(QStringLiteral("KS_SOAK_SAVE_BASE"), QString::number(quint32(round) * Span));
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        if (!child.waitForReadyRead(5000)) {
            v.fail("round " + num(round) + ": the child never saved (exit " + num(child.exitCode()) + ")");
            break; // ending `child` kills it
        }
        // 0-8 ms into the loop: a save takes well under that, so kills land all over it.
        QThread::usleep(rng.bounded(8000));
        ::kill(pid_t(child.processId()), SIGKILL);
        if (!child.waitForFinished(5000)) {
            v.fail("a killed child did not end");
            break;
        }
        ++kills;
        QFile f(path);
        const QByteArray text = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        RegFile::ParseError err;
        const std::optional<RegFile> parsed = RegFile::parse(text, &err);
        const QByteArray* version = parsed ? parsed->find(Key, "version") : nullptr;
        const quint32 saved = version ? RegFile::decode(*version).dword : 0;
        const bool ok = !text.isEmpty() && version && saved >= quint32(round) * Span &&
                        saved < quint32(round + 1) * Span && text == versionText(saved) &&
                        (QFileInfo(path).permissions() & (QFile::ReadGroup | QFile::ReadOther)) == 0;
        if (ok) {
            ++whole;
            versionsSaved += saved - quint32(round) * Span + 1;
        } else {
            v.fail("round " + num(round) + ": file not whole (" + num(text.size()) + " bytes" +
                   (parsed ? QByteArray() : ", line " + num(err.line) + " " + err.reason) + ")");
        }
    }
    // A kill before the rename leaves the one temporary file that the next save reuses;
    // more than that would pile up over months of crashes and power cuts.
    const qsizetype leftovers = QDir(folder).entryList(QDir::Files | QDir::Hidden).size() - 1;
    v.check(kills == Kills, "only " + num(kills) + " kills within the time bound");
    v.check(leftovers <= 1, num(leftovers) + " temporary files left beside it");
    figures = "kills " + num(kills) + ", whole files " + num(whole) + "/" + num(kills) +
              ", saves completed " + num(versionsSaved) + ", temporary files left beside it " +
              num(leftovers);
    return v;
}

} // namespace

QList<Case> ks::soak::settingsCases() { return {{"settings-kill", settingsKill}}; }
