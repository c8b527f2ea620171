#pragma once

#include "common/Services.h"

#include <QLockFile>
#include <QString>

#include <memory>

// Tells whether another process of the same program file runs. Each process holds a lock file
// of its own in the user's runtime folder for as long as it lives; the lock of a process that
// crashed is found stale (its process is gone) and removed, so it never counts.
class InstanceCheck : public InstanceGuard
{
public:
    // folder: where the lock files live (the runtime folder when empty); programFile: the
    // executable whose instances are counted; instanceId: this process (its pid when empty).
    explicit InstanceCheck(const QString &folder = {}, const QString &programFile = {},
                           const QString &instanceId = {});
    ~InstanceCheck() override;

    bool anotherInstanceRunning() override;
    bool holdsOwnLock() const { return m_own && m_own->isLocked(); }

private:
    QString m_folder;
    QString m_prefix;
    QString m_ownPath;
    std::unique_ptr<QLockFile> m_own;
};
