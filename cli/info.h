// needlerec-cli info: what the parse of a WAVE file leaves in its record, as text or JSON.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// `args` are the words after "info": FILE and optionally --json. Returns the exit status.
int InfoCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// A JSON string literal for `text`. Valid UTF-8 passes through; a text that is not valid UTF-8
// is taken byte by byte as Latin-1, so the output is always valid JSON.
std::string JsonString(const std::string& text);
