#include "FakeDesktopServices.h"

void FakeDesktopServices::showMessage(const MessageBox &box, std::function<void(Answer)> onAnswer)
{
    calls << QStringLiteral("showMessage:") + box.text;
    messages.append({box, std::move(onAnswer)});
}

void FakeDesktopServices::chooseSaveFileName(const QString &presetPath, const QString &filter,
                                             std::function<void(const QString &)> onChosen)
{
    Q_UNUSED(filter);
    calls << QStringLiteral("chooseSaveFileName:") + presetPath;
    presetPaths << presetPath;
    const QString chosen = chosenFileNames.isEmpty() ? QString() : chosenFileNames.dequeue();
    if (onChosen)
        onChosen(chosen);
}

DesktopServices::OpenResult FakeDesktopServices::openDocument(const QString &path)
{
    calls << QStringLiteral("openDocument:") + path;
    openedDocuments << path;
    return openResult;
}

void FakeDesktopServices::addTrayIcon(const QString &toolTip)
{
    calls << QStringLiteral("addTrayIcon:") + toolTip;
    trayIconShown = true;
}

void FakeDesktopServices::removeTrayIcon()
{
    calls << QStringLiteral("removeTrayIcon");
    trayIconShown = false;
}

QStringList FakeDesktopServices::messageTexts() const
{
    QStringList texts;
    for (const auto &m : messages)
        texts << m.box.text;
    return texts;
}

void FakeDesktopServices::answer(Answer a)
{
    for (auto &m : messages) {
        if (m.onAnswer) {
            auto callback = std::move(m.onAnswer);
            m.onAnswer = {};
            callback(a);
            return;
        }
    }
}
