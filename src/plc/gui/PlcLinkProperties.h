#pragma once

class KeloLink;

// Gives the link its settings dialog (the dialog that fits the kind of link), opened by the
// link's showProperties: one dialog at a time, shown again when it is already open.
void installPlcLinkProperties(KeloLink &link);
