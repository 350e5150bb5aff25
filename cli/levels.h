// needlerec-cli levels: the levels of a WAVE file per channel (sample peak, RMS, the highest
// reading of the needle meter's law, clipped samples) and its loudness, as text or JSON.
#pragma once

#include <ostream>
#include <string>
#include <vector>

// `args` are the words after "levels": FILE, --json and --ref-level DB. Returns the exit status.
int LevelsCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
