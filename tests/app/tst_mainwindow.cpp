// The main window in-process: the settings files it reads and writes back, the chime's sound
// file, and a layout that covers and clips nothing. Its behaviour over time is in the window
// scenarios (tst_gps).
#include "Golden.h"
#include "TestWindow.h"
#include "platform/Ui.h"
#include "platform/WavePlayer.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QStyle>
#include <QTemporaryFile>
#include <QTest>

using namespace ks;

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    // The file as found, and the file the window writes back, or the exact failure that
    // stops the start. Loading alone writes nothing.
    void goldenSettings_data() { test::goldenRows("settings", ".reg"); }
    void goldenSettings() {
        QFETCH(QString, path);
        QFile in(path);
        QVERIFY(in.open(QIODevice::ReadOnly));
        const QByteArray text = in.readAll();
        test::TestWindow w(text);
        QCOMPARE(w.stored(), text);
        if (w.error.isEmpty()) w.form->SaveSettings();
        KS_COMPARE_GOLDEN(
            w.error.isEmpty()
                ? w.stored()
                : "error: " + QString(w.error).replace(w.path(), QStringLiteral("FILE")).toUtf8() + '\n',
            test::expectedPath(path));
    }

    // "hour.wav" is a bare name: the current folder comes before the executable's.
    void soundFileLookup_data() {
        QTest::addColumn<bool>("inCurrent");
        QTest::addColumn<bool>("besideExecutable");
        QTest::newRow("in both") << true << true;
        QTest::newRow("beside the executable only") << false << true;
        QTest::newRow("nowhere") << false << false;
    }
    void soundFileLookup() {
        QFETCH(bool, inCurrent);
        QFETCH(bool, besideExecutable);
        // A name of its own, so the build's hour.wav cannot answer.
        QTemporaryFile beside(executableDir() + QStringLiteral("/chime-XXXXXX.wav"));
        QVERIFY(beside.open());
        const QString name = QFileInfo(beside.fileName()).fileName();
        if (!besideExecutable) beside.remove();
        QTemporaryDir current;
        QFile here(current.filePath(name));
        QVERIFY(!inCurrent || here.open(QIODevice::WriteOnly));
        const QString before = QDir::currentPath();
        QVERIFY(QDir::setCurrent(current.path()));
        const QString got = QFileInfo(findSoundFile(name)).canonicalFilePath();
        QVERIFY(QDir::setCurrent(before));
        QCOMPARE(got, QFileInfo(inCurrent ? here.fileName() : beside.fileName()).canonicalFilePath());
        QCOMPARE(got.isEmpty(), !inCurrent && !besideExecutable);
    }

    // The badge never covers a digit, and the status bar's longest texts fit their panels.
    void nothingCoveredOrClipped() {
        test::TestWindow w;
        w.tick();
        for (QLabel* digits : {w.form->lblH, w.form->lblM, w.form->lblS}) {
            const QSize glyphs = digits->fontMetrics().tightBoundingRect(QStringLiteral("88")).size();
            QVERIFY(!QStyle::alignedRect(Qt::LeftToRight, digits->alignment(), glyphs, digits->geometry())
                         .intersects(w.form->tsStatus->geometry()));
        }
        QVERIFY(w.form->ClientCountPanel->fontMetrics().horizontalAdvance(QStringLiteral("256")) <=
                w.form->ClientCountPanel->contentsRect().width());
        QVERIFY(w.form->SerialPanel->fontMetrics().horizontalAdvance(
                    QStringLiteral("Serial Input Connected")) <= w.form->SerialPanel->contentsRect().width());
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
