#include "ui/QtDesktopServices.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QUrl>

QtDesktopServices::QtDesktopServices(QObject *parent) : QObject(parent)
{
}

QtDesktopServices::~QtDesktopServices()
{
    for (const OpenBox &open : std::as_const(m_open)) {
        if (open.box)
            delete open.box.data();
    }
    delete m_tray;
}

void QtDesktopServices::showMessage(const MessageBox &box, std::function<void(Answer)> onAnswer)
{
    const QString caption = box.caption.isEmpty() && m_defaultCaption ? m_defaultCaption() : box.caption;
    const QString key = caption + QChar(0) + box.text + QChar(0) + QString::number(int(box.buttons));

    auto it = m_open.find(key);
    if (it != m_open.end() && it->box) {
        if (onAnswer)
            it->callbacks.append(std::move(onAnswer));
        it->box->raise();
        it->box->activateWindow();
        return;
    }

    auto *dialog = new QMessageBox;
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(caption);
    dialog->setText(box.text);
    dialog->setTextInteractionFlags(Qt::TextSelectableByMouse);
    switch (box.icon) {
    case Icon::None:
        break;
    case Icon::Information:
        dialog->setIcon(QMessageBox::Information);
        break;
    case Icon::Warning:
        dialog->setIcon(QMessageBox::Warning);
        break;
    case Icon::Critical:
        dialog->setIcon(QMessageBox::Critical);
        break;
    }
    dialog->setStandardButtons(box.buttons == Buttons::Ok ? QMessageBox::Ok
                                                          : QMessageBox::Ok | QMessageBox::Cancel);
    if (box.buttons == Buttons::OkCancelHelp) {
        // Help opens the help file and leaves the box waiting for OK or Cancel: the button is
        // taken off the box's own closing logic.
        QPushButton *help = dialog->addButton(QMessageBox::Help);
        help->disconnect();
        const QString helpFile = box.helpFile;
        connect(help, &QPushButton::clicked, this, [this, helpFile] {
            if (!helpFile.isEmpty())
                openDocument(helpFile);
        });
    }
    dialog->setDefaultButton(QMessageBox::Ok);
    if (box.systemModal) {
        dialog->setWindowModality(Qt::ApplicationModal);
        dialog->setWindowFlag(Qt::WindowStaysOnTopHint);
    } else {
        dialog->setWindowModality(Qt::NonModal);
    }

    OpenBox &open = m_open[key];
    open.box = dialog;
    open.callbacks.clear();
    if (onAnswer)
        open.callbacks.append(std::move(onAnswer));

    connect(dialog, &QMessageBox::finished, this, [this, key, dialog](int) {
        // Closing the box by its frame counts as Cancel where there is one, else as OK.
        QAbstractButton *cancel = dialog->button(QMessageBox::Cancel);
        const bool cancelled = cancel && (dialog->clickedButton() == cancel || !dialog->clickedButton());
        const auto callbacks = m_open.take(key).callbacks;
        for (const auto &callback : callbacks)
            callback(cancelled ? Answer::Cancel : Answer::Ok);
    });
    dialog->show();
}

void QtDesktopServices::chooseSaveFileName(const QString &presetPath, const QString &filter,
                                           std::function<void(const QString &)> onChosen)
{
    auto *dialog = new QFileDialog(nullptr, QString(), QFileInfo(presetPath).absolutePath(), filter);
    dialog->setObjectName(QStringLiteral("CommonDialog1"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->selectFile(presetPath);
    connect(dialog, &QFileDialog::finished, this, [dialog, onChosen = std::move(onChosen)](int result) {
        const QString chosen = result == QDialog::Accepted ? dialog->selectedFiles().value(0) : QString();
        if (onChosen)
            onChosen(chosen);
    });
    dialog->show();
}

DesktopServices::OpenResult QtDesktopServices::openDocument(const QString &path)
{
    if (!QFileInfo::exists(path))
        return OpenResult::FileNotFound;
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path)) ? OpenResult::Opened
                                                                : OpenResult::NoAssociation;
}

bool QtDesktopServices::trayAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void QtDesktopServices::addTrayIcon(const QString &toolTip)
{
    if (!m_tray) {
        m_tray = new QSystemTrayIcon;
        connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            // Only the left press restores the window; right press and double click do nothing.
            if (reason == QSystemTrayIcon::Trigger && m_trayActivated)
                m_trayActivated();
        });
    }
    QIcon icon = QApplication::windowIcon();
    if (icon.isNull())
        icon = QApplication::style()->standardIcon(QStyle::SP_DriveNetIcon);
    m_tray->setIcon(icon);
    m_tray->setToolTip(toolTip);
    m_tray->show();
}

void QtDesktopServices::removeTrayIcon()
{
    if (m_tray)
        m_tray->hide();
}
