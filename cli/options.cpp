#include "cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>

namespace {

// Digits with an optional fraction ("90", "90.5"); no sign, exponent or other spelling.
std::optional<double> ParsePlainDecimal(std::string_view text) {
  const size_t point = text.find('.');
  const std::string_view whole = text.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  const auto digits = [](std::string_view s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (!digits(whole) || (point != std::string_view::npos && !digits(fraction))) return std::nullopt;
  double value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<double> ParseDuration(const std::string& text) {
  if (text.empty()) return std::nullopt;
  const char last = text.back();
  if (last == 's' || last == 'm' || last == 'h') {
    const auto value = ParsePlainDecimal(std::string_view(text).substr(0, text.size() - 1));
    if (!value) return std::nullopt;
    return *value * (last == 's' ? 1 : last == 'm' ? 60 : 3600);
  }
  // [[H:]M:]S: whole numbers before the last field, which may have a fraction; a field after a
  // colon counts fewer than 60.
  std::vector<std::string_view> fields;
  std::string_view rest = text;
  for (size_t colon; (colon = rest.find(':')) != std::string_view::npos;) {
    fields.push_back(rest.substr(0, colon));
    rest = rest.substr(colon + 1);
  }
  fields.push_back(rest);
  if (fields.size() > 3) return std::nullopt;
  double seconds = 0;
  for (size_t i = 0; i < fields.size(); ++i) {
    const bool lastField = i + 1 == fields.size();
    if (!lastField && fields[i].find('.') != std::string_view::npos) return std::nullopt;
    const auto value = ParsePlainDecimal(fields[i]);
    if (!value || (i > 0 && *value >= 60)) return std::nullopt;
    seconds = seconds * 60 + *value;
  }
  return seconds;
}

void PrepareParser(CLI::App& app) {
  app.set_help_flag();
  // Words it does not know are left over and named in the message, as ours.
  app.allow_extras();
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

std::optional<std::string> ParseWords(CLI::App& app, const std::vector<std::string>& args) {
  // CLI11 takes the words last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ArgumentMismatch& e) {
    // "--seconds: 1 required TEXT missing": an option that takes a value came without one.
    const std::string what = e.what();
    const size_t colon = what.find(':');
    if (colon != std::string::npos && what.compare(0, 1, "-") == 0)
      return what.substr(0, colon) + " needs a value";
    return what;
  } catch (const CLI::ConversionError&) {
    // A value given to a flag (--quiet=1).
    const auto flag = std::find_if(args.begin(), args.end(), [&](const std::string& a) {
      const size_t eq = a.find('=');
      return a.rfind("--", 0) == 0 && eq != std::string::npos &&
             app.get_option_no_throw(a.substr(0, eq)) &&
             app.get_option_no_throw(a.substr(0, eq))->get_expected_min() == 0;
    });
    if (flag != args.end()) return flag->substr(0, flag->find('=')) + " takes no value";
    return std::string("a flag was given a value");
  } catch (const CLI::ParseError& e) {
    return std::string(e.what());
  }
  std::vector<std::string> extras = app.remaining();
  // The `--` that ended the options is left over too; it is no operand.
  if (std::find(args.begin(), args.end(), "--") != args.end()) {
    const auto mark = std::find(extras.begin(), extras.end(), "--");
    if (mark != extras.end()) extras.erase(mark);
  }
  if (!extras.empty()) return "unexpected argument '" + extras.front() + "'";
  return std::nullopt;
}
