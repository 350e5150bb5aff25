#include "cli/cli.h"

#include "cli/devices.h"
#include "cli/info.h"
#include "cli/levels.h"
#include "cli/transport.h"

namespace {

void Usage(std::ostream& err) {
  err << "usage: needlerec-cli info FILE [--json]\n"
         "       needlerec-cli devices [--json]\n"
         "       needlerec-cli play FILE [--device N]\n"
         "       needlerec-cli record FILE [--device N] [--rate 44100|48000] [--seconds S]\n"
         "                            [--buffer S]\n"
         "       needlerec-cli levels FILE [--json] [--ref-level DB]\n"
         "\n"
         "record: --seconds S stops after S seconds (0.001 or more); --buffer S queues up to S\n"
         "seconds of audio (default 10) while the disk is slow. Ctrl-C, SIGTERM, SIGHUP and a\n"
         "closed output pipe end a recording normally, with the file saved.\n"
         "\n"
         "exit status: 0 everything was played or recorded; 1 an error; 2 a usage error;\n"
         "3 the recording was saved but is incomplete (audio lost because the disk did not keep\n"
         "up, disk full, the 4 GiB size limit, or a device that stopped delivering audio).\n";
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
  if (command == "levels") return LevelsCommand(rest, out, err);
  if (command == "--help" || command == "-h" || command == "help") {
    Usage(out);
    return 0;
  }
  err << "needlerec-cli: unknown command '" << command << "'\n";
  Usage(err);
  return 2;
}
