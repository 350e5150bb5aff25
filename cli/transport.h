// needlerec-cli play, record and monitor: the play and record chains that the window uses too,
// run from a terminal until the end of the data, the time limit or Ctrl-C, recording and
// monitoring with live meters.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// The exit codes of needlerec-cli.
constexpr int kExitOk = 0;          // everything was played or recorded
constexpr int kExitError = 1;       // the command failed
constexpr int kExitUsage = 2;       // the words of the command were wrong
constexpr int kExitIncomplete = 3;  // a recording was saved, but incomplete (audio lost,
                                    // disk full, size limit, a device that stopped delivering),
                                    // or a file was played with gaps (device underruns)

int PlayCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RecordCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// The input through the record chain to the live meters, with no file, until --seconds, the
// end of the device or Ctrl-C.
int MonitorCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
