#pragma once

#include "common/DesktopServices.h"

#include <QList>
#include <QQueue>
#include <QStringList>

// Records every request to the desktop; a box waits until the test answers it, a file dialog
// returns the next name a test queued ("cancelled" when there is none).
class FakeDesktopServices : public DesktopServices
{
public:
    struct Shown {
        MessageBox box;
        std::function<void(Answer)> onAnswer;
    };

    QList<Shown> messages;
    QStringList calls;               // every call in order, e.g. "addTrayIcon:<tip>"
    QQueue<QString> chosenFileNames; // returned by the file dialog
    QStringList presetPaths;
    QStringList openedDocuments;
    OpenResult openResult = OpenResult::Opened;
    bool tray = true;
    bool trayIconShown = false;

    void showMessage(const MessageBox &box, std::function<void(Answer)> onAnswer = {}) override;
    void chooseSaveFileName(const QString &presetPath, const QString &filter,
                            std::function<void(const QString &)> onChosen) override;
    OpenResult openDocument(const QString &path) override;
    bool trayAvailable() const override { return tray; }
    void addTrayIcon(const QString &toolTip) override;
    void removeTrayIcon() override;

    QStringList messageTexts() const;
    // Answers the oldest box still waiting for its answer.
    void answer(Answer a);
};
