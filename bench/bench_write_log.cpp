// Records per second of writeLog (200-byte records, rotation on, event log entry to syslog)
// beside the plain open-append-close rate of the same file system, measured in the same run.
// Usage: bench_write_log [records-per-round] [rounds] [folder]
#include "common/DesktopServices.h"
#include "common/GatewayState.h"
#include "logging/CommLog.h"
#include "logging/EventLog.h"
#include "logging/LogBackup.h"
#include "messages/MsgList.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace
{

struct QuietDesktop : DesktopServices {
    int boxes = 0;
    void showMessage(const MessageBox &, std::function<void(Answer)>) override { ++boxes; }
    void chooseSaveFileName(const QString &, const QString &, std::function<void(const QString &)>) override
    {
    }
    OpenResult openDocument(const QString &) override { return OpenResult::Opened; }
    bool trayAvailable() const override { return false; }
    void addTrayIcon(const QString &) override {}
    void removeTrayIcon() override {}
};

struct NoGuard : FreeSpaceGuard {
    void checkFreeSpace(bool) override {}
};

double rawRate(const QByteArray &path, const QByteArray &record, int n)
{
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i) {
        const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT, 0644);
        if (fd < 0 || ::write(fd, record.constData(), size_t(record.size())) != record.size()) {
            std::fprintf(stderr, "raw append failed\n");
            std::exit(1);
        }
        ::close(fd);
    }
    return n / (double(t.nsecsElapsed()) / 1e9);
}

double writeLogRate(CommLog &log, const QString &text, int n)
{
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < n; ++i)
        log.writeLog(text, true);
    return n / (double(t.nsecsElapsed()) / 1e9);
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.at(v.size() / 2);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int perRound = args.size() > 1 ? args.at(1).toInt() : 5000;
    const int rounds = args.size() > 2 ? args.at(2).toInt() : 7;
    QTemporaryDir tmp(args.size() > 3 ? args.at(3) + QStringLiteral("/bench-XXXXXX") : QString());
    if (!tmp.isValid() || perRound <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_write_log [records-per-round] [rounds] [folder]\n");
        return 2;
    }

    GatewayState state;
    state.settings.moduleName = QStringLiteral("B1");
    state.applicationTitle = QStringLiteral("B1 Socket-Server");
    state.logFileName = tmp.filePath(QStringLiteral("Socketcomm-B1-.dat"));
    QuietDesktop desktop;
    NoGuard guard;
    EventLog events(state, QString());
    MsgList messages(state, events, desktop);
    LogBackup backup(state, desktop, guard, tmp.path());
    CommLog log(state, messages, backup, events);

    const QString text = QStringLiteral("05.12.26 10:00:00 ") + QString(182, QLatin1Char('x'));
    const QByteArray rawPath = QFile::encodeName(tmp.filePath(QStringLiteral("raw.dat")));
    const QByteArray record = text.toLatin1() + "\r\r\n";

    QList<double> raw, ours;
    writeLogRate(log, text, 200); // warm-up
    rawRate(rawPath, record, 200);
    for (int r = 0; r < rounds; ++r) {
        raw << rawRate(rawPath, record, perRound);
        ours << writeLogRate(log, text, perRound);
    }
    const double rawMedian = median(raw);
    const double oursMedian = median(ours);
    // What a record costs on top where a syslog listens: its entry text (plus one datagram).
    QElapsedTimer entryTimer;
    entryTimer.start();
    qsizetype entryChars = 0;
    for (int i = 0; i < perRound; ++i)
        entryChars += events.entryText(text).size();
    const double entryRate = perRound / (double(entryTimer.nsecsElapsed()) / 1e9);
    const auto backups = QDir(backup.backupFolder()).entryList(QDir::Files).size();
    std::printf("folder:            %s\n", qPrintable(tmp.path()));
    std::printf("record:            %d bytes + CR CR LF, %d rounds of %d\n", int(text.size()), rounds,
                perRound);
    std::printf("raw append/close:  %.0f records/s (median)\n", rawMedian);
    std::printf("writeLog:          %.0f records/s (median)\n", oursMedian);
    std::printf("backups made:      %d%s\n", int(backups), desktop.boxes ? " (with failure boxes!)" : "");
    std::printf("event log:         syslog, %s\n", QFileInfo::exists(QStringLiteral("/dev/log"))
                                                       ? "/dev/log present: one entry per record"
                                                       : "no /dev/log here: entries not built");
    std::printf("entry texts:       %.0f /s (%d characters each)\n", entryRate, int(entryChars / perRound));
    std::printf("TZ:                %s\n", qEnvironmentVariableIsSet("TZ")
                                               ? "set"
                                               : "unset (each clock reading re-reads /etc/localtime)");
    std::printf("ratio:             %.2f (target >= 0.80)\n", oursMedian / rawMedian);
    return 0;
}
