#include "cli/usage.h"

namespace {

constexpr const char* kSynopsis =
    "usage: needlerec-cli devices [--json]\n"
    "       needlerec-cli info FILE [--json]\n"
    "       needlerec-cli levels FILE [--json] [--ref-level DB]\n"
    "       needlerec-cli play FILE [-D|--device N|NAME]\n"
    "       needlerec-cli record FILE [-D|--device N|NAME] [-r|--rate 44100|48000]\n"
    "                             [-d|--seconds TIME] [--buffer TIME] [--ref-level DB]\n"
    "                             [-q|--quiet] [-y|--overwrite] [--json]\n"
    "       needlerec-cli monitor [-D|--device N|NAME] [-r|--rate 44100|48000]\n"
    "                             [-d|--seconds TIME] [--ref-level DB] [-q|--quiet]\n"
    "                             [--json]\n"
    "       needlerec-cli --help\n"
    "       needlerec-cli -V|--version\n"
    "       needlerec-cli COMMAND --help\n";

constexpr const char* kWords =
    "Options may come before or after FILE, with the value as the next word or after `=`\n"
    "(--seconds 90, --seconds=90); short ones combine (-qy); `--` ends the options, so\n"
    "that a FILE may begin with a dash.\n"
    "TIME is seconds (90, 90.5), minutes:seconds or hours:minutes:seconds (1:30,\n"
    "1:02:03.5), or a number with a unit s, m or h (90s, 1.5m, 2h).\n";

constexpr const char* kExitStatus =
    "exit status: 0 everything was played or recorded; 1 an error; 2 a usage error;\n"
    "3 the recording was saved but is incomplete (audio lost because the disk did not keep\n"
    "up, disk full, a file-size limit, a device that stopped delivering audio or was lost),\n"
    "or the take is not where it was asked to be (its file was deleted or moved while\n"
    "recording), or the file was played with gaps (the sound device ran out of audio on a\n"
    "busy machine).\n";

constexpr const char* kDevice =
    "  -D, --device N|NAME  the device: a number from `needlerec-cli devices`, or a name,\n"
    "                   either the listed product name or the sound system's name of the\n"
    "                   device (for example `default`; `virtual` is the built-in test\n"
    "                   device); by default the first device (record and monitor: the\n"
    "                   first that is no test device)\n";

constexpr const char* kMeters =
    "  --ref-level DB   the needle meters' reference level in dBFS, -30 to -10 (default -16):\n"
    "                   a sine whose peak is at this level reads 0 VU\n"
    "  -q, --quiet      no live meter lines\n"
    "  --json           end with one line of JSON on standard output: \"file\" (null for\n"
    "                   monitor), \"format\" {\"rate\", \"channels\", \"sample_format\"},\n"
    "                   \"frames\", \"seconds\", \"lost_frames\", \"dropouts\", \"end_reason\"\n"
    "                   (complete, interrupted, disk_full, size_limit, device_stalled or\n"
    "                   write_error) and \"channels\", per channel {\"peak_dbfs\" (null when\n"
    "                   silent), \"clipped\"}\n"
    "\n"
    "While it runs, a line per channel shows the VU reading of the needle meter, a bar and\n"
    "the peak in dBFS with the highest peak of the last two seconds, CLIP when a sample\n"
    "reached full scale, and the elapsed time. On a terminal the lines are redrawn ten times\n"
    "a second; otherwise a set of lines is written every second and once at the end.\n";

constexpr const char* kEnding =
    "Ctrl-C, SIGTERM, SIGHUP and a closed output pipe end the run normally.\n";

}  // namespace

std::string ProgramUsage() {
  return std::string(kSynopsis) +
         "\n"
         "devices lists the sound devices; info shows what a WAVE file holds; levels measures\n"
         "a file's levels and loudness; play plays a WAVE file; record records one with live\n"
         "meters; monitor shows the meters of the input without recording.\n"
         "\n" +
         kWords + "\n" + kExitStatus;
}

std::string CommandUsage(const std::string& command) {
  if (command == "devices")
    return "usage: needlerec-cli devices [--json]\n"
           "\n"
           "Lists the input and output devices with their numbers and names.\n"
           "  --json  one JSON object: \"inputs\" and \"outputs\", lists of {\"id\", \"name\"}\n";
  if (command == "info")
    return "usage: needlerec-cli info FILE [--json]\n"
           "\n"
           "Shows the format, length and text items of a WAVE file (RIFF, big-endian RIFX, or\n"
           "RF64/BW64 for files past 4 GiB).\n"
           "  --json  one JSON object instead of key: value lines\n";
  if (command == "play")
    return std::string(
               "usage: needlerec-cli play FILE [-D|--device N|NAME]\n"
               "\n"
               "Plays a WAVE file to the end.\n") +
           kEnding + "\n" + kDevice + "\n" + kWords + "\n" + kExitStatus;
  if (command == "record")
    return std::string(
               "usage: needlerec-cli record FILE [-D|--device N|NAME] [-r|--rate 44100|48000]\n"
               "                            [-d|--seconds TIME] [--buffer TIME] [--ref-level DB]\n"
               "                            [-q|--quiet] [-y|--overwrite] [--json]\n"
               "\n"
               "Records 16-bit stereo into a new WAVE file, until --seconds have passed or the\n"
               "device stops. ") +
           kEnding + "The file is saved either way.\n\n" + kDevice +
           "  -r, --rate R     44100 (default) or 48000 samples per second\n"
           "  -d, --seconds TIME  stop after TIME (0.001 s to 2147483 s)\n"
           "  --buffer TIME    queue up to TIME of audio (0.1 s to 600 s, default 10 s) while\n"
           "                   the disk is slow\n"
           "  -y, --overwrite  replace FILE if it exists: the new take takes its name once it\n"
           "                   is complete (never a file another recording holds open)\n" +
           kMeters + "\n" + kWords + "\n" + kExitStatus;
  if (command == "monitor")
    return std::string(
               "usage: needlerec-cli monitor [-D|--device N|NAME] [-r|--rate 44100|48000]\n"
               "                             [-d|--seconds TIME] [--ref-level DB] [-q|--quiet]\n"
               "                             [--json]\n"
               "\n"
               "Shows the meters of the input without recording, until --seconds have passed\n"
               "or the device stops. ") +
           kEnding + "\n" + kDevice +
           "  -r, --rate R     44100 (default) or 48000 samples per second\n"
           "  -d, --seconds TIME  stop after TIME (0.001 s to 2147483 s)\n" +
           kMeters + "\n" + kWords + "\n" + kExitStatus;
  return std::string();
}

std::string CommandSynopsis(const std::string& command) {
  const std::string usage = CommandUsage(command);
  return usage.substr(0, usage.find("\n\n") + 1) + "(needlerec-cli " + command +
         " --help for more)\n";
}
