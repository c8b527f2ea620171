#pragma once

#include <QString>

// An on/off setting as the configuration file keeps it: 0 off, 1 on, 2 on and grayed. Everything
// but the file reads it as on or off; the number is kept so that a save writes back what was
// loaded.
class CheckMark
{
public:
    constexpr CheckMark(bool on = false) : m_value(on ? 1 : 0) {}
    // 0, 1 or 2; the configuration takes no other number.
    static constexpr CheckMark fromValue(int value)
    {
        CheckMark mark;
        mark.m_value = value;
        return mark;
    }

    constexpr bool on() const { return m_value != 0; }
    constexpr explicit operator bool() const { return on(); }
    constexpr int value() const { return m_value; }

private:
    int m_value = 0;
};

// The settings the cycles work with. The on/off settings and the two levels are changed by the
// window at once and take effect at the next tick; the texts and numbers are copies of the
// settings fields, taken after every configuration load and save (Configuration::apply).
struct Settings {
    CheckMark serverRole;               // listen for the peer instead of connecting to it
    CheckMark staticConnection;         // keep the peer connection between requests
    CheckMark dropRequestOnError{true}; // a socket error drops the request in progress
    CheckMark sendUtf8;                 // send the text as UTF-8 (else byte for byte)
    int statusReport = 0;               // status lines: 0 none, 1 to the log, 2 also to the messages
    int xmlExport = 0;                  // 0, 1 or 2 (grayed), as the window shows it

    // The Status and XML-Export numbers as last loaded or chosen (also outside 0..2).
    qint16 statusLevel = 0;
    qint16 xmlExportLevel = 0;

    QString serverPath; // the plant's data folder, absolute
    QString moduleName;
    QString remoteHost;
    QString remotePort; // as typed; the server role listens on it
    qint32 timeoutSeconds = 2;
    bool autoConnectOff = false;
};

// The settings fields of the window as the operator typed them or a load filled them. The
// configuration saves them and copies them into Settings; only the PLC target and the machine
// name are read from here directly.
struct SettingsFields {
    QString serverPath; // as typed; Settings::serverPath is the resolved folder
    QString plcNetId;
    QString plcPort;
    QString moduleName;
    QString machineName;
    QString remoteHost;
    QString remotePort;
    QString timeout;
};
