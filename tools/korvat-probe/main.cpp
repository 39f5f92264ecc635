// korvat-probe: asks a Korvat time server for the time, listens to its state
// announcements, measures its request service, and shows the local server's state.
#include "Bench.h"
#include "Listen.h"
#include "Metrics.h"
#include "Request.h"
#include "SettingsCommand.h"
#include "Status.h"

#ifdef KS_METRICS_LISTENER
#include "MetricsHttp.h"
#endif

#include <QCoreApplication>
#include <QHash>
#include <QTimer>

#include <cmath>
#include <optional>

using namespace probe;

namespace {
const char HelpText[] = R"(Usage: korvat-probe COMMAND [ARGUMENTS]

Asks a Korvat time server for the time, listens to its state announcements, or
measures its request service. Requests go to TCP port 6645; the server answers on a
new connection to port 6646 of the requesting address, so the probe listens there.

Commands:
  request HOST [--kind KIND] [--timeout MS] [--bind ADDR]
      Listens on port 6646 (of ADDR, else of every address), sends one request frame
      to HOST port 6645 (from ADDR when given) and waits for the reply. Prints the
      reply, its fields, their offset from the local clock, and the client error:
      the time the reply carries less the local clock when its last byte arrived, in
      ms (a client that sets its clock from the reply is behind by that much).
      KIND: korvat      {Brevane Request Date and Time} (the default)
            korvat1010  {KorvatClient1010}
            korvat1012  {KorvatClient1012}
            quorix      {Quorix Request Date and Time}
      MS: how long to wait for the reply, 1 to 600000, default 5000.

  listen [SECONDS]
      Joins 224.0.0.1 port 6649 and prints each state announcement with its
      meaning ("1_0_2  GPS, synchronised", "0_0_9  server shutting down"), for
      SECONDS (1 to 86400) or, without it, until interrupted.

  bench HOST --requests N --sources K [--kind KIND] [--source-base ADDR]
             [--rate R | --sequential] [--timeout MS] [--deadline SECONDS]
             [--in-flight M]
      Sends N requests (1 to 1000000) from K local source addresses (1 to 250):
      ADDR, ADDR+1, ... (default 127.0.0.1 upwards; any 127.x.y.z works on the
      loopback device), listening on port 6646 of each. The requests go round the
      sources in turn: all at once (at most M request connections open, 1 to 1000,
      default 64), R per second (up to 10000), or with --sequential each after the
      previous reply. It waits MS
      (default 5000) for replies after the last request, and stops after SECONDS
      in all (default 120, at most 600). Prints sent, answered, lost, malformed,
      whether each source's replies came in the order its requests were sent, the
      latency from sending a request to the end of its reply (p50, p99, max), the
      client error of Korvat replies as in request (min, p50, p99, max), and the
      replies per second from the first request to the last reply.

  status [--json] [--watch [SECONDS]] [--check]
      Shows the state of the server running on this machine for this user, read
      through its local socket ($XDG_RUNTIME_DIR/kserver.status, else
      $TMPDIR/kserver-<uid>/): version, uptime, source and its device or NTP
      server, the settings file, the state in words, whether it may set the clock
      and how many settings were refused, the last clock setting (when, from which
      source, by how much the clock moved), the last NTP attempt and its outcome,
      the last NTP answer (address, stratum, offset, round trip) and when the next
      attempt is due, replies sent, failed and refused since start, whether
      replies leave on the second's edge, requests waiting in the queue and
      connections holding unread ones, connections open, settings ignored, why
      the serial port is not open, and while it is open the GPS receiver (talker,
      fix, satellites, lateness against this PC's clock, delay, discipline).
      With --json, the server's JSON object as it is (for monitoring).
      With --watch, again every SECONDS (1 to 3600, default 1) until interrupted.
      With --check, prints nothing when the server is fit to serve: it answers,
      is synchronised (state digit 2) and has not failed more replies than it
      sent; otherwise one line saying why (for a health check).

  metrics [--textfile FILE | --listen ADDRESS:PORT]
      Prints the server's state in the Prometheus text format 0.0.4 (korvat_up,
      korvat_info, korvat_sync_state, counters ending in _total, seconds as the
      unit). With no server answering it prints korvat_up 0 all the same. With
      --textfile, writes it to FILE instead, under a temporary name renamed to
      FILE (for a textfile collector: FILE ends in .prom). With --listen,
      serves the same at http://ADDRESS:PORT/metrics (suggested port 6647),
      reading the state at each request, until interrupted (not in the Windows
      build).

  sync
      Asks the server for an NTP attempt now, as its "FORCE SYNC" button does,
      and prints the outcome once the attempt has ended. The only command that
      makes the server act; like status, only its own user may ask.

  set NAME VALUE
      Changes a setting of the server running for this user, as its settings
      panel would, and saves it; with no server running, in the settings file
      (the server reads it at its next start). VALUE is a decimal number among
      the setting's allowed values or one of its words: source pc, gps or ntp;
      baud as bits per second (4800, 9600, ...); parity none, odd or even;
      chimes, autoconnect, localtime, gmt, slew, onsecond on or off (localtime
      and gmt turn the other off, as the panel does). A value not allowed is
      refused, naming the allowed ones, and nothing changes. Prints the setting
      as it now is. Besides sync, the only command that makes the server act.

  get [NAME]
      Prints every setting, or the one named, as "name value" (the words above
      where a value has one), from the running server or else from the file.
      korvat-server(5) describes the settings.

  --help, -h
      This text.

  --version
      The version.

Exit codes:
  0   request: a well-formed reply. listen: SECONDS have passed. status: answered
      (with --check: and fit to serve). metrics: the server answered.
      bench: every request answered, well-formed, in order. sync: it succeeded.
  1   request: no reply within MS. bench: requests lost or not started in time.
      sync: the attempt failed (or the source is not NTP). set: the change could
      not be saved. set, get: the settings file cannot be read.
      status --check: the server is not synchronised or its replies fail.
  2   request: a malformed reply (or one of another format than asked for).
      bench: a reply malformed, out of order or unasked for.
  3   network: port 6646 or 6649 taken, HOST refused or unreachable, a source
      address unusable. status, sync, metrics: no server answers. set, get: a
      server runs but does not answer.
  4   metrics --textfile: FILE cannot be written.
  64  usage: unknown command or option, bad value; set: a value not allowed.
)";

// Command line: positional words and "--name value" / "--name=value" options.
struct Arguments {
    QStringList positional;
    QHash<QString, QString> options;
    QStringList flags;
};

const QStringList Flags = {QStringLiteral("sequential"), QStringLiteral("help"), QStringLiteral("version"),
                           QStringLiteral("json"), QStringLiteral("check")};

Arguments split(const QStringList& args) {
    Arguments parsed;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QLatin1String("-h")) {
            parsed.flags.append(QStringLiteral("help"));
        } else if (arg.startsWith(QLatin1String("--"))) {
            QString name = arg.mid(2);
            const qsizetype eq = name.indexOf(QLatin1Char('='));
            if (Flags.contains(name)) {
                parsed.flags.append(name);
            } else if (eq >= 0) {
                parsed.options.insert(name.left(eq), name.mid(eq + 1));
            } else if (i + 1 < args.size() && !args[i + 1].startsWith(QLatin1String("--"))) {
                parsed.options.insert(name, args[++i]);
            } else {
                // Missing its value, or no option at all: the command's reader tells which.
                parsed.options.insert(name, QString());
            }
        } else {
            parsed.positional.append(arg);
        }
    }
    return parsed;
}

// Reads the options a command allows; complains about any other.
class OptionReader {
public:
    OptionReader(const Arguments& args, QStringList allowed) : args_(args), allowed_(std::move(allowed)) {}

    bool checkNames(QString* error) const {
        for (auto it = args_.options.cbegin(); it != args_.options.cend(); ++it) {
            if (!allowed_.contains(it.key())) {
                *error = QStringLiteral("unknown option --%1").arg(it.key());
                return false;
            }
        }
        for (const QString& flag : args_.flags) {
            if (!allowed_.contains(flag)) {
                *error = QStringLiteral("unknown option --%1").arg(flag);
                return false;
            }
        }
        for (auto it = args_.options.cbegin(); it != args_.options.cend(); ++it) {
            if (it.value().isNull()) {
                *error = QStringLiteral("option --%1 needs a value").arg(it.key());
                return false;
            }
        }
        return true;
    }

    bool number(const QString& name, double low, double high, double* value, QString* error) const {
        if (!args_.options.contains(name)) return true;
        bool ok = false;
        const double v = args_.options.value(name).toDouble(&ok);
        if (!ok || v < low || v > high) {
            // Up to 15 digits, so a limit of a million reads as one, not as 1e+06.
            *error = QStringLiteral("--%1 must be a number from %2 to %3")
                         .arg(name)
                         .arg(low, 0, 'g', 15)
                         .arg(high, 0, 'g', 15);
            return false;
        }
        *value = v;
        return true;
    }

    bool integer(const QString& name, int low, int high, int* value, QString* error) const {
        double v = *value;
        if (!number(name, low, high, &v, error)) return false;
        if (v != std::floor(v)) {
            *error = QStringLiteral("--%1 must be a whole number").arg(name);
            return false;
        }
        *value = int(v);
        return true;
    }

    bool kind(ks::ClientType* value, QString* error) const {
        if (!args_.options.contains(QStringLiteral("kind"))) return true;
        *value = kindFromName(args_.options.value(QStringLiteral("kind")));
        if (*value == ks::ClientType::None) {
            *error = QStringLiteral("--kind must be korvat, korvat1010, korvat1012 or quorix");
            return false;
        }
        return true;
    }

    bool address(const QString& name, QHostAddress* value, QString* error) const {
        if (!args_.options.contains(name)) return true;
        const QHostAddress a(args_.options.value(name));
        if (a.protocol() != QAbstractSocket::IPv4Protocol) {
            *error = QStringLiteral("--%1 must be an IPv4 address").arg(name);
            return false;
        }
        *value = a;
        return true;
    }

    bool has(const QString& name) const { return args_.options.contains(name); }
    bool flag(const QString& name) const { return args_.flags.contains(name); }

private:
    const Arguments& args_;
    QStringList allowed_;
};

int usage(const QString& error) {
    printError(QStringLiteral("korvat-probe: ") + error);
    printError(QStringLiteral("Try 'korvat-probe --help'."));
    return ExitUsage;
}
} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QString error;
    const Arguments args = split(app.arguments().mid(1));
    if (args.flags.contains(QStringLiteral("help"))) {
        printLine(QString::fromLatin1(HelpText).trimmed());
        return ExitOk;
    }
    if (args.flags.contains(QStringLiteral("version"))) {
        printLine(QStringLiteral("korvat-probe " KS_VERSION));
        return ExitOk;
    }
    if (args.positional.isEmpty()) return usage(QStringLiteral("no command given"));
    const QString command = args.positional.first();

    if (command == QLatin1String("request")) {
        const OptionReader reader(
            args, {QStringLiteral("kind"), QStringLiteral("timeout"), QStringLiteral("bind")});
        if (args.positional.size() != 2) return usage(QStringLiteral("request needs one HOST"));
        RequestCommand::Options options;
        options.host = args.positional[1];
        if (!reader.checkNames(&error) || !reader.kind(&options.kind, &error) ||
            !reader.integer(QStringLiteral("timeout"), 1, 600000, &options.timeoutMs, &error) ||
            !reader.address(QStringLiteral("bind"), &options.bind, &error))
            return usage(error);
        RequestCommand request(options);
        // Inside the loop, so a failure at once can end it.
        QTimer::singleShot(0, &request, &RequestCommand::start);
        return app.exec();
    }

    if (command == QLatin1String("listen")) {
        const OptionReader reader(args, {});
        if (!reader.checkNames(&error)) return usage(error);
        if (args.positional.size() > 2) return usage(QStringLiteral("listen takes at most SECONDS"));
        int seconds = 0;
        if (args.positional.size() == 2) {
            bool ok = false;
            seconds = args.positional[1].toInt(&ok);
            if (!ok || seconds < 1 || seconds > 86400)
                return usage(QStringLiteral("SECONDS must be a whole number from 1 to 86400"));
        }
        ListenCommand listen(seconds);
        // Inside the loop, so a failure at once can end it.
        QTimer::singleShot(0, &listen, &ListenCommand::start);
        return app.exec();
    }

    if (command == QLatin1String("bench")) {
        const OptionReader reader(
            args, {QStringLiteral("requests"), QStringLiteral("sources"), QStringLiteral("kind"),
                   QStringLiteral("source-base"), QStringLiteral("rate"), QStringLiteral("sequential"),
                   QStringLiteral("timeout"), QStringLiteral("deadline"), QStringLiteral("in-flight")});
        if (args.positional.size() != 2) return usage(QStringLiteral("bench needs one HOST"));
        if (!reader.has(QStringLiteral("requests")) || !reader.has(QStringLiteral("sources")))
            return usage(QStringLiteral("bench needs --requests N and --sources K"));
        BenchCommand::Options options;
        options.host = args.positional[1];
        options.sequential = reader.flag(QStringLiteral("sequential"));
        if (!reader.checkNames(&error) ||
            !reader.integer(QStringLiteral("requests"), 1, BenchCommand::MaxRequests, &options.requests,
                            &error) ||
            !reader.integer(QStringLiteral("sources"), 1, BenchCommand::MaxSources, &options.sources,
                            &error) ||
            !reader.kind(&options.kind, &error) ||
            !reader.address(QStringLiteral("source-base"), &options.sourceBase, &error) ||
            !reader.number(QStringLiteral("rate"), 0.01, BenchCommand::MaxRate, &options.rate, &error) ||
            !reader.integer(QStringLiteral("timeout"), 1, 600000, &options.timeoutMs, &error) ||
            !reader.integer(QStringLiteral("deadline"), 1, BenchCommand::MaxDeadlineSeconds,
                            &options.deadlineSeconds, &error) ||
            !reader.integer(QStringLiteral("in-flight"), 1, BenchCommand::MaxInFlight, &options.inFlight,
                            &error))
            return usage(error);
        if (options.sequential && options.rate > 0)
            return usage(QStringLiteral("--rate and --sequential exclude each other"));
        if (quint64(options.sourceBase.toIPv4Address()) + quint64(options.sources) - 1 > 0xffffffffu)
            return usage(QStringLiteral("--sources K runs past 255.255.255.255"));
        BenchCommand bench(options);
        // Inside the loop, so a failure at once can end it.
        QTimer::singleShot(0, &bench, &BenchCommand::start);
        return app.exec();
    }

    if (command == QLatin1String("status")) {
        Arguments statusArgs = args;
        // --watch alone redraws every second.
        const auto watch = statusArgs.options.find(QStringLiteral("watch"));
        if (watch != statusArgs.options.end() && watch->isNull()) *watch = QStringLiteral("1");
        const OptionReader reader(statusArgs,
                                  {QStringLiteral("json"), QStringLiteral("watch"), QStringLiteral("check")});
        double seconds = 0;
        if (!reader.checkNames(&error) || !reader.number(QStringLiteral("watch"), 1, 3600, &seconds, &error))
            return usage(error);
        if (args.positional.size() != 1) return usage(QStringLiteral("status takes no argument"));
        if (reader.flag(QStringLiteral("check"))) {
            if (reader.flag(QStringLiteral("json")) || reader.has(QStringLiteral("watch")))
                return usage(QStringLiteral("--check takes neither --json nor --watch"));
            return checkCommand();
        }
        return statusCommand(reader.flag(QStringLiteral("json")), int(seconds));
    }

    if (command == QLatin1String("metrics")) {
        const OptionReader reader(args, {QStringLiteral("listen"), QStringLiteral("textfile")});
        if (!reader.checkNames(&error)) return usage(error);
        if (args.positional.size() != 1) return usage(QStringLiteral("metrics takes no argument"));
        if (reader.has(QStringLiteral("listen")) && reader.has(QStringLiteral("textfile")))
            return usage(QStringLiteral("--listen and --textfile exclude each other"));
        if (!reader.has(QStringLiteral("listen")))
            return metricsCommand(args.options.value(QStringLiteral("textfile")));
#ifdef KS_METRICS_LISTENER
        const QString where = args.options.value(QStringLiteral("listen"));
        const qsizetype colon = where.lastIndexOf(QLatin1Char(':'));
        QString host = where.left(qMax<qsizetype>(0, colon));
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1).chopped(1);
        const QHostAddress address(host);
        bool ok = false;
        const uint port = where.mid(colon + 1).toUInt(&ok);
        if (colon < 0 || address.isNull() || !ok || port < 1 || port > 65535)
            return usage(QStringLiteral("--listen must be ADDRESS:PORT, as 127.0.0.1:6647 or [::1]:6647"));
        return metricsListenCommand(address, quint16(port));
#else
        return usage(QStringLiteral("--listen needs Qt's HTTP server module, which this build lacks"));
#endif
    }

    if (command == QLatin1String("sync")) {
        const OptionReader reader(args, {});
        if (!reader.checkNames(&error)) return usage(error);
        if (args.positional.size() != 1) return usage(QStringLiteral("sync takes no argument"));
        return syncCommand();
    }

    if (command == QLatin1String("set")) {
        const OptionReader reader(args, {});
        if (!reader.checkNames(&error)) return usage(error);
        if (args.positional.size() != 3) return usage(QStringLiteral("set needs NAME and VALUE"));
        return setCommand(args.positional[1].toLocal8Bit(), args.positional[2].toLocal8Bit());
    }

    if (command == QLatin1String("get")) {
        const OptionReader reader(args, {});
        if (!reader.checkNames(&error)) return usage(error);
        if (args.positional.size() > 2) return usage(QStringLiteral("get takes at most NAME"));
        return getCommand(args.positional.value(1).toLocal8Bit());
    }

    return usage(QStringLiteral("unknown command '%1'").arg(command));
}
