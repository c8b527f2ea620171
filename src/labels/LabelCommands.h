#pragma once

#include <QString>
#include <QtGlobal>

// The two label commands of the request cycle. Each takes the whole send data text, queues its
// framed document for the peer and returns 0, or an error code after putting its own text into
// lblError.
class LabelCommands
{
public:
    virtual ~LabelCommands() = default;
    virtual qint32 setLabelContent(const QString &request) = 0;
    virtual qint32 setJob(const QString &request) = 0;
};
