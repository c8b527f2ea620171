#include "PlcProgram.h"

#include "PlcRuntime.h"
#include "PlcServer.h"

using namespace plcproto;

namespace
{

QString ms(const QElapsedTimer &since)
{
    return QString::number(double(since.nsecsElapsed()) / 1e6, 'f', 3);
}

} // namespace

PlcProgram::PlcProgram(PlcRuntime &runtime, PlcServer &server, const Options &options, QObject *parent)
    : QObject(parent), m_runtime(runtime), m_server(server), m_options(options)
{
    if (m_runtime.find(m_options.module + QLatin1String(".anford")) < 0)
        m_runtime.declareModule(m_options.module);
    m_anford = m_runtime.find(m_options.module + QLatin1String(".anford"));
    m_sendData = m_runtime.find(m_options.module + QLatin1String(".SendData"));
    m_recData = m_runtime.find(m_options.module + QLatin1String(".RecData"));
    m_antwort = m_runtime.find(m_options.module + QLatin1String(".antwort"));
    if (m_options.data.isEmpty())
        m_options.data << QByteArrayLiteral("request {n}");
    m_timer.setInterval(qMax(1, m_options.everyMs));
    connect(&m_timer, &QTimer::timeout, this, &PlcProgram::tick);
    m_server.setChangeHook([this](int index) { changed(index); });
}

void PlcProgram::start()
{
    m_timer.start();
}

bool PlcProgram::flag(int index) const
{
    return m_runtime.variable(index).value.number != 0;
}

void PlcProgram::write(int index, const QByteArray &text)
{
    if (const qint32 code = m_server.writeVariable(index, Value::string(text)))
        m_server.print(QStringLiteral("plc error t=%1 code=%2 text=%3 name=%4")
                           .arg(m_server.stamp())
                           .arg(code)
                           .arg(codeText(code), m_runtime.variable(index).name));
}

void PlcProgram::write(int index, bool value)
{
    m_server.writeVariable(index, Value::boolean(value));
}

void PlcProgram::tick()
{
    // A stopped program does nothing, as in a real PLC.
    if (!m_runtime.running())
        return;
    if (m_options.count > 0 && m_raised >= m_options.count) {
        m_timer.stop();
        return;
    }
    if (m_options.afterAnswer && !m_pending.empty())
        return;
    if (flag(m_anford)) {
        m_server.print(QStringLiteral("plc waiting n=%1 t=%2").arg(m_raised).arg(m_server.stamp()));
        return;
    }
    ++m_raised;
    QByteArray text = m_options.data[(m_raised - 1) % m_options.data.size()];
    text.replace("{n}", QByteArray::number(m_raised));
    write(m_sendData, text);
    Pending p{m_raised, {}, false};
    p.raised.start();
    m_pending.push_back(p);
    // Requests taken but never answered are not kept for ever.
    if (m_pending.size() > MaxPending)
        m_pending.pop_front();
    m_server.print(QStringLiteral("plc request n=%1 t=%2 bytes=%3 data=%4")
                       .arg(m_raised)
                       .arg(m_server.stamp())
                       .arg(text.size())
                       .arg(PlcRuntime::escape(text)));
    write(m_anford, true);
    m_server.flushPending();
}

// Runs inside the runtime's handling of the write that made the change: the PLC program sees it
// before any client can read the variable again.
void PlcProgram::changed(int index)
{
    if (index == m_anford && !flag(m_anford)) {
        for (Pending &p : m_pending) {
            if (p.n == m_raised && !p.taken) {
                p.taken = true;
                m_server.print(QStringLiteral("plc taken n=%1 t=%2 after=%3")
                                   .arg(p.n)
                                   .arg(m_server.stamp(), ms(p.raised)));
            }
        }
    } else if (index == m_antwort && flag(m_antwort)) {
        // The moment the flag was set, before the reset and its notifications.
        const QString at = m_server.stamp();
        const QByteArray answer = m_runtime.variable(m_recData).value.text;
        QString n = QStringLiteral("0"), rtt = QStringLiteral("-");
        if (!m_pending.empty()) {
            n = QString::number(m_pending.front().n);
            rtt = ms(m_pending.front().raised);
            m_pending.pop_front();
        }
        write(m_antwort, false);
        m_server.print(QStringLiteral("plc answer n=%1 t=%2 rtt=%3 bytes=%4 data=%5")
                           .arg(n, at, rtt)
                           .arg(answer.size())
                           .arg(PlcRuntime::escape(answer)));
        // Raised once the runtime has finished the write that brought the answer.
        if (m_options.afterAnswer && m_pending.empty())
            QTimer::singleShot(0, this, &PlcProgram::tick);
    }
}
