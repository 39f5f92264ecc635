// The main window as its operator, GPS receiver, NTP server, clients and group see it: the
// scenarios in tests/golden/gps and tests/golden/window (see the README there) played to a
// window on a fake clock, tick by tick; and the settings files read and written back.
#include "FakeClock.h"
#include "FakeSntpServer.h"
#include "Golden.h"
#include "GroupListener.h"
#include "Pty.h"
#include "TestWindow.h"
#include "ZoneScope.h"
#include "app/CodeLabel.h"
#include "app/ReplyConnection.h"
#include "app/RequestService.h"
#include "app/TimeCore.h"
#include "components/CPDrv.h"
#include "log/Log.h"
#include "platform/Ui.h"
#include "platform/WavePlayer.h"
#include "protocol/Nmea.h"
#include "protocol/Requests.h"
#include "protocol/Sntp.h"

#include <QAbstractSpinBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMutex>
#include <QProcess>
#include <QPushButton>
#include <QStyle>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QTest>

#include <unistd.h>

using namespace ks;

namespace {
// What the chime played: the chime thread appends, the test reads.
QMutex chimeLock;
QList<QByteArray> chimes;
QList<QByteArray> played(bool take = false) {
    QMutexLocker lock(&chimeLock);
    return take ? std::exchange(chimes, {}) : chimes;
}

// The reply serial shown as ####: it is drawn at random.
QByteArray masked(const QByteArray& text) {
    static const QRegularExpression serial(QStringLiteral("KORVAT(_?)\\d{4}"));
    return QString::fromLatin1(text).replace(serial, QStringLiteral("KORVAT\\1####")).toLatin1();
}

// The receiver's set-up as the outcome lists it: what it was told, then what the log says of it.
QList<QList<QByteArray>> setUpForms() {
    QList<QByteArray> told, logged;
    for (const QByteArray& sentence : GpsSetupSentences()) {
        told += "receiver: " + test::caseText(sentence.chopped(1)); // up to its line feed
        logged += "log: 2|GPS Setup|" + test::caseText(sentence);
    }
    return {told, logged};
}

// Each whole set-up as one line (SET-UP), so that only the case about it lists its sentences.
QList<QByteArray> setUpFolded(const QList<QByteArray>& lines) {
    static const QList<QList<QByteArray>> forms = setUpForms();
    QList<QByteArray> out;
    for (qsizetype i = 0; i < lines.size();) {
        const auto whole = std::find_if(forms.begin(), forms.end(), [&](const QList<QByteArray>& form) {
            return lines.mid(i, form.size()) == form;
        });
        if (whole == forms.end()) {
            out += lines[i++];
            continue;
        }
        out += whole->first().left(whole->first().indexOf('$')) + "SET-UP";
        i += whole->size();
    }
    return out;
}

// A request to the window's port 6645, and the reply that comes back on 6646.
QByteArray replyTo(ClientType kind) {
    QTcpServer replies;
    QTcpSocket client;
    QTcpSocket* reply = nullptr;
    if (!replies.listen(QHostAddress::LocalHost, ReplyConnection::ReplyPort)) return "no reply port";
    client.connectToHost(QHostAddress::LocalHost, RequestService::RequestPort);
    client.write(requestFrame(kind));
    test::waitUntil([&] { return (reply = replies.nextPendingConnection()) != nullptr; }, 10000);
    if (!reply ||
        !test::waitUntil([&] { return reply->state() == QAbstractSocket::UnconnectedState; }, 10000))
        return "no reply";
    return reply->readAll();
}

// One scenario: a main window with COM1 on a pseudo-terminal, the fake SNTP server on
// 127.0.0.1:123 (its clock 1 h 2.5 s ahead) and a listener on the group.
class Scenario {
public:
    explicit Scenario(bool gps) : gps_(gps) {
        if (gps) settings_ = "\"port\"=dword:00000001\r\n";
        server_.aheadUs = 3'602'500'000;
        server_.onRequest = [this] { // the lines to play while the attempt waits, then the answer
            requestAt_.append(since_.elapsed());
            if (failUntil_) server_.reply.stratum = server_.requests.size() <= failUntil_ ? 0 : 1;
            const QList<QByteArray> lines = std::exchange(duringWait_, {});
            for (const QByteArray& line : lines) playLine(line);
            if (!lines.isEmpty() && !lines.contains("@click Exit")) server_.answerNow();
            if (answerAfterMs_ > 0)
                QTimer::singleShot(answerAfterMs_, Qt::PreciseTimer, &server_,
                                   [this] { server_.answerNow(); });
            if (!roundTrips_.isEmpty()) { // the clock moves while the request is away
                w_->clock.advance(roundTrips_.takeFirst());
                server_.answerNow();
            }
        };
        plugIn();
        // The other ports to no device: off-screen the GPS source opens its port at the start,
        // and a real serial line is never the test's to open.
        for (const char* port : {"KSERVER_COM2", "KSERVER_COM3", "KSERVER_COM4", "KSERVER_COM5"})
            qputenv(port, "/nonexistent/serial-port");
        since_.start();
    }

    // A line that starts an NTP attempt is played to the attempt's end, as the user sees it.
    bool play(const QByteArray& line) {
        return playLine(line) &&
               (!w_ || test::waitUntil([&] { return !w_->server->NtpAttemptRunning(); }, 30000));
    }

    // A line: a command of the table (by its first word) or bytes the receiver sends. False when
    // it failed, or when no command has its name.
    bool playLine(const QByteArray& line) {
        if (!line.startsWith('@')) {
            if (!w_) startWindow();
            const QByteArray bytes =
                line.endsWith("\\c") ? test::caseBytes(line.chopped(2)) : test::caseBytes(line) + "\r\n";
            sent_ += bytes.size();
            return pty_->write(bytes) && test::waitUntil([&] { return taken_ == sent_; });
        }
        const auto* command = commands_.find(line);
        if (!command) return qWarning("%s", test::unknownCommand(line).constData()), false;
        if (!w_ && !beforeWindow_.contains(Table::name(line))) startWindow();
        return (*command)(Table::argument(line));
    }

    // What the receiver was told, the clock was asked, the log and the group were given, the
    // server was asked and the chime played; then what was looked at, in order.
    QByteArray outcome(const QList<QByteArray>& expected) {
        if (!w_) startWindow();
        auto count = [&](const char* kind) {
            qsizetype n = 0;
            for (const QByteArray& l : expected)
                n += !l.startsWith(kind) ? 0 : l == "receiver: SET-UP" ? GpsSetupSentences().size() : 1;
            return n;
        };
        test::waitUntil(
            [&] { return (received_ += pty_->readAvailable()).count('\n') >= count("receiver: "); });
        test::waitUntil([&] { return played().size() >= count("chime: "); });
        if (count("chime: ")) test::pumpFor(100); // room for a chime too many
        test::waitUntil(
            [&] { return !listener_.waitFor("-", 20) && listener_.received.size() >= count("announce: "); });
        access().Timer1->stop();
        QList<QByteArray> out;
        for (const QByteArray& l : received_.split('\n'))
            if (!l.isEmpty()) out += "receiver: " + test::caseText(l);
        for (const QByteArray& c : w_->clock.changes) out += "clock: " + c;
        for (const LogEntry& e : server().Log().Model().entries().mid(from_))
            out += "log: " + e.col + '|' + e.event + '|' + masked(test::caseText(e.details));
        for (qsizetype i = 0; i < listener_.received.size(); ++i)
            out += "announce: " + listener_.received[i] + " ttl " + QByteArray::number(listener_.ttls[i]);
        if (!server_.requests.isEmpty())
            out += "ntp requests: " + QByteArray::number(server_.requests.size());
        // Retry n waits at least 2^(n-1) base intervals after the attempt before it.
        for (qsizetype i = failFrom_ + 1; retryBase_ && i < requestAt_.size(); ++i)
            if (const qint64 gap = requestAt_[i] - requestAt_[i - 1];
                gap < qint64(retryBase_) << (i - failFrom_ - 1))
                out += "retry " + QByteArray::number(i - failFrom_) + " after " + QByteArray::number(gap) +
                       " ms";
        for (const QByteArray& c : played(true)) out += "chime: " + c;
        return ((setUpShown_ ? out : setUpFolded(out)) + seen_).join('\n') + '\n';
    }

private:
    // "silent", "stratum N", "failing N": the NTP server stops answering, answers with stratum N,
    // answers the next N requests with stratum 0 and the ones after with stratum 1;
    // "round-trips MS...": the next requests are answered once the clock has moved MS each.
    bool ntp(const QByteArray& arg) {
        const QByteArray n = arg.mid(arg.indexOf(' ') + 1);
        if (arg == "silent") return server_.mode = test::FakeSntpServer::Mode::Silent, true;
        if (arg.startsWith("stratum ")) return server_.reply.stratum = n.toInt(), true;
        if (arg.startsWith("answer-after ")) {
            server_.mode = test::FakeSntpServer::Mode::Silent;
            return answerAfterMs_ = n.toInt(), true;
        }
        if (arg.startsWith("round-trips ")) {
            server_.mode = test::FakeSntpServer::Mode::Silent;
            for (const QByteArray& ms : n.split(' ')) roundTrips_.append(ms.toInt());
            return true;
        }
        if (!arg.startsWith("failing ")) return false;
        failFrom_ = server_.requests.size();
        failUntil_ = failFrom_ + n.toInt();
        return true;
    }
    void redraw() { // a draw repeats the last serial once in 9999: four tries
        const QByteArray first = replyTo(ClientType::Korvat1001);
        QByteArray next = first;
        for (int draw = 0; draw < 4 && next.left(11) == first.left(11); ++draw)
            server().Timer2Timer(), next = replyTo(ClientType::Korvat1001);
        seen_ += (next.left(11) != first.left(11) ? "redraw: new " : "redraw: same ") + masked(next);
        from_ = server().Log().Model().entries().size(); // as many entries as draws
    }
    void soundFile(const QByteArray& arg) { // where a bare name is found, by a name of its own
        QTemporaryFile beside(executableDir() + QStringLiteral("/chime-XXXXXX.wav"));
        QTemporaryDir current;
        const QString name = QFileInfo((beside.open(), beside.fileName())).fileName();
        if (!arg.contains("beside")) beside.remove();
        if (arg.contains("current")) QFile(current.filePath(name)).open(QIODevice::WriteOnly);
        const QString before = QDir::currentPath();
        QDir::setCurrent(current.path());
        const QString got = QFileInfo(findSoundFile(name)).canonicalFilePath();
        QDir::setCurrent(before);
        seen_ += "sound file: " + QByteArray(got.isEmpty() ? "none"
                                             : got.startsWith(QDir(current.path()).canonicalPath())
                                                 ? "current folder"
                                                 : "beside the executable");
    }
    static qint64 at(const QByteArray& text) {
        return QDateTime::fromString(QString::fromLatin1(text), Qt::ISODateWithMs).toMSecsSinceEpoch();
    }
    void startWindow() {
        if (gps_ && !settings_.contains("\"source\"")) settings_ += "\"source\"=dword:00000001\r\n";
        w_.emplace(settings_.isEmpty() ? QByteArray() : test::SettingsHeader + settings_, start_);
        TForm1& f = form();
        f.LogFrm()->Debug1()->setChecked(debug_);
        from_ = gps_ ? server().Log().Model().entries().size() : 0;
        // Counts what the port hands over: the next line goes once the window has read this one.
        TCommPortDriver* port = server().Gps().ComPort1;
        port->OnReceiveData = [this, deliver = port->OnReceiveData](TCommPortDriver* s, const char* d,
                                                                    quint32 n) {
            deliver(s, d, n);
            taken_ += n;
        };
        for (CodeLabel* label : f.findChildren<CodeLabel*>()) named_[label->objectName().toLatin1()] = label;
    }
    // A connection to port 6645 that sends nothing, with the window's idle limit run 20 times
    // faster (1 s is 50 ms): whether it is still open 40 s and 80 s after it was made.
    void quietConnection() {
        constexpr int Scale = 20;
        server().Requests().ClientIdleMs /= Scale;
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, RequestService::RequestPort);
        if (!client.waitForConnected(5000)) return void(seen_ += "quiet connection: not accepted");
        QElapsedTimer made;
        made.start();
        QByteArray at;
        for (const int s : {40, 80}) {
            test::waitUntil([&] { return client.state() != QAbstractSocket::ConnectedState; },
                            int(s * 1000 / Scale - made.elapsed()));
            at += QByteArray(at.isEmpty() ? "" : ", ") +
                  (client.state() == QAbstractSocket::ConnectedState ? "open" : "closed") + " at " +
                  QByteArray::number(s) + " s";
        }
        seen_ += "quiet connection: " + at;
    }
    // What korvat-probe status shows of the GPS receiver, as text and as JSON.
    void status() {
        for (const QStringList& args : {QStringList{QStringLiteral("status")},
                                        QStringList{QStringLiteral("status"), QStringLiteral("--json")}}) {
            QProcess probe;
            probe.start(QStringLiteral(KS_PROBE_BIN), args);
            test::waitUntil([&] { return probe.state() == QProcess::NotRunning; }, 30000);
            const QByteArray out = probe.readAllStandardOutput();
            if (args.size() == 1) {
                for (const QByteArray& l : out.split('\n'))
                    if (l.startsWith("GPS")) seen_ += "status: " + l;
            } else {
                const QJsonObject status = QJsonDocument::fromJson(out).object();
                const QJsonObject gps = status[QLatin1String("gps")].toObject();
                seen_ += "status json: " + QJsonDocument(gps).toJson(QJsonDocument::Compact);
                for (const char* key : {"last_ntp_answer", "last_ntp_attempt"})
                    if (status.contains(QLatin1String(key)))
                        seen_ += key + QByteArray(": ") +
                                 QJsonDocument(status[QLatin1String(key)].toObject())
                                     .toJson(QJsonDocument::Compact);
            }
        }
    }
    // A code label by name, a button or menu entry by its text; failure messages are kept.
    void click(const QByteArray& name) {
        TForm1& f = *w_->form;
        QTemporaryFile err;
        const int saved = ::dup(2);
        if (err.open()) ::dup2(err.handle(), 2);
        const QString text = QString::fromLatin1(name);
        [&] {
            if (named_.count(name)) return QTest::mouseClick(named_.at(name), Qt::LeftButton);
            for (QPushButton* b : f.findChildren<QPushButton*>())
                if (b->text() == text) return b->click();
            for (QObject* window : {static_cast<QObject*>(&f), static_cast<QObject*>(f.LogFrm())})
                for (QAction* a : window->findChildren<QAction*>())
                    if (a->text().remove(QLatin1Char('&')) == text) return a->trigger();
            seen_ += "no control " + name;
        }();
        std::fflush(stderr);
        ::dup2(saved, 2);
        ::close(saved);
        err.seek(0);
        for (const QByteArray& l : err.readAll().split('\n'))
            if (l.startsWith("Korvat Server") || l.startsWith("Settings: cannot save"))
                seen_ +=
                    "stderr: " +
                    QString::fromLocal8Bit(l).replace(w_->dir.path(), QStringLiteral("DIR")).toLocal8Bit();
    }
    // The visible text and colours, the windows and panels shown, the buttons enabled, then
    // the codes highlighted and the menu entries checked.
    void look() {
        TForm1& f = *w_->form;
        const auto label = [&](const char* name) { return test::control<QLabel>(f, name); };
        QLabel* const status = label("tsStatus");
        const QPalette p = status->palette();
        const QString colon = label("DotLabel")->isHidden() ? QStringLiteral(" ") : QStringLiteral(":");
        QByteArray line = "show: " + QStringList{label("lblH")->text() + colon + label("lblM")->text() +
                                                     colon + label("lblS")->text(),
                                                 label("DateLabel")->text(),
                                                 status->text(),
                                                 p.color(QPalette::Window).name(),
                                                 p.color(QPalette::WindowText).name(),
                                                 label("SerialPanel")->text(),
                                                 label("ClientCountPanel")->text(),
                                                 f.windowTitle()}
                                         .join(QLatin1Char('|'))
                                         .toUtf8();
        const std::pair<const char*, QWidget*> shown[] = {{"window", &f},
                                                          {"settings", test::control(f, "SettingsPanel")},
                                                          {"date", label("DateLabel")},
                                                          {"gps", test::control(f, "GPSPanel")},
                                                          {"ntp", test::control(f, "NTPPanel")},
                                                          {"log", f.LogFrm()}};
        for (const auto& [name, widget] : shown)
            if (widget->isVisible()) line += ' ' + QByteArray(name);
        for (const char* name : {"btnConnect", "btnDisconnect"})
            if (QPushButton* b = test::control<QPushButton>(f, name); b->isEnabled())
                line += ' ' + b->text().toUtf8().toLower();
        // Nothing may cover a digit, nor clip the status bar's longest texts.
        for (QLabel* digits : {label("lblH"), label("lblM"), label("lblS")}) {
            const QSize glyphs = digits->fontMetrics().tightBoundingRect(QStringLiteral("88")).size();
            if (QStyle::alignedRect(Qt::LeftToRight, digits->alignment(), glyphs, digits->geometry())
                    .intersects(status->geometry()))
                line += " covered " + digits->objectName().toUtf8();
        }
        for (const auto& [panel, text] :
             {std::pair{label("ClientCountPanel"), QStringLiteral("256")},
              std::pair{label("SerialPanel"), QStringLiteral("Serial Input Connected")}})
            if (panel->fontMetrics().horizontalAdvance(text) > panel->contentsRect().width())
                line += " clipped " + text.toUtf8();
        seen_ += line;
        line = "lit:";
        for (const auto& [name, code] : named_)
            if (qobject_cast<CodeLabel*>(code)->isHighlighted()) line += ' ' + name;
        seen_ += line + (test::control<QAction>(f, "Chimes1")->isChecked() ? " Chimes1" : "");
    }
    // The receiver's device: a new one each time, kept to the end so its name is not reused.
    void plugIn() {
        if (pty_) unplugged_.push_back(std::move(pty_));
        pty_ = std::make_unique<test::Pty>();
        qputenv("KSERVER_COM1", pty_->slavePath().toLocal8Bit());
        sent_ = taken_ = 0;
    }

    bool gps_, debug_ = true, setUpShown_ = false;
    QByteArray settings_, received_;
    QList<QByteArray> duringWait_, seen_;
    qint64 start_ = test::TestWindow::DefaultNow, sent_ = 0, taken_ = 0;
    qsizetype from_ = 0, failFrom_ = 0, failUntil_ = 0;
    int retryBase_ = 0, answerAfterMs_ = 0;
    QList<int> roundTrips_;
    QElapsedTimer since_;
    QList<qint64> requestAt_; // when each request came, since the scenario began
    test::FakeSntpServer server_{QHostAddress::LocalHost, SntpDefaultPort};
    test::GroupListener listener_;
    std::optional<test::ZoneScope> zone_;
    std::unique_ptr<test::Pty> pty_;
    std::vector<std::unique_ptr<test::Pty>> unplugged_;
    std::optional<test::TestWindow> w_;
    std::map<QByteArray, QWidget*> named_;

    TForm1& form() { return *w_->form; }
    Server& server() { return *w_->server; }
    // The field's text replaced by typing, as the user would.
    template <typename Field> bool typeInto(const char* name, const QByteArray& text) {
        Field* field = test::control<Field>(form(), name);
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, QString::fromLatin1(text));
        return true;
    }
    Server::TestAccess access() { return Server::TestAccess(server()); }
    // The commands; `window`: the window starts first, unless it runs already.
    // Commands that set the stage; every other one needs the window, started at its first.
    const QSet<QByteArray> beforeWindow_{"@settings", "@debug",       "@start", "@tz",
                                         "@ntp",      "@during-wait", "@set-up"};
    using Table = test::Commands<std::function<bool(const QByteArray& arg)>>;
    const Table commands_{
        {"@settings", [this](const QByteArray& arg) { return settings_ += arg + "\r\n", true; }},
        {"@debug", [this](const QByteArray& arg) { return arg == "off" && !(debug_ = false); }},
        {"@set-up", [this](const QByteArray& arg) { return arg == "shown" && (setUpShown_ = true); }},
        {"@start", [this](const QByteArray& arg) { return start_ = at(arg), true; }},
        {"@tz", [this](const QByteArray& arg) { return zone_.emplace(arg), true; }},
        {"@ntp", [this](const QByteArray& arg) { return ntp(arg); }},
        {"@during-wait",
         [this](const QByteArray& arg) { // a line no command names fails here
             return (!arg.startsWith('@') || commands_.find(arg)) && (duringWait_.append(arg), true);
         }},
        {"@show", [this](const QByteArray&) { return form().show(), true; }},
        {"@close", [this](const QByteArray&) { return form().close(), true; }},
        {"@hourly", [this](const QByteArray&) { return server().Timer2Timer(), true; }},
        {"@connect", [this](const QByteArray&) { return form().btnConnectClick(), true; }},
        {"@network",
         [this](const QByteArray& arg) { return arg == "on" && (access().NetworkPresent = true); }},
        {"@retry-base",
         [this](const QByteArray& arg) {
             return server().Ntp().NtpRetryBaseMs = retryBase_ = arg.toInt(), true;
         }},
        {"@wait-log",
         [this](const QByteArray& arg) {
             return test::waitUntil([&] { return server().Log().Model().entries().size() >= arg.toInt(); },
                                    30000);
         }},
        {"@look", [this](const QByteArray&) { return look(), true; }},
        {"@status", [this](const QByteArray&) { return status(), true; }},
        {"@quiet-connection", [this](const QByteArray&) { return quietConnection(), true; }},
        {"@follow", [this](const QByteArray&) { return w_->clock.follows = true, true; }},
        {"@click", [this](const QByteArray& arg) { return click(arg), true; }},
        {"@at", [this](const QByteArray& arg) { return w_->clock.setNow(at(arg)), true; }},
        {"@refuse",
         [this](const QByteArray& arg) { return w_->clock.refuse = QString::fromLatin1(arg), true; }},
        {"@running",
         [this](const QByteArray& arg) {
             if (arg != "on" && arg != "off") return false;
             return arg == "on" ? access().Timer1->start() : access().Timer1->stop(), true;
         }},
        {"@block",
         [this](const QByteArray&) {
             return QFile(w_->dir.filePath(QStringLiteral("BREVANE"))).open(QIODevice::WriteOnly);
         }},
        {"@unblock",
         [this](const QByteArray&) { return QFile::remove(w_->dir.filePath(QStringLiteral("BREVANE"))); }},
        {"@file",
         [this](const QByteArray&) {
             seen_ += "file: " + (QFile::exists(w_->path()) ? test::caseText(w_->stored()) : "none");
             return true;
         }},
        {"@request",
         [this](const QByteArray& arg) {
             if (arg != "quorix" && arg != "korvat") return false;
             seen_ +=
                 "reply: " + masked(replyTo(arg == "quorix" ? ClientType::Quorix : ClientType::Korvat1001));
             return true;
         }},
        {"@redraw", [this](const QByteArray&) { return redraw(), true; }},
        {"@sound-file", [this](const QByteArray& arg) { return soundFile(arg), true; }},
        {"@pause",
         [this](const QByteArray& arg) {
             for (int ms = arg.toInt(); ms > 0; ms -= 250) w_->tick();
             test::pumpFor(20); // what a tick wrote reaches the receiver
             return true;
         }},
        {"@unplug",
         [this](const QByteArray&) {
             received_ += pty_->readAvailable();
             pty_->hangUp();
             if (!test::waitUntil([&] { return !form().SerialConnected(); })) return false;
             return plugIn(), true;
         }},
        {"@delay", [this](const QByteArray& arg) { return typeInto<QAbstractSpinBox>("GpsDelayEdit", arg); }},
        {"@type", [this](const QByteArray& arg) { return typeInto<QLineEdit>("Edit1", arg); }},
        {"@button-colour",
         [this](const QByteArray& arg) {
             QPalette theme = form().palette();
             theme.setColor(QPalette::Button, QColor(QString::fromLatin1(arg)));
             form().setPalette(theme);
             return true;
         }},
    };
};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (qEnvironmentVariableIsEmpty("KS_IN_NETNS"))
            QSKIP("serves on port 123: run inside tests/netns-run");
        installWavePlayer([](const QString&) {
            QMutexLocker lock(&chimeLock);
            chimes += "hour"; // the sound file found depends on the folder the test runs in
        });
    }
    void cleanup() {
        for (const char* port :
             {"KSERVER_COM1", "KSERVER_COM2", "KSERVER_COM3", "KSERVER_COM4", "KSERVER_COM5"})
            qunsetenv(port);
    }

    // Window scenarios; and settings files as found, the file the window writes back or the
    // exact failure that stops the start (loading alone writes nothing).
    void golden_data() {
        test::goldenRows("gps", ".nmea");
        test::goldenRows("window", ".scenario");
        test::goldenRows("settings", ".reg");
    }
    void golden() {
        QFETCH(QString, path);
        if (path.endsWith(QLatin1String(".reg"))) {
            QFile in(path);
            QVERIFY(in.open(QIODevice::ReadOnly));
            const QByteArray text = in.readAll();
            test::TestWindow w(text);
            QCOMPARE(w.stored(), text);
            if (w.error.isEmpty()) w.server->SaveSettings();
            const QString error = QString(w.error).replace(w.path(), QStringLiteral("FILE"));
            KS_COMPARE_GOLDEN(error.isEmpty() ? w.stored() : "error: " + error.toUtf8() + '\n',
                              test::expectedPath(path));
            return;
        }
        Scenario s(path.endsWith(QLatin1String(".nmea")));
        for (const QByteArray& line : test::scriptLines(path)) QVERIFY2(s.play(line), line.constData());
        KS_COMPARE_GOLDEN(s.outcome(test::unfolded(test::scriptLines(test::expectedPath(path)))),
                          test::expectedPath(path));
    }
    // The time core slewing: two NTP samples an hour apart, the clock 2.5 s ahead and 50 ppm
    // fast; its status, its clock changes, and the correction kept for the next start. The
    // clock stands still, so the slew is all still to run.
    void timeCoreKeepsItsFrequency() {
        QTemporaryDir state;
        qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
        const qint64 t0 = 1796479509000; // 2026-12-05 14:05:09 UTC
        test::FakeClock clock(t0 + 2500);
        const auto status = [](const TimeCore& core) {
            QJsonObject o;
            core.AddStatus(o);
            return QJsonDocument(o).toJson(QJsonDocument::Compact);
        };
        {
            TimeCore core;
            core.SetSlew(true);
            QVERIFY(core.Take({TimeSource::Ntp, t0, t0 + 2500, 3}));
            clock.setNow(t0 + 3'600'000 + 180);
            QVERIFY(core.Take({TimeSource::Ntp, t0 + 3'600'000, t0 + 3'600'180, 3}));
            QCOMPARE(
                status(core),
                QByteArray(
                    R"({"clock_slews":1,"clock_steps":1,"estimated_error_ms":183,"frequency_ppm":-50.032,)"
                    R"("last_clock_setting":{"at":"2026-12-05T15:05:09Z","source":"NTP","step_ms":-180},)"
                    R"("last_sample":{"at":"2026-12-05T15:05:09Z","source":"NTP","uncertainty_ms":3}})"));
        }
        QCOMPARE(clock.changes, (QList<QByteArray>{"2026-12-05T14:05:09.000Z local",
                                                   "2026-12-05T15:05:09.180Z slew -180.000",
                                                   "2026-12-05T15:05:09.180Z freq -50.032"}));
        QFile drift(TimeCore::DriftFile());
        QVERIFY(drift.open(QIODevice::ReadOnly));
        QCOMPARE(drift.readAll(), QByteArray("-50.032\n"));

        // Stepping leaves the clock's rate alone, whatever was kept; slewing brings it in.
        clock.changes.clear();
        TimeCore next;
        next.SetSlew(false);
        QCOMPARE(clock.changes, QList<QByteArray>{});
        next.SetSlew(true);
        QCOMPARE(clock.changes, QList<QByteArray>{"2026-12-05T15:05:09.180Z freq -50.032"});
        QCOMPARE(status(next), QByteArray(R"({"clock_slews":0,"clock_steps":0,"frequency_ppm":-50.032})"));
        // Back to stepping: the correction is taken away again.
        next.SetSlew(false);
        QCOMPARE(clock.changes.last(), QByteArray("2026-12-05T15:05:09.180Z freq +0.000"));
        qunsetenv("XDG_STATE_HOME");
    }

    // A mistyped command, or one with an argument it does not take, fails its case.
    void mistyped_data() {
        QTest::addColumn<QByteArray>("line");
        for (const char* line : {"@clik Exit", "@ntp sielnt", "@running of", "@request quorx",
                                 "@during-wait @clik Exit", "@debug"})
            QTest::newRow(line) << QByteArray(line);
    }
    void mistyped() {
        QFETCH(QByteArray, line);
        Scenario s(false);
        if (line.startsWith("@clik"))
            QTest::ignoreMessage(QtWarningMsg, test::unknownCommand(line).constData());
        QVERIFY(!s.play(line));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_window.moc"
