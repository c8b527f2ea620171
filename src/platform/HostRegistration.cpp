#include "platform/HostRegistration.h"

#include "platform/Options.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QXmlStreamWriter>

namespace
{

const QString kApplication = QStringLiteral("Pralix-Application");
const QString kSection = QStringLiteral("Socket-Server");
const QString kExtension = QStringLiteral("ZELB");

// The desktop's cache tools may be missing or slow; neither stops the registration.
constexpr int kToolTimeoutMs = 30000;

// One argument of a desktop entry's Exec key, quoted as the desktop entry format wants it.
// No library here writes desktop entries, hence by hand.
QString quoteExecArgument(const QString &argument)
{
    QString quoted;
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// A desktop entry's string value: the escapes of the format, applied after the Exec quoting.
QString escapeValue(const QString &value)
{
    QString escaped;
    for (const QChar c : value) {
        switch (c.unicode()) {
        case '\\':
            escaped += QLatin1String("\\\\");
            break;
        case '\n':
            escaped += QLatin1String("\\n");
            break;
        case '\t':
            escaped += QLatin1String("\\t");
            break;
        case '\r':
            escaped += QLatin1String("\\r");
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit();
}

void runTool(const QString &tool, const QString &folder)
{
    const QString program = QStandardPaths::findExecutable(tool);
    if (program.isEmpty())
        return;
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, {folder});
    if (process.waitForStarted() && !process.waitForFinished(kToolTimeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
}

} // namespace

HostRegistration::HostRegistration(Options &options, QString programFile, QString dataHome)
    : m_options(options), m_programFile(std::move(programFile)), m_dataHome(std::move(dataHome))
{
}

QString HostRegistration::programFile() const
{
    return m_programFile.isEmpty() ? QCoreApplication::applicationFilePath() : m_programFile;
}

QString HostRegistration::dataHome() const
{
    return m_dataHome.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                                : m_dataHome;
}

QString HostRegistration::mimeType(const QString &extensionName)
{
    return QStringLiteral("application/x-") + extensionName.toLower();
}

QString HostRegistration::mimePackagePath(const QString &extensionName) const
{
    return dataHome() + QStringLiteral("/mime/packages/") + QFileInfo(programFile()).fileName() +
           QLatin1Char('-') + extensionName.toLower() + QStringLiteral(".xml");
}

QString HostRegistration::desktopEntryPath(const QString &extensionName) const
{
    return dataHome() + QStringLiteral("/applications/") + QFileInfo(programFile()).fileName() +
           QLatin1Char('-') + extensionName.toLower() + QStringLiteral(".desktop");
}

QString HostRegistration::execLine(const QString &programFile, const QString &kavettaHome)
{
    QString line;
    if (!kavettaHome.isEmpty())
        line = QStringLiteral("env ") + quoteExecArgument(QStringLiteral("KAVETTA_HOME=") + kavettaHome) +
               QLatin1Char(' ');
    line += quoteExecArgument(programFile);
    line.replace(QLatin1Char('%'), QStringLiteral("%%")); // a literal percent sign of the Exec key
    return escapeValue(line + QStringLiteral(" %f"));
}

PendingError HostRegistration::registerProgramPath()
{
    m_options.regWriteValue(kApplication, kSection, QStringLiteral("Server"), programFile());
    m_options.regWriteValue(kApplication, kSection, QStringLiteral("Extension"), kExtension);
    return {};
}

PendingError HostRegistration::registerFileType(const QString &extensionName)
{
    const QString ext = extensionName.toLower();
    const QString type = mimeType(extensionName);

    QByteArray package;
    QXmlStreamWriter xml(&package);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeDefaultNamespace(QStringLiteral("http://www.freedesktop.org/standards/shared-mime-info"));
    xml.writeStartElement(QStringLiteral("mime-info"));
    xml.writeStartElement(QStringLiteral("mime-type"));
    xml.writeAttribute(QStringLiteral("type"), type);
    xml.writeTextElement(QStringLiteral("comment"), extensionName + QStringLiteral("_auto_file"));
    xml.writeEmptyElement(QStringLiteral("glob"));
    xml.writeAttribute(QStringLiteral("pattern"), QStringLiteral("*.") + ext);
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    if (!writeFile(mimePackagePath(extensionName), package))
        return {};

    const QString program = programFile();
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=%1\n"
                                         "Exec=%2\n"
                                         "MimeType=%3;\n"
                                         "NoDisplay=true\n"
                                         "Terminal=false\n")
                              .arg(escapeValue(QFileInfo(program).fileName()),
                                   execLine(program, qEnvironmentVariable("KAVETTA_HOME")), type);
    if (!writeFile(desktopEntryPath(extensionName), entry.toUtf8()))
        return {};

    runTool(QStringLiteral("update-mime-database"), dataHome() + QStringLiteral("/mime"));
    runTool(QStringLiteral("update-desktop-database"), dataHome() + QStringLiteral("/applications"));
    return {};
}
