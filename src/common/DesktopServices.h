#pragma once

#include <QString>

#include <functional>

// Everything the gateway asks of the desktop: message boxes, the file dialog, opening a
// document with its program, the tray icon. The real implementation uses Qt Widgets; tests
// use a recording fake. No core class shows a box or a dialog any other way.
//
// Nothing here runs a nested event loop: a box is shown and the call returns at once; the
// operator's answer, where it matters, arrives later through the callback.
class DesktopServices
{
public:
    // OkCancelHelp: the Help button opens helpFile with its program and leaves the box open.
    enum class Buttons { Ok, OkCancel, OkCancelHelp };
    enum class Icon { None, Information, Warning, Critical };
    enum class Answer { Ok, Cancel };
    enum class OpenResult { Opened, FileNotFound, NoAssociation };

    struct MessageBox {
        QString text;
        QString caption;
        Buttons buttons = Buttons::Ok;
        Icon icon = Icon::None;
        bool systemModal = false; // shown application-modal and on top
        QString helpFile{};
    };

    virtual ~DesktopServices() = default;

    virtual void showMessage(const MessageBox &box, std::function<void(Answer)> onAnswer = {}) = 0;
    // The file dialog for choosing a file name to save to, preset with presetPath. onChosen gets
    // the chosen path, or an empty text when the operator cancelled.
    virtual void chooseSaveFileName(const QString &presetPath, const QString &filter,
                                    std::function<void(const QString &)> onChosen) = 0;
    virtual OpenResult openDocument(const QString &path) = 0;

    virtual bool trayAvailable() const = 0;
    virtual void addTrayIcon(const QString &toolTip) = 0;
    virtual void removeTrayIcon() = 0;

    // Convenience for the common case: an OK box with a caption.
    void message(const QString &text, const QString &caption = {}, bool systemModal = false)
    {
        showMessage(MessageBox{text, caption, Buttons::Ok, Icon::None, systemModal});
    }
};
