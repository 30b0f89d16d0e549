// The benchmark driver. It runs the panel (bench_panel) and the bare window (bench_barewindow) side by side
// on the display it is given (bench/run starts it under xvfb-run -a), against stand-in servers of its own
// on loopback, and prints the figures as a Markdown table: each one's median for both programs, its target,
// whether it is met and if not why, and every run, with a stall's main-thread turns more than 10 ms late.
//
// Usage: bench_driver [--quick] [--runs N] [--only launch|memory|lag]
//
// What is measured, and how:
//
// - Launch to first status request: from just before the driver starts the program to the moment its
//   node has received the whole of its first GET /get_status, both on the monotonic clock. One program at
//   a time, taking turns, nine launches each after one unmeasured launch each that fills the page cache:
//   two launches at once on a two-core machine would measure their contention. The panel's figure includes
//   its deliberate 0.2 s pause at load.
// - Memory and CPU: both programs at once, each on a node that answers "running", so the panel sits on the
//   running view and checks the node every 5 s. VmRSS and RssAnon of /proc/PID/status 10 s after each
//   program's start; CPU time from 10 s to 70 s after start (launch excluded) from the process's CPU-time
//   clock, user and system time of every thread in nanoseconds; the same from utime and stime of
//   /proc/PID/stat in 10 ms ticks; and the first 10 s, launch included.
// - Largest stall: the lag probe (lagprobe.h) in both programs, for the scenario's whole length from the
//   panel's start. Building the window before the event loop starts is left out, and listed separately.
//
// The lag scenarios run both programs at once, each on a node of its own:
//
// - hang: the node accepts and never answers; the panel's first check waits for its 5 s time-out.
// - account: the account server accepts and never answers; Start is pressed, and both uploads wait 5 s in
//   their TLS handshake, while the start goes on.
// - prompt: Start waits 20 s at the stand-in administrator prompt, then the check after its 3 s pause finds
//   the node running.
// - onecpu: both programs on one CPU (taskset -c 0); Start's script waits 6 s.
// - twojobs: on the running view, Stop, then the window is closed and the question it asks while the node
//   runs is answered "YES": a second stop job while the first (6 s) runs.
// - hostile: on the running view, the node answers the panel's next check with a chunked body of 300 MB
//   and the one after with a 100 MB header line. Besides the stall: the panel's peak resident memory
//   (VmHWM) and when the check after each of those came (5 s later, if on time).
// - startrun: Start with a node that answers at once: from the press of Start to the running view, less
//   the stand-in script's time and the 3 s pause.
//
// In every scenario but hang and account, uploads go to a port nothing listens on and fail at once. Each
// scenario must happen as described (the node was asked, the start ended on the running view, two stops
// ran, the account server was reached), or the driver stops with an error. It needs no root and no port
// 8080 and sends nothing off the machine. Every program it starts ends with its Program object, or with the
// driver itself (PR_SET_PDEATHSIG). Each program's standard error, and the panel's settings, are in
// BENCH_WORK_DIR until the next run.

#include "lagprobe.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtDBus>

#include <cmath>
#include <cstdio>

#include <signal.h>
#include <sys/prctl.h>
#include <time.h>

// The desktop's status area, as the panel meets it on a desktop that has one: it takes the panel's status
// icon, so that the icon's cost is in every figure. bench/run gives the driver a session bus of its own.
class StatusArea : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)

public:
    bool hostRegistered() const { return true; }
    int items = 0;

public slots:
    void RegisterStatusNotifierItem(const QString&) { ++items; }
};

namespace {

using bench::nowMs;

StatusArea statusArea;

// Runs the event loop, so that the stand-in servers answer, until done() holds or ms have passed.
bool waitFor(
    double ms, const std::function<bool()>& done = [] { return false; }) {
    QTimer poll;
    poll.start(10);
    for (const double end = nowMs() + ms; !done() && nowMs() < end;)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

// The hostile status server's replies: a chunked body of 300 chunks of 1,000,000 bytes, and a header line
// of 100,000,000 bytes. The socket hands them out as fast as the client reads.
const QByteArray chunkedReply = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                ("f4240\r\n" + QByteArray(1000000, 'x') + "\r\n").repeated(300) + "0\r\n\r\n",
                 longHeaderReply = "HTTP/1.1 200 OK\r\nX: " + QByteArray(100000000, 'x') +
                                   "\r\nContent-Length: 11\r\n\r\n{\"state\":1}";

// A stand-in node on an ephemeral loopback port. Answer replies as the sample node does ({"state":1} while
// up, {"state":0} while down, then it closes); the panel's stand-in script switches it. Silent accepts and
// reads and never answers (to an HTTPS client: a TLS handshake that never ends). Hostile answers the second
// status request with chunkedReply and the third with longHeaderReply, and the others as Answer does.
struct Node : QTcpServer {
    enum Mode { Answer, Silent, Hostile } mode;
    bool up;
    QList<double> checks; // when each GET /get_status had fully arrived
    int connections = 0;

    Node(Mode mode, bool up)
        : mode(mode)
        , up(up) {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection())
                serve(socket);
        });
    }

    QString url() const { return QString("http://127.0.0.1:%1/get_status").arg(serverPort()); }

    void serve(QTcpSocket* socket) {
        ++connections;
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // The clients send a request head and nothing more.
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, head = QByteArray()]() mutable {
            if (!(head += socket->readAll()).endsWith("\r\n\r\n") || (checks += nowMs(), mode == Silent))
                return;
            const QByteArray reply = "HTTP/1.1 200 OK\r\nContent-Length: 11\r\nConnection: close\r\n\r\n";
            const qsizetype hostile = mode == Hostile ? checks.size() : 0;
            socket->write(hostile == 2   ? chunkedReply
                          : hostile == 3 ? longHeaderReply
                                         : reply + (up ? R"({"state":1})" : R"({"state":0})"));
            socket->disconnectFromHost();
        });
    }
};

// One run of a program, on one CPU (taskset -c 0) if asked. It ends with this object, and if the driver
// dies first, with the driver.
struct Program {
    QProcess process;
    double started = 0;                 // just before the fork
    QMap<QByteArray, QByteArray> words; // the key=value words it printed, each key's values in order

    Program(bool bare, const QString& phase, QStringList options, bool oneCpu = false) {
        std::fprintf(stderr, "bench: %s, %s\n", qPrintable(phase), bare ? "bare window" : "panel");
        process.setStandardErrorFile(BENCH_WORK_DIR "/" + phase +
                                     (bare ? ", bare window.log" : ", panel.log"));
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        options = QStringList{"taskset", "-c", "0"}.mid(0, oneCpu ? 3 : 0) +
                  QStringList{bare ? BENCH_BAREWINDOW : BENCH_PANEL} + options;
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] {
            while (process.canReadLine())
                for (const QByteArray& word : process.readLine().trimmed().split(' '))
                    words[word.left(word.indexOf('='))] += ' ' + word.mid(word.indexOf('=') + 1);
        });
        started = nowMs();
        process.start(options.takeFirst(), options);
        if (!process.waitForStarted())
            qFatal("bench: %s: cannot start %s", qPrintable(phase), qPrintable(options.join(' ')));
    }

    ~Program() { process.kill(), process.waitForFinished(); }
    double word(const QByteArray& key) const { return words.value(key).split(' ').last().toDouble(); }

    // VmRSS, RssAnon, VmHWM and the like from /proc/PID/status, in MiB; and the CPU time of every thread in
    // ms, from the process's CPU-time clock in nanoseconds ("cpu") and from utime and stime of /proc/PID/stat
    // (fields 14 and 15) in 10 ms ticks ("statcpu").
    QMap<QByteArray, double> sample() {
        QMap<QByteArray, double> values;
        QFile status(QString("/proc/%1/status").arg(process.processId())),
            stat(QString("/proc/%1/stat").arg(process.processId()));
        clockid_t clock;
        timespec now{};
        if (!status.open(QIODevice::ReadOnly) || !stat.open(QIODevice::ReadOnly) ||
            ::clock_getcpuclockid(pid_t(process.processId()), &clock) || ::clock_gettime(clock, &now))
            qFatal("bench: cannot read /proc/%lld", process.processId());
        for (const QByteArray& line : status.readAll().split('\n'))
            values[line.left(line.indexOf(':'))] =
                line.mid(line.indexOf(':') + 1).simplified().split(' ')[0].toDouble() / 1024;
        const QList<QByteArray> fields = stat.readAll().split(')').last().split(' '); // from field 3 on
        values["cpu"] = double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
        values["statcpu"] =
            (fields.value(12).toDouble() + fields.value(13).toDouble()) * 1e3 / ::sysconf(_SC_CLK_TCK);
        return values;
    }
};

struct Scenario {
    QString key, title;
    int seconds;
    Node::Mode mode;
    QString press = {}, promptMs = {};
    bool oneCpu = false;
};

// Why a target is missed, from README.md beside this file: its lines "- `key` `key`: why".
QMap<QString, QString> reasons() {
    QMap<QString, QString> found;
    QFile readme(QString(__FILE__).replace("driver.cpp", "README.md"));
    readme.open(QIODevice::ReadOnly);
    for (const QString& line : QString(readme.readAll()).split('\n'))
        for (const QString& key :
             line.startsWith("- `") ? line.section("`: ", 0, 0).mid(3).split("` `") : QStringList())
            found[key] = line.section("`: ", 1);
    return found;
}

struct Bench {
    bool quick;
    int runs;
    QMap<QString, QList<double>> figures[2]; // panel, bare window: one value per run
    QMap<QString, QStringList> late[2];      // a stall's turns more than 10 ms late, one entry per run

    QList<Scenario> scenarios() const {
        const QString prompt = quick ? "5" : "20";
        return {{"hang", "node accepts and never answers", 8, Node::Silent},
                {"account", "account server never answers", 12, Node::Answer, "start", "0"},
                {"prompt", "Start waits " + prompt + " s at the prompt", 5 + prompt.toInt(), Node::Answer,
                 "start", prompt + "000"},
                {"onecpu", "one CPU each, a 6 s start", 12, Node::Answer, "start", "6000", true},
                {"twojobs", "two jobs at once, 6 s each", 12, Node::Answer, "stop-twice", "6000"},
                {"hostile", "hostile status server", 17, Node::Hostile},
                {"startrun", "Start with a node that answers at once", 6, Node::Answer, "start", "0"}};
    }

    void measureLaunch(int run) {
        for (const bool bare : {run % 2 == 1, run % 2 == 0}) {
            Node node(Node::Answer, true);
            const Program program(bare, QString("launch run %1").arg(run), {"--status-url", node.url()});
            if (!waitFor(20000, [&] { return !node.checks.isEmpty(); }))
                qFatal("bench: launch run %d: no status request in 20 s", run);
            figures[bare]["launch"] +=
                run ? QList<double>{node.checks[0] - program.started} : QList<double>{};
            waitFor(1000); // settled before it ends, like a window a user opened
        }
    }

    // Sampled at the same times after each program's own start, taking turns at starting first.
    void measureMemoryAndCpu(int run) {
        const double at = quick ? 5000 : 10000, span = quick ? 10000 : 60000;
        const QString phase = QString("memory and CPU run %1").arg(run + 1);
        Node nodes[2] = {{Node::Answer, true}, {Node::Answer, true}};
        const int bare[2] = {run % 2, 1 - run % 2};
        const int items = statusArea.items;
        Program programs[2] = {{bool(bare[0]), phase, {"--status-url", nodes[bare[0]].url()}},
                               {bool(bare[1]), phase, {"--status-url", nodes[bare[1]].url()}}};
        QMap<QByteArray, double> samples[2][2];
        for (const int late : {0, 1})
            for (const int i : {0, 1})
                waitFor(programs[i].started + at + late * span - nowMs()),
                    samples[bare[i]][late] = programs[i].sample();
        if (nodes[0].checks.size() < (at + span) / 5000 - 1)
            qFatal("bench: %s: the panel was not on the running view", qPrintable(phase));
        if (statusArea.items == items)
            qFatal("bench: %s: the panel showed no status icon", qPrintable(phase));
        for (const int i : {0, 1}) {
            for (const char* key : {"VmRSS", "RssAnon"})
                figures[i][key] += samples[i][0][key];
            figures[i]["cpu10"] += samples[i][0]["cpu"];
            for (const char* key : {"cpu", "statcpu"})
                figures[i][key] += samples[i][1][key] - samples[i][0][key];
        }
    }

    void measureLag(const Scenario& s, int run) {
        const QString phase = QString("lag run %1, %2").arg(run + 1).arg(s.key);
        // On the running view for a stop or the hostile server, else on the stopped view.
        const bool up = s.press == "stop-twice" || s.mode == Node::Hostile;
        Node nodes[2] = {{s.mode, up}, {s.mode, up}}, account(Node::Silent, false);
        const QStringList options{
            "--status-url", nodes[0].url(), "--account-url", account.url().replace("http:", "https:"),
            "--lag-probe",  "--press",      s.press,         "--prompt-ms",
            s.promptMs};
        Program programs[2] = {{false, phase, options, s.oneCpu},
                               {true, phase, {"--status-url", nodes[1].url(), "--lag-probe"}, s.oneCpu}};
        Program& panel = programs[0];
        const QList<double>& c = nodes[0].checks;
        // The stand-in script has "started" or "stopped" the node when it says so.
        QObject::connect(&panel.process, &QProcess::readyReadStandardOutput,
                         [&] { nodes[0].up = panel.words.value("script").endsWith("up"); });
        if (s.key != "account")
            account.close(); // uploads are refused at once
        waitFor(panel.started + s.seconds * 1000 - nowMs());
        const double peak[2] = {panel.sample()["VmHWM"], programs[1].sample()["VmHWM"]};
        if (c.isEmpty() || nodes[1].checks.isEmpty() || (s.key == "account" && !account.connections) ||
            (s.press == "start" && !(nodes[0].up && c.size() > 1 && panel.words.contains("running_ms"))) ||
            (s.key == "twojobs" && panel.words.value("script").count("down") != 2) ||
            (s.key == "hostile" && c.size() < 2))
            qFatal("bench: %s: the scenario did not happen as described", qPrintable(phase));
        for (const int bare : {0, 1}) {
            figures[bare]["stall:" + s.key] += programs[bare].word("max_ms");
            const QByteArray turns = programs[bare].words.value("late");
            late[bare]["stall:" + s.key] += turns.isEmpty() ? "" : " (" + turns.mid(1) + ")";
            if (s.key == "hang") // less the panel's deliberate pause
                figures[bare]["load"] += programs[bare].word("load_ms") - (bare ? 0 : 200);
            if (s.key == "hostile")
                figures[bare]["peak"] += peak[bare];
        }
        if (s.key == "hostile")
            figures[0]["after300"] += c.size() > 2 ? c[2] - c[1] : INFINITY,
                figures[0]["after100"] += c.size() > 3 ? c[3] - c[2] : INFINITY;
        if (s.key == "startrun")
            figures[0]["startrun"] +=
                panel.word("running_ms") - panel.word("start_ms") - panel.word("script_ms") - 3000;
    }

    QString report() const {
        const QString at = quick ? "5" : "10", span = quick ? "10" : "60", none = "—";
        const QMap<QString, QString> why = reasons();
        QString text =
            "- Runs: median of " + QString::number(runs) + (quick ? " (launch: 3)" : " (launch: 9)") +
            ", Qt " + qVersion() +
            "\n\n| Figure | Panel | Bare window | Panel / bare | Target | Met | Every run: panel; bare |\n"
            "|---|--:|--:|--:|---|---|---|\n";
        // A row of the table, its target met when panel ≤ ratio × bare + plus.
        const auto row = [&](const QString& key, const QString& figure, const QString& target,
                             double ratio = 0, double plus = 0) {
            const auto number = [&](double value, int decimals = 1) {
                return QString::number(value, 'f', decimals)
                    .replace("nan", none)
                    .replace("inf", "none in time");
            };
            double medians[2];
            QStringList runs[2];
            for (const int bare : {0, 1}) {
                QList<double> values = figures[bare].value(key);
                for (qsizetype i = 0; i < values.size(); ++i)
                    runs[bare] += number(values[i]) + late[bare].value(key).value(i);
                std::sort(values.begin(), values.end());
                const qsizetype n = values.size();
                medians[bare] = n ? (values[(n - 1) / 2] + values[n / 2]) / 2 : NAN;
            }
            const bool busy = key.startsWith("stall:") && medians[1] > 20 && !why.contains(key);
            const QString met =
                target == none ? none
                : medians[0] <= (ratio ? ratio * medians[1] : 0) + plus
                    ? "yes"
                    : "**no**: " + (busy ? "the bare window stalled as long, so the machine was busy"
                                         : why.value(key, "not looked into yet"));
            if (figures[0].contains(key))
                text += QString("| %1 | %2 | %3 | %4 | %5 | %6 | %7; %8 |\n")
                            .arg(figure, number(medians[0]), number(medians[1]),
                                 number(medians[1] ? medians[0] / medians[1] : NAN, 2), target, met,
                                 runs[0].join(", "), runs[1].isEmpty() ? none : runs[1].join(", "));
        };
        row("VmRSS", "Resident memory after " + at + " s, running view (MiB)", "≤ 1.15 ×", 1.15);
        row("cpu", "CPU time over " + span + " s, running view (ms)", "≤ 1.30 ×", 1.30);
        row("launch", "Launch to first status request (ms)", "≤ bare + 220 ms", 1, 220);
        for (const Scenario& s : scenarios())
            row("stall:" + s.key, "Largest main-thread stall: " + s.title + " (ms)", "≤ 20 ms", 0, 20);
        row("peak", "Peak resident memory, hostile status server (MiB)", "< 64 MiB", 0, 64);
        row("after300", "Next check after the 300 MB chunked body (ms)", "≤ 5100 ms", 0, 5100);
        row("after100", "Next check after the 100 MB header line (ms)", "≤ 5100 ms", 0, 5100);
        row("startrun", "Start to running view, less script and 3 s pause (ms)", "≤ 100 ms", 0, 100);
        row("RssAnon", "Anonymous (private) resident memory after " + at + " s (MiB)", none);
        row("cpu10", "CPU time in the first " + at + " s, launch included (ms)", none);
        row("statcpu", "CPU time over the " + span + " s from /proc/PID/stat, 10 ms ticks (ms)", none);
        row("load", "Building the window before the event loop, less the 0.2 s pause (ms)", none);
        return text;
    }
};

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    QCommandLineParser options;
    options.addOptions({{"quick", "A short smoke run: one run, shorter windows."},
                        {"runs", "Runs per figure; the median counts.", "n", "5"},
                        {"only", "Only one part: launch, memory or lag.", "part"}});
    options.process(app);
    const bool quick = options.isSet("quick");
    const QString only = options.value("only");
    Bench bench{
        quick, std::max(1, quick && !options.isSet("runs") ? 1 : options.value("runs").toInt()), {}, {}};
    // Fresh logs and settings, kept until the next run for a look when a figure is off. The panel's settings
    // are never the user's own.
    QDir(BENCH_WORK_DIR).removeRecursively();
    QDir().mkpath(BENCH_WORK_DIR);
    qputenv("XDG_CONFIG_HOME", BENCH_WORK_DIR "/config");
    qputenv("QT_QPA_PLATFORM", "xcb");
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject("/StatusNotifierWatcher", &statusArea,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties) ||
        !bus.registerService("org.kde.StatusNotifierWatcher"))
        qFatal("bench: no session bus to stand in for the desktop's status area on");
    for (int run = 0; (only.isEmpty() || only == "launch") && run <= (quick ? 3 : 9); ++run)
        bench.measureLaunch(run);
    for (int run = 0; (only.isEmpty() || only == "memory") && run < bench.runs; ++run)
        bench.measureMemoryAndCpu(run);
    for (int run = 0; (only.isEmpty() || only == "lag") && run < bench.runs; ++run)
        for (const Scenario& scenario : bench.scenarios())
            bench.measureLag(scenario, run);
    std::printf("%s", qPrintable(bench.report()));
}

#include "driver.moc"
