// The command dispatch of needlerec-cli, apart from main() so that tests can run it.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// `args` are the words after the program name. Returns the exit status: 0 on success, 1 when
// the command failed, 2 for a usage error.
int CliMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
