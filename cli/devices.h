// needlerec-cli devices: the input and output devices by number and product name.
#pragma once

#include <ostream>
#include <string>
#include <vector>

int DevicesCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
