// A failure escaping an event handler is shown in the "Korvat Server" box (stderr when
// headless) and the event loop goes on.
#include "app/Application.h"
#include "platform/Error.h"

#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <stdexcept>
#include <unistd.h>

namespace {
class Thrower : public QObject {
public:
    int handled = 0;
    QByteArray kind;
    bool event(QEvent* e) override {
        if (e->type() != QEvent::User) return QObject::event(e);
        ++handled;
        if (kind == "error") throw ks::Error(QStringLiteral("Asynchronous socket error 104"));
        if (kind == "std") throw std::runtime_error("out of range");
        return true;
    }
};

// Runs the loop until the posted events are handled, collecting stderr.
QByteArray runWithStderr(Thrower& target, int events) {
    QTemporaryFile err;
    if (!err.open()) return "<no temp file>";
    const int saved = dup(2);
    dup2(err.handle(), 2);
    for (int i = 0; i < events; ++i) QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
    QTimer::singleShot(0, [] { QCoreApplication::quit(); });
    QCoreApplication::exec();
    dup2(saved, 2);
    ::close(saved);
    err.seek(0);
    return err.readAll();
}
} // namespace

class TestApplication : public QObject {
    Q_OBJECT
private slots:
    void failureInHandlerIsShownAndTheLoopGoesOn_data() {
        QTest::addColumn<QByteArray>("kind");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("program error") << QByteArray("error")
                                       << QByteArray("Korvat Server: Asynchronous socket error 104\n"
                                                     "Korvat Server: Asynchronous socket error 104\n");
        QTest::newRow("standard exception") << QByteArray("std")
                                            << QByteArray("Korvat Server: out of range\nKorvat Server: out of range\n");
        QTest::newRow("no failure") << QByteArray("none") << QByteArray();
    }
    void failureInHandlerIsShownAndTheLoopGoesOn() {
        QFETCH(QByteArray, kind);
        QFETCH(QByteArray, expected);
        Thrower target;
        target.kind = kind;
        QCOMPARE(runWithStderr(target, 2), expected);
        QCOMPARE(target.handled, 2); // the second event was still delivered
    }
};

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ks::KsApplication app(argc, argv);
    TestApplication test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_application.moc"
