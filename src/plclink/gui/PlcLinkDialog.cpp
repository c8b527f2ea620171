#include "plclink/gui/PlcLinkDialog.h"

#include "plclink/ModbusLink.h"
#include "plclink/RuntimeLink.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHostAddress>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

PlcLinkDialog::PlcLinkDialog(TargetedLink *link, QWidget *parent)
    : QDialog(parent), m_link(link), m_kind(new QLabel(this)), m_host(new QLineEdit(this)),
      m_port(new QLineEdit(this)), m_state(new QLabel(this)), m_hint(new QLabel(this))
{
    const auto *modbus = qobject_cast<ModbusLink *>(link);
    setWindowTitle(tr("PLC link"));
    m_kind->setText(modbus ? tr("Modbus/TCP") : tr("PLC runtime link"));
    m_host->setPlaceholderText(QStringLiteral("127.0.0.1"));
    m_port->setPlaceholderText(QString::number(link ? link->defaultPort() : 0));
    m_port->setValidator(new QIntValidator(1, 65535, m_port));
    m_hint->setStyleSheet(QStringLiteral("color: #b00000"));
    m_hint->hide();

    // The runtime link names the map file that would switch this instance to the Modbus link (set
    // by the link factory); the Modbus link tells about the map it uses.
    const QString mapFile = link ? link->property("plcMapFile").toString() : QString();
    if (modbus || !mapFile.isEmpty()) {
        m_map = new QLabel(this);
        m_map->setWordWrap(true);
        m_map->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }

    auto *form = new QFormLayout;
    form->addRow(tr("Link:"), m_kind);
    if (m_map)
        form->addRow(tr("Variable map:"), m_map);
    form->addRow(modbus ? tr("PLC address:") : tr("Runtime address:"), m_host);
    form->addRow(tr("Port:"), m_port);
    form->addRow(tr("Connection:"), m_state);

    auto *buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Apply | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (apply())
            accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, &PlcLinkDialog::apply);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_hint);
    layout->addWidget(buttons);
    setMinimumWidth(420);

    if (m_link) {
        connect(m_link, &TargetedLink::linkStateChanged, this, &PlcLinkDialog::showState);
        connect(m_link, &PlcLink::stateChanged, this, &PlcLinkDialog::showState);
    }
    refresh();
}

void PlcLinkDialog::refresh()
{
    if (!m_link)
        return;
    m_host->setText(m_link->netId());
    m_port->setText(m_link->port());
    m_hint->hide();
    showMap();
    showState();
}

bool PlcLinkDialog::apply()
{
    if (!m_link)
        return false;
    QHostAddress address;
    quint16 port = 0;
    if (!TargetedLink::parseTarget(m_host->text(), m_port->text(), m_link->defaultPort(), address, port)) {
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

void PlcLinkDialog::showMap()
{
    if (!m_map)
        return;
    const auto *modbus = qobject_cast<const ModbusLink *>(m_link.data());
    if (!modbus) {
        m_map->setText(tr("none (%1 not found)").arg(m_link->property("plcMapFile").toString()));
    } else if (!modbus->mapProblem().isEmpty()) {
        m_map->setText(modbus->mapProblem());
        m_map->setStyleSheet(QStringLiteral("color: #b00000"));
    } else {
        const modbusmap::VariableMap &map = modbus->map();
        m_map->setText(tr("%1\n%2 variables, read every %3 ms while registered")
                           .arg(map.file())
                           .arg(map.variables().size())
                           .arg(modbus->pollInterval()));
        m_map->setStyleSheet(QString());
    }
}

void PlcLinkDialog::showState()
{
    if (!m_link)
        return;
    QString text = TargetedLink::linkStateText(m_link->linkState());
    if (const auto *runtime = qobject_cast<const RuntimeLink *>(m_link.data())) {
        // The runtime tells whether its program runs.
        if (m_link->linkState() == TargetedLink::LinkState::Connected)
            text += runtime->runtimeState() == plcproto::StateRun ? tr(", PLC program running")
                                                                  : tr(", PLC program stopped");
    } else {
        QHostAddress address;
        quint16 port = 0;
        if (m_link->target(address, port))
            text += tr(" (%1)").arg(TargetedLink::endpointText(address, port));
    }
    m_state->setText(text);
}
