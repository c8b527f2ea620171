// (1) The fill alone, for templates of 40 to 4000 placeholders over 40 to 4000 distinct symbols,
//     beside the least any fill of the same template costs: one copy, case fold and UTF-8
//     conversion of its text, in the same run. One line per template, for tools to read:
//     "fill <placeholders>/<symbols>: <n> us, reference <n> us, ratio <r>".
// (2) Labels per second for a template with 40 symbols, filled from the print data database,
//     beside the database lookup alone in the same run.
// (3) A label at the limits: a template of 1 MiB with 20,000 markup elements and 10,000
//     placeholders, print data of 1 MiB: the CPU time of its first build (the template parsed)
//     and of a build from the kept template, beside the 50 ms goal, and the kernel's share of it
//     (page faults for memory taken fresh from the system).
//
//   bench_labels [labels-per-round] [rounds] [prog.mdb]
//   bench_labels --limits [builds]          only (3)
//   bench_labels --lookups N [prog.mdb]     only N lookups (for running under valgrind)
//
// The print data comes from the "BIG" record of the example database, which holds 200 symbol
// lines and ends with a line feed (so the label builder would refuse it as it stands). Each label
// looks that record up in full and keeps its first 40 lines: the database cost is that of a
// 6000-character memo, more than a real 40-line record costs.
#include "common/GatewayState.h"
#include "common/LogWriter.h"
#include "labels/LabelBuilder.h"
#include "labels/MdbPrintData.h"
#include "labels/XmlTemplate.h"
#include "socket/QtSocketEndpoint.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include <sys/resource.h>

namespace
{

struct CountingLog : LogWriter {
    qint64 records = 0;
    void writeLog(const QString &, bool) override { ++records; }
};

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.at(v.size() / 2);
}

struct FirstFortyLines : PrintDataLookup {
    PrintDataLookup &database;
    explicit FirstFortyLines(PrintDataLookup &db) : database(db) {}
    QString getDruckData(const QString &los, qint16 teil) override
    {
        QString data = database.getDruckData(los, teil);
        qsizetype end = -1;
        for (int line = 0; line < 40 && (end = data.indexOf(QLatin1Char('\n'), end + 1)) >= 0;)
            ++line;
        if (end >= 0)
            data.truncate(end);
        return data;
    }
};

struct FixedPrintData : PrintDataLookup {
    QString data;
    QString getDruckData(const QString &, qint16) override { return data; }
};

template <typename F> double perSecond(int n, F &&f)
{
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i)
        f();
    return n / (double(t.nsecsElapsed()) / 1e9);
}

// A label of `placeholders` placeholders over `symbols` symbols, filled by the label builder
// with print data of one line per symbol, beside the copy-and-fold reference of its text.
// Returns the ratio, or -1 when the label did not come out filled.
double fillRow(const QString &home, int placeholders, int symbols, int rounds)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<label format=\"#version#\">\n";
    for (int i = 0; i < placeholders; ++i)
        xml += QStringLiteral("  <text x=\"4\" y=\"%1\" font=\"Sans\">K%2: #K%2#</text>\n")
                   .arg(i * 5)
                   .arg(i % symbols, 4, 10, QLatin1Char('0'))
                   .toUtf8();
    xml += "</label>\n";
    QStringList lines;
    for (int i = 0; i < symbols; ++i)
        lines << QStringLiteral("K%1=W%1abcdefghijklmnopqrst").arg(i, 4, 10, QLatin1Char('0'));
    const QString name = QStringLiteral("fill-%1-%2.xml").arg(placeholders).arg(symbols);
    QFile file(home + QStringLiteral("/Labels/") + name);
    if (!file.open(QIODevice::WriteOnly) || file.write(xml) != xml.size())
        return -1;
    file.close();

    GatewayState state;
    CountingLog log;
    QtSocketEndpoint socket;
    FixedPrintData data;
    data.data = lines.join(QLatin1Char('\n'));
    LabelBuilder builder(state, log, socket, data, home);
    state.settings.sendUtf8 = true;
    const QString request = QStringLiteral("/SetLabel=2.1#") + name + QStringLiteral("#L#1");
    if (builder.setLabelContent(request) != 0 || state.sendQueue.value(0).contains(QLatin1String("#K")) ||
        log.records != 0)
        return -1;
    const QString text = XmlTemplateLoader().load(home + QStringLiteral("/Labels"), name).xml;

    auto fill = [&] {
        builder.setLabelContent(request);
        state.sendQueue.clear();
    };
    qsizetype sink = 0;
    auto reference = [&] {
        const QString copy(text.constData(), text.size());
        sink += copy.toCaseFolded().size() + copy.toUtf8().size();
    };
    // About 20 ms per round and figure.
    QElapsedTimer probe;
    probe.start();
    fill();
    const int n = int(std::clamp<qint64>(20000000 / std::max<qint64>(1, probe.nsecsElapsed()), 3, 20000));
    fill(); // warm-up
    QList<double> fills, references;
    for (int r = 0; r < rounds; ++r) {
        fills << 1e6 / perSecond(n, fill);
        references << 1e6 / perSecond(n, reference);
    }
    const double f = median(fills), ref = median(references);
    std::printf("fill %d/%d: %.0f us, reference %.0f us, ratio %.2f\n", placeholders, symbols, f, ref,
                f / ref);
    return sink > 0 ? f / ref : -1;
}

double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

// The kernel's share of this thread's time so far, and the page faults it served: memory that a
// build takes fresh from the system costs a fault per page.
std::pair<double, long> threadKernelMsAndFaults()
{
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return {double(u.ru_stime.tv_sec) * 1e3 + double(u.ru_stime.tv_usec) / 1e3, u.ru_minflt};
}

// (3): false when the label did not come out filled.
bool limitsRow(const QString &home, int builds)
{
    constexpr int Symbols = 10000;
    // Two marks per line; the padding brings the file to just under the byte limit.
    const qsizetype line = (MaxTemplateBytes - 200) / Symbols;
    QByteArray xml = "<?xml version=\"1.0\"?>\n<label v=\"#version#\">\n";
    for (int i = 0; i < Symbols - 2; ++i) {
        QByteArray l = QStringLiteral("<t x=\"%1\">#S%2# ").arg(i).arg(i, 5, 10, QLatin1Char('0')).toLatin1();
        l += QByteArray(line - l.size() - 5, 'p') + "</t>\n";
        xml += l;
    }
    xml += "</label>\n";
    QStringList lines;
    const qsizetype dataLine = MdbPrintData::MaxPrintDataBytes / Symbols - 1;
    for (int i = 0; i < Symbols; ++i) {
        const QString key = QStringLiteral("S%1=").arg(i, 5, 10, QLatin1Char('0'));
        lines << key + QString(dataLine - key.size(), QLatin1Char('w'));
    }
    QFile file(home + QStringLiteral("/Labels/limits.xml"));
    if (!file.open(QIODevice::WriteOnly) || file.write(xml) != xml.size())
        return false;
    file.close();

    GatewayState state;
    CountingLog log;
    QtSocketEndpoint socket;
    FixedPrintData data;
    data.data = lines.join(QLatin1Char('\n'));
    LabelBuilder builder(state, log, socket, data, home);
    state.settings.sendUtf8 = true;
    state.settings.statusReport = 1;
    const QString request = QStringLiteral("/SetLabel=2.1#limits.xml#L#1");
    // The CPU time of the build alone; the check that the label came out filled is not timed.
    double kernelMs = 0;
    long faults = 0;
    const auto build = [&] {
        const auto [kernelBefore, faultsBefore] = threadKernelMsAndFaults();
        const double start = threadCpuMs();
        const bool built = builder.setLabelContent(request) == 0;
        const double ms = threadCpuMs() - start;
        const auto [kernelAfter, faultsAfter] = threadKernelMsAndFaults();
        kernelMs = kernelAfter - kernelBefore;
        faults = faultsAfter - faultsBefore;
        const bool ok =
            built && state.sendQueue.size() == 1 && !state.sendQueue.first().contains(QLatin1String("#S"));
        state.sendQueue.clear();
        return ok ? ms : -1;
    };
    const double first = build();
    const double firstKernelMs = kernelMs;
    const long firstFaults = faults;
    QList<double> kept;
    for (int i = 0; i < builds; ++i)
        kept << build();
    if (first < 0)
        std::fprintf(stderr, "%s\n", qPrintable(state.lblError.left(300)));
    if (first < 0 || std::any_of(kept.cbegin(), kept.cend(), [](double ms) { return ms < 0; }))
        return false;
    std::printf("label at the limits: template %lld bytes, %lld markup elements, %d placeholders; print data "
                "%lld characters\n",
                static_cast<long long>(xml.size()), static_cast<long long>(xml.count('<')), Symbols,
                static_cast<long long>(data.data.size()));
    std::printf("  first build %.1f ms CPU, from the kept template %.1f ms CPU (median of %d, longest %.1f); "
                "goal under 50 ms\n",
                first, median(kept), builds, *std::max_element(kept.cbegin(), kept.cend()));
    std::printf("  of the first build in the kernel: %.1f ms, %ld page faults; of the last: %.1f ms, %ld\n",
                firstKernelMs, firstFaults, kernelMs, faults);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int lookupsOnly = 0;
    if (args.value(0) == QLatin1String("--limits")) {
        QTemporaryDir home;
        QDir(home.path()).mkpath(QStringLiteral("Labels"));
        return limitsRow(home.path(), std::max(1, args.value(1, QStringLiteral("5")).toInt())) ? 0 : 1;
    }
    if (args.value(0) == QLatin1String("--lookups")) {
        lookupsOnly = args.value(1).toInt();
        args = args.mid(2);
    }
    const int perRound = lookupsOnly ? 1 : args.value(0, QStringLiteral("2000")).toInt();
    const int rounds = lookupsOnly ? 1 : args.value(1, QStringLiteral("7")).toInt();
    const QString database =
        args.value(lookupsOnly ? 0 : 2, QStringLiteral(KAVETTA_SOURCE_DIR "/examples/System/prog.mdb"));

    QTemporaryDir home;
    QDir(home.path()).mkpath(QStringLiteral("Labels"));
    QDir(home.path()).mkpath(QStringLiteral("System"));
    if (!home.isValid() || perRound <= 0 || rounds <= 0 ||
        !QFile::copy(database, home.filePath(QStringLiteral("System/prog.mdb")))) {
        std::fprintf(stderr,
                     "usage: bench_labels [labels-per-round] [rounds] [prog.mdb] | --lookups N [prog.mdb]\n");
        return 2;
    }
    QElapsedTimer copied;
    copied.start();

    GatewayState state;
    state.settings.serverPath = home.path();
    CountingLog log;
    MdbPrintData printData(state, log);

    if (lookupsOnly > 0) {
        // Every kind of answer: a long memo, a second record, a statement that does not parse,
        // no record, a NULL memo.
        const QList<QPair<QString, qint16>> lots = {
            {"big", 1}, {"L2", 1}, {"L1'", 7}, {"L9", 1}, {"NULLMEMO", 1}};
        qsizetype chars = 0;
        for (int i = 0; i < lookupsOnly; ++i)
            chars += printData.getDruckData(lots[i % lots.size()].first, lots[i % lots.size()].second).size();
        std::printf("%d lookups, %lld characters\n", lookupsOnly, static_cast<long long>(chars));
        return 0;
    }

    // (1) The fill alone, with its goals: under this many times the reference.
    bool fillGoals = true;
    for (const auto &[p, n, goal] :
         {std::tuple{40, 40, 4.0}, {400, 40, 0.0}, {4000, 40, 0.0}, {400, 400, 0.0}, {4000, 4000, 3.0}}) {
        const double ratio = fillRow(home.path(), p, n, rounds);
        if (ratio < 0) {
            std::fprintf(stderr, "the %d/%d label did not come out filled\n", p, n);
            return 1;
        }
        fillGoals = fillGoals && (goal == 0 || ratio < goal);
    }
    std::printf("fill goals (4000/4000 under 3x, 40/40 under 4x): %s\n", fillGoals ? "met" : "NOT met");
    if (!limitsRow(home.path(), 5)) {
        std::fprintf(stderr, "the label at the limits did not come out filled\n");
        return 1;
    }

    // (2) Labels with the database lookup. A database file is kept open only once it has stood
    // still for 2 s; the copy above is given that time.
    QThread::msleep(quint32(std::max<qint64>(0, 2100 - copied.elapsed())));
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<label format=\"#version#\">\n";
    for (int i = 0; i < 40; ++i)
        xml += QStringLiteral("  <text x=\"4\" y=\"%1\" font=\"Sans\">K%2: #K%2#</text>\n")
                   .arg(i * 5)
                   .arg(i, 3, 10, QLatin1Char('0'))
                   .toUtf8();
    xml += "</label>\n";
    QFile file(home.filePath(QStringLiteral("Labels/bench40.xml")));
    if (!file.open(QIODevice::WriteOnly) || file.write(xml) != xml.size())
        return 2;
    file.close();

    QtSocketEndpoint socket;
    FirstFortyLines fortyLines(printData);
    LabelBuilder builder(state, log, socket, fortyLines, home.path());
    state.settings.sendUtf8 = true;
    const QString request = QStringLiteral("/SetLabel=2.1#bench40.xml#BIG#1");
    if (builder.setLabelContent(request) != 0 || state.sendQueue.value(0).contains(QLatin1String("#K0"))) {
        std::fprintf(stderr, "label not filled: %s\n", qPrintable(state.lblError));
        return 1;
    }

    auto oneLabel = [&] {
        builder.setLabelContent(request);
        state.sendQueue.clear();
    };
    auto oneLookup = [&] { printData.getDruckData(QStringLiteral("BIG"), 1); };
    auto oneParse = [&] {
        XmlTemplateLoader().load(home.filePath(QStringLiteral("Labels")), QStringLiteral("bench40.xml"));
    };
    perSecond(perRound / 10 + 1, oneLabel); // warm-up
    QList<double> labels, lookups, parses;
    for (int r = 0; r < rounds; ++r) {
        labels << perSecond(perRound, oneLabel);
        lookups << perSecond(perRound, oneLookup);
        parses << perSecond(perRound, oneParse);
    }
    const double labelRate = median(labels);
    const double lookupRate = median(lookups);
    std::printf(
        "template:          40 symbols, %d bytes; print data: 40 of the 200 lines of a 6000-character memo\n",
        int(xml.size()));
    std::printf("rounds:            %d of %d\n", rounds, perRound);
    std::printf("labels:            %.0f labels/s (median; goal >= 5000)\n", labelRate);
    std::printf("database lookup:   %.0f lookups/s alone (median; the database kept open while unchanged)\n",
                lookupRate);
    std::printf("database share:    %.0f %% of a label\n", 100.0 * labelRate / lookupRate);
    std::printf("template parse:    %.0f /s (median; a template's first use or a changed file)\n",
                median(parses));
    std::printf("log records:       %lld\n", static_cast<long long>(log.records));
    return 0;
}
