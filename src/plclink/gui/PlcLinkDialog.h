#pragma once

#include <QDialog>
#include <QPointer>

class TargetedLink;
class QLabel;
class QLineEdit;

// A PLC link's own settings: which link this is, its variable map, the address and port of its
// target (editable) and the state of the connection. What differs between the links (the name of
// the address, the map, what the state adds) is the dialog's protocol part. Opened without
// blocking (show()); Apply/OK hand the edited target to the link, which then connects to it by
// itself.
class PlcLinkDialog : public QDialog
{
    Q_OBJECT
public:
    explicit PlcLinkDialog(TargetedLink *link, QWidget *parent = nullptr);

    // Reloads the fields from the link (when the dialog is shown again).
    void refresh();
    // False (and a hint in the dialog) when the fields do not name a usable target.
    bool apply();

    QLabel *linkLabel() const { return m_kind; }
    QLineEdit *hostEdit() const { return m_host; }
    QLineEdit *portEdit() const { return m_port; }
    // Null for the runtime link while no map file is named.
    QLabel *mapLabel() const { return m_map; }
    QLabel *stateLabel() const { return m_state; }

private:
    void showMap();
    void showState();

    QPointer<TargetedLink> m_link;
    QLabel *m_kind;
    QLineEdit *m_host;
    QLineEdit *m_port;
    QLabel *m_map = nullptr;
    QLabel *m_state;
    QLabel *m_hint;
};
