#include "messages/gui/frmMsgBox.h"

#include "common/Clock.h"
#include "common/DesktopServices.h"
#include "common/GatewayState.h"
#include "messages/MsgList.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

namespace
{

// The message text sits right of the status light; its offsets are kept on resizing.
constexpr int kTextLeft = 48;
constexpr int kTextTop = 8;
constexpr int kBottomHeight = 72;
constexpr int kReassertSeconds = 10;
constexpr qsizetype kMaxShownChars = 32767;

// Help files the Help button leaves alone.
bool isIgnoredHelpEnding(const QString &ending)
{
    static const QStringList endings = {
        QStringLiteral(".TXT"), QStringLiteral(".RTF"), QStringLiteral(".BMP"), QStringLiteral(".GIF"),
        QStringLiteral(".JPG"), QStringLiteral(".HTM"), QStringLiteral("HTML")};
    return endings.contains(ending);
}

} // namespace

frmMsgBox::frmMsgBox(MsgBoxState &shared, MsgList &messages, DesktopServices &desktop,
                     const GatewayState &state)
    : QWidget(nullptr), m_shared(shared), m_messages(messages), m_desktop(desktop), m_state(state)
{
    setObjectName(QStringLiteral("frmMsgBox"));
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle(QStringLiteral("Message"));
    setMinimumSize(320, 180);

    m_txtMsgText = new QPlainTextEdit(this);
    m_txtMsgText->setObjectName(QStringLiteral("txtMsgText"));
    m_txtMsgText->setReadOnly(true);
    m_txtMsgText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_txtMsgText->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);

    m_picBottom = new QWidget(this);
    m_picBottom->setObjectName(QStringLiteral("picBottom"));
    auto *grid = new QGridLayout(m_picBottom);
    grid->setContentsMargins(8, 4, 8, 6);

    m_lblMsgCount = new QLabel(m_picBottom);
    m_lblMsgCount->setObjectName(QStringLiteral("lblMsgCount"));
    m_txtMeldedatum = new QLineEdit(m_picBottom);
    m_txtMeldedatum->setObjectName(QStringLiteral("txtMeldedatum"));
    m_txtMeldezeitpunkt = new QLineEdit(m_picBottom);
    m_txtMeldezeitpunkt->setObjectName(QStringLiteral("txtMeldezeitpunkt"));
    for (QLineEdit *edit : {m_txtMeldedatum, m_txtMeldezeitpunkt}) {
        edit->setReadOnly(true);
        edit->setMaximumWidth(90);
    }
    m_cmdOK = new QPushButton(QStringLiteral("&OK"), m_picBottom);
    m_cmdOK->setObjectName(QStringLiteral("cmdOK"));
    m_cmdCancel = new QPushButton(QStringLiteral("&Cancel"), m_picBottom);
    m_cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    m_cmdHelp = new QPushButton(QStringLiteral("&Help"), m_picBottom);
    m_cmdHelp->setObjectName(QStringLiteral("cmdHelp"));

    grid->addWidget(m_lblMsgCount, 0, 0, 1, 6);
    grid->addWidget(m_txtMeldedatum, 1, 0);
    grid->addWidget(m_txtMeldezeitpunkt, 1, 1);
    grid->setColumnStretch(2, 1);
    grid->addWidget(m_cmdOK, 1, 3);
    grid->addWidget(m_cmdCancel, 1, 4);
    grid->addWidget(m_cmdHelp, 1, 5);

    connect(m_cmdOK, &QPushButton::clicked, this, &frmMsgBox::onOk);
    connect(m_cmdCancel, &QPushButton::clicked, this, &frmMsgBox::onCancel);
    connect(m_cmdHelp, &QPushButton::clicked, this, &frmMsgBox::onHelp);

    m_menu = new QMenu(this);
    QAction *del = m_menu->addAction(QStringLiteral("&Delete"));
    del->setObjectName(QStringLiteral("mnuDelete"));
    connect(del, &QAction::triggered, this, &frmMsgBox::onDelete);

    m_tmrMsgBox = new QTimer(this);
    m_tmrMsgBox->setObjectName(QStringLiteral("tmrMsgBox"));
    m_tmrMsgBox->setInterval(1000);
    connect(m_tmrMsgBox, &QTimer::timeout, this, &frmMsgBox::blinkTick);
    m_tmrMsgBox->start();

    setLight(StatusLight::Green);
    m_messages.msgPause = false;
    resize(480, 240);
}

QString frmMsgBox::banner(qsizetype count)
{
    return QStringLiteral("*********     !!    ") + QString::number(count) +
           QStringLiteral(" Messages     !!     *********");
}

QColor frmMsgBox::colourOf(quint32 v)
{
    return QColor(int(v & 0xff), int((v >> 8) & 0xff), int((v >> 16) & 0xff));
}

void frmMsgBox::setLight(StatusLight light)
{
    m_light = light;
    setWindowIcon(QIcon(statusLightImage(light)));
    update();
}

void frmMsgBox::showRecord(const clsLogDaten &record)
{
    m_shared.helpFile = record.helpFile;
    m_txtMeldedatum->setText(record.datum);
    m_txtMeldezeitpunkt->setText(record.uhrzeit);
    // The text box shows the first 32 K characters; laying out a megabyte of text would hold the
    // whole gateway for minutes. The message itself stays complete in the list and the logs.
    m_txtMsgText->setPlainText(record.meldetext.left(kMaxShownChars));
    setWindowTitle(record.bereich);
    m_cmdHelp->setVisible(!record.helpFile.isEmpty());
    formRefresh();
}

void frmMsgBox::formRefresh()
{
    m_shared.displayStart = monotonicMs();
    show();
    setLight(StatusLight::Green);
    if (m_messages.count() > 1)
        m_lblMsgCount->setText(banner(m_messages.count()));
    raise();
}

void frmMsgBox::reassert()
{
    show();
    raise();
    activateWindow();
}

void frmMsgBox::blinkTick()
{
    setLight(StatusLight::None);
    StatusLight light;
    switch (m_shared.blinkIndex) {
    case 0:
        light = StatusLight::Green;
        m_shared.alertColour = 255;
        m_shared.blinkIndex = 1;
        break;
    case 1:
        light = StatusLight::Yellow;
        m_shared.alertColour = 65535;
        m_shared.blinkIndex = 2;
        break;
    default:
        light = StatusLight::Red;
        m_shared.alertColour = 65280;
        m_shared.blinkIndex = 0;
        break;
    }
    setLight(light);

    if (m_shared.alert) {
        QPalette pal = m_cmdOK->palette();
        pal.setColor(QPalette::Button, colourOf(m_shared.alertColour));
        m_cmdOK->setPalette(pal);
        m_cmdOK->setAutoFillBackground(true);
    }

    const qint64 now = monotonicMs();
    if (now - m_shared.displayStart > kReassertSeconds * 1000LL) {
        reassert();
        m_shared.displayStart = now;
        m_shared.alert = true;
    }

    if (m_messages.count() > 1)
        m_lblMsgCount->setText(m_shared.blinkIndex == 1 ? QString() : banner(m_messages.count()));

    if (m_messages.count() > MsgList::kCapacity) {
        m_messages.trimTo(MsgList::kCapacity);
        close();
    }
}

void frmMsgBox::onOk()
{
    m_messages.removeFirst();
    close();
}

void frmMsgBox::onCancel()
{
    m_messages.msgPause = true;
    close();
}

void frmMsgBox::onDelete()
{
    m_messages.clear();
    close();
}

void frmMsgBox::helpMessage(const QString &text)
{
    m_desktop.message(text, m_state.applicationTitle);
}

void frmMsgBox::onHelp()
{
    if (m_shared.helpFile.isEmpty()) {
        helpMessage(QStringLiteral("No help available !"));
        return;
    }
    const QString file = m_shared.helpFile.section(QLatin1Char('#'), 0, 0);
    const QString ending = file.right(4).toUpper();
    raise();
    if (ending == QLatin1String(".HLP")) {
        m_desktop.openDocument(file);
        return;
    }
    if (isIgnoredHelpEnding(ending))
        return;
    switch (m_desktop.openDocument(file)) {
    case DesktopServices::OpenResult::Opened:
        break;
    case DesktopServices::OpenResult::FileNotFound:
        helpMessage(QStringLiteral("File not found <") + file + QLatin1Char('>'));
        break;
    case DesktopServices::OpenResult::NoAssociation:
        helpMessage(QStringLiteral("No association for file extension"));
        break;
    }
}

void frmMsgBox::keyPressEvent(QKeyEvent *event)
{
    // Escape closes the window; the message returns at the next poll. Emptying the whole list is
    // left to the context menu's Delete entry alone: a Delete key press (also one that the
    // read-only text box passes on) must not drop every queued message unasked.
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void frmMsgBox::placeTextBox()
{
    // The bottom panel takes its height off the area in which the text box keeps its offsets.
    const int innerHeight = height() - kBottomHeight;
    m_picBottom->setGeometry(0, innerHeight, width(), kBottomHeight);
    m_txtMsgText->setGeometry(kTextLeft, kTextTop, qMax(0, width() - 2 * kTextLeft),
                              qMax(0, innerHeight - 2 * kTextTop));
}

void frmMsgBox::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeTextBox();
}

void frmMsgBox::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.drawPixmap(8, kTextTop, statusLightImage(m_light));
}

void frmMsgBox::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        m_cmdHelp->setVisible(!m_shared.helpFile.isEmpty());
        m_messages.msgPause = false;
    }
}

void frmMsgBox::contextMenuEvent(QContextMenuEvent *event)
{
    // popup, not exec: the menu must not run an event loop of its own.
    m_menu->popup(event->globalPos());
}
