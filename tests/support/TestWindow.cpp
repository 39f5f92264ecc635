#include "TestWindow.h"

#include "log/Log.h"

#include <QDir>
#include <QFile>
#include <QTest>
#include <QTimer>

namespace ks::test {

const QByteArray SettingsHeader =
    "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\SOFTWARE\\BREVANE\\KORVATSERVER]\r\n";

TestWindow::TestWindow(const QByteArray& settings, qint64 now) : clock(now) {
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", dir.path().toLocal8Bit());
    if (!settings.isEmpty()) write(settings);
    form = std::make_unique<TForm1>();
    started = form->StartUp();
    form->Timer1->stop();
    form->Timer2->stop();
    form->IdIPWatch1->stop();
    form->NetworkPresent = false;
}

QString TestWindow::path() const {
    return dir.path() + QStringLiteral("/BREVANE/KORVATSERVER.reg");
}

void TestWindow::write(const QByteArray& text) const {
    QDir().mkpath(dir.path() + QStringLiteral("/BREVANE"));
    QFile f(path());
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
}

QByteArray TestWindow::stored() const {
    QFile f(path());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QList<QByteArray> TestWindow::events() const {
    QList<QByteArray> out;
    for (const LogEntry& e : form->LogFrm()->Model().entries())
        out.append(e.event + ": " + e.details);
    return out;
}

void TestWindow::tick(qint64 stepMs) {
    form->Timer1Timer();
    clock.advance(stepMs);
}

} // namespace ks::test
