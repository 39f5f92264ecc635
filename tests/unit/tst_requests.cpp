#include "protocol/Requests.h"

#include <QTest>

using namespace ks;

Q_DECLARE_METATYPE(ks::ClientType)

namespace {
const QByteArray Quorix = "Quorix Request Date and Time";
const QByteArray Brevane = "Brevane Request Date and Time";
const QByteArray K1010 = "KorvatClient1010";
const QByteArray K1012 = "KorvatClient1012";

QByteArray frame(const QByteArray& body) {
    return '{' + body + '}';
}
} // namespace

class TestRequests : public QObject {
    Q_OBJECT
private slots:
    void frames_data() {
        QTest::addColumn<QByteArray>("read");
        QTest::addColumn<QByteArrayList>("bodies");
        QTest::newRow("one frame") << frame(K1010) << QByteArrayList{K1010};
        QTest::newRow("two frames in one read")
            << frame(K1010) + frame(K1010) << QByteArrayList{K1010, K1010};
        QTest::newRow("CR LF between frames: it becomes the skipped character and body text")
            << frame(K1010) + "\r\n" + frame(Quorix) << QByteArrayList{K1010, "\n{" + Quorix};
        QTest::newRow("first character not examined") << "x" + K1010 + "}" << QByteArrayList{K1010};
        QTest::newRow("a closing brace as first character ends the read")
            << QByteArray("}abc}") << QByteArrayList{};
        QTest::newRow("empty read") << QByteArray() << QByteArrayList{};
        QTest::newRow("no closing brace drops everything") << "{" + K1010 << QByteArrayList{};
        QTest::newRow("front half of a split frame") << QByteArray("{Korvat") << QByteArrayList{};
        QTest::newRow("back half of a split frame: stray text up to the brace is a body")
            << QByteArray("Client1010}") << QByteArrayList{"lient1010"};
        QTest::newRow("short body stops the whole read")
            << frame("ab") + frame(K1010) << QByteArrayList{};
        QTest::newRow("empty body stops the read") << "{}" + frame(K1010) << QByteArrayList{};
        QTest::newRow("three characters is long enough")
            << frame("abc") + frame(K1010) << QByteArrayList{"abc", K1010};
        QTest::newRow("short body after a good frame keeps the first")
            << frame(K1010) + frame("ab") + frame(Brevane) << QByteArrayList{K1010};
        QTest::newRow("trailing text without brace is dropped")
            << frame(Brevane) + "{Quorix" << QByteArrayList{Brevane};
        QTest::newRow("single trailing character ends the read quietly") << frame(Brevane) + "\n"
                                                                         << QByteArrayList{Brevane};
        QTest::newRow("bytes are 8-bit, no terminator needed")
            << QByteArray("{\xe9\x00z}", 5) << QByteArrayList{QByteArray("\xe9\x00z", 3)};
    }
    void frames() {
        QFETCH(QByteArray, read);
        QFETCH(QByteArrayList, bodies);
        QCOMPARE(parseRequests(read), bodies);
    }

    void recognition_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<ClientType>("type");
        QTest::addColumn<QByteArray>("token");
        QTest::newRow("Quorix") << Quorix << ClientType::Quorix << QByteArray("QUORIX");
        QTest::newRow("Korvat 1001") << Brevane << ClientType::Korvat1001 << QByteArray("KORVAT");
        QTest::newRow("Korvat 1010") << K1010 << ClientType::Korvat1010 << QByteArray("KORVAT1010");
        QTest::newRow("Korvat 1012 answered like 1010")
            << K1012 << ClientType::Korvat1012 << QByteArray("KORVAT1010");
        QTest::newRow("anywhere in the body")
            << "xx " + K1012 + " yy" << ClientType::Korvat1012 << QByteArray("KORVAT1010");
        QTest::newRow("Quorix wins over 1010 placed before it")
            << K1010 + " " + Quorix << ClientType::Quorix << QByteArray("QUORIX");
        QTest::newRow("Brevane wins over 1010")
            << K1010 + Brevane << ClientType::Korvat1001 << QByteArray("KORVAT");
        QTest::newRow("1010 wins over 1012")
            << K1012 + K1010 << ClientType::Korvat1010 << QByteArray("KORVAT1010");
        QTest::newRow("lower case ignored") << K1010.toLower() << ClientType::None << QByteArray();
        QTest::newRow("upper case ignored") << Quorix.toUpper() << ClientType::None << QByteArray();
        QTest::newRow("truncated text")
            << QByteArray("KorvatClient101") << ClientType::None << QByteArray();
        QTest::newRow("other client code")
            << QByteArray("KorvatClient1011") << ClientType::None << QByteArray();
        QTest::newRow("body keeping the brace of a CR LF gap")
            << "\n{" + Quorix << ClientType::Quorix << QByteArray("QUORIX");
    }
    void recognition() {
        QFETCH(QByteArray, body);
        QFETCH(ClientType, type);
        QFETCH(QByteArray, token);
        QCOMPARE(recogniseRequest(body), type);
        QCOMPARE(replyToken(type), token);
    }

    void requestFramesRoundTrip_data() {
        QTest::addColumn<ClientType>("type");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("quorix") << ClientType::Quorix
                                << QByteArray("{Quorix Request Date and Time}");
        QTest::newRow("korvat") << ClientType::Korvat1001
                                << QByteArray("{Brevane Request Date and Time}");
        QTest::newRow("korvat1010") << ClientType::Korvat1010 << QByteArray("{KorvatClient1010}");
        QTest::newRow("korvat1012") << ClientType::Korvat1012 << QByteArray("{KorvatClient1012}");
        QTest::newRow("none") << ClientType::None << QByteArray();
    }
    void requestFramesRoundTrip() {
        QFETCH(ClientType, type);
        QFETCH(QByteArray, frame);
        QCOMPARE(requestFrame(type), frame);
        if (type == ClientType::None) return;
        const QByteArrayList bodies = parseRequests(frame);
        QCOMPARE(bodies.size(), 1);
        QCOMPARE(recogniseRequest(bodies.first()), type);
    }
};

QTEST_APPLESS_MAIN(TestRequests)
#include "tst_requests.moc"
