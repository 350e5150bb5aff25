// The command dispatch of needlerec-cli, apart from main() so that tests can run it.
#pragma once

#include <exception>
#include <ostream>
#include <string>
#include <vector>

// `args` are the words after the program name. Returns the exit status: 0 on success, 1 when
// the command failed, 2 for a usage error.
int CliMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// The line that reports an error: for a file error, "needlerec-cli: FILE: the reason", with
// FILE as the user wrote it when `file` names the same file; otherwise the error's own text,
// its lines broken by line feeds alone.
std::string ErrorLine(const std::exception& error, const std::string& file = "");
