#include "plc/gui/KeloPropertiesDialog.h"

#include "plc/KeloOcx.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHostAddress>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

KeloPropertiesDialog::KeloPropertiesDialog(KeloOcx *link, QWidget *parent)
    : QDialog(parent), m_link(link), m_host(new QLineEdit(this)), m_port(new QLineEdit(this)),
      m_state(new QLabel(this)), m_hint(new QLabel(this))
{
    setWindowTitle(tr("PLC link"));
    m_host->setPlaceholderText(QStringLiteral("127.0.0.1"));
    m_port->setPlaceholderText(QString::number(plcproto::DefaultPort));
    m_port->setValidator(new QIntValidator(1, 65535, m_port));
    m_hint->setStyleSheet(QStringLiteral("color: #b00000"));
    m_hint->hide();

    auto *form = new QFormLayout;
    form->addRow(tr("Link:"), new QLabel(tr("PLC runtime link"), this));
    // Which file would switch this instance to the Modbus link (set by the link factory).
    const QString mapFile = link ? link->property("plcMapFile").toString() : QString();
    if (!mapFile.isEmpty()) {
        auto *map = new QLabel(tr("none (%1 not found)").arg(mapFile), this);
        map->setWordWrap(true);
        map->setTextInteractionFlags(Qt::TextSelectableByMouse);
        form->addRow(tr("Variable map:"), map);
    }
    form->addRow(tr("Runtime address:"), m_host);
    form->addRow(tr("Port:"), m_port);
    form->addRow(tr("Connection:"), m_state);

    auto *buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Apply | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (apply())
            accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this,
            &KeloPropertiesDialog::apply);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_hint);
    layout->addWidget(buttons);

    if (m_link) {
        connect(m_link, &KeloOcx::linkStateChanged, this, &KeloPropertiesDialog::showState);
        connect(m_link, &KeloLink::stateChanged, this, &KeloPropertiesDialog::showState);
    }
    refresh();
}

void KeloPropertiesDialog::refresh()
{
    if (!m_link)
        return;
    m_host->setText(m_link->netId());
    m_port->setText(m_link->port());
    m_hint->hide();
    showState();
}

bool KeloPropertiesDialog::apply()
{
    if (!m_link)
        return false;
    QHostAddress address;
    quint16 port = 0;
    if (!TargetedLink::parseTarget(m_host->text(), m_port->text(), plcproto::DefaultPort, address, port)) {
        m_hint->setText(tr("Enter an IP address (or nothing for this workstation) and a port 1..65535."));
        m_hint->show();
        return false;
    }
    m_hint->hide();
    m_link->setNetId(m_host->text().trimmed());
    m_link->setNetId2(m_host->text().trimmed());
    m_link->setPort(m_port->text().trimmed());
    return true;
}

void KeloPropertiesDialog::showState()
{
    if (!m_link)
        return;
    QString text = TargetedLink::linkStateText(m_link->linkState());
    if (m_link->linkState() == TargetedLink::LinkState::Connected)
        text += m_link->runtimeState() == plcproto::StateRun ? tr(", PLC program running")
                                                             : tr(", PLC program stopped");
    m_state->setText(text);
}
