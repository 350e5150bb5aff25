// needlerec-cli play and record: the engine's play and record chains, with the main window's
// block sizes, run from a terminal until the end of the data, the time limit or Ctrl-C.
#pragma once

#include <ostream>
#include <string>
#include <vector>

int PlayCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
int RecordCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
