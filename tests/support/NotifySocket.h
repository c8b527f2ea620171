#pragma once

#include <QByteArray>
#include <QList>
#include <QTemporaryDir>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// A datagram socket standing in for the service manager's notification socket (NOTIFY_SOCKET).
class NotifySocket
{
public:
    NotifySocket()
    {
        m_path = m_dir.filePath(QStringLiteral("notify")).toLocal8Bit();
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        qstrncpy(addr.sun_path, m_path.constData(), sizeof addr.sun_path);
        m_bound = ::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    }
    ~NotifySocket() { ::close(m_fd); }
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    bool bound() const { return m_bound; }
    QByteArray path() const { return m_path; }

    // Every datagram that has arrived since the last call.
    QList<QByteArray> take()
    {
        QList<QByteArray> got;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n < 0)
                return got;
            got.append(QByteArray(buffer, n));
        }
    }

private:
    QTemporaryDir m_dir;
    QByteArray m_path;
    int m_fd = -1;
    bool m_bound = false;
};
