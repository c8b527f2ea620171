#include "ui/LogViewText.h"

#include "common/Cp1252.h"

#include <QFile>

QString logViewText(const QString &path, qint64 tailBytes)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    QString note;
    if (size > tailBytes && file.seek(size - tailBytes)) {
        note = QStringLiteral("... (%1 KB not shown, see the file %2)\n")
                   .arg((size - tailBytes) / 1024)
                   .arg(path);
    }
    QByteArray bytes = file.readAll();
    if (!note.isEmpty()) {
        // The cut lands inside a line: start at the next whole one.
        const qsizetype newline = bytes.indexOf('\n');
        bytes.remove(0, newline < 0 ? bytes.size() : newline + 1);
    }
    QString text = cp1252::decode(bytes);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return note + text;
}
