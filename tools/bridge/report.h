#pragma once
// A report a player sends when the display goes wrong: one archive (the build's format, see
// archive.h) that holds what whoever mends the bridge needs to see the fault again:
//   README.txt       what the file is, in words
//   report.json      the bridge's version, the system, the state line and the time
//   messages.trace   the messages kept in memory, as a trace that --replay plays
//   state.log        the state log (state.log.1: the one before it, when there is one)
// No key: the trace has them redacted, and the stored key is taken out of every file once
// more in case a line carries it anyway. Nothing else of the user's goes in.

#include "archive.h"
#include "bridge/bridge_log.h"

#include <string>
#include <vector>

// What a report is made of, beside the log.
struct ReportFacts {
    std::string version;    // the bridge's
    std::string system;     // the operating system and its version
    std::string stateLine;  // what the bridge says of itself now
    std::string keyFile;    // the key stored there is kept out of the report
};

// The format this build writes.
archive::Format reportFormat();

// Where a report goes: the file `requested`; a file with a dated name in `requested` when
// that is a folder or empty, then in the user's Documents folder, or beside the key file when
// the system names none.
std::string reportPath(const std::string& requested, const bridge::BridgeLog& log,
                       const std::string& keyFile);

// The files of a report, under one folder named `folder`.
std::vector<archive::Entry> reportEntries(const bridge::BridgeLog& log, const ReportFacts& facts,
                                          const std::string& folder);

struct SavedReport {
    bool ok = false;
    std::string path;
    std::string line;  // where it went, or why it could not be written, for the user
};

// Writes a report to `path`, made from the log and the facts of now.
SavedReport saveReport(const bridge::BridgeLog& log, const ReportFacts& facts, const std::string& path);
