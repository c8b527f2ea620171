#pragma once

#include <QString>
#include <QtGlobal>

// Where a part of the gateway reports what an operator should find later in the system's event
// log. The parts below the logging know only this; the event log implements it.
class EventSink
{
public:
    // The numbers are the event log's entry types.
    enum EventType : qint16 { Error = 1, Warning = 2, Information = 4 };

    virtual ~EventSink() = default;
    // An entry in the event log's own form (user, area, date and time around the text).
    virtual void event(EventType type, const QString &text) = 0;
    // The text as the entry, nothing added. False, with the reason in failure, when the entry
    // could not be written.
    virtual bool rawEvent(EventType type, const QString &text, QString *failure) = 0;
};
