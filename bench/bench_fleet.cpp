// Many busy lines on one PC: N gateway instances without a window, each with its own PLC runtime
// stand-in whose PLC raises the next request as soon as the last one is answered, and its own
// printer stand-in echoing every request. Prints per N, beside one instance in the same run:
// answers per second, answer hand-over p50/p99 (the gateways' own histogram, and timed here),
// link requests per answer (those of the hand-over, and all), gateway CPU per answer and the
// longest gap between two watchdog notifications of any gateway; and answers that came back
// wrong or not at all.
//
// The histogram's buckets (10 to 25 ms, ...) are too coarse for a p99 near 20 ms, so the
// hand-over is also timed answer by answer, exactly: from the moment the printer stand-in sends
// its answer (it puts the monotonic clock into the echo, "%t") to the moment the runtime
// stand-in applies the gateway's write of ".antwort" true (its "plc answer" t=, set on the same
// clock by the clock= of its first line). The histogram counts from the answer's arrival at the
// gateway to the reply of that write; the time timed here adds the answer's way from the
// printer into the gateway (a loopback send and the gateway's wake-up) and leaves out the
// write's reply on its way back: either is one scheduling turn of the same PC, so the two
// figures differ by little, and the one timed here is never rounded to a bucket.
//
//   bench_fleet [--seconds S] [--gateway PATH] [--compare PATH] [--split R/L] N...
//                                                         defaults: 20 s, N = 1 10 30 100
//
// --gateway runs another build's gateway (an older one, for a before/after comparison); the
// stand-ins are always this build's. --compare PATH runs that gateway in every other instance of
// the same fleet and prints each half's figures (A, B): both see the same load of the PC at the
// same time, which separate runs on a shared machine do not. --split R/L keeps the runtime
// stand-ins on CPUs R and the rest on CPUs L (taskset lists, e.g. 1/0): an approximation of PLC
// runtimes on machines of their own.
//
// Beside each figure line, what the scheduler counted per answer for each of a line's three
// processes (all their threads): CPU, wake-ups (sleeps it ended), preemptions and the time spent
// runnable in the run queue; and how busy the PC's CPUs were, with anyone's work.
#include "BenchSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QProcess>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

QElapsedTimer g_clock;

// Runs the event loop for ms, or until done (looked at every 50 ms) is true.
void spin(int ms, const std::function<bool()> &done = {})
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    QTimer check;
    if (done) {
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (done())
                loop.quit();
        });
        check.start(50);
    }
    loop.exec();
}

// The body of GET path, or empty.
QByteArray httpGet(quint16 port, const char *path)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    QByteArray in;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        const QByteArray request =
            QByteArray("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
        writeFull(fd, request.constData(), size_t(request.size()));
        // The head, then as many bytes as its Content-Length says.
        char buf[65536];
        qsizetype want = -1;
        for (ssize_t n; (want < 0 || in.size() < want) && (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) {
            in.append(buf, n);
            const qsizetype head = in.indexOf("\r\n\r\n"), length = in.indexOf("ontent-Length: ");
            if (want < 0 && head >= 0 && length >= 0)
                want = head + 4 + in.mid(length + 15, in.indexOf('\r', length) - length - 15).toLongLong();
        }
    }
    ::close(fd);
    const qsizetype body = in.indexOf("\r\n\r\n");
    return body < 0 ? QByteArray() : in.mid(body + 4);
}

// The scheduler's account of one process, all its threads: time on a CPU, time waiting in the
// run queue after a wake-up or a preemption (/proc/<pid>/task/*/schedstat), how often it went to
// sleep by itself (every sleep is a wake-up later) and how often it was preempted.
struct SchedAccount {
    double cpuNs = 0, waitNs = 0, sleeps = 0, preempted = 0;

    static SchedAccount of(qint64 pid)
    {
        SchedAccount a;
        const QString dir = QStringLiteral("/proc/%1/task").arg(pid);
        for (const QString &task : QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile stat(dir + QLatin1Char('/') + task + QStringLiteral("/schedstat"));
            if (stat.open(QIODevice::ReadOnly)) {
                const QList<QByteArray> words = stat.readAll().split(' ');
                a.cpuNs += words.value(0).toDouble();
                a.waitNs += words.value(1).toDouble();
            }
            QFile status(dir + QLatin1Char('/') + task + QStringLiteral("/status"));
            if (!status.open(QIODevice::ReadOnly))
                continue;
            for (const QByteArray &line : status.readAll().split('\n')) {
                if (line.startsWith("voluntary_ctxt_switches:"))
                    a.sleeps += line.mid(24).trimmed().toDouble();
                else if (line.startsWith("nonvoluntary_ctxt_switches:"))
                    a.preempted += line.mid(27).trimmed().toDouble();
            }
        }
        return a;
    }
    SchedAccount &operator+=(const SchedAccount &o)
    {
        cpuNs += o.cpuNs, waitNs += o.waitNs, sleeps += o.sleeps, preempted += o.preempted;
        return *this;
    }
    SchedAccount operator-(const SchedAccount &o) const
    {
        return {cpuNs - o.cpuNs, waitNs - o.waitNs, sleeps - o.sleeps, preempted - o.preempted};
    }
};

// The three processes of a line.
enum Role { GatewayRole, RuntimeRole, PrinterRole, Roles };
const char *const roleNames[Roles] = {"gateway", "runtime stand-in", "printer stand-in"};

// Busy and total jiffies of the whole machine (/proc/stat), for the share of the CPUs in use.
std::pair<double, double> machineJiffies()
{
    QFile f(QStringLiteral("/proc/stat"));
    if (!f.open(QIODevice::ReadOnly))
        return {0, 0};
    const QList<QByteArray> words = f.readLine().simplified().split(' ');
    double total = 0, idle = 0;
    for (qsizetype i = 1; i < words.size(); ++i) {
        total += words[i].toDouble();
        if (i == 4 || i == 5) // idle, iowait
            idle += words[i].toDouble();
    }
    return {total - idle, total};
}

// What one look at an instance found; the figures of a window are the differences of two.
struct Sample {
    double answered = 0;
    std::vector<double> buckets; // cumulated counts of the hand-over histogram
    double requests = 0, handOver = 0;
    qint64 cpuNs = 0;
    SchedAccount sched[Roles];
};

const std::vector<double> Bounds{0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                 0.1,    0.25,  0.5,    1,     2.5,  5,     10};

// A child that ends with the benchmark, however the benchmark ends.
struct Child : QProcess {
    Child()
    {
        setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    }
};

struct Instance {
    QString dir;
    Child plc, printer, gateway;
    quint16 plcPort = 0, printerPort = 0, statusPort = 0;
    int notifyFd = -1;
    std::unique_ptr<QSocketNotifier> notifier;
    qint64 lastBeat = -1, longestGap = 0;
    QByteArray plcOut;
    qint64 plcClock = 0; // the monotonic clock at the runtime stand-in's t=0, in microseconds
    bool timing = false;
    std::vector<double> handOvers; // timed here while timing, in ms
    int answers = 0, wrong = 0, raised = 0;
    int statsRequests = -1, statsHandOver = -1;

    ~Instance()
    {
        if (notifyFd >= 0)
            ::close(notifyFd);
    }

    void readPlc()
    {
        plcOut += plc.readAllStandardOutput();
        qsizetype at;
        while ((at = plcOut.indexOf('\n')) >= 0) {
            const QByteArray line = plcOut.left(at);
            plcOut.remove(0, at + 1);
            if (line.startsWith("plc request ")) {
                ++raised;
            } else if (line.startsWith("plc answer ")) {
                // The printer echoes the request and adds the time it answered: the answer must
                // carry its request's number.
                ++answers;
                const QByteArray n = line.mid(line.indexOf("n=") + 2).split(' ').value(0);
                const QByteArray data = line.mid(line.indexOf(" data=") + 6);
                const QList<QByteArray> words = data.split(' ');
                bool sent = false, at = false;
                const qint64 sentUs = words.value(2).toLongLong(&sent);
                const qsizetype t = line.indexOf(" t=") + 3;
                const double atMs = line.mid(t, line.indexOf(' ', t) - t).toDouble(&at);
                if (words.size() != 3 || words[0] != "job" || words[1] != n || !sent || !at)
                    ++wrong;
                else if (timing)
                    handOvers.push_back(double(plcClock - sentUs) / 1000 + atMs);
            } else if (line.startsWith("stats ")) {
                const QList<QByteArray> words = line.split(' ');
                statsRequests = words.value(1).mid(9).toInt();
                statsHandOver = words.value(2).mid(9).toInt();
            }
        }
    }

    void beat()
    {
        char buffer[256];
        while (::recv(notifyFd, buffer, sizeof buffer, 0) > 0) {
            if (!QByteArray(buffer, 10).startsWith("WATCHDOG=1"))
                continue;
            const qint64 now = g_clock.elapsed();
            if (lastBeat >= 0)
                longestGap = std::max(longestGap, now - lastBeat);
            lastBeat = now;
        }
    }

    Sample sample()
    {
        Sample s;
        const QByteArray metrics = httpGet(statusPort, "/metrics");
        s.buckets.assign(Bounds.size(), 0);
        for (const QByteArray &line : metrics.split('\n')) {
            const double value = line.mid(line.lastIndexOf(' ') + 1).toDouble();
            if (line.startsWith("kavetta_requests_answered_total")) {
                s.answered = value;
            } else if (line.startsWith("kavetta_answer_handover_seconds_bucket")) {
                const qsizetype le = line.indexOf(",le=\"") + 1;
                const double bound = line.mid(le + 4, line.indexOf('"', le + 4) - le - 4).toDouble();
                for (size_t i = 0; i < Bounds.size(); ++i)
                    if (std::abs(Bounds[i] - bound) < 1e-9)
                        s.buckets[i] = value;
            }
        }
        statsRequests = -1;
        plc.write("stats\n");
        for (int i = 0; i < 50 && statsRequests < 0; ++i) {
            plc.waitForReadyRead(100);
            readPlc();
        }
        s.requests = statsRequests;
        s.handOver = statsHandOver;
        s.cpuNs = cpuNanoseconds(gateway.processId());
        s.sched[GatewayRole] = SchedAccount::of(gateway.processId());
        s.sched[RuntimeRole] = SchedAccount::of(plc.processId());
        s.sched[PrinterRole] = SchedAccount::of(printer.processId());
        return s;
    }
};

// The quantile of cumulated bucket counts, linear within its bucket, in ms.
double quantile(const std::vector<double> &cumulated, double q)
{
    const double total = cumulated.empty() ? 0 : cumulated.back();
    if (total <= 0)
        return 0;
    const double rank = q * total;
    double below = 0, lower = 0;
    for (size_t i = 0; i < cumulated.size(); ++i) {
        if (cumulated[i] >= rank) {
            const double inBucket = cumulated[i] - below;
            const double part = inBucket > 0 ? (rank - below) / inBucket : 1;
            return 1000 * (lower + (Bounds[i] - lower) * part);
        }
        below = cumulated[i];
        lower = Bounds[i];
    }
    return 1000 * Bounds.back();
}

// The q quantile of values (the nearest rank: the smallest value that at least q of them do
// not exceed), or 0 when there are none.
double rankQuantile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0;
    const auto rank = std::max<size_t>(size_t(std::ceil(q * double(values.size()))), 1);
    const auto at = values.begin() + std::ptrdiff_t(std::min(rank, values.size()) - 1);
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

struct Figures {
    int n = 0, lines = 0; // the fleet's size, and how many of its lines these figures are of
    double answersPerSecond = 0, p50 = 0, p99 = 0, timedP50 = 0, timedP99 = 0, handOverPerAnswer = 0,
           requestsPerAnswer = 0, cpuMsPerAnswer = 0;
    size_t timed = 0;
    qint64 longestGap = 0;
    int wrong = 0, unanswered = 0;
    SchedAccount perAnswer[Roles]; // each role's account divided by the answers
    double machineBusy = 0;        // share of all CPUs busy during the window, anyone's work
};

void print(const char *what, const Figures &f)
{
    std::printf("%-9s N=%-3d answers/s %6.1f (%.2f per instance)  hand-over p50 %6.2f ms p99 %6.2f ms "
                "(timed p50 %6.3f ms p99 %6.3f ms of %zu)  "
                "link requests per answer: hand-over %.2f, all %.2f  gateway CPU per answer %.3f ms  "
                "longest watchdog gap %lld ms  wrong %d unanswered %d\n",
                what, f.n, f.answersPerSecond, f.lines ? f.answersPerSecond / f.lines : 0, f.p50, f.p99,
                f.timedP50, f.timedP99, f.timed, f.handOverPerAnswer, f.requestsPerAnswer, f.cpuMsPerAnswer,
                static_cast<long long>(f.longestGap), f.wrong, f.unanswered);
    // The scheduler's side: what a line's processes cost per answer, and how long they waited
    // for a CPU once runnable; the machine's load beside it (the other work on this PC counts).
    std::printf("          per answer:");
    for (int r = 0; r < Roles; ++r)
        std::printf("%s %s CPU %.3f ms, wake-ups %.1f, preempted %.2f, run-queue wait %.3f ms (%.3f ms per "
                    "wake-up)",
                    r ? ";" : "", roleNames[r], f.perAnswer[r].cpuNs / 1e6, f.perAnswer[r].sleeps,
                    f.perAnswer[r].preempted, f.perAnswer[r].waitNs / 1e6,
                    f.perAnswer[r].waitNs / 1e6 /
                        std::max(1.0, f.perAnswer[r].sleeps + f.perAnswer[r].preempted));
    std::printf("; CPUs busy %.0f %%\n", 100 * f.machineBusy);
    std::fflush(stdout);
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// The port of the first line; its clock= (the runtime stand-in's) into clock, when asked for.
quint16 listeningPort(QProcess &p, qint64 *clock = nullptr)
{
    if (!p.waitForStarted(10000))
        return 0;
    for (int i = 0; i < 100 && !p.canReadLine(); ++i)
        p.waitForReadyRead(100);
    const QByteArray line = p.readLine();
    const qsizetype at = line.indexOf("port="), origin = line.indexOf("clock=");
    if (clock && origin >= 0)
        *clock = line.mid(origin + 6).trimmed().toLongLong();
    return at < 0 ? 0 : quint16(line.mid(at + 5).split(' ').value(0).trimmed().toUInt());
}

// --split R/L: the runtime stand-ins on CPUs R only, the gateways and printer stand-ins on CPUs L
// only (taskset lists). Not a way to run a line: an approximation of PLC runtimes that run on
// machines of their own, for the hand-over a gateway PC alone costs.
QString g_runtimeCpus, g_lineCpus;

void startOn(QProcess &p, const QString &cpus, const QString &program, const QStringList &arguments)
{
    if (cpus.isEmpty())
        p.start(program, arguments);
    else
        p.start(QStringLiteral("taskset"), QStringList{QStringLiteral("-c"), cpus, program} + arguments);
}

// One figure per gateway program; instance i runs programs[i % programs.size()], so that with two
// programs both halves of the fleet share the same PC at the same time and whatever else runs on
// it: a comparison that the load of the moment cannot tilt.
std::vector<Figures> runFleet(int n, int seconds, const QStringList &programs, const QString &bin)
{
    std::vector<Figures> groups(size_t(programs.size()));
    QTemporaryDir root;
    std::vector<std::unique_ptr<Instance>> fleet;
    for (int i = 0; i < n; ++i) {
        auto in = std::make_unique<Instance>();
        Instance &x = *in;
        const QString module = QStringLiteral("L%1").arg(i);
        x.dir = root.filePath(module);
        QDir().mkpath(x.dir + QStringLiteral("/Server"));
        // The runtime folder of each instance (its lock) must be private, or Qt takes a shared one.
        QFile::setPermissions(x.dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        startOn(x.plc, g_runtimeCpus, bin + QStringLiteral("/tools/plcsim/plcsim"),
                {QStringLiteral("serve"), QStringLiteral("--port"), QStringLiteral("0"),
                 QStringLiteral("--plc"), module, QStringLiteral("--every"), QStringLiteral("1000"),
                 QStringLiteral("--after-answer"), QStringLiteral("--data"), QStringLiteral("job {n}")});
        startOn(x.printer, g_lineCpus, bin + QStringLiteral("/tools/printersim/printersim"),
                {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--reply"),
                 QStringLiteral("%r %t")});
        x.plcPort = listeningPort(x.plc, &x.plcClock);
        x.printerPort = listeningPort(x.printer);
        x.printer.setStandardOutputFile(QProcess::nullDevice());
        if (x.plcPort == 0 || x.printerPort == 0) {
            std::fprintf(stderr, "cannot start the stand-ins of instance %d\n", i);
            return groups;
        }
        QObject::connect(&x.plc, &QProcess::readyReadStandardOutput, [&x] { x.readPlc(); });
        x.statusPort = freePort();
        const QString home = x.dir + QStringLiteral("/Server");
        writeFile(home + QStringLiteral("/Kavetta.zelb"),
                  "\"ServerPath\",\"\"\r\n\"Netid\",\"127.0.0.1\"\r\n\"Port\",\"" +
                      QByteArray::number(x.plcPort) + "\"\r\n\"Modulname\",\"" + module.toLatin1() +
                      "\"\r\n\"RemoteHost\",\"127.0.0.1\"\r\n\"RemotePort\",\"" +
                      QByteArray::number(x.printerPort) +
                      "\"\r\n\"Status\",1\r\n\"Timeout\",\"10\"\r\n\"StaticConnect\",1\r\n");
        writeFile(home + QStringLiteral("/Kavetta.ini"),
                  "[status]\nport = " + QByteArray::number(x.statusPort) + "\n");

        // A notification socket of its own, as the service manager gives it: the watchdog
        // notifications show how long the event loop was away.
        const QByteArray path = (x.dir + QStringLiteral("/notify")).toLocal8Bit();
        x.notifyFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        qstrncpy(addr.sun_path, path.constData(), sizeof addr.sun_path);
        if (::bind(x.notifyFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            std::fprintf(stderr, "instance %d: no notification socket, no watchdog gaps\n", i);
        x.notifier = std::make_unique<QSocketNotifier>(x.notifyFd, QSocketNotifier::Read);
        QObject::connect(x.notifier.get(), &QSocketNotifier::activated, [&x] { x.beat(); });

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KAVETTA_HEADLESS"), QStringLiteral("1"));
        env.insert(QStringLiteral("KAVETTA_HOME"), home);
        env.insert(QStringLiteral("KAVETTA_EVENTLOG"), x.dir + QStringLiteral("/events.log"));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), x.dir + QStringLiteral("/xdg-home"));
        env.insert(QStringLiteral("XDG_CONFIG_DIRS"), x.dir + QStringLiteral("/xdg"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), x.dir);
        env.insert(QStringLiteral("NOTIFY_SOCKET"), QString::fromLocal8Bit(path));
        env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("60000000"));
        env.remove(QStringLiteral("WATCHDOG_PID"));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        x.gateway.setProcessEnvironment(env);
        x.gateway.setStandardOutputFile(QProcess::nullDevice());
        x.gateway.setStandardErrorFile(QProcess::nullDevice());
        startOn(x.gateway, g_lineCpus, programs[i % programs.size()], {});
        fleet.push_back(std::move(in));
    }

    // Every line busy first; then a few seconds to settle.
    const auto allBusy = [&] {
        for (const auto &x : fleet)
            if (x->answers < 2)
                return false;
        return true;
    };
    spin(120000, allBusy);
    if (!allBusy())
        std::fprintf(stderr, "N=%d: not every line answered within two minutes\n", n);
    spin(3000);

    std::vector<Sample> before;
    for (const auto &x : fleet) {
        before.push_back(x->sample());
        x->longestGap = 0;
        x->wrong = 0;
        x->handOvers.clear();
        x->timing = true;
    }
    const auto machineBefore = machineJiffies();
    const qint64 start = g_clock.elapsed();
    spin(seconds * 1000);
    const double elapsed = double(g_clock.elapsed() - start) / 1000.0;
    const auto machineAfter = machineJiffies();
    std::vector<Sample> after;
    for (const auto &x : fleet) {
        after.push_back(x->sample());
        x->timing = false;
    }
    for (size_t g = 0; g < groups.size(); ++g) {
        Figures &f = groups[g];
        f.n = n;
        f.lines = int((fleet.size() + groups.size() - 1 - g) / groups.size());
        std::vector<double> buckets(Bounds.size(), 0), timed;
        double answered = 0, requests = 0, handOver = 0, cpuNs = 0;
        SchedAccount sched[Roles];
        for (size_t i = g; i < fleet.size(); i += groups.size()) {
            const Instance &x = *fleet[i];
            for (int r = 0; r < Roles; ++r)
                sched[r] += after[i].sched[r] - before[i].sched[r];
            answered += after[i].answered - before[i].answered;
            requests += after[i].requests - before[i].requests;
            handOver += after[i].handOver - before[i].handOver;
            cpuNs += double(after[i].cpuNs - before[i].cpuNs);
            for (size_t b = 0; b < Bounds.size(); ++b)
                buckets[b] += after[i].buckets[b] - before[i].buckets[b];
            f.longestGap = std::max(f.longestGap, x.longestGap);
            f.wrong += x.wrong;
            timed.insert(timed.end(), x.handOvers.begin(), x.handOvers.end());
        }
        f.answersPerSecond = answered / elapsed;
        f.p50 = quantile(buckets, 0.5);
        f.p99 = quantile(buckets, 0.99);
        f.timed = timed.size();
        f.timedP50 = rankQuantile(timed, 0.5);
        f.timedP99 = rankQuantile(timed, 0.99);
        if (answered > 0) {
            f.handOverPerAnswer = handOver / answered;
            f.requestsPerAnswer = requests / answered;
            f.cpuMsPerAnswer = cpuNs / 1e6 / answered;
            for (int r = 0; r < Roles; ++r)
                f.perAnswer[r] = {sched[r].cpuNs / answered, sched[r].waitNs / answered,
                                  sched[r].sleeps / answered, sched[r].preempted / answered};
        }
        if (machineAfter.second > machineBefore.second)
            f.machineBusy =
                (machineAfter.first - machineBefore.first) / (machineAfter.second - machineBefore.second);
    }

    // The end: the gateways first (a normal unload), then what the PLCs still wait for.
    for (const auto &x : fleet)
        x->gateway.terminate();
    for (const auto &x : fleet)
        if (!x->gateway.waitForFinished(10000))
            x->gateway.kill();
    for (size_t i = 0; i < fleet.size(); ++i) {
        Instance *x = fleet[i].get();
        x->readPlc();
        // At most the one request in flight may be left without its answer.
        groups[i % groups.size()].unanswered += std::max(0, x->raised - x->answers - 1);
        x->plc.kill();
        x->printer.kill();
        x->plc.waitForFinished(5000);
        x->printer.waitForFinished(5000);
    }
    return groups;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    g_clock.start();
    const QString bin = QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/..")).absolutePath();
    QStringList gateways{bin + QStringLiteral("/src/kavetta")};
    int seconds = 20;
    QList<int> sizes;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == QLatin1String("--seconds") && i + 1 < args.size())
            seconds = qMax(1, args[++i].toInt());
        else if (args[i] == QLatin1String("--gateway") && i + 1 < args.size())
            gateways[0] = args[++i];
        else if (args[i] == QLatin1String("--compare") && i + 1 < args.size())
            gateways << args[++i];
        else if (args[i] == QLatin1String("--split") && i + 1 < args.size() && args[i + 1].count(u'/') == 1) {
            g_runtimeCpus = args[++i].section(u'/', 0, 0);
            g_lineCpus = args[i].section(u'/', 1, 1);
        } else if (args[i].toInt() > 0)
            sizes << args[i].toInt();
        else {
            std::fprintf(
                stderr,
                "usage: bench_fleet [--seconds S] [--gateway PATH] [--compare PATH] [--split R/L] N...\n");
            return 1;
        }
    }
    if (sizes.isEmpty())
        sizes = {1, 10, 30, 100};
    gateways = gateways.mid(0, 2);
    for (qsizetype g = 0; g < gateways.size(); ++g)
        std::printf("gateway %s: %s\n", g ? "B" : "A", qPrintable(gateways[g]));
    std::printf("%d s per window, %d cores\n", seconds, QThread::idealThreadCount());
    if (!g_runtimeCpus.isEmpty())
        std::printf("runtime stand-ins on CPUs %s only, gateways and printer stand-ins on CPUs %s only\n",
                    qPrintable(g_runtimeCpus), qPrintable(g_lineCpus));
    const auto label = [&](const char *what, size_t g) {
        return (QByteArray(what) + (gateways.size() > 1 ? (g ? " B" : " A") : "")).leftJustified(9);
    };
    std::vector<Figures> alone;
    for (qsizetype g = 0; g < gateways.size(); ++g) {
        const std::vector<Figures> one = runFleet(1, seconds, {gateways[g]}, bin);
        alone.push_back(one.empty() ? Figures{} : one.front());
        print(label("alone", size_t(g)).constData(), alone.back());
    }
    for (const int n : sizes) {
        if (n == 1)
            continue;
        const std::vector<Figures> fleet = runFleet(n, seconds, gateways, bin);
        for (size_t g = 0; g < fleet.size(); ++g)
            print(label("fleet", g).constData(), fleet[g]);
        for (size_t g = 0; g < alone.size(); ++g)
            print(label("  beside", g).constData(), alone[g]);
    }
    return 0;
}
