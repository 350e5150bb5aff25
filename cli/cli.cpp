#include "cli/cli.h"

#include <algorithm>

#include "cli/devices.h"
#include "cli/info.h"
#include "cli/levels.h"
#include "cli/transport.h"
#include "cli/usage.h"
#include "stream/wave.h"

namespace {

bool AsksForHelp(const std::vector<std::string>& args) {
  return std::any_of(args.begin(), args.end(),
                     [](const std::string& a) { return a == "--help" || a == "-h"; });
}

}  // namespace

std::string ErrorLine(const std::exception& error, const std::string& file) {
  const auto* fileError = dynamic_cast<const EMMWaveError*>(&error);
  if (!fileError || fileError->Reason().empty()) {
    // The engine's texts break their lines with LF + CR; a terminal wants the line feed only.
    std::string text = error.what();
    std::erase(text, '\r');
    return text;
  }
  const std::string& name =
      !file.empty() && ExpandFileName(file) == fileError->FileName() ? file : fileError->FileName();
  return "needlerec-cli: " + name + ": " + fileError->Reason();
}

int CliMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << "needlerec-cli: a command is needed\n" << ProgramUsage();
    return 2;
  }
  const std::string& command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "--help" || command == "-h" || command == "help") {
    out << ProgramUsage();
    return 0;
  }
  if (command == "--version" || command == "-V") {
    out << "needlerec-cli " NEEDLEREC_VERSION "\n";
    return 0;
  }
  // levels answers --help itself.
  if (command == "levels") return LevelsCommand(rest, out, err);
  const std::string usage = CommandUsage(command);
  if (usage.empty()) {
    err << "needlerec-cli: unknown command '" << command << "'\n" << ProgramUsage();
    return 2;
  }
  if (AsksForHelp(rest)) {
    out << usage;
    return 0;
  }
  if (command == "info") return InfoCommand(rest, out, err);
  if (command == "devices") return DevicesCommand(rest, out, err);
  if (command == "play") return PlayCommand(rest, out, err);
  if (command == "record") return RecordCommand(rest, out, err);
  return MonitorCommand(rest, out, err);
}
