#include "ui/frmSocket.h"

#include "common/GatewayState.h"
#include "common/Services.h"
#include "core/GatewayCore.h"
#include "plclink/PlcLink.h"
#include "socket/SocketEndpoint.h"
#include "ui/LevelCheckBox.h"
#include "ui/LogViewText.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStyle>
#include <QTextCursor>
#include <QTimer>
#include <QVBoxLayout>

namespace
{

// Lines of the fixed-width log view; its height is fixed because the window height rule adds
// it to the base height.
constexpr int logViewLines = 18;

void setTabStop(QWidget *w, bool onOff)
{
    w->setFocusPolicy(onOff ? Qt::StrongFocus : Qt::ClickFocus);
}

void repolish(QWidget *w)
{
    w->style()->unpolish(w);
    w->style()->polish(w);
}

void setIfDifferent(QLineEdit *field, const QString &text)
{
    // Writing the same text back would move the operator's cursor to the end.
    if (field->text() != text)
        field->setText(text);
}

QLabel *displayLabel(const char *name, int lines, QWidget *parent, const QFont *font = nullptr)
{
    auto *label = new QLabel(parent);
    // The height below follows the font the label shows.
    if (font)
        label->setFont(*font);
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label->setFrameShape(QFrame::StyledPanel);
    label->setFrameShadow(QFrame::Sunken);
    label->setAutoFillBackground(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setMargin(3);
    QPalette pal = label->palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Base));
    label->setPalette(pal);
    // A few pixels of slack: fractional font sizes round the line spacing down.
    const int height =
        lines * label->fontMetrics().lineSpacing() + 2 * (label->frameWidth() + label->margin()) + 4;
    label->setFixedHeight(height);
    label->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return label;
}

} // namespace

frmSocket::frmSocket(GatewayCore &core, QWidget *parent)
    : QMainWindow(parent), m_core(core), m_state(core.state())
{
    setObjectName(QStringLiteral("frmSocket"));
    setWindowTitle(QStringLiteral("Socket-Server"));
    m_core.setWindow(this);

    buildMenu();
    buildControls();
    connectControls();

    connect(&m_state, &GatewayState::changed, this, &frmSocket::showState);
    showState();
    applyEditMode(false);

    showLogView(false);
    adjustSize();
}

frmSocket::~frmSocket()
{
    m_core.setWindow(nullptr);
}

QLineEdit *frmSocket::addField(const char *name, const QString &label, QWidget *parent)
{
    auto *field = new QLineEdit(parent);
    field->setObjectName(QLatin1String(name));
    auto *form = qobject_cast<QFormLayout *>(parent->layout());
    auto *caption = new QLabel(label, parent);
    caption->setBuddy(field);
    form->addRow(caption, field);
    return field;
}

void frmSocket::buildMenu()
{
    m_mnuFile = menuBar()->addMenu(QStringLiteral("&File"));
    m_mnuFile->setObjectName(QStringLiteral("mnuFile"));
    auto item = [this](const char *name, const QString &text) {
        QAction *a = m_mnuFile->addAction(text);
        a->setObjectName(QLatin1String(name));
        return a;
    };
    m_mnuSave = item("mnuSave", QStringLiteral("&Save"));
    m_mnuSaveAs = item("mnuSaveAs", QStringLiteral("Save &As"));
    m_mnuLoad = item("mnuLoad", QStringLiteral("&Load"));
    m_mnuEditModus = item("mnuEditModus", QStringLiteral("E&dit On/Off"));
    m_mnuEditModus->setCheckable(true);
    m_mnuKELOProp = item("mnuKELOProp", QStringLiteral("&KELOOCX Properties"));
    m_mnuReConnect = item("mnuReConnect", QStringLiteral("&KELO-Connect"));
    m_mnuExit = item("mnu_exit", QStringLiteral("E&xit"));

    // A popup menu without any action: kept so that the window has every menu of the plants'
    // existing stations, but not shown in the menu bar.
    m_mnuPopupBAB = new QMenu(QStringLiteral("BAB"), this);
    m_mnuPopupBAB->setObjectName(QStringLiteral("mnuPopupBAB"));
    m_mnuPopup1 = m_mnuPopupBAB->addAction(QStringLiteral("1"));
    m_mnuPopup1->setObjectName(QStringLiteral("mnuPopup1"));
    menuBar()->addMenu(m_mnuPopupBAB)->setVisible(false);
}

void frmSocket::buildControls()
{
    auto *central = new QWidget(this);
    central->setObjectName(QStringLiteral("centralWidget"));
    // Locked fields look like displays; a field that should hold a number and does not is
    // marked while the operator types.
    central->setStyleSheet(QStringLiteral("QLineEdit[readOnly=\"true\"] { background: palette(window); }"
                                          "QLineEdit[notANumber=\"true\"] { background: #ffd9d9; }"));
    setCentralWidget(central);
    auto *outer = new QVBoxLayout(central);

    auto *settingsRow = new QHBoxLayout;
    outer->addLayout(settingsRow);

    auto *instanceBox = new QGroupBox(QStringLiteral("Instance and PLC link"), central);
    auto *instanceForm = new QFormLayout(instanceBox);
    instanceForm->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    m_txtModulname = addField("txtModulname", QStringLiteral("Modulname:"), instanceBox);
    m_txtMasch = addField("txtMasch", QStringLiteral("Maschinen-Name:"), instanceBox);
    m_txtServer = addField("txtServer", QStringLiteral("Server Pfad:"), instanceBox);
    m_txtNetId = addField("txtNetId", QStringLiteral("KELO NetId:"), instanceBox);
    m_txtPort = addField("txtPort", QStringLiteral("Port:"), instanceBox);
    m_chkStatus = new LevelCheckBox(QStringLiteral("Statusanzeige On/Off"), instanceBox);
    m_chkStatus->setObjectName(QStringLiteral("chkStatus"));
    m_chkStatus->setToolTip(
        QStringLiteral("Checked: errors shown and logged. Grayed: also to the message list."));
    instanceForm->addRow(m_chkStatus);
    m_chkXML = new LevelCheckBox(QStringLiteral("XML-Export On/Off"), instanceBox);
    m_chkXML->setObjectName(QStringLiteral("chkXML"));
    instanceForm->addRow(m_chkXML);
    settingsRow->addWidget(instanceBox, 3);

    auto *peerBox = new QGroupBox(QStringLiteral("Peer connection"), central);
    auto *peerForm = new QFormLayout(peerBox);
    peerForm->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    m_txtIP = addField("txtIP", QStringLiteral("Remote Host:"), peerBox);
    m_txtSocket = addField("txtSocket", QStringLiteral("Remote Port:"), peerBox);
    m_txtTimeout = addField("txtTimeout", QStringLiteral("Timeout (sec):"), peerBox);
    auto check = [](const char *name, const QString &text, QWidget *parent) {
        auto *box = new QCheckBox(text, parent);
        box->setObjectName(QLatin1String(name));
        return box;
    };
    m_chkServer = check("chkServer", QStringLiteral("Server Testversion"), peerBox);
    m_chkCon = check("chkCon", QStringLiteral("Static Connect On/Off"), peerBox);
    m_chkReset = check("chkReset", QStringLiteral("Reset Sendata on Error On/Off"), peerBox);
    m_chkUTF8 = check("chkUTF8", QStringLiteral("UTF8 Codierung On/Off"), peerBox);
    for (QCheckBox *box : {m_chkServer, m_chkCon, m_chkReset, m_chkUTF8})
        peerForm->addRow(box);
    settingsRow->addWidget(peerBox, 2);

    auto *stateBox = new QGroupBox(QStringLiteral("State"), central);
    auto *stateForm = new QFormLayout(stateBox);
    stateForm->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    // The state has up to three lines (state, reconnect try, request time); the last status line
    // two, each of which may wrap at the window's narrowest.
    QFont bold = font();
    bold.setBold(true);
    m_lblState = displayLabel("lblState", 3, stateBox, &bold);
    m_lblError = displayLabel("lblError", 3, stateBox);
    QPalette errorPalette = m_lblError->palette();
    errorPalette.setColor(QPalette::WindowText, QColor(0xa0, 0x10, 0x10));
    m_lblError->setPalette(errorPalette);
    m_lblLastComm = displayLabel("lblLastComm", 1, stateBox);
    stateForm->addRow(QStringLiteral("Socket:"), m_lblState);
    stateForm->addRow(QStringLiteral("Last error:"), m_lblError);
    stateForm->addRow(QStringLiteral("Not logged:"), m_lblLastComm);
    outer->addWidget(stateBox);

    auto button = [central](const char *name, const QString &text) {
        auto *b = new QPushButton(text, central);
        b->setObjectName(QLatin1String(name));
        b->setAutoDefault(false);
        return b;
    };

    outer->addSpacing(fontMetrics().height() / 3);
    auto *sendRow = new QHBoxLayout;
    auto *sendLabel = new QLabel(QStringLiteral("Send Data:"), central);
    m_txtSendData = new QLineEdit(central);
    m_txtSendData->setObjectName(QStringLiteral("txtSendData"));
    sendLabel->setBuddy(m_txtSendData);
    m_cmdSend = button("cmdSend", QStringLiteral("Send"));
    sendRow->addWidget(sendLabel);
    sendRow->addWidget(m_txtSendData, 1);
    sendRow->addWidget(m_cmdSend);
    outer->addLayout(sendRow);

    auto *buttonRow = new QHBoxLayout;
    m_cmdConnect = button("cmdConnect", QStringLiteral("Connect"));
    m_cmdClose = button("cmdClose", QStringLiteral("Close"));
    m_chkHistory = check("chkHistory", QStringLiteral("History"), central);
    m_cmdRefresh = button("cmdRefresh", QStringLiteral("Refresh"));
    m_cmdLoad = button("cmdLoad", QStringLiteral("Load"));
    m_cmdSave = button("cmdSave", QStringLiteral("Save"));
    buttonRow->addWidget(m_cmdConnect);
    buttonRow->addWidget(m_cmdClose);
    buttonRow->addStretch(1);
    buttonRow->addWidget(m_chkHistory);
    buttonRow->addWidget(m_cmdRefresh);
    buttonRow->addSpacing(fontMetrics().averageCharWidth() * 3);
    buttonRow->addWidget(m_cmdLoad);
    buttonRow->addWidget(m_cmdSave);
    outer->addLayout(buttonRow);

    m_rtfComm = new QPlainTextEdit(central);
    m_rtfComm->setObjectName(QStringLiteral("rtfComm"));
    m_rtfComm->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_rtfComm->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_rtfComm->setFixedHeight(logViewLines * m_rtfComm->fontMetrics().lineSpacing() +
                              2 * m_rtfComm->frameWidth() + 8);
    outer->addWidget(m_rtfComm);
    m_logFileCaption = new QLabel(central);
    m_logFileCaption->setObjectName(QStringLiteral("logFileCaption"));
    m_logFileCaption->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_logFileCaption->setForegroundRole(QPalette::PlaceholderText);
    outer->addWidget(m_logFileCaption);
    // Takes what the height rule gives beyond the view, so the controls above stay in place.
    outer->addStretch(1);

    const int minWidth = fontMetrics().averageCharWidth() * 115;
    central->setMinimumWidth(minWidth);

    for (QLineEdit *field : {m_txtPort, m_txtSocket, m_txtTimeout}) {
        connect(field, &QLineEdit::textChanged, this, [this, field] { markNumberField(field); });
    }
}

void frmSocket::markNumberField(QLineEdit *field)
{
    // The configuration keeps whatever was typed; this only tells the operator before saving.
    const QString text = field->text().trimmed();
    bool ok = true;
    if (!text.isEmpty()) {
        if (field == m_txtTimeout)
            QLocale::c().toDouble(text, &ok);
        else
            text.toInt(&ok);
    }
    const bool mark = !ok;
    if (field->property("notANumber").toBool() == mark)
        return;
    field->setProperty("notANumber", mark);
    field->setToolTip(mark ? QStringLiteral("Not a number") : QString());
    repolish(field);
}

void frmSocket::connectControls()
{
    struct FieldBinding {
        QLineEdit *field;
        QString *member;
    };
    SettingsFields &edited = m_state.edited;
    const FieldBinding fields[] = {
        {m_txtServer, &edited.serverPath},  {m_txtNetId, &edited.plcNetId},
        {m_txtPort, &edited.plcPort},       {m_txtModulname, &edited.moduleName},
        {m_txtMasch, &edited.machineName},  {m_txtIP, &edited.remoteHost},
        {m_txtSocket, &edited.remotePort},  {m_txtTimeout, &edited.timeout},
        {m_txtSendData, &m_state.sendText},
    };
    for (const FieldBinding &b : fields) {
        // textEdited, not textChanged: only the operator's typing goes back into the state, so
        // showing the state never writes it again.
        connect(b.field, &QLineEdit::textEdited, this, [this, member = b.member](const QString &text) {
            *member = text;
            m_state.notify();
        });
    }

    struct CheckBinding {
        QCheckBox *box;
        CheckMark Settings::*member;
    };
    const CheckBinding checks[] = {
        {m_chkServer, &Settings::serverRole},
        {m_chkCon, &Settings::staticConnection},
        {m_chkReset, &Settings::dropRequestOnError},
        {m_chkUTF8, &Settings::sendUtf8},
    };
    for (const CheckBinding &b : checks) {
        connect(b.box, &QCheckBox::clicked, this, [this, member = b.member](bool checked) {
            m_state.settings.*member = checked;
            m_state.notify();
        });
    }
    connect(m_chkStatus, &LevelCheckBox::levelChanged, this, [this](int level) {
        m_state.settings.statusReport = level;
        m_state.settings.statusLevel = static_cast<qint16>(level);
        m_state.notify();
    });
    connect(m_chkXML, &LevelCheckBox::levelChanged, this, [this](int level) {
        m_state.settings.xmlExport = level;
        m_state.settings.xmlExportLevel = static_cast<qint16>(level);
        m_state.notify();
    });

    connect(m_chkHistory, &QCheckBox::clicked, this, [this](bool checked) {
        m_state.showHistory = checked;
        m_state.notify();
        historyChanged(true);
    });
    m_chkHistory->installEventFilter(this);

    connect(m_cmdRefresh, &QPushButton::clicked, this, &frmSocket::refreshLog);
    connect(m_cmdSend, &QPushButton::clicked, this, &frmSocket::sendData);
    GatewayCore *core = &m_core;
    connect(m_cmdConnect, &QPushButton::clicked, core, &GatewayCore::connectSocket);
    connect(m_cmdClose, &QPushButton::clicked, core, &GatewayCore::closeSocket);
    connect(m_cmdLoad, &QPushButton::clicked, core, &GatewayCore::loadConfiguration);
    connect(m_mnuLoad, &QAction::triggered, core, &GatewayCore::loadConfiguration);
    connect(m_cmdSave, &QPushButton::clicked, core, &GatewayCore::saveConfiguration);
    connect(m_mnuSave, &QAction::triggered, core, &GatewayCore::saveConfiguration);
    connect(m_mnuSaveAs, &QAction::triggered, core, &GatewayCore::saveAs);
    connect(m_mnuEditModus, &QAction::triggered, this, [this] { editControls(!m_state.editMode); });
    connect(m_mnuKELOProp, &QAction::triggered, core, &GatewayCore::showLinkProperties);
    connect(m_mnuReConnect, &QAction::triggered, core, &GatewayCore::reconnectPlc);
    connect(m_mnuExit, &QAction::triggered, core, &GatewayCore::unload);
}

void frmSocket::showState()
{
    setIfDifferent(m_txtServer, m_state.edited.serverPath);
    setIfDifferent(m_txtNetId, m_state.edited.plcNetId);
    setIfDifferent(m_txtPort, m_state.edited.plcPort);
    setIfDifferent(m_txtModulname, m_state.edited.moduleName);
    setIfDifferent(m_txtMasch, m_state.edited.machineName);
    setIfDifferent(m_txtIP, m_state.edited.remoteHost);
    setIfDifferent(m_txtSocket, m_state.edited.remotePort);
    setIfDifferent(m_txtTimeout, m_state.edited.timeout);
    setIfDifferent(m_txtSendData, m_state.sendText);

    m_chkServer->setChecked(m_state.settings.serverRole.on());
    m_chkCon->setChecked(m_state.settings.staticConnection.on());
    m_chkReset->setChecked(m_state.settings.dropRequestOnError.on());
    m_chkUTF8->setChecked(m_state.settings.sendUtf8.on());
    m_chkHistory->setChecked(m_state.showHistory);
    if (m_chkStatus->level() != m_state.settings.statusReport)
        m_chkStatus->setLevel(m_state.settings.statusReport);
    if (m_chkXML->level() != m_state.settings.xmlExport)
        m_chkXML->setLevel(m_state.settings.xmlExport);

    auto showLabel = [](QLabel *label, const QString &text) {
        // Status lines end their lines with CR LF; a label breaks at LF only.
        QString shown = text;
        shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        // Setting the same text again would drop the operator's selection at every tick.
        if (label->text() == shown)
            return;
        label->setText(shown);
        label->setToolTip(shown);
    };
    showLabel(m_lblState, m_state.lblState);
    showLabel(m_lblError, m_state.lblError);
    showLabel(m_lblLastComm, m_state.lblLastComm);

    m_cmdConnect->setVisible(m_state.connectButtonVisible);
    m_cmdClose->setVisible(m_state.closeButtonVisible);
    if (m_mnuEditModus->isChecked() != m_state.editMode)
        applyEditMode(m_state.editMode);
    if (!m_state.windowCaption.isEmpty())
        setWindowTitle(m_state.windowCaption);
}

void frmSocket::editControls(bool onOff)
{
    m_state.editControls(onOff);
    // The state may not have changed (and then signalled nothing); the controls follow anyway.
    applyEditMode(onOff);
}

void frmSocket::applyEditMode(bool onOff)
{
    for (QLineEdit *field : {m_txtServer, m_txtNetId, m_txtPort, m_txtModulname, m_txtMasch, m_txtIP,
                             m_txtSocket, m_txtTimeout}) {
        if (field->isReadOnly() != !onOff) {
            field->setReadOnly(!onOff);
            repolish(field);
        }
        setTabStop(field, onOff);
    }
    for (QCheckBox *box : {m_chkServer, m_chkCon, m_chkReset, m_chkUTF8, m_chkHistory})
        setTabStop(box, onOff);
    setTabStop(m_chkStatus, onOff);
    setTabStop(m_chkXML, onOff);
    for (QPushButton *b : {m_cmdConnect, m_cmdClose, m_cmdSend, m_cmdRefresh, m_cmdLoad, m_cmdSave})
        setTabStop(b, onOff);
    m_rtfComm->setReadOnly(!onOff);
    setTabStop(m_rtfComm, onOff);
    setTabStop(m_txtSendData, onOff);

    m_mnuEditModus->setChecked(onOff);
    // The send text stays editable outside edit mode.
    m_txtSendData->setReadOnly(false);
}

void frmSocket::load()
{
    m_core.load();
}

void frmSocket::unload()
{
    m_core.unload();
}

bool frmSocket::programEnded() const
{
    return m_core.programEnded();
}

void frmSocket::hideFromMinimized()
{
    hide();
    setWindowState(windowState() & ~Qt::WindowMinimized);
}

void frmSocket::showLoadedLog()
{
    m_rtfComm->setPlainText(logViewText(m_state.logFileName));
    showLogView(false);
}

void frmSocket::finishLoad(bool showMinimized)
{
    m_baseHeight = height() * twipsPerPixel;
    m_loaded = true;
    if (showMinimized)
        this->showMinimized();
    else
        hide();
}

void frmSocket::closeWindows()
{
    m_closed = true;
    hide();
    const auto windows = QApplication::topLevelWidgets();
    for (QWidget *w : windows) {
        if (w != this && w->isVisible())
            w->close();
    }
}

void frmSocket::closeEvent(QCloseEvent *event)
{
    m_core.unload();
    event->accept();
}

void frmSocket::refreshLog()
{
    showLogView(true);
    m_rtfComm->setPlainText(logViewText(m_state.logFileName));
    m_rtfComm->moveCursor(QTextCursor::End);
    // A multi-line error (a description after CR LF) is searched by its first line: the view
    // keeps lines apart.
    const QString wanted = m_state.lblError.section(QRegularExpression(QStringLiteral("[\r\n]")), 0, 0);
    if (!wanted.isEmpty())
        m_rtfComm->find(wanted, QTextDocument::FindBackward);
}

void frmSocket::sendData()
{
    m_core.sendData();
}

void frmSocket::showForManager()
{
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    setAttribute(Qt::WA_ShowWithoutActivating, true);
    show();
    setAttribute(Qt::WA_ShowWithoutActivating, false);
    reassert();
    m_txtServer->setFocus();
    setWindowState(Qt::WindowNoState);
}

void frmSocket::reassert()
{
    show();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
}

void frmSocket::historyChanged(bool fromClick)
{
    if (m_chkHistory->isChecked()) {
        showLogView(true);
        applyHeightRule();
        if (fromClick)
            refreshLog();
    } else {
        showLogView(false);
        applyHeightRule();
    }
}

void frmSocket::showLogView(bool visible)
{
    m_rtfComm->setVisible(visible);
    m_logFileCaption->setVisible(visible);
    m_logFileCaption->setText(QStringLiteral("Log file: ") + m_state.logFileName);
}

int frmSocket::ruledHeight() const
{
    if (m_rtfComm->isHidden())
        return qRound(m_baseHeight / double(twipsPerPixel));
    const qint64 twips = qint64(m_rtfComm->height()) * twipsPerPixel + m_baseHeight + historyExtraTwips;
    return qRound(static_cast<double>(twips) / twipsPerPixel);
}

void frmSocket::applyHeightRule()
{
    m_heightRuleQueued = false;
    if (!m_loaded || m_closed)
        return;
    // The layouts learn of a shown or hidden view only on their next request; without this
    // the old minimum height would clamp the resize.
    centralWidget()->layout()->activate();
    layout()->activate();
    const int target = ruledHeight();
    if (height() != target)
        resize(width(), target);
}

void frmSocket::scheduleHeightRule()
{
    // Resizing inside a paint event is not allowed: the rule runs right after it.
    if (m_heightRuleQueued)
        return;
    m_heightRuleQueued = true;
    QTimer::singleShot(0, this, &frmSocket::applyHeightRule);
}

void frmSocket::paintEvent(QPaintEvent *event)
{
    QMainWindow::paintEvent(event);
    if (m_loaded && !m_closed && height() != ruledHeight())
        scheduleHeightRule();
}

bool frmSocket::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_chkHistory && event->type() == QEvent::KeyRelease)
        historyChanged(false);
    return QMainWindow::eventFilter(watched, event);
}
