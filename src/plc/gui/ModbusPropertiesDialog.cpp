#include "plc/gui/ModbusPropertiesDialog.h"

#include "plc/ModbusLink.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHostAddress>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

ModbusPropertiesDialog::ModbusPropertiesDialog(ModbusLink *link, QWidget *parent)
    : QDialog(parent), m_link(link), m_kind(new QLabel(tr("Modbus/TCP"), this)), m_host(new QLineEdit(this)),
      m_port(new QLineEdit(this)), m_map(new QLabel(this)), m_state(new QLabel(this)),
      m_hint(new QLabel(this))
{
    setWindowTitle(tr("PLC link"));
    m_host->setPlaceholderText(QStringLiteral("127.0.0.1"));
    m_port->setPlaceholderText(QString::number(ModbusLink::DefaultPort));
    m_port->setValidator(new QIntValidator(1, 65535, m_port));
    m_map->setWordWrap(true);
    m_map->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_hint->setStyleSheet(QStringLiteral("color: #b00000"));
    m_hint->hide();

    auto *form = new QFormLayout;
    form->addRow(tr("Link:"), m_kind);
    form->addRow(tr("PLC address:"), m_host);
    form->addRow(tr("Port:"), m_port);
    form->addRow(tr("Variable map:"), m_map);
    form->addRow(tr("Connection:"), m_state);

    auto *buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Apply | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (apply())
            accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this,
            &ModbusPropertiesDialog::apply);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_hint);
    layout->addWidget(buttons);
    setMinimumWidth(420);

    if (m_link) {
        connect(m_link, &ModbusLink::linkStateChanged, this, &ModbusPropertiesDialog::showState);
        connect(m_link, &KeloLink::stateChanged, this, &ModbusPropertiesDialog::showState);
    }
    refresh();
}

void ModbusPropertiesDialog::refresh()
{
    if (!m_link)
        return;
    m_host->setText(m_link->netId());
    m_port->setText(m_link->port());
    m_hint->hide();
    const modbusmap::VariableMap &map = m_link->map();
    if (!m_link->mapProblem().isEmpty()) {
        m_map->setText(m_link->mapProblem());
        m_map->setStyleSheet(QStringLiteral("color: #b00000"));
    } else {
        m_map->setText(tr("%1\n%2 variables, read every %3 ms while registered")
                           .arg(map.file())
                           .arg(map.variables().size())
                           .arg(m_link->pollInterval()));
        m_map->setStyleSheet(QString());
    }
    showState();
}

bool ModbusPropertiesDialog::apply()
{
    if (!m_link)
        return false;
    QHostAddress address;
    quint16 port = 0;
    if (!TargetedLink::parseTarget(m_host->text(), m_port->text(), ModbusLink::DefaultPort, address, port)) {
        m_hint->setText(tr("Enter an IP address (or nothing for this workstation) and a port 1..65535."));
        m_hint->show();
        return false;
    }
    m_hint->hide();
    m_link->setNetId(m_host->text().trimmed());
    m_link->setNetId2(m_host->text().trimmed());
    m_link->setPort(m_port->text().trimmed());
    showState();
    return true;
}

void ModbusPropertiesDialog::showState()
{
    if (!m_link)
        return;
    QHostAddress address;
    quint16 port = 0;
    QString text = TargetedLink::linkStateText(m_link->linkState());
    if (m_link->target(address, port))
        text += tr(" (%1)").arg(TargetedLink::endpointText(address, port));
    m_state->setText(text);
}
