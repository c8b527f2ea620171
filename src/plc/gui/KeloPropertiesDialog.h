#pragma once

#include <QDialog>
#include <QPointer>

class KeloOcx;
class QLabel;
class QLineEdit;

// The PLC link's own settings: the runtime's address and port, and the state of the connection.
// Opened without blocking (show()); Apply/OK hand the edited target to the link, which then
// connects to it by itself.
class KeloPropertiesDialog : public QDialog
{
    Q_OBJECT
public:
    explicit KeloPropertiesDialog(KeloOcx *link, QWidget *parent = nullptr);

    // Reloads the fields from the link (when the dialog is shown again).
    void refresh();
    // False (and a hint in the dialog) when the fields do not name a usable target.
    bool apply();

    QLineEdit *hostEdit() const { return m_host; }
    QLineEdit *portEdit() const { return m_port; }
    QLabel *stateLabel() const { return m_state; }

private:
    void showState();

    QPointer<KeloOcx> m_link;
    QLineEdit *m_host;
    QLineEdit *m_port;
    QLabel *m_state;
    QLabel *m_hint;
};
