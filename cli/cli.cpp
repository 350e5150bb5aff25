#include "cli/cli.h"

#include "cli/info.h"

namespace {

void Usage(std::ostream& err) {
  err << "usage: needlerec-cli info FILE [--json]\n";
}

}  // namespace

int CliMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    Usage(err);
    return 2;
  }
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "info") return InfoCommand(rest, out, err);
  if (command == "--help" || command == "-h" || command == "help") {
    Usage(out);
    return 0;
  }
  err << "needlerec-cli: unknown command '" << command << "'\n";
  Usage(err);
  return 2;
}
