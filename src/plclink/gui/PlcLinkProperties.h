#pragma once

class PlcLink;

// Gives the link its settings dialog (with the part that fits the kind of link), opened by the
// link's showProperties: one dialog at a time, shown again when it is already open.
void installPlcLinkProperties(PlcLink &link);
