// The benchmark driver. It runs the panel (bench_panel), the bare window (bench_barewindow) and the floor
// (bench_barewindow --floor: the bare window that also GETs its status address every 5 s, the least a Qt
// window doing the panel's duty can spend) side by side on the display it is given (bench/run starts it
// under xvfb-run -a), against stand-in servers of its own on loopback. It prints the figures as a Markdown
// table, each row as soon as it is measured: each program's median, the target, whether it is met and if
// not why, and every run.
//
// Usage: bench_driver [--quick | --smoke] [--runs N] [--only PARTS]
// PARTS: launch, memory, instructions or lag, or several in one word (memory,lag).
//
// What is measured, and how:
//
// - Launch to first status request: from just before the driver starts the program to the moment its
//   node has received the whole of its first GET /get_status, both on the monotonic clock. Panel and bare
//   window one at a time, taking turns, nine launches each after one unmeasured launch each that fills the
//   page cache: two launches at once on a two-core machine would measure their contention. The panel's
//   figure includes its deliberate 0.2 s pause at load.
// - Memory, CPU and wake-ups: all three at once, each on a node that answers "running", so the panel sits
//   on the running view and checks the node every 5 s. VmRSS of /proc/PID/status 10 s after
//   each program's start; CPU time from 10 s to 70 s after start (launch excluded) from the process's
//   CPU-time clock, user and system time of every thread in nanoseconds; wake-ups per second over the
//   same 60 s: the voluntary context switches of every thread (/proc/PID/task/*/status; a thread that
//   ended in between takes its own with it).
// - Instructions: all three at once under valgrind's callgrind, once, since the count does not depend on
//   the machine's load: what every thread executed over 60 s from 20 s after the first paint, which
//   valgrind slows down (the lag probe zeroes and dumps the count, as BENCH_COUNT asks).
// - Largest stall: the lag probe (lagprobe.h) in the panel and the bare window, for the scenario's whole
//   length from the panel's start. Building the window before the event loop starts is left out. A stall
//   is judged on every run, not on the median.
//
// The lag scenarios run panel and bare window at once, each on a node of its own:
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
//   and the one after with a 100 MB header line (the test suite checks the bounds that stop them).
// - startrun: Start with a node that answers at once: from the press of Start to the running view, less
//   the stand-in script's time and the 3 s pause.
//
// In every scenario but hang and account, uploads go to a port nothing listens on and fail at once. Each
// run must happen as described (the node was asked, the start ended on the running view, two stops ran,
// the account server was reached, the count was dumped); one that did not is tried again, up to three
// times, and if it still did not, its rows say "not measured" and why, the other parts are measured all
// the same, and the driver ends with status 1. --smoke runs every part and scenario exactly once, with
// shorter waits, and judges no figure: it shows only that each still happens. It needs no root and no port
// 8080 and sends nothing off the machine. Every program it starts ends with its Program object, or with the
// driver itself (PR_SET_PDEATHSIG). Each program's standard error, its callgrind dump and the panel's
// settings are in BENCH_WORK_DIR until the next run.

#include "lagprobe.h"

#include <QtCore>
#include <QtDBus>
#include <QtNetwork>

#include <cmath>
#include <cstdio>
#include <memory>

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

using bench::isSet, bench::nowMs, bench::option;

StatusArea statusArea;

// Runs the event loop, so that the stand-in servers answer, until done() holds or ms have passed.
bool waitFor(double ms, const std::function<bool()>& done = nullptr) {
    QTimer poll;
    poll.start(10);
    for (const double end = nowMs() + ms; !(done && done()) && nowMs() < end;)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done && done();
}

// Ends a run that did not happen as described, saying why.
void require(bool happened, const QString& why) {
    if (!happened)
        throw why;
}

// What a stand-in node answers while up and while down, and what the hostile status server answers its
// second and third requests with: a chunked body of 300 chunks of 1,000,000 bytes, and a header line of
// 100,000,000 bytes. The socket hands them out as fast as the client reads.
const QByteArray upReply = "HTTP/1.1 200 OK\r\nContent-Length: 11\r\nConnection: close\r\n\r\n{\"state\":1}",
                 downReply = QByteArray(upReply).replace("\"state\":1", "\"state\":0");
const QMap<qsizetype, QByteArray> hostile{
    {2, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
            ("f4240\r\n" + QByteArray(1000000, 'x') + "\r\n").repeated(300) + "0\r\n\r\n"},
    {3, "HTTP/1.1 200 OK\r\nX: " + QByteArray(100000000, 'x') + "\r\nContent-Length: 11\r\n\r\n" +
            "{\"state\":1}"}};

// A stand-in node on an ephemeral loopback port. Answer replies as the sample node does ({"state":1} while
// up, {"state":0} while down, then it closes); the panel's stand-in script switches it. Silent accepts and
// reads and never answers (to an HTTPS client: a TLS handshake that never ends). Hostile answers the second
// and third status requests as above, and the others as Answer does.
struct Node : QTcpServer {
    enum Mode { Answer, Silent, Hostile } mode = Answer;
    bool up = true;
    QList<double> checks; // when each GET /get_status had fully arrived
    int connections = 0;

    Node() {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* socket = nextPendingConnection();
            ++connections;
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            // The clients send a request head and nothing more.
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket, head = QByteArray()]() mutable {
                if (!(head += socket->readAll()).endsWith("\r\n\r\n") || (checks += nowMs(), mode == Silent))
                    return;
                socket->write(hostile.value(mode == Hostile ? checks.size() : 0, up ? upReply : downReply));
                socket->disconnectFromHost();
            });
        });
    }

    QString url() const { return QString("http://127.0.0.1:%1/get_status").arg(serverPort()); }
};

// The first number after "name:" at the start of a line of a file: a /proc status file, a callgrind dump.
double field(const QString& path, const QString& name) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return QString(file.readAll()).section("\n" + name + ":", 1, 1).simplified().split(' ')[0].toDouble();
}

enum Which { panel, bare, floor };
const QStringList names{"panel", "bare window", "floor"};

// One run of a program, on its own node, behind a wrapper (taskset, valgrind) if asked. It ends with this
// object, and if the driver dies first, with the driver.
struct Program {
    const int which;
    Node node;
    QProcess process;
    double started;                     // just before the fork
    QMap<QByteArray, QByteArray> words; // the key=value words it printed, each key's values in order

    Program(int which, const QString& phase, QStringList options = {}, QStringList wrapper = {})
        : which(which) {
        std::fprintf(stderr, "bench: %s, %s\n", qPrintable(phase), qPrintable(names[which]));
        process.setStandardErrorFile(BENCH_WORK_DIR "/" + phase + ", " + names[which] + ".log");
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] {
            while (process.canReadLine())
                for (const QByteArray& word : process.readLine().trimmed().split(' ')) {
                    words[word.left(word.indexOf('='))] += ' ' + word.mid(word.indexOf('=') + 1);
                    // The panel's stand-in script has "started" or "stopped" the node when it says so.
                    if (word.startsWith("script="))
                        node.up = word.endsWith("up");
                }
        });
        if (which == panel) {
            // As a user leaves them who agreed to the terms and started the node: Start asks no question,
            // and a failed check keeps the clock and the checks going. On disk before the panel starts, as
            // a user's settings are, and as they were before any run changed them.
            QSettings settings(BENCH_WORK_DIR "/config/nodepanel/nodepanel.conf", QSettings::IniFormat);
            settings.setValue("agree", true), settings.setValue("last_action", "up");
        }
        wrapper += {which ? BENCH_BAREWINDOW : BENCH_PANEL, "--status-url", node.url()};
        const QString program = wrapper.takeFirst();
        started = nowMs();
        process.start(program, wrapper + options + QStringList("--floor").mid(which != floor));
    }

    ~Program() { process.kill(), process.waitForFinished(); }
    double word(const QByteArray& key) const { return words.value(key).split(' ').last().toDouble(); }

    // VmRSS from /proc/PID/status, in kB; the CPU time of every thread in ms, from the process's CPU-time
    // clock in nanoseconds; and the voluntary context switches of every thread.
    QMap<QByteArray, double> sample() {
        const QString proc = QString("/proc/%1").arg(process.processId());
        clockid_t clock;
        timespec now{};
        require(!::clock_getcpuclockid(pid_t(process.processId()), &clock) && !::clock_gettime(clock, &now),
                names[which] + " ended early");
        QMap<QByteArray, double> values{{"VmRSS", field(proc + "/status", "VmRSS")},
                                        {"cpu", double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6}};
        for (const QString& task : QDir(proc + "/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            values["wakeups"] += field(proc + "/task/" + task + "/status", "voluntary_ctxt_switches");
        return values;
    }
};

struct Scenario {
    QString key;
    int seconds;
    Node::Mode mode;
    QString press = {};
    int promptMs = 0;
};

struct Bench {
    bool quick = false, smoke = false, allMeasured = true;
    int runs = 1;
    QMap<QString, QList<double>> figures[3]; // panel, bare window, floor: one value per run

    // Measures count runs, each tried up to three times while it does not happen as described, then prints
    // the rows of keys: "not measured" and why if a run never happened.
    void part(const QString& keys, int count, const std::function<void(Bench&, int run)>& measure) {
        QString why;
        for (int run = 0, attempt = 1; run < count && attempt <= 3; ++attempt)
            try {
                measure(*this, run), why.clear(), ++run, attempt = 0;
            } catch (const QString& failure) {
                why = failure;
                std::fprintf(stderr, "bench: run %d, attempt %d: %s\n", run + 1, attempt, qPrintable(why));
            }
        allMeasured = allMeasured && why.isEmpty();
        for (const QString& key : keys.split(' '))
            print(key, why);
    }

    // Prints the row of key: its figure, target and why a miss come from README.md's table beside this file.
    // Met when the panel's figure is at most "× bare" times the bare window's plus "+" and at most
    // "× floor" times the floor's, or at most "+" alone; a stall is judged on its worst run, any other
    // figure on its median.
    void print(const QString& key, const QString& notMeasured) const {
        QFile readme(QString(__FILE__).replace("driver.cpp", "README.md"));
        readme.open(QIODevice::ReadOnly);
        // The row's cells after its key: figure, target, × bare, × floor, +, why a miss.
        const QStringList row =
            QString(readme.readAll()).section("\n| " + key + " | ", 1, 1).section('\n', 0, 0).split(" | ");
        const auto number = [](double value, int decimals = 1) {
            return QString::number(value, 'f', decimals).replace("nan", "—").replace("inf", "none in time");
        };
        double medians[3], worst = NAN;
        QStringList every;
        for (const int i : {panel, bare, floor}) {
            QList<double> values = figures[i].value(key);
            QStringList all;
            std::ranges::transform(values, std::back_inserter(all), number);
            every += all.isEmpty() ? "—" : all.join(", ");
            std::sort(values.begin(), values.end());
            const qsizetype n = values.size();
            medians[i] = n ? (values[(n - 1) / 2] + values[n / 2]) / 2 : NAN;
            worst = i == panel && n ? values.last() : worst;
        }
        const double bareRatio = row[2].toDouble(), floorRatio = row[3].toDouble(), plus = row[4].toDouble();
        const double limit = std::min({bareRatio ? bareRatio * medians[bare] + plus : INFINITY,
                                       floorRatio ? floorRatio * medians[floor] : INFINITY,
                                       bareRatio || floorRatio ? INFINITY : plus});
        const QString met = !notMeasured.isEmpty() ? "**not measured**: " + notMeasured
                            : smoke                ? "—"
                            : (key.startsWith("stall:") ? worst : medians[panel]) <= limit
                                ? "yes"
                                : "**no**: " + row[5].chopped(2);
        std::printf(
            "| %s |\n",
            qPrintable((QStringList{row[0], number(medians[panel]), number(medians[bare]),
                                    number(medians[floor]), number(medians[panel] / medians[bare], 2),
                                    number(medians[panel] / medians[floor], 2), row[1], met, every.join("; ")}
                            .join(" | "))));
    }

    QList<Scenario> scenarios() const {
        return {{"hang", 8, Node::Silent},
                {"account", 12, Node::Answer, "start"},
                {"prompt", quick ? 10 : 25, Node::Answer, "start", quick ? 5000 : 20000},
                {"onecpu", 12, Node::Answer, "start", 6000},
                {"twojobs", 12, Node::Answer, "stop-twice", 6000},
                {"hostile", 17, Node::Hostile},
                {"startrun", 6, Node::Answer, "start"}};
    }

    // One program at a time, taking turns at going first; run 0 only fills the page cache.
    void measureLaunch(int run) {
        for (const int which : {run % 2 ? bare : panel, run % 2 ? panel : bare}) {
            const Program program(which, QString("launch run %1").arg(run));
            require(waitFor(20000, [&] { return !program.node.checks.isEmpty(); }), "no status request");
            if (run)
                figures[which]["launch"] += program.node.checks[0] - program.started;
            waitFor(1000); // settled before it ends, like a window a user opened
        }
    }

    // All three at once, taking turns at starting first, sampled at the same times after their own start.
    void measureIdle(int run) {
        const double at = smoke ? 2000 : quick ? 5000 : 10000, span = smoke ? 3000 : quick ? 10000 : 60000;
        const int items = statusArea.items;
        std::unique_ptr<Program> programs[3];
        for (const int i : {run % 3, (run + 1) % 3, (run + 2) % 3})
            programs[i] = std::make_unique<Program>(i, QString("idle run %1").arg(run + 1));
        QMap<QByteArray, double> samples[3][2];
        for (const int late : {0, 1})
            for (const int i : {panel, bare, floor})
                waitFor(programs[i]->started + at + late * span - nowMs()),
                    samples[i][late] = programs[i]->sample();
        for (const int i : {panel, floor})
            require(programs[i]->node.checks.size() >= std::max(1.0, (at + span) / 5000 - 1),
                    names[i] + " did not check every 5 s");
        require(!programs[bare]->node.checks.isEmpty(), "the bare window did not ask its node");
        require(statusArea.items > items, "the panel showed no status icon");
        for (const int i : {panel, bare, floor}) {
            figures[i]["VmRSS"] += samples[i][0]["VmRSS"] / 1024;
            figures[i]["cpu"] += samples[i][1]["cpu"] - samples[i][0]["cpu"];
            figures[i]["wakeups"] += (samples[i][1]["wakeups"] - samples[i][0]["wakeups"]) * 1000 / span;
        }
    }

    void measureInstructions(int) {
        const int from = smoke ? 1 : 20, span = smoke ? 2 : 60;
        const QStringList callgrind{"env", QString("BENCH_COUNT=%1,%2").arg(from).arg(span), "valgrind",
                                    "--tool=callgrind",
                                    "--callgrind-out-file=" BENCH_WORK_DIR "/callgrind.%p"};
        std::unique_ptr<Program> programs[3];
        for (const int i : {panel, bare, floor})
            programs[i] = std::make_unique<Program>(i, "instructions", QStringList(), callgrind);
        const auto counted = [&](int i) { return programs[i]->words.contains("counted"); };
        require(waitFor((from + span + 60) * 1000.0,
                        [&] { return counted(panel) && counted(bare) && counted(floor); }),
                "callgrind dumped no count in time");
        for (const int i : {panel, bare, floor}) {
            const QString dump =
                QString(BENCH_WORK_DIR "/callgrind.%1.1").arg(programs[i]->process.processId());
            require(QFile::exists(dump), "no callgrind dump " + dump);
            figures[i]["instructions"] += field(dump, "summary") / 1e6;
        }
    }

    void measureLag(const Scenario& s, int run) {
        const QString phase = QString("lag run %1, %2").arg(run + 1).arg(s.key);
        Node account;
        account.mode = Node::Silent;
        const QString prompt = QString::number(smoke ? std::min(s.promptMs, 1000) : s.promptMs);
        const QStringList taskset = QStringList{"taskset", "-c", "0"}.mid(0, s.key == "onecpu" ? 3 : 0);
        Program p(panel, phase,
                  {"--account-url", account.url().replace("http:", "https:"), "--lag-probe", "--press",
                   s.press, "--prompt-ms", prompt},
                  taskset),
            b(bare, phase, {"--lag-probe"}, taskset);
        // Set before the event loop runs again, so before either program's first request arrives: on the
        // running view for a stop or the hostile server, else on the stopped view.
        p.node.mode = b.node.mode = s.mode;
        p.node.up = b.node.up = s.press == "stop-twice" || s.mode == Node::Hostile;
        const QList<double>& c = p.node.checks;
        if (s.key != "account")
            account.close(); // uploads are refused at once
        // Why the run did not happen as described, if it did not (yet).
        const auto missing = [&]() -> QString {
            if (c.isEmpty() || b.node.checks.isEmpty())
                return "a program did not ask its node";
            if (s.key == "account" && !account.connections)
                return "the panel did not reach the account server";
            if (s.press == "start" && !(p.node.up && c.size() > 1 && p.words.contains("running_ms")))
                return "the start did not end on the running view";
            if (s.key == "twojobs" && p.words.value("script").count("down") != 2)
                return "two stops did not run";
            return s.key == "hostile" && c.size() < 2 ? "the hostile server was not asked" : "";
        };
        // The smoke run ends each scenario as soon as it has happened, and gives a busy machine longer.
        waitFor(p.started + s.seconds * (smoke ? 3000 : 1000) - nowMs(),
                [&] { return smoke && missing().isEmpty(); });
        require(missing().isEmpty(), missing());
        figures[panel]["stall:" + s.key] += p.word("max_ms"),
            figures[bare]["stall:" + s.key] += b.word("max_ms");
        if (s.key == "startrun")
            figures[panel]["startrun"] +=
                p.word("running_ms") - p.word("start_ms") - p.word("script_ms") - 3000;
    }
};

} // namespace

int main(int argc, char* argv[]) {
    QCoreApplication app(argc, argv);
    Bench bench;
    bench.smoke = isSet("smoke"), bench.quick = bench.smoke || isSet("quick");
    bench.runs = std::max(1, bench.quick && !isSet("runs") ? 1 : option("runs", "5").toInt());
    // bench/run gives it a fresh BENCH_WORK_DIR, the display and the panel's settings folder in it.
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject("/StatusNotifierWatcher", &statusArea, QDBusConnection::ExportAllContents) ||
        !bus.registerService("org.kde.StatusNotifierWatcher"))
        qFatal("bench: no session bus to stand in for the desktop's status area on");
    std::printf(
        "; runs: %d%s, Qt %s\n\n| Figure | Panel | Bare window | Floor | Panel / bare | Panel / floor | "
        "Target | Met | Every run: panel; bare; floor |\n|---|--:|--:|--:|--:|--:|---|---|---|\n",
        bench.runs, bench.quick ? ", shorter waits than the rows say" : "", qVersion());
    const QString only = option("only", "memory instructions launch lag");
    if (only.contains("memory"))
        bench.part("VmRSS cpu wakeups", bench.runs, &Bench::measureIdle);
    if (only.contains("instructions"))
        bench.part("instructions", 1, &Bench::measureInstructions);
    if (only.contains("launch"))
        bench.part("launch", bench.smoke ? 2 : bench.quick ? 4 : 10, &Bench::measureLaunch);
    for (const Scenario& s : only.contains("lag") ? bench.scenarios() : QList<Scenario>())
        bench.part("stall:" + s.key + (s.key == "startrun" ? " startrun" : ""), bench.runs,
                   [&s](Bench& b, int run) { b.measureLag(s, run); });
    return bench.allMeasured ? 0 : 1;
}

#include "driver.moc"
