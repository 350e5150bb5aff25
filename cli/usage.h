// The usage texts of needlerec-cli: the whole program's and each command's.
#pragma once

#include <string>

// Every command's synopsis, the exit statuses, and how to ask for a command's details.
std::string ProgramUsage();
// A command's synopsis and options; empty for a command that has none here (levels keeps its
// own) or does not exist.
std::string CommandUsage(const std::string& command);
// The synopsis lines of CommandUsage and where the rest is, for a usage error.
std::string CommandSynopsis(const std::string& command);
