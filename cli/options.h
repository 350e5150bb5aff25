// Reading the words of a command the way GNU programs do (long options as `--opt value` or
// `--opt=value`, short ones that combine, `--` before operands that begin with a dash), and
// the durations that the time options take.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

// The forms of a duration, for messages and usage texts.
inline constexpr const char* kDurationForms = "90, 90.5, 1:30, 1:02:03.5, 90s, 5m or 2h";

// Seconds from a duration: a decimal number of seconds (90, 90.5), minutes and seconds or hours,
// minutes and seconds with colons (1:30, 1:02:03.5; the fields after the first below 60), or a
// decimal number with the unit s, m or h (90s, 1.5m, 2h). None for anything else.
std::optional<double> ParseDuration(const std::string& text);

// A command's parser with the common rules: no help option of its own (the dispatch answers
// --help), and an option given twice takes the last value.
void PrepareParser(CLI::App& app);
// Parses `args` into what `app` declares. Returns the problem to report after
// "needlerec-cli COMMAND: ", or none.
std::optional<std::string> ParseWords(CLI::App& app, const std::vector<std::string>& args);
