#include "cli/cli.h"

#include "cli/devices.h"
#include "cli/info.h"
#include "cli/transport.h"

namespace {

void Usage(std::ostream& err) {
  err << "usage: needlerec-cli info FILE [--json]\n"
         "       needlerec-cli devices [--json]\n"
         "       needlerec-cli play FILE [--device N]\n"
         "       needlerec-cli record FILE [--device N] [--rate 44100|48000] [--seconds S]\n";
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
  if (command == "devices") return DevicesCommand(rest, out, err);
  if (command == "play") return PlayCommand(rest, out, err);
  if (command == "record") return RecordCommand(rest, out, err);
  if (command == "--help" || command == "-h" || command == "help") {
    Usage(out);
    return 0;
  }
  err << "needlerec-cli: unknown command '" << command << "'\n";
  Usage(err);
  return 2;
}
