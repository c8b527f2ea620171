#pragma once

#include <QStringList>

#include <cstdio>

// "kavetta --settings": reads and changes one instance's settings - the records of its
// configuration file and the options of its options file - without an editor, with the reader
// and writer the gateway itself uses.
//
//   --settings get [--json] CONFIG
//   --settings set [--json] [--dry-run] CONFIG NAME=VALUE...
//   --settings apply [--json] [--dry-run] CONFIG DESCRIPTION.json|-
//
// "--dry-run" (set and apply) checks and reports what would change and writes nothing; "-"
// reads the description from standard input.
// NAME is a record of the configuration file (RemotePort) or an option as group.key
// (safety.reportPeerFailures), in any letter case. A description is a JSON object
// {"configuration": {record: value}, "options": {"group.key": value}}; the options may also be
// grouped ({"safety": {"reportPeerFailures": true}}). Records a description leaves out keep
// their values; options it leaves out go back to their defaults, so that the options file
// matches it. "get --json" prints a description that "apply" takes unchanged.
//
// Every change is checked as "--check" checks the files, and one that makes a problem the files
// did not have is refused, with the setting and the reason, before anything is written. The
// configuration file is written by the gateway's own writer; the options file keeps its
// comments and layout. Each file is written aside and renamed over the old one, under a lock on
// the folder, so that two changes at once each take effect whole, one after the other.
//
// Exit codes: 0 done (the output says "changed" or "unchanged"; with --json the object's
// "changed"), 1 a value was refused (nothing written), 2 unusable arguments, 3 a file could not
// be read or written (nothing written).
int runSettingsCommand(const QStringList &arguments, FILE *out = stdout, FILE *err = stderr);
