#pragma once

#include "common/ConfigProblem.h"
#include "common/SafetyOptions.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// The options of one instance beyond its configuration file: an INI file beside it with the same
// base name (Line1.zelb -> Line1.ini), so that it travels with the instance while the 15-record
// file stays as plants have always written it.
//
//   [safety]
//   reportPeerFailures = false     ; write failures of the peer side into ".anfordErr"
//   answerTimeoutSec   = 0         ; 0 = off
//   answerFraming      = chunk     ; chunk | line | terminator | length
//   answerTerminator   =           ; bytes with C escapes: \r\n, \x03
//   answerMaxBytes     = 65536
//   dropLateAnswers    = false
//   requirePrintData   = false
//   allowedPeers       =           ; addresses or networks (10.1.2.0/24, fd00::/8); empty = every peer
//   maxQueuedItems     = 0         ; 0 = no bound
//   [journal]
//   enabled            = false
//   replayMaxAgeSec    = 0
//   [status]
//   port               =           ; the local status endpoint; empty = off
//   address            = 127.0.0.1
//
// Every option's default leaves the gateway as a PLC program has always known it. Group and key
// names compare without regard to letter case. "; " or "# " start a comment (at the line start,
// or after a blank); a value in double quotes keeps its blanks and semicolons.

struct JournalOptions {
    bool enabled = false;
    int replayMaxAgeSec = 0; // 0: items left by an earlier run are reported, never sent again
    bool operator==(const JournalOptions &) const = default;
};

struct StatusOptions {
    quint16 port = 0; // 0: no status endpoint
    QHostAddress address{QHostAddress::LocalHost};

    bool enabled() const { return port != 0; }
    bool operator==(const StatusOptions &) const = default;
};

struct InstanceOptions {
    SafetyOptions safety;
    JournalOptions journal;
    StatusOptions status;

    // The options file these came from (set whether or not it exists).
    QString file;
    // Every unknown group or key and every bad value, each with its line; such an option keeps
    // its default.
    ConfigProblems problems;

    // The options file of a configuration file: same folder and base name, suffix ".ini".
    static QString fileFor(const QString &configFile);
    // Reads the options file of configFile. A missing file gives the defaults and no problem;
    // one that cannot be read gives the defaults and says why.
    static InstanceOptions load(const QString &configFile);
    // The same for content already read; file is the name the problems carry.
    static InstanceOptions parse(const QByteArray &content, const QString &file);

    // The text of an options file as the reader takes it: UTF-8, or the plants' code page where
    // it is not UTF-8 (isUtf8 says which). And the value of a "key = value" line from the part
    // after its "=": a quoted text, else up to a comment.
    static QString decode(const QByteArray &content, bool *isUtf8 = nullptr);
    static QString valueOf(const QString &afterEquals);
};
