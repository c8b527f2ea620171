#include "startup/CommandLineInfo.h"

#include <QtTest>

#include <vector>

namespace
{

// The exit code handleInfoArgument gives, or none, and what it wrote.
std::pair<std::optional<int>, QByteArray> run(std::vector<std::string> args, std::FILE *out = nullptr)
{
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::FILE *file = out != nullptr ? out : std::tmpfile();
    const std::optional<int> code = handleInfoArgument(int(args.size()), argv.data(), file);
    QByteArray output(8192, '\0');
    std::rewind(file);
    output.truncate(qsizetype(std::fread(output.data(), 1, size_t(output.size()), file)));
    if (out == nullptr)
        std::fclose(file);
    return {code, output};
}

} // namespace

class TestCommandLineInfo : public QObject
{
    Q_OBJECT
private slots:
    void helpAndVersionEndTheProgramOtherArgumentsAreLeftAlone()
    {
        const auto [code, help] = run({"/usr/bin/kavetta", "--help", "ignored.zelb"});
        QCOMPARE(code, std::optional<int>(0));
        QVERIFY(help.startsWith("Usage: kavetta [CONFIGURATION.zelb]\n"));
        for (const char *must :
             {"-REGSERVER", ".zelb", "KAVETTA_HOME", "KAVETTA_EVENTLOG", "KAVETTA_HEADLESS", "--version"})
            QVERIFY2(help.contains(must), must);
        for (const QByteArray &line : help.split('\n'))
            QVERIFY2(line.size() <= 80, line.constData());

        const QByteArray version = "kavetta " + QByteArray::number(KAVETTA_VERSION_MAJOR) + '.' +
                                   QByteArray::number(KAVETTA_VERSION_MINOR) + '.' +
                                   QByteArray::number(KAVETTA_VERSION_PATCH) + '\n';
        QCOMPARE(run({"", "--version"}), std::pair(std::optional<int>(0), version));
        if (std::FILE *full = std::fopen("/dev/full", "w")) {
            QCOMPARE(run({"kavetta", "--help"}, full).first, std::optional<int>(1));
            std::fclose(full);
        }

        // Exact spelling only, no prefixes, and only the first argument is looked at.
        for (const auto &args : std::vector<std::vector<std::string>>{{"kavetta"},
                                                                      {"kavetta", "-REGSERVER"},
                                                                      {"kavetta", "--HELP"},
                                                                      {"kavetta", "--version2"},
                                                                      {"kavetta", "line1.zelb", "--help"}})
            QCOMPARE(run(args), std::pair(std::optional<int>(), QByteArray()));
        QVERIFY(!handleInfoArgument(0, nullptr).has_value());
    }
};

QTEST_GUILESS_MAIN(TestCommandLineInfo)
#include "TestCommandLineInfo.moc"
