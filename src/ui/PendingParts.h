#pragma once

#include "common/DesktopServices.h"
#include "common/Services.h"

// Stand-ins for the parts of the gateway that are not built yet. Each does what the gateway
// does while that part is absent, nothing more, and goes when the real part arrives.

// No server-manager program can be reached yet: the gateway runs on its own with a tray icon.
class StandaloneManagerLink : public ManagerLink
{
public:
    explicit StandaloneManagerLink(DesktopServices &desktop) : m_desktop(desktop) {}

    int connectManagerLink(const QString &title) override
    {
        QString tip = QStringLiteral("Socket  / ") + title + QStringLiteral("  Socket-Server");
        m_desktop.addTrayIcon(tip.left(63));
        return NoManager;
    }
    void disconnectManagerLink() override { m_desktop.removeTrayIcon(); }

private:
    DesktopServices &m_desktop;
};

// The PLC variables of the instance are not connected yet.
class NoPlcConnection : public PlcConnection
{
public:
    void connectPlc() override {}
    void terminateAll() override {}
};

// Program path and file-type registration are not done yet.
class NoHostIntegration : public HostIntegration
{
public:
    PendingError registerProgramPath() override { return {}; }
    PendingError registerFileType(const QString &) override { return {}; }
};

// Text to a text whose characters stand for the bytes of its UTF-8 form, each 16-bit code unit
// on its own (so a surrogate pair becomes two three-byte groups, as the plants' peers expect).
// Kept here until the socket area provides its encoder.
inline QString pendingEncodeUtf8(const QString &text)
{
    QString out;
    out.reserve(text.size() * 3);
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        if (c < 0x80) {
            out += QChar(c);
        } else if (c < 0x800) {
            out += QChar(0xC0 + (c >> 6));
            out += QChar(0x80 + (c & 0x3F));
        } else {
            out += QChar(0xE0 + ((c >> 12) & 0x0F));
            out += QChar(0x80 + ((c >> 6) & 0x3F));
            out += QChar(0x80 + (c & 0x3F));
        }
    }
    return out;
}
