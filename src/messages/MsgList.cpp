#include "messages/MsgList.h"

#include "common/Clock.h"
#include "common/DesktopServices.h"
#include "common/EventSink.h"
#include "common/GatewayState.h"
#include "common/StatusLine.h"

MsgList::MsgList(const GatewayState &state, EventSink &eventLog, DesktopServices &desktop, QObject *parent)
    : QObject(parent), m_state(state), m_eventLog(eventLog), m_desktop(desktop)
{
}

void MsgList::addMsg(qint32 meldeArt, QString &meldetext, QString &bereich, qint32 dauer, bool &flagMsgBox,
                     const QString &helpFile)
{
    clsLogDaten rec;
    rec.helpFile = helpFile.isEmpty() ? defaultHelpFile() : helpFile;
    rec.helpContext = 0;

    if (m_lastFailure.isSet()) {
        const LastFailure failure = m_lastFailure;
        if (!failure.helpFile.isEmpty()) {
            rec.helpFile = failure.helpFile;
            if (failure.helpContext != 0)
                rec.helpContext = failure.helpContext;
        }
        if (meldeArt == Error) {
            if (bereich.isEmpty())
                bereich = failure.source;
            meldetext = QStringLiteral("Error: ") + bereich + QLatin1Char(' ') +
                        QString::number(failure.number) + QLatin1Char(' ') + meldetext;
        }
        m_lastFailure = {};
        QString why;
        if (!m_eventLog.rawEvent(EventSink::Information, meldetext, &why)) {
            m_desktop.message(QStringLiteral("Application eventlogger overflow !   \r\n") + why,
                              m_state.applicationTitle, true);
        }
    } else if (bereich.isEmpty()) {
        bereich = m_state.applicationTitle;
    }

    if (meldeArt == Error)
        flagMsgBox = true;

    const QDateTime now = currentDateTime();
    rec.uhrzeit = longTimeText(now.time());
    rec.datum = shortDateText(now.date());
    rec.meldeArt = meldeArt;
    rec.bereich = bereich;
    rec.meldetext = meldetext;
    rec.dauer = dauer;
    rec.flagMsgBox = flagMsgBox;
    rec.id = m_nextId++;
    m_records.append(std::move(rec));
    emit messageAdded();
}

void MsgList::addMsg(qint32 meldeArt, const QString &meldetext)
{
    QString text = meldetext;
    QString area;
    bool flag = false;
    addMsg(meldeArt, text, area, 0, flag, QString());
}

void MsgList::removeFirst()
{
    if (!m_records.isEmpty())
        m_records.removeFirst();
}

bool MsgList::remove(quint64 id)
{
    for (qsizetype i = 0; i < m_records.size(); ++i) {
        if (m_records.at(i).id == id) {
            m_records.removeAt(i);
            return true;
        }
    }
    return false;
}

void MsgList::clear()
{
    m_records.clear();
}

qsizetype MsgList::trimTo(qsizetype n)
{
    const qsizetype excess = m_records.size() - n;
    if (excess <= 0)
        return 0;
    m_records.remove(0, excess);
    return excess;
}
