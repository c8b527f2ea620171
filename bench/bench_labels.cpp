// Labels per second for a template with 40 symbols, filled from the print data database (opened,
// queried and closed for every label), beside the database lookup alone in the same run.
//
//   bench_labels [labels-per-round] [rounds] [prog.mdb]
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
#include "socket/QtSocketEndpoint.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

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
        return database.getDruckData(los, teil).split(QLatin1Char('\n')).mid(0, 40).join(QLatin1Char('\n'));
    }
};

template <typename F> double perSecond(int n, F &&f)
{
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i)
        f();
    return n / (t.nsecsElapsed() / 1e9);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    int lookupsOnly = 0;
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

    GatewayState state;
    state.serverPath = home.path();
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
    state.chkUTF8 = 1;
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
    std::printf("labels:            %.0f labels/s (median; target >= 1000)\n", labelRate);
    std::printf("database lookup:   %.0f lookups/s alone (median; open, query, close)\n", lookupRate);
    std::printf("database share:    %.0f %% of a label\n", 100.0 * labelRate / lookupRate);
    std::printf("template parse:    %.0f /s (median; a template's first use or a changed file)\n",
                median(parses));
    std::printf("log records:       %lld\n", static_cast<long long>(log.records));
    return 0;
}
