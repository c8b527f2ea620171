#pragma once

#include "common/DesktopServices.h"

#include <QHash>
#include <QObject>
#include <QPointer>

#include <functional>

class QMessageBox;
class QSystemTrayIcon;

// The desktop as Qt Widgets offers it. Boxes and dialogs are shown without a nested event loop;
// the answer comes through the callback. A box that is already open with the same caption,
// text and buttons is raised instead of shown a second time, and its answer goes to every
// caller that asked for it.
class QtDesktopServices : public QObject, public DesktopServices
{
    Q_OBJECT
public:
    explicit QtDesktopServices(QObject *parent = nullptr);
    ~QtDesktopServices() override;

    void showMessage(const MessageBox &box, std::function<void(Answer)> onAnswer = {}) override;
    void chooseSaveFileName(const QString &presetPath, const QString &filter,
                            std::function<void(const QString &)> onChosen) override;
    OpenResult openDocument(const QString &path) override;

    bool trayAvailable() const override;
    void addTrayIcon(const QString &toolTip) override;
    void removeTrayIcon() override;

    // The caption of a box that brings none (the application title, as it stands when shown).
    void setDefaultCaption(std::function<QString()> caption) { m_defaultCaption = std::move(caption); }
    // Run on a left press on the tray icon.
    void setTrayActivated(std::function<void()> handler) { m_trayActivated = std::move(handler); }

    int openMessageCount() const { return int(m_open.size()); }

private:
    struct OpenBox {
        QPointer<QMessageBox> box;
        QList<std::function<void(Answer)>> callbacks;
    };

    QHash<QString, OpenBox> m_open;
    std::function<QString()> m_defaultCaption;
    std::function<void()> m_trayActivated;
    QSystemTrayIcon *m_tray = nullptr;
};
