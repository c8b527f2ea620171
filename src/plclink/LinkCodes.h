#pragma once

#include <QtGlobal>

// The results that both PLC links give for the same reasons. Every operation of a link returns
// a 32-bit code, 0 = success; each link adds codes of its own beside these.
namespace plclink
{

enum Code : qint32 {
    Ok = 0,
    NotConnected = 1801,
    Timeout = 1802,
    ProtocolError = 1803,
    VersionMismatch = 1804,
    InvalidTarget = 1805,
    UnknownSymbol = 1810,
    InvalidHandle = 1811,
    WrongType = 1812,
    ValueTooLong = 1813,
    InvalidSize = 1814,
    // An operation of an exchange left out because its condition did not hold (LinkOp::onlyIfFalse).
    NotRun = 1818,
    NoPropertiesHandler = 1820,
};

} // namespace plclink
