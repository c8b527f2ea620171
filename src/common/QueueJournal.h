#pragma once

#include <QString>
#include <QtGlobal>

// What keeps the gateway's two queues on disk, told of every change to them as it happens: an
// item is on disk before the request cycle resets ".anford", and gone from it once it has left
// its queue. The gateway state calls it; nothing else does.
class QueueJournal
{
public:
    enum Queue { Send = 0, Receive = 1 };

    virtual ~QueueJournal() = default;
    // takenMs: wall-clock milliseconds since the epoch when the item was first taken; 0 = now.
    virtual void appended(Queue queue, const QString &text, qint64 takenMs = 0) = 0;
    virtual void removedFirst(Queue queue) = 0;
    virtual void cleared(Queue queue) = 0;
    // Item 1 goes out now: to the peer (Send) or into ".RecData" (Receive). After a crash from
    // here on, the far side may have it already.
    virtual void handingOver(Queue queue) = 0;
    // Item 1 did not go out after all (the far side could not take it): as if handingOver had
    // not been called.
    virtual void handOverWithdrawn(Queue queue) = 0;
};
