#pragma once

#include <QString>
#include <QStringList>

// Instances that run without a server manager, as the service kavetta@<name> does: one folder
// each below root (the service's /var/lib/kavetta), holding Kavetta.zelb and, where its state
// is to be seen, Kavetta.ini with a [status] port. One line per folder: the state its status
// endpoint gives, or in words why there is none.
QStringList serviceInstanceLines(const QString &root, int timeoutMs);
