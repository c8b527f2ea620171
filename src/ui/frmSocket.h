#pragma once

#include "common/Services.h"

class GatewayCore;

#include <QMainWindow>

class GatewayState;
class LevelCheckBox;
class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;

// The main window: shows and edits the gateway's state and carries the operator's buttons and
// menus; the gateway core behind it runs the cycles and the load and unload order.
class frmSocket : public QMainWindow, public GatewayWindow
{
    Q_OBJECT
public:
    // Window heights are reckoned in twips, 15 to a pixel, as the plants' stations have always
    // stored them; 1000 twips are added to the height while the log view is shown.
    static constexpr int historyExtraTwips = 1000;
    static constexpr int twipsPerPixel = 15;

    explicit frmSocket(GatewayCore &core, QWidget *parent = nullptr);
    ~frmSocket() override;

    // The core's load handler. Afterwards the window is hidden (or shown minimised when the
    // desktop has no notification area), or the program has ended (programEnded()).
    void load();
    // The core's unload handler; runs once, whoever asks first.
    void unload();
    bool programEnded() const;

    void editControls(bool onOff);
    void refreshLog();
    void sendData();

    // What the core asks of its window.
    bool isWindowMinimized() const override { return isMinimized(); }
    void hideFromMinimized() override;
    void showLoadedLog() override;
    void finishLoad(bool showMinimized) override;
    // Show, normal state, raise and activate: the tray icon's left press.
    void reassert() override;
    void showForManager() override;
    void closeWindows() override;

    // The window height in twips at the end of loading, without the log view.
    qint32 baseHeight() const { return m_baseHeight; }
    // The height the window keeps, in pixels, from the visibility of the log view.
    int ruledHeight() const;

protected:
    void closeEvent(QCloseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void buildMenu();
    void connectControls();
    void showState();
    void applyEditMode(bool onOff);
    void historyChanged(bool fromClick);
    void showLogView(bool visible);
    void applyHeightRule();
    void scheduleHeightRule();
    void markNumberField(QLineEdit *field);
    QLineEdit *addField(const char *name, const QString &label, QWidget *parent);

    GatewayCore &m_core;
    GatewayState &m_state;
    qint32 m_baseHeight = 0;
    bool m_loaded = false;
    bool m_closed = false;
    bool m_heightRuleQueued = false;

    QLineEdit *m_txtServer = nullptr, *m_txtNetId = nullptr, *m_txtPort = nullptr, *m_txtModulname = nullptr,
              *m_txtMasch = nullptr, *m_txtIP = nullptr, *m_txtSocket = nullptr, *m_txtTimeout = nullptr,
              *m_txtSendData = nullptr;
    QCheckBox *m_chkServer = nullptr, *m_chkCon = nullptr, *m_chkReset = nullptr, *m_chkUTF8 = nullptr,
              *m_chkHistory = nullptr;
    LevelCheckBox *m_chkStatus = nullptr, *m_chkXML = nullptr;
    QPlainTextEdit *m_rtfComm = nullptr;
    QLabel *m_lblState = nullptr, *m_lblError = nullptr, *m_lblLastComm = nullptr;
    QLabel *m_logFileCaption = nullptr; // under the log view: which file it shows
    QPushButton *m_cmdConnect = nullptr, *m_cmdClose = nullptr, *m_cmdSend = nullptr, *m_cmdRefresh = nullptr,
                *m_cmdLoad = nullptr, *m_cmdSave = nullptr;
    QMenu *m_mnuFile = nullptr, *m_mnuPopupBAB = nullptr;
    QAction *m_mnuSave = nullptr, *m_mnuSaveAs = nullptr, *m_mnuLoad = nullptr, *m_mnuEditModus = nullptr,
            *m_mnuKELOProp = nullptr, *m_mnuReConnect = nullptr, *m_mnuExit = nullptr, *m_mnuPopup1 = nullptr;
};
