#include "startup/CommandLineInfo.h"

#include <QtTest>

#include <vector>

namespace
{

struct Run {
    std::optional<int> code;
    QByteArray output;
};

Run run(std::vector<std::string> args, std::FILE *out = nullptr)
{
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::FILE *file = out != nullptr ? out : std::tmpfile();
    Run result;
    result.code = handleInfoArgument(int(args.size()), argv.data(), file);
    if (out == nullptr) {
        std::rewind(file);
        char buffer[8192];
        const size_t n = std::fread(buffer, 1, sizeof buffer, file);
        result.output = QByteArray(buffer, qsizetype(n));
        std::fclose(file);
    }
    return result;
}

} // namespace

class TestCommandLineInfo : public QObject
{
    Q_OBJECT
private slots:
    void helpAndVersionEndTheProgram()
    {
        const Run help = run({"/usr/bin/kavetta", "--help", "ignored.zelb"});
        QCOMPARE(help.code, std::optional<int>(0));
        QVERIFY(help.output.startsWith("Usage: kavetta [CONFIGURATION.zelb]\n"));
        for (const char *must :
             {"-REGSERVER", ".zelb", "KAVETTA_HOME", "KAVETTA_EVENTLOG", "KAVETTA_HEADLESS", "--version"})
            QVERIFY2(help.output.contains(must), must);
        for (const QByteArray &line : help.output.split('\n'))
            QVERIFY2(line.size() <= 80, line.constData());

        const QByteArray expected = QByteArray("kavetta ") + QByteArray::number(KAVETTA_VERSION_MAJOR) + '.' +
                                    QByteArray::number(KAVETTA_VERSION_MINOR) + '.' +
                                    QByteArray::number(KAVETTA_VERSION_PATCH) + '\n';
        const Run version = run({"./kavetta", "--version"});
        QCOMPARE(version.code, std::optional<int>(0));
        QCOMPARE(version.output, expected);
        QCOMPARE(run({"", "--version"}).output, expected);
    }

    void everyOtherArgumentIsLeftToTheStartRoutine()
    {
        const std::vector<std::vector<std::string>> cases = {
            {"kavetta"},
            {"kavetta", ""},
            {"kavetta", "-REGSERVER"},
            {"kavetta", "/etc/line1.zelb"},
            {"kavetta", "--HELP"},               // exact spelling only
            {"kavetta", "--version2"},           // no prefix matching
            {"kavetta", "line1.zelb", "--help"}, // a later argument is never looked at
        };
        for (const auto &args : cases) {
            const Run r = run(args);
            QVERIFY(!r.code.has_value());
            QVERIFY(r.output.isEmpty());
        }
        QVERIFY(!handleInfoArgument(0, nullptr).has_value());
    }

    void anOutputThatCannotBeWrittenFails()
    {
        std::FILE *full = std::fopen("/dev/full", "w");
        if (full == nullptr)
            QSKIP("no /dev/full here");
        QCOMPARE(run({"kavetta", "--help"}, full).code, std::optional<int>(1));
        std::fclose(full);
    }
};

QTEST_GUILESS_MAIN(TestCommandLineInfo)
#include "TestCommandLineInfo.moc"
