#pragma once

#include <QString>

// The text the log view shows for the communication log file. The file is Windows-1252 with
// CR LF line ends. A file larger than tailBytes is shown from its last tailBytes on (starting
// at a whole line, behind a note), so that a log that nobody rotated does not freeze the
// window while it loads. A file that cannot be read gives an empty text.
QString logViewText(const QString &path, qint64 tailBytes = 2LL * 1024 * 1024);
