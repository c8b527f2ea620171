#pragma once

#include <QDialog>
#include <QPointer>

class ModbusLink;
class QLabel;
class QLineEdit;

// The Modbus link's settings: which link this is, the PLC's address and port (editable), the
// variable map in use and the state of the connection. Opened without blocking (show()).
class ModbusPropertiesDialog : public QDialog
{
    Q_OBJECT
public:
    explicit ModbusPropertiesDialog(ModbusLink *link, QWidget *parent = nullptr);

    // Reloads the fields from the link (when the dialog is shown again).
    void refresh();
    // False (and a hint in the dialog) when the fields do not name a usable target.
    bool apply();

    QLabel *linkLabel() const { return m_kind; }
    QLineEdit *hostEdit() const { return m_host; }
    QLineEdit *portEdit() const { return m_port; }
    QLabel *mapLabel() const { return m_map; }
    QLabel *stateLabel() const { return m_state; }

private:
    void showState();

    QPointer<ModbusLink> m_link;
    QLabel *m_kind;
    QLineEdit *m_host;
    QLineEdit *m_port;
    QLabel *m_map;
    QLabel *m_state;
    QLabel *m_hint;
};
