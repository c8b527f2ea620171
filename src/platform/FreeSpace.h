#pragma once

#include "common/Services.h"

#include <QString>

#include <optional>

class GatewayState;
class MsgList;
class Options;

// Free bytes of the file system that holds a folder, as the program may use them.
class FreeSpaceSource
{
public:
    struct Reading {
        QString root; // mount point, ending in "/"
        qint64 freeBytes = 0;
    };
    virtual ~FreeSpaceSource() = default;
    // Nothing when the file system cannot be determined.
    virtual std::optional<Reading> freeSpace(const QString &folder) const = 0;
};

class StorageFreeSpace : public FreeSpaceSource
{
public:
    std::optional<Reading> freeSpace(const QString &folder) const override;
};

// Switches the communication log off (logEnabled) while the file system of the program folder
// has less than "MaxFreeSpace(MB)" decimal megabytes free (option group "LogDatei", default 30).
// Whenever the free space cannot be determined, logging stays on.
class FreeSpace : public FreeSpaceGuard
{
public:
    static constexpr qint32 kDefaultLimitMb = 30;

    FreeSpace(GatewayState &state, Options &options, MsgList &messages, const FreeSpaceSource &source,
              const QString &programFolder);

    void checkFreeSpace(bool report) override { check(report); }
    // Returns the new logEnabled; with report, a shortage is queued as an error message.
    bool check(bool report);

    // The number at the start of an option text, as a whole number; 0 when there is none.
    static qint32 leadingNumber(const QString &text);
    static QString groupedBytes(qint64 bytes);

private:
    bool decide(bool report);

    GatewayState &m_state;
    Options &m_options;
    MsgList &m_messages;
    const FreeSpaceSource &m_source;
    QString m_programFolder;
};
