#include "PlcServer.h"

#include "common/Cp1252.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTcpServer>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace plcproto;

namespace
{

// A client that holds this many handles or notifications is refused more: a runaway client
// must not eat the runtime's memory.
constexpr int MaxPerClient = 10000;
constexpr qsizetype MaxOutput = qsizetype(16) * 1024 * 1024;

} // namespace

// Takes the accepted descriptor itself: the clients are served with plain socket calls.
class PlcServer::Listener : public QTcpServer
{
public:
    explicit Listener(PlcServer *owner) : QTcpServer(owner), m_owner(owner) {}

protected:
    void incomingConnection(qintptr fd) override { m_owner->onNewConnection(int(fd)); }

private:
    PlcServer *m_owner;
};

PlcServer::PlcServer(PlcRuntime &runtime, bool trace, QObject *parent)
    : QObject(parent), m_runtime(runtime), m_trace(trace), m_server(new Listener(this)), m_out(stdout)
{
    m_clock.start();
}

PlcServer::~PlcServer()
{
    for (auto &[id, client] : m_clients)
        ::close(client->fd);
}

bool PlcServer::listen(const QHostAddress &address, quint16 port)
{
    if (!m_server->listen(address, port)) {
        print(QStringLiteral("error listen port=%1 text=%2").arg(port).arg(m_server->errorString()));
        return false;
    }
    // clock=: the monotonic clock (CLOCK_MONOTONIC) in microseconds at t=0, so that the t= of
    // every line can be set beside times taken in other processes.
    const qint64 origin = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count() -
                          m_clock.nsecsElapsed() / 1000;
    print(QStringLiteral("listening host=%1 port=%2 variables=%3 state=%4 clock=%5")
              .arg(address.toString())
              .arg(m_server->serverPort())
              .arg(m_runtime.count())
              .arg(m_runtime.running() ? QStringLiteral("run") : QStringLiteral("stop"))
              .arg(origin));
    return true;
}

quint16 PlcServer::serverPort() const
{
    return m_server->serverPort();
}

void PlcServer::print(const QString &line)
{
    m_out << line << '\n';
    m_out.flush();
}

QString PlcServer::stamp() const
{
    return QString::number(double(m_clock.nsecsElapsed()) / 1e6, 'f', 3);
}

// Clients are served with plain socket calls and notifiers rather than QTcpSocket: the
// stand-in is what the link's round trip is measured against, and QTcpSocket's buffering and
// signals add several microseconds to every request.
void PlcServer::onNewConnection(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    auto client = std::make_unique<Client>();
    client->id = m_nextClient++;
    client->fd = fd;
    Client *c = client.get();
    c->readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(c->readNotifier, &QSocketNotifier::activated, this, [this, c] { onReadable(c); });
    c->writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    c->writeNotifier->setEnabled(false);
    connect(c->writeNotifier, &QSocketNotifier::activated, this, [this, c] { flush(c); });
    m_clients.emplace(c->id, std::move(client));

    sockaddr_storage sa{};
    socklen_t len = sizeof(sa);
    QHostAddress peer;
    quint16 peerPort = 0;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0) {
        peer.setAddress(reinterpret_cast<sockaddr *>(&sa));
        peerPort = ntohs(sa.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&sa)->sin6_port
                                                  : reinterpret_cast<sockaddr_in *>(&sa)->sin_port);
    }
    print(QStringLiteral("client connected id=%1 peer=%2:%3").arg(c->id).arg(peer.toString()).arg(peerPort));
}

void PlcServer::drop(Client *client, const QString &reason)
{
    const int id = client->id;
    auto it = m_clients.find(id);
    if (it == m_clients.end())
        return;
    std::unique_ptr<Client> owned = std::move(it->second);
    m_clients.erase(it);
    for (QSocketNotifier *n : {owned->readNotifier, owned->writeNotifier}) {
        n->setEnabled(false);
        n->deleteLater();
    }
    ::close(owned->fd);
    print(QStringLiteral("client closed id=%1 reason=%2").arg(id).arg(reason));
}

void PlcServer::onReadable(Client *client)
{
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::recv(client->fd, buffer, sizeof(buffer), 0);
        if (n > 0) {
            client->reader.append(buffer, n);
            if (size_t(n) < sizeof(buffer))
                break;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        drop(client, QStringLiteral("closed"));
        return;
    }
    QByteArray body;
    for (;;) {
        const FrameReader::Result r = client->reader.next(body);
        if (r == FrameReader::NeedMore)
            break;
        std::optional<Message> msg;
        if (r == FrameReader::Frame)
            msg = decode(body);
        // A stream that does not parse cannot be trusted past that point: drop the client.
        // A runtime of the base version does not know Batch, one of the Batch version no
        // conditions in it, as older runtimes would not.
        const auto conditional = [](const BatchOp &op) { return op.onlyIfFalse >= 0; };
        const bool unknown =
            msg && msg->type == MsgType::Batch &&
            (m_version < BatchVersion || (m_version < Version && std::ranges::any_of(msg->ops, conditional)));
        if (!msg || unknown || msg->reply || msg->type == MsgType::Notify || msg->type == MsgType::State) {
            drop(client, QStringLiteral("bad-frame"));
            return;
        }
        handle(client, *msg);
    }
    flushAll();
}

// Only collects: the bytes go out in flushAll, called where no handler of a client is running,
// because a failed send drops (and frees) the client.
void PlcServer::send(Client *client, const Message &msg)
{
    client->out += encode(msg);
}

void PlcServer::flushAll()
{
    // Collected first: flush may drop a client and so change the map.
    std::vector<Client *> pending;
    for (auto &[id, client] : m_clients) {
        if (!client->out.isEmpty())
            pending.push_back(client.get());
    }
    for (Client *c : pending)
        flush(c);
}

void PlcServer::flush(Client *client)
{
    while (!client->out.isEmpty()) {
        const ssize_t n = ::send(client->fd, client->out.constData(), size_t(client->out.size()),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            client->out.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A client that does not read its notifications is not kept forever.
            if (client->out.size() > MaxOutput) {
                drop(client, QStringLiteral("not-reading"));
                return;
            }
            client->writeNotifier->setEnabled(true);
            return;
        }
        drop(client, QStringLiteral("closed"));
        return;
    }
    client->writeNotifier->setEnabled(false);
}

void PlcServer::handle(Client *client, const Message &request)
{
    countExchange(client, request);
    Message reply;
    reply.type = request.type;
    reply.reply = true;
    reply.seq = request.seq;
    reply.code = Ok;
    const bool running = m_runtime.running();
    switch (request.type) {
    case MsgType::Hello:
        // Either version up to the runtime's own; the reply names the one used.
        reply.version =
            request.version >= BaseVersion && request.version <= m_version ? request.version : m_version;
        reply.state = running ? StateRun : StateStop;
        reply.runId = m_runtime.runId();
        if (reply.version != request.version)
            reply.code = VersionMismatch;
        break;
    case MsgType::CreateHandle:
    case MsgType::Subscribe: {
        const int index = m_runtime.find(cp1252::decode(request.name));
        const bool create = request.type == MsgType::CreateHandle;
        if (!running)
            reply.code = ProgramStopped;
        else if (index < 0)
            reply.code = UnknownSymbol;
        else if ((create ? client->handles.size() : client->subscriptions.size()) >= MaxPerClient)
            reply.code = TooManyHandles;
        if (reply.code != Ok)
            break;
        // Handles are unique for the life of the process, so a stale one never names a variable.
        reply.handle = m_nextHandle++;
        if (create) {
            client->handles.insert(reply.handle, index);
            reply.varType = m_runtime.variable(index).type;
            reply.capacity = m_runtime.variable(index).capacity;
        } else {
            client->subscriptions.insert(reply.handle, index);
        }
        traceHandle(client, create ? "create" : "subscribe", reply.handle, index);
        send(client, reply);
        if (!create) {
            // The current value first, so that a subscriber never misses a value already set.
            Message notify;
            notify.type = MsgType::Notify;
            notify.handle = reply.handle;
            notify.value = m_runtime.variable(index).value;
            send(client, notify);
        }
        return;
    }
    case MsgType::DeleteHandle:
    case MsgType::Unsubscribe: {
        const bool handle = request.type == MsgType::DeleteHandle;
        QHash<quint32, int> &held = handle ? client->handles : client->subscriptions;
        const int index = held.value(request.handle, -1);
        if (index < 0) {
            reply.code = InvalidHandle;
            break;
        }
        held.remove(request.handle);
        traceHandle(client, handle ? "delete" : "unsubscribe", request.handle, index);
        break;
    }
    case MsgType::Read:
        reply.code = readOp(client, request.handle, request.varType, reply.value);
        break;
    case MsgType::Write: {
        int index = -1;
        bool changed = false;
        reply.code = writeOp(client, request.handle, request.value, index, changed);
        send(client, reply);
        finishWrite(client, index, changed);
        return;
    }
    case MsgType::Batch:
        handleBatch(client, request, reply);
        break;
    case MsgType::Ping:
        break;
    case MsgType::Control:
        if (request.control < ControlStop || request.control > ControlRestart) {
            reply.code = BadRequest;
            break;
        }
        send(client, reply);
        if (request.control == ControlStop) {
            stopProgram();
        } else if (request.control == ControlStart) {
            startProgram();
        } else {
            stopProgram();
            startProgram();
        }
        return;
    case MsgType::Notify:
    case MsgType::State:
        break;
    }
    send(client, reply);
}

qint32 PlcServer::readOp(Client *client, quint32 handle, VarType type, Value &value)
{
    const int index = client->handles.value(handle, -1);
    if (index < 0)
        return InvalidHandle;
    if (!m_runtime.running())
        return ProgramStopped;
    return m_runtime.read(index, type, value);
}

qint32 PlcServer::writeOp(Client *client, quint32 handle, const Value &value, int &index, bool &changed)
{
    changed = false;
    index = client->handles.value(handle, -1);
    if (index < 0)
        return InvalidHandle;
    qint32 code = ProgramStopped;
    if (m_runtime.running())
        code = m_runtime.write(index, value, changed);
    if (code != Ok)
        index = -1;
    return code;
}

void PlcServer::finishWrite(Client *client, int index, bool changed)
{
    if (index < 0)
        return;
    if (m_trace)
        print(QStringLiteral("write t=%1 client=%2 %3=%4")
                  .arg(stamp())
                  .arg(client->id)
                  .arg(m_runtime.variable(index).name,
                       PlcRuntime::formatValue(m_runtime.variable(index).value)));
    if (changed)
        notifyChange(index);
}

// Each operation as if it came alone, in order, with its own code; the PLC program (the change
// hook) sees each write before the next operation runs. One on a condition runs only when the
// read it names (checked by decode to be an earlier BOOL read) succeeded with false.
void PlcServer::handleBatch(Client *client, const Message &request, Message &reply)
{
    for (const BatchOp &op : request.ops) {
        BatchOp done;
        done.type = op.type;
        const BatchOp *read = op.onlyIfFalse >= 0 ? &reply.ops.at(op.onlyIfFalse) : nullptr;
        if (read && (read->code != Ok || read->value.number != 0)) {
            done.code = NotRun;
        } else if (op.type == MsgType::Read) {
            done.code = readOp(client, op.handle, op.varType, done.value);
        } else {
            int index = -1;
            bool changed = false;
            done.code = writeOp(client, op.handle, op.value, index, changed);
            finishWrite(client, index, changed);
        }
        reply.ops.append(std::move(done));
    }
}

void PlcServer::countExchange(Client *client, const Message &request)
{
    ++m_requests;
    QList<BatchOp> ops = request.ops;
    if (request.type == MsgType::Read || request.type == MsgType::Write)
        ops.append({request.type, request.handle, request.varType, {}, Ok});
    const auto nameOf = [&](const BatchOp &op) {
        const int index = client->handles.value(op.handle, -1);
        return index < 0 ? QString() : m_runtime.variable(index).name;
    };
    bool answer = false, readsFlag = false;
    for (const BatchOp &op : ops) {
        const QString name = nameOf(op);
        const bool flag = name.endsWith(QLatin1String(".antwort"), Qt::CaseInsensitive);
        answer = answer || flag || name.endsWith(QLatin1String(".RecData"), Qt::CaseInsensitive);
        readsFlag = readsFlag || (flag && op.type == MsgType::Read);
    }
    // A state write on its own right before the look at the answer flag is part of the hand-over.
    if (client->wroteStatus && readsFlag && ops.size() == 1)
        ++m_handOverExchanges;
    if (answer)
        ++m_handOverExchanges;
    client->wroteStatus = ops.size() == 1 && ops.first().type == MsgType::Write &&
                          nameOf(ops.first()).endsWith(QLatin1String(".ConnectStatus"), Qt::CaseInsensitive);
}

void PlcServer::traceHandle(const Client *client, const char *op, quint32 id, int index)
{
    if (m_trace)
        print(QStringLiteral("handle t=%1 client=%2 op=%3 id=%4 name=%5")
                  .arg(stamp())
                  .arg(client->id)
                  .arg(QLatin1String(op))
                  .arg(id)
                  .arg(m_runtime.variable(index).name));
}

// In the order the client made them (handle numbers only grow): handles first, then
// notifications.
void PlcServer::listHandles(int clientId)
{
    int count = 0;
    for (const auto &[id, client] : m_clients) {
        if (clientId != 0 && id != clientId)
            continue;
        for (const auto &[kind, held] :
             {std::pair{"handle", &client->handles}, std::pair{"notification", &client->subscriptions}}) {
            QList<quint32> ids = held->keys();
            std::sort(ids.begin(), ids.end());
            for (const quint32 h : ids) {
                print(QStringLiteral("%1 client=%2 id=%3 name=%4")
                          .arg(QLatin1String(kind))
                          .arg(id)
                          .arg(h)
                          .arg(m_runtime.variable(held->value(h)).name));
                ++count;
            }
        }
    }
    print(QStringLiteral("end count=%1").arg(count));
}

qint32 PlcServer::writeVariable(int index, const Value &value)
{
    bool changed = false;
    const qint32 code = m_runtime.write(index, value, changed);
    if (code == Ok && changed)
        notifyChange(index);
    return code;
}

void PlcServer::notifyChange(int index)
{
    Message notify;
    notify.type = MsgType::Notify;
    notify.value = m_runtime.variable(index).value;
    for (auto &[id, client] : m_clients) {
        for (auto it = client->subscriptions.cbegin(); it != client->subscriptions.cend(); ++it) {
            if (it.value() != index)
                continue;
            notify.handle = it.key();
            send(client.get(), notify);
        }
    }
    if (m_changeHook)
        m_changeHook(index);
}

void PlcServer::pushState()
{
    Message state;
    state.type = MsgType::State;
    state.state = m_runtime.running() ? StateRun : StateStop;
    state.runId = m_runtime.runId();
    for (auto &[id, client] : m_clients)
        send(client.get(), state);
    print(QStringLiteral("state %1 t=%2 run=%3")
              .arg(m_runtime.running() ? QStringLiteral("run") : QStringLiteral("stop"))
              .arg(stamp())
              .arg(m_runtime.runId()));
}

void PlcServer::stopProgram()
{
    if (!m_runtime.running())
        return;
    m_runtime.stop();
    pushState();
}

void PlcServer::startProgram()
{
    if (m_runtime.running())
        return;
    m_runtime.start();
    // A program start invalidates every handle and notification, as a real runtime does.
    for (auto &[id, client] : m_clients) {
        client->handles.clear();
        client->subscriptions.clear();
    }
    pushState();
}

void PlcServer::writeFromConsole(int index, const Value &value)
{
    bool changed = false;
    const qint32 code = m_runtime.write(index, value, changed);
    if (code != Ok) {
        print(QStringLiteral("error code=%1 text=%2").arg(code).arg(codeText(code)));
        return;
    }
    print(QStringLiteral("value %1=%2")
              .arg(m_runtime.variable(index).name, PlcRuntime::formatValue(m_runtime.variable(index).value)));
    if (changed)
        notifyChange(index);
}

bool PlcServer::command(const QString &line)
{
    const QString text = line.trimmed();
    const QString word = text.section(QLatin1Char(' '), 0, 0);
    const QString rest = text.section(QLatin1Char(' '), 1).trimmed();
    if (word.isEmpty())
        return true;
    if (word == QLatin1String("quit") || word == QLatin1String("exit"))
        return false;
    if (word == QLatin1String("stop")) {
        stopProgram();
    } else if (word == QLatin1String("start")) {
        startProgram();
    } else if (word == QLatin1String("restart")) {
        stopProgram();
        startProgram();
    } else if (word == QLatin1String("list")) {
        for (int i = 0; i < m_runtime.count(); ++i) {
            const PlcRuntime::Variable &v = m_runtime.variable(i);
            print(QStringLiteral("var %1 %2 %3")
                      .arg(v.name, typeName(v.type, v.capacity), PlcRuntime::formatValue(v.value)));
        }
        print(QStringLiteral("end count=%1").arg(m_runtime.count()));
    } else if (word == QLatin1String("clients")) {
        for (const auto &[id, client] : m_clients)
            print(QStringLiteral("client id=%1 handles=%2 notifications=%3")
                      .arg(id)
                      .arg(client->handles.size())
                      .arg(client->subscriptions.size()));
        print(QStringLiteral("end count=%1").arg(m_clients.size()));
    } else if (word == QLatin1String("handles")) {
        listHandles(rest.toInt());
    } else if (word == QLatin1String("stats")) {
        print(QStringLiteral("stats requests=%1 handover=%2").arg(m_requests).arg(m_handOverExchanges));
    } else if (word == QLatin1String("get") || word == QLatin1String("set")) {
        const QString name = rest.section(QLatin1Char(' '), 0, 0);
        const int index = m_runtime.find(name);
        if (index < 0) {
            print(QStringLiteral("error code=%1 text=%2 name=%3")
                      .arg(UnknownSymbol)
                      .arg(codeText(UnknownSymbol), name));
            return true;
        }
        if (word == QLatin1String("get")) {
            print(QStringLiteral("value %1=%2")
                      .arg(m_runtime.variable(index).name,
                           PlcRuntime::formatValue(m_runtime.variable(index).value)));
            return true;
        }
        // The value is everything after the single blank that follows the name.
        const qsizetype at = text.indexOf(name) + name.size() + 1;
        Value value;
        if (!PlcRuntime::parseValue(m_runtime.variable(index), text.mid(at), value)) {
            print(QStringLiteral("error code=%1 text=%2")
                      .arg(InvalidSize)
                      .arg(QStringLiteral("invalid value")));
            return true;
        }
        writeFromConsole(index, value);
    } else {
        print(
            QStringLiteral("error unknown command %1 (stop start restart list clients handles get set quit)")
                .arg(word));
    }
    return true;
}

void PlcServer::watchStdin()
{
    m_stdin = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(m_stdin, &QSocketNotifier::activated, this, &PlcServer::onStdin);
}

void PlcServer::onStdin()
{
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
    if (n <= 0) {
        // The console went away (or never was): keep serving.
        m_stdin->setEnabled(false);
        return;
    }
    m_stdinBuffer.append(buffer, n);
    qsizetype nl;
    while ((nl = m_stdinBuffer.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_stdinBuffer.left(nl));
        m_stdinBuffer.remove(0, nl + 1);
        if (!command(line)) {
            print(QStringLiteral("bye"));
            QCoreApplication::quit();
            return;
        }
        flushAll();
    }
}
