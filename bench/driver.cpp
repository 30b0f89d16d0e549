// The benchmark driver: runs the panel (bench_panel) and the bare window (bench_barewindow) side by side
// on one virtual display against local stand-in servers, and prints and records each figure for both.
// bench/run builds everything and starts it; README.md says what is measured and how.
//
// Usage: bench_driver [--quick] [--runs N] [--only launch|memory|lag] [--output results.md]

#include <QDateTime>
#include <QtGlobal>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using std::chrono::milliseconds;
using std::chrono::seconds;

// ---------------------------------------------------------------------------------------------------------
// Reporting and clean-up

[[noreturn]] void fail(const std::string& why) {
    std::fprintf(stderr, "bench: %s\n", why.c_str());
    std::exit(1);
}

void progress(const std::string& line) {
    std::fprintf(stderr, "bench: %s\n", line.c_str());
}

// Every process the driver started and has not reaped yet, so that an interrupted run leaves nothing
// behind. Only these pids are ever signalled.
std::array<std::atomic<pid_t>, 16> livePids{};

void remember(pid_t pid) {
    for (auto& slot : livePids) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, pid))
            return;
    }
}

void forget(pid_t pid) {
    for (auto& slot : livePids) {
        pid_t expected = pid;
        if (slot.compare_exchange_strong(expected, 0))
            return;
    }
}

void killRemembered() {
    for (auto& slot : livePids) {
        const pid_t pid = slot.exchange(0);
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
}

void onInterrupt(int) {
    killRemembered();
    ::_exit(130);
}

// ---------------------------------------------------------------------------------------------------------
// Stand-in servers

// A loopback port that nothing listens on: connections to it are refused at once.
std::uint16_t closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        fail("cannot find a free loopback port");
    ::close(fd);
    return ntohs(address.sin_port);
}

// An HTTP server on an ephemeral loopback port, on a thread of its own so that the time a request arrives
// is taken the moment it does. Answer mode replies like the sample node ({"state":1} while up,
// {"state":0} while down, then it closes); /bench/up and /bench/down switch it, which is how the panel's
// stand-in start "starts the node". Hang mode accepts and reads everything and never answers, which for
// an HTTPS client means a TLS handshake that never completes.
class StubServer {
public:
    enum class Mode { Answer, Hang };

    explicit StubServer(Mode mode, bool up = true)
        : mode_(mode)
        , up_(up) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(listener_, 64) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
            fail("cannot listen on loopback");
        port_ = ntohs(address.sin_port);
        if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
            fail("cannot create a pipe");
        thread_ = std::thread([this] { run(); });
    }

    StubServer(const StubServer&) = delete;
    StubServer& operator=(const StubServer&) = delete;

    ~StubServer() {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_[1], &byte, 1);
        thread_.join();
        ::close(listener_);
        ::close(wake_[0]);
        ::close(wake_[1]);
    }

    std::string url(const std::string& scheme, const std::string& path = {}) const {
        return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
    }

    // When the first GET /get_status had fully arrived.
    std::optional<Clock::time_point> firstStatusRequest() const {
        std::lock_guard lock(mutex_);
        return firstStatus_;
    }

    int statusRequests() const { return statusRequests_; }
    int connections() const { return connections_; }
    bool up() const { return up_; }

private:
    struct Connection {
        int fd;
        std::string buffer;
        bool answered = false;
    };

    void run() {
        std::vector<Connection> connections;
        for (;;) {
            std::vector<pollfd> entries{{wake_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
            for (const Connection& c : connections)
                entries.push_back({c.fd, POLLIN, 0});
            if (::poll(entries.data(), entries.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (entries[0].revents)
                break;
            if (entries[1].revents & POLLIN) {
                for (;;) {
                    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                    if (fd < 0)
                        break;
                    connections.push_back({fd, {}});
                    ++connections_;
                }
            }
            for (std::size_t i = 2; i < entries.size(); ++i) {
                if (!entries[i].revents)
                    continue;
                Connection& c = connections[i - 2];
                char chunk[4096];
                const ssize_t got = ::recv(c.fd, chunk, sizeof chunk, 0);
                const auto now = Clock::now();
                if (got <= 0) {
                    if (got < 0 && (errno == EINTR || errno == EAGAIN))
                        continue;
                    ::close(c.fd);
                    c.fd = -1;
                    continue;
                }
                if (c.answered)
                    continue;
                c.buffer.append(chunk, std::size_t(got));
                handle(c, now);
            }
            std::erase_if(connections, [](const Connection& c) { return c.fd < 0; });
        }
        for (const Connection& c : connections)
            ::close(c.fd);
    }

    void handle(Connection& c, Clock::time_point now) {
        const std::size_t end = c.buffer.find("\r\n\r\n");
        if (end == std::string::npos)
            return;
        const std::string line = c.buffer.substr(0, c.buffer.find("\r\n"));
        const std::size_t first = line.find(' ');
        const std::size_t second = line.find(' ', first + 1);
        std::string path =
            first == std::string::npos ? std::string() : line.substr(first + 1, second - first - 1);
        path = path.substr(0, path.find('?'));
        if (path == "/get_status") {
            ++statusRequests_;
            std::lock_guard lock(mutex_);
            if (!firstStatus_)
                firstStatus_ = now;
        }
        if (mode_ == Mode::Hang)
            return;

        std::string body;
        std::string status = "200 OK";
        if (path == "/get_status") {
            body = up_ ? R"({"state":1})" : R"({"state":0})";
        } else if (path == "/bench/up" || path == "/bench/down") {
            up_ = path == "/bench/up";
            body = "{}";
        } else {
            status = "404 Not Found";
            body = "{}";
        }
        const std::string reply =
            "HTTP/1.1 " + status +
            "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
            "\r\nConnection: close\r\n\r\n" + body;
        // Small enough to go in one send on loopback.
        [[maybe_unused]] const ssize_t sent = ::send(c.fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        ::shutdown(c.fd, SHUT_WR);
        c.answered = true;
    }

    Mode mode_;
    std::atomic<bool> up_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::optional<Clock::time_point> firstStatus_;
    std::atomic<int> statusRequests_{0};
    std::atomic<int> connections_{0};
};

// ---------------------------------------------------------------------------------------------------------
// Processes

struct Child {
    std::string name;
    pid_t pid = -1;
    int input = -1;  // its standard input
    int output = -1; // its standard output
    Clock::time_point started;
    std::string pending;
};

// Starts program with extra environment entries; standard error goes to errorLog. started is taken just
// before the fork: "process start" in every launch figure.
Child spawn(const std::string& name, const std::vector<std::string>& argv,
            const std::map<std::string, std::string>& environment, const std::string& errorLog,
            int passFd = -1) {
    std::vector<std::string> entries;
    for (char** e = environ; *e; ++e) {
        const std::string entry(*e);
        if (!environment.contains(entry.substr(0, entry.find('='))))
            entries.push_back(entry);
    }
    for (const auto& [key, value] : environment)
        entries.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : entries)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (std::string& arg : args)
        argp.push_back(arg.data());
    argp.push_back(nullptr);

    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        fail("cannot create pipes");
    const int log = ::open(errorLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0)
        fail("cannot write " + errorLog);

    Child child;
    child.name = name;
    child.started = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0)
        fail("cannot fork");
    if (pid == 0) {
        // Nothing here but system calls: the driver has threads.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        if (passFd >= 0)
            ::dup2(passFd, 9); // dup2 clears close-on-exec
        ::execve(argp[0], argp.data(), envp.data());
        ::_exit(127);
    }
    remember(pid);
    ::close(in[0]);
    ::close(out[1]);
    ::close(log);
    child.pid = pid;
    child.input = in[1];
    child.output = out[0];
    return child;
}

// Ends the child: SIGTERM, then SIGKILL if it has not ended within five seconds.
void stop(Child& child) {
    if (child.pid <= 0)
        return;
    ::kill(child.pid, SIGTERM);
    const auto deadline = Clock::now() + 5s;
    int status = 0;
    while (::waitpid(child.pid, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(child.pid, SIGKILL);
            ::waitpid(child.pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(20ms);
    }
    forget(child.pid);
    child.pid = -1;
    ::close(child.input);
    ::close(child.output);
}

// The next line of the child's standard output that starts with prefix, within timeout.
std::optional<std::string> readLine(Child& child, const std::string& prefix, milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        std::size_t end;
        while ((end = child.pending.find('\n')) != std::string::npos) {
            const std::string line = child.pending.substr(0, end);
            child.pending.erase(0, end + 1);
            if (line.starts_with(prefix))
                return line;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left <= 0ms)
            return std::nullopt;
        pollfd entry{child.output, POLLIN, 0};
        if (::poll(&entry, 1, int(left.count())) <= 0)
            continue;
        char chunk[4096];
        const ssize_t got = ::read(child.output, chunk, sizeof chunk);
        if (got <= 0)
            return std::nullopt;
        child.pending.append(chunk, std::size_t(got));
    }
}

// ---------------------------------------------------------------------------------------------------------
// What is measured

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A "Name:   value kB" entry of /proc/PID/status, in KiB.
long statusKiB(pid_t pid, const std::string& name) {
    std::istringstream in(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(name + ":"))
            return std::stol(line.substr(name.size() + 1));
    }
    fail("no " + name + " for pid " + std::to_string(pid));
}

// utime + stime of /proc/PID/stat (every thread, live or ended), in milliseconds.
double statCpuMs(pid_t pid) {
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) * 1000.0 / double(::sysconf(_SC_CLK_TCK));
}

// The same sum at full precision: the process's CPU-time clock, which the kernel keeps in nanoseconds
// where /proc/PID/stat rounds to 10 ms ticks.
double cpuClockMs(pid_t pid) {
    clockid_t clock;
    timespec now{};
    if (::clock_getcpuclockid(pid, &clock) != 0 || ::clock_gettime(clock, &now) != 0)
        fail("cannot read the CPU time of pid " + std::to_string(pid));
    return double(now.tv_sec) * 1000.0 + double(now.tv_nsec) / 1e6;
}

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

struct LagReport {
    double maxMs = 0;
    double maxAtMs = 0; // after process start
    double loadMs = 0;
    long over20 = 0;
    std::string late; // "at_ms:lag_ms" list
};

std::optional<LagReport> askLag(Child& child) {
    const char command[] = "report\n";
    if (::write(child.input, command, sizeof command - 1) < 0)
        return std::nullopt;
    const std::optional<std::string> line = readLine(child, "bench-lag ", 5s);
    if (!line)
        return std::nullopt;
    std::map<std::string, std::string> values;
    std::istringstream words(*line);
    std::string word;
    while (words >> word) {
        const std::size_t equals = word.find('=');
        if (equals != std::string::npos)
            values[word.substr(0, equals)] = word.substr(equals + 1);
    }
    const double startedNs = double(
        std::chrono::duration_cast<std::chrono::nanoseconds>(child.started.time_since_epoch()).count());
    LagReport report;
    report.maxMs = std::stod(values["max_us"]) / 1000.0;
    report.maxAtMs = (std::stod(values["max_at_ns"]) - startedNs) / 1e6;
    report.loadMs = std::stod(values["load_us"]) / 1000.0;
    report.over20 = std::stol(values["over20"]);
    std::istringstream late(values["late"]);
    std::string entry;
    while (std::getline(late, entry, ',')) {
        const std::size_t colon = entry.find(':');
        if (colon == std::string::npos)
            continue;
        char text[64];
        std::snprintf(text, sizeof text, "%s%.0f:%.1f", report.late.empty() ? "" : " ",
                      (std::stod(entry.substr(0, colon)) - startedNs) / 1e6,
                      std::stod(entry.substr(colon + 1)) / 1000.0);
        report.late += text;
    }
    return report;
}

// ---------------------------------------------------------------------------------------------------------
// The machine

std::string trim(std::string text) {
    const auto blank = [](unsigned char c) { return std::isspace(c); };
    text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), blank));
    text.erase(std::find_if_not(text.rbegin(), text.rend(), blank).base(), text.end());
    return text;
}

std::string cpuModel() {
    std::istringstream in(readFile("/proc/cpuinfo"));
    std::string line;
    while (std::getline(in, line))
        if (line.starts_with("model name"))
            return trim(line.substr(line.find(':') + 1));
    return "unknown";
}

std::string memoryTotal() {
    std::istringstream in(readFile("/proc/meminfo"));
    std::string line;
    while (std::getline(in, line))
        if (line.starts_with("MemTotal:")) {
            char text[32];
            std::snprintf(text, sizeof text, "%.1f GiB", double(std::stol(line.substr(9))) / 1024.0 / 1024.0);
            return text;
        }
    return "unknown";
}

std::string kernel() {
    utsname name{};
    ::uname(&name);
    return std::string(name.sysname) + " " + name.release + " " + name.machine;
}

// ---------------------------------------------------------------------------------------------------------
// The benchmark

struct Settings {
    bool quick = false;
    int runs = 5;
    int launchRuns = 9;
    seconds memoryAt = 10s;
    seconds cpuWindow = 60s;
    milliseconds prompt = 20s;
    seconds hangScenario = 12s;
    seconds accountScenario = 16s;
    seconds promptScenario = 28s;
    std::string output;
    // Empty: everything; else only "launch", "memory" (memory and CPU) or "lag".
    std::string only;
};

double median(std::vector<double> values) {
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string number(double value, int decimals = 1) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string list(const std::vector<double>& values, int decimals = 1) {
    std::string text;
    for (double v : values)
        text += (text.empty() ? "" : ", ") + number(v, decimals);
    return text;
}

enum class Program { Panel, Bare };

class Bench {
public:
    Bench(Settings settings, std::string workDir)
        : s_(std::move(settings))
        , work_(std::move(workDir)) {}

    ~Bench() {
        if (xvfb_.pid > 0)
            stop(xvfb_);
    }

    void startDisplay() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            fail("cannot create a pipe");
        // -displayfd: Xvfb picks a free display itself and writes its number to fd 9.
        xvfb_ =
            spawn("Xvfb", {xvfbPath(), "-displayfd", "9", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"},
                  {}, work_ + "/xvfb.log", fds[1]);
        ::close(fds[1]);
        std::string text;
        const auto deadline = Clock::now() + 15s;
        while (text.find('\n') == std::string::npos && Clock::now() < deadline) {
            pollfd entry{fds[0], POLLIN, 0};
            if (::poll(&entry, 1, 200) <= 0)
                continue;
            char chunk[64];
            const ssize_t got = ::read(fds[0], chunk, sizeof chunk);
            if (got <= 0)
                break;
            text.append(chunk, std::size_t(got));
        }
        ::close(fds[0]);
        if (text.find('\n') == std::string::npos)
            fail("Xvfb did not start; see " + work_ + "/xvfb.log");
        display_ = ":" + trim(text);
        progress("virtual display " + display_);
    }

    void run() {
        startDisplay();
        warmUp();
        if (wanted("launch"))
            measureLaunch();
        if (wanted("memory"))
            measureMemoryAndCpu();
        if (wanted("lag"))
            measureLag();
        report();
    }

private:
    bool wanted(const std::string& part) const { return s_.only.empty() || s_.only == part; }

    static std::string xvfbPath() {
        for (const char* path : {"/usr/bin/Xvfb", "/usr/local/bin/Xvfb"})
            if (::access(path, X_OK) == 0)
                return path;
        fail("Xvfb is missing: run scripts/setup");
    }

    // A fresh settings folder with the terms already agreed to, so Start needs no question.
    std::string configHome() {
        const std::string dir = work_ + "/config-" + std::to_string(++configs_);
        ::mkdir(dir.c_str(), 0700);
        ::mkdir((dir + "/nodepanel").c_str(), 0700);
        std::ofstream(dir + "/nodepanel/nodepanel.conf") << "[General]\nagree=true\n";
        return dir;
    }

    Child launch(Program program, const std::vector<std::string>& options) {
        const bool panel = program == Program::Panel;
        std::vector<std::string> argv{panel ? BENCH_PANEL : BENCH_BAREWINDOW};
        argv.insert(argv.end(), options.begin(), options.end());
        const std::string name = panel ? "panel" : "bare";
        // Each log says which measurement the lines that follow belong to.
        std::ofstream(work_ + "/" + name + ".log", std::ios::app) << "==== " << phase_ << "\n";
        return spawn(name, argv,
                     {{"DISPLAY", display_},
                      {"QT_QPA_PLATFORM", "xcb"},
                      {"XDG_CONFIG_HOME", configHome()},
                      {"XDG_RUNTIME_DIR", runtimeDir()}},
                     work_ + "/" + name + ".log");
    }

    std::string runtimeDir() {
        const std::string dir = work_ + "/runtime";
        ::mkdir(dir.c_str(), 0700);
        return dir;
    }

    std::vector<std::string> panelOptions(const StubServer& node, const std::string& accountUrl,
                                          std::vector<std::string> more = {}) {
        std::vector<std::string> options{"--status-url", node.url("http", "/get_status"), "--account-url",
                                         accountUrl};
        options.insert(options.end(), more.begin(), more.end());
        return options;
    }

    std::vector<std::string> bareOptions(const StubServer& node, std::vector<std::string> more = {}) {
        std::vector<std::string> options{"--status-url", node.url("http", "/get_status")};
        options.insert(options.end(), more.begin(), more.end());
        return options;
    }

    static std::string refusedAccount() { return "https://127.0.0.1:" + std::to_string(closedPort()); }

    // Loads every library once, so the first measured launch does not pay for a cold page cache.
    void warmUp() {
        progress("warming up");
        phase_ = "warm-up";
        for (Program program : {Program::Panel, Program::Bare}) {
            StubServer node(StubServer::Mode::Answer);
            Child child = program == Program::Panel ? launch(program, panelOptions(node, refusedAccount()))
                                                    : launch(program, bareOptions(node));
            std::this_thread::sleep_for(3s);
            stop(child);
        }
    }

    // One program at a time: two launches at once on a small machine would measure the contention.
    void measureLaunch() {
        for (int run = 0; run < s_.launchRuns; ++run) {
            // Alternating which goes first, so neither always follows the other's exit.
            for (int k = 0; k < 2; ++k) {
                const Program program = (run + k) % 2 ? Program::Bare : Program::Panel;
                phase_ = "launch run " + std::to_string(run + 1);
                StubServer node(StubServer::Mode::Answer);
                Child child = program == Program::Panel
                                  ? launch(program, panelOptions(node, refusedAccount()))
                                  : launch(program, bareOptions(node));
                const auto deadline = child.started + 20s;
                while (!node.firstStatusRequest() && Clock::now() < deadline)
                    std::this_thread::sleep_for(2ms);
                const auto first = node.firstStatusRequest();
                if (!first)
                    fail(child.name + " sent no status request within 20 s; see " + work_ + "/" + child.name +
                         ".log");
                const double ms = msBetween(child.started, *first);
                (program == Program::Panel ? panel_ : bare_).launchMs.push_back(ms);
                progress("launch " + std::to_string(run + 1) + "/" + std::to_string(s_.launchRuns) + " " +
                         child.name + ": " + number(ms) + " ms");
                // Settled before it ends, like a window a user opened.
                std::this_thread::sleep_for(1s);
                stop(child);
            }
        }
    }

    // Both at once, each on a node that answers "running", sampled at the same moments after its own start.
    void measureMemoryAndCpu() {
        for (int run = 0; run < s_.runs; ++run) {
            phase_ = "memory and CPU run " + std::to_string(run + 1);
            StubServer panelNode(StubServer::Mode::Answer);
            StubServer bareNode(StubServer::Mode::Answer);
            Child panel, bare;
            if (run % 2 == 0) {
                panel = launch(Program::Panel, panelOptions(panelNode, refusedAccount()));
                bare = launch(Program::Bare, bareOptions(bareNode));
            } else {
                bare = launch(Program::Bare, bareOptions(bareNode));
                panel = launch(Program::Panel, panelOptions(panelNode, refusedAccount()));
            }
            const auto sampleAt = [&](Child& child, Clock::time_point when, Sample& into) {
                std::this_thread::sleep_until(when);
                into.rssKiB = double(statusKiB(child.pid, "VmRSS"));
                into.anonKiB = double(statusKiB(child.pid, "RssAnon"));
                into.cpuMs = cpuClockMs(child.pid);
                into.statCpuMs = statCpuMs(child.pid);
            };
            Sample panelEarly, bareEarly, panelLate, bareLate;
            // Sample whichever is due first.
            if (panel.started <= bare.started) {
                sampleAt(panel, panel.started + s_.memoryAt, panelEarly);
                sampleAt(bare, bare.started + s_.memoryAt, bareEarly);
                sampleAt(panel, panel.started + s_.memoryAt + s_.cpuWindow, panelLate);
                sampleAt(bare, bare.started + s_.memoryAt + s_.cpuWindow, bareLate);
            } else {
                sampleAt(bare, bare.started + s_.memoryAt, bareEarly);
                sampleAt(panel, panel.started + s_.memoryAt, panelEarly);
                sampleAt(bare, bare.started + s_.memoryAt + s_.cpuWindow, bareLate);
                sampleAt(panel, panel.started + s_.memoryAt + s_.cpuWindow, panelLate);
            }
            // The running view checks the node every 5 s: fewer requests mean it was not on that view.
            const int expected = int((s_.memoryAt + s_.cpuWindow) / 5s) - 1;
            if (panelNode.statusRequests() < expected)
                fail("the panel checked the node " + std::to_string(panelNode.statusRequests()) +
                     " times; it was not on the running view");
            stop(panel);
            stop(bare);
            record(panel_, panelEarly, panelLate);
            record(bare_, bareEarly, bareLate);
            progress("memory/CPU " + std::to_string(run + 1) + "/" + std::to_string(s_.runs) + ": panel " +
                     number(panelEarly.rssKiB / 1024.0) + " MiB, " +
                     number(panelLate.cpuMs - panelEarly.cpuMs) + " ms; bare " +
                     number(bareEarly.rssKiB / 1024.0) + " MiB, " + number(bareLate.cpuMs - bareEarly.cpuMs) +
                     " ms; panel checks " + std::to_string(panelNode.statusRequests()));
        }
    }

    struct Sample {
        double rssKiB = 0, anonKiB = 0, cpuMs = 0, statCpuMs = 0;
    };

    struct Figures {
        std::vector<double> launchMs, rssMiB, anonMiB, cpuMs, statCpuMs, launchCpuMs;
        std::map<std::string, std::vector<double>> lagMs, loadMs;
        std::map<std::string, std::vector<std::string>> lateTurns;
    };

    void record(Figures& f, const Sample& early, const Sample& late) {
        f.rssMiB.push_back(early.rssKiB / 1024.0);
        f.anonMiB.push_back(early.anonKiB / 1024.0);
        f.cpuMs.push_back(late.cpuMs - early.cpuMs);
        f.statCpuMs.push_back(late.statCpuMs - early.statCpuMs);
        f.launchCpuMs.push_back(early.cpuMs);
    }

    struct Scenario {
        std::string key;
        std::string title;
        seconds length;
    };

    std::vector<Scenario> scenarios() const {
        return {{"hang", "node accepts and never answers", s_.hangScenario},
                {"account", "account server never answers", s_.accountScenario},
                {"prompt", "Start waits " + std::to_string(s_.prompt.count() / 1000) + " s at the prompt",
                 s_.promptScenario}};
    }

    void measureLag() {
        for (int run = 0; run < s_.runs; ++run) {
            for (const Scenario& scenario : scenarios()) {
                phase_ = "lag run " + std::to_string(run + 1) + ", " + scenario.title;
                // The node: silent after accepting, or answering "stopped" until the stand-in start.
                const bool hang = scenario.key == "hang";
                const auto nodeMode = hang ? StubServer::Mode::Hang : StubServer::Mode::Answer;
                StubServer panelNode(nodeMode, false);
                StubServer bareNode(nodeMode, false);
                // The account server: silent after accepting (the TLS handshake never completes), or absent.
                StubServer silentAccount(StubServer::Mode::Hang);
                const std::string account =
                    scenario.key == "account" ? silentAccount.url("https") : refusedAccount();
                std::vector<std::string> more{"--lag-probe"};
                if (!hang) {
                    more.insert(more.end(),
                                {"--start-after-ms", "1000", "--prompt-ms",
                                 scenario.key == "prompt" ? std::to_string(s_.prompt.count()) : "0"});
                }
                Child panel = launch(Program::Panel, panelOptions(panelNode, account, more));
                Child bare = launch(Program::Bare, bareOptions(bareNode, {"--lag-probe"}));
                std::this_thread::sleep_until(panel.started + scenario.length);
                const std::optional<LagReport> panelLag = askLag(panel);
                const std::optional<LagReport> bareLag = askLag(bare);
                // Each scenario must have happened as described, or its figure means nothing.
                std::string missed;
                if (panelNode.statusRequests() < 1 || bareNode.statusRequests() < 1)
                    missed = "a program did not ask its node";
                else if (!hang && !(panelNode.up() && panelNode.statusRequests() >= 2))
                    missed = "the panel's start did not finish with a check of the running node";
                else if (scenario.key == "account" && silentAccount.connections() < 1)
                    missed = "the panel did not reach the account server";
                stop(panel);
                stop(bare);
                if (!panelLag || !bareLag)
                    fail("no lag report in scenario " + scenario.key);
                if (!missed.empty())
                    fail(missed + " in scenario " + scenario.key + "; see " + work_ + "/panel.log");
                panel_.lagMs[scenario.key].push_back(panelLag->maxMs);
                bare_.lagMs[scenario.key].push_back(bareLag->maxMs);
                panel_.loadMs[scenario.key].push_back(panelLag->loadMs);
                bare_.loadMs[scenario.key].push_back(bareLag->loadMs);
                panel_.lateTurns[scenario.key].push_back(panelLag->late);
                bare_.lateTurns[scenario.key].push_back(bareLag->late);
                progress("lag " + std::to_string(run + 1) + "/" + std::to_string(s_.runs) + " " +
                         scenario.key + ": panel " + number(panelLag->maxMs) + " ms at " +
                         number(panelLag->maxAtMs, 0) + " ms; bare " + number(bareLag->maxMs) + " ms at " +
                         number(bareLag->maxAtMs, 0) + " ms");
            }
        }
    }

    void report() {
        std::ostringstream table;
        table << "| Figure | Panel | Bare window | Panel / bare | Target | Met |\n"
              << "|---|--:|--:|--:|---|---|\n";
        const auto row = [&](const std::string& figure, double panel, double bare, const std::string& ratio,
                             const std::string& target, bool met, int decimals = 1) {
            if (std::isnan(panel) && std::isnan(bare))
                return; // not measured in this run (--only)
            table << "| " << figure << " | " << number(panel, decimals) << " | " << number(bare, decimals)
                  << " | " << ratio << " | " << target << " | " << (met ? "yes" : "**no**") << " |\n";
        };
        const auto ratio = [](double panel, double bare) { return number(panel / bare, 2); };

        const double rssP = median(panel_.rssMiB), rssB = median(bare_.rssMiB);
        row("Resident memory after " + std::to_string(s_.memoryAt.count()) + " s on the running view (MiB)",
            rssP, rssB, ratio(rssP, rssB), "≤ 1.25 ×", rssP <= 1.25 * rssB);
        const double cpuP = median(panel_.cpuMs), cpuB = median(bare_.cpuMs);
        row("CPU time over " + std::to_string(s_.cpuWindow.count()) + " s on the running view (ms)", cpuP,
            cpuB, ratio(cpuP, cpuB), "≤ 1.5 ×", cpuP <= 1.5 * cpuB);
        const double launchP = median(panel_.launchMs), launchB = median(bare_.launchMs);
        row("Launch to first status request (ms)", launchP, launchB,
            ratio(launchP, launchB) + " (+" + number(launchP - launchB, 0) + " ms)", "≤ bare + 250 ms",
            launchP <= launchB + 250.0, 0);
        for (const Scenario& scenario : scenarios()) {
            const double p = median(panel_.lagMs[scenario.key]), b = median(bare_.lagMs[scenario.key]);
            row("Largest main-thread stall: " + scenario.title + " (ms)", p, b, ratio(p, b), "≤ 20 ms",
                p <= 20.0);
        }

        std::ostringstream more;
        more << "| Figure | Panel | Bare window |\n|---|--:|--:|\n";
        const auto extra = [&](const std::string& figure, double panel, double bare) {
            if (std::isnan(panel) && std::isnan(bare))
                return;
            more << "| " << figure << " | " << number(panel) << " | " << number(bare) << " |\n";
        };
        extra("Anonymous (private) resident memory after " + std::to_string(s_.memoryAt.count()) + " s (MiB)",
              median(panel_.anonMiB), median(bare_.anonMiB));
        extra("CPU time in the first " + std::to_string(s_.memoryAt.count()) + " s, launch included (ms)",
              median(panel_.launchCpuMs), median(bare_.launchCpuMs));
        extra("CPU time over the same " + std::to_string(s_.cpuWindow.count()) +
                  " s from /proc/PID/stat (10 ms ticks) (ms)",
              median(panel_.statCpuMs), median(bare_.statCpuMs));
        std::vector<double> panelLoad, bareLoad;
        for (const Scenario& scenario : scenarios()) {
            for (double v : panel_.loadMs[scenario.key])
                panelLoad.push_back(v - 200.0);
            for (double v : bare_.loadMs[scenario.key])
                bareLoad.push_back(v);
        }
        extra("Building the window before the event loop starts, without the deliberate 0.2 s pause (ms)",
              median(panelLoad), median(bareLoad));

        std::ostringstream runs;
        runs << "| Figure | Program | Runs |\n|---|---|---|\n";
        const auto raw = [&](const std::string& figure, const std::vector<double>& p,
                             const std::vector<double>& b, int decimals = 1) {
            if (p.empty() && b.empty())
                return;
            runs << "| " << figure << " | panel | " << list(p, decimals) << " |\n";
            runs << "| " << figure << " | bare | " << list(b, decimals) << " |\n";
        };
        raw("Resident memory (MiB)", panel_.rssMiB, bare_.rssMiB);
        raw("CPU time (ms)", panel_.cpuMs, bare_.cpuMs);
        raw("Launch to first request (ms)", panel_.launchMs, bare_.launchMs, 0);
        for (const Scenario& scenario : scenarios())
            raw("Largest stall, " + scenario.key + " (ms)", panel_.lagMs[scenario.key],
                bare_.lagMs[scenario.key]);

        std::ostringstream late;
        for (const Scenario& scenario : scenarios()) {
            for (std::size_t i = 0; i < panel_.lateTurns[scenario.key].size(); ++i) {
                late << "- " << scenario.key << " run " << i + 1 << ": panel "
                     << orNone(panel_.lateTurns[scenario.key][i]) << "; bare "
                     << orNone(bare_.lateTurns[scenario.key][i]) << "\n";
            }
        }

        const std::string machine = std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)) + " × " + cpuModel() +
                                    ", " + memoryTotal() + " memory, " + kernel() + ", Qt " + qVersion();
        const std::string date =
            QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'")).toStdString();
        const std::string setup = "median of " + std::to_string(s_.runs) +
                                  " runs (launch: " + std::to_string(s_.launchRuns) + " each)" +
                                  (s_.quick ? ", quick run: shorter windows, not for results.md" : "");

        std::printf("\nMachine: %s\nDate: %s\nRuns: %s\n\n%s\nAlso measured:\n\n%s\nEvery run:\n\n%s\n"
                    "Main-thread turns more than 10 ms late (ms after process start : ms late):\n\n%s",
                    machine.c_str(), date.c_str(), setup.c_str(), table.str().c_str(), more.str().c_str(),
                    runs.str().c_str(), late.str().c_str());

        if (!s_.output.empty()) {
            // The notes written by hand (why a target is missed, what was changed) outlive the figures.
            const std::string previous = readFile(s_.output);
            const std::size_t notesAt = previous.find("\n## Notes");
            const std::string notes = notesAt == std::string::npos ? std::string() : previous.substr(notesAt);
            std::ofstream out(s_.output);
            out << "# Benchmark results\n\n"
                << "Written by `bench/run`; see `bench/README.md` for what each figure means and how it is "
                   "taken.\n\n"
                << "- Machine: " << machine << "\n- Date: " << date << "\n- Runs: " << setup << "\n\n"
                << table.str() << "\n## Also measured\n\n"
                << more.str() << "\n## Every run\n\n"
                << runs.str() << "\n## Main-thread turns more than 10 ms late\n\n"
                << "Milliseconds after process start : milliseconds late.\n\n"
                << late.str() << notes;
            if (!out)
                fail("cannot write " + s_.output);
            progress("wrote " + s_.output);
        }
    }

    static std::string orNone(const std::string& text) { return text.empty() ? "none" : text; }

    Settings s_;
    std::string work_;
    std::string display_;
    Child xvfb_;
    int configs_ = 0;
    std::string phase_;
    Figures panel_, bare_;
};

} // namespace

int main(int argc, char* argv[]) {
    Settings settings;
    bool runsGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            settings.quick = true;
        } else if (arg == "--runs" && i + 1 < argc) {
            settings.runs = std::max(1, std::atoi(argv[++i]));
            runsGiven = true;
        } else if (arg == "--output" && i + 1 < argc) {
            settings.output = argv[++i];
        } else if (arg == "--only" && i + 1 < argc) {
            settings.only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: bench_driver [--quick] [--runs N] [--only launch|memory|lag] "
                                 "[--output results.md]\n");
            return 64;
        }
    }
    if (settings.quick) {
        if (!runsGiven)
            settings.runs = 1;
        settings.launchRuns = 3;
        settings.memoryAt = 5s;
        settings.cpuWindow = 10s;
        settings.prompt = 5s;
        settings.hangScenario = 8s;
        settings.accountScenario = 12s;
        settings.promptScenario = 12s;
    } else {
        settings.launchRuns = std::max(settings.launchRuns, settings.runs);
    }

    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    std::atexit(killRemembered);

    // Logs of the last run, for a look when a figure is off.
    const std::string work = BENCH_WORK_DIR;
    std::filesystem::remove_all(work);
    std::filesystem::create_directories(work);
    Bench bench(settings, work);
    bench.run();
    return 0;
}
