// The end report of record and monitor with --json: the real program records and monitors the
// virtual input playing a file of known peaks and clips, and python3 reads the last line of its
// standard output as JSON.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "tests/cli/cli_run.h"
#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;

// Reads the last line of standard output (`out`) as one JSON object and prints its fields in
// one line: file, format, frames, seconds, lost frames, dropouts, end reason and per channel
// peak/clipped; then whether the frames match the "recorded N bytes" line (or "-" without one).
constexpr const char* kSummary = R"PY(
import json, re, sys
text = open(sys.argv[1]).read()
assert text.endswith("\n"), "the report ends its line"
r = json.loads(text.splitlines()[-1])
f = r["format"]
recorded = re.search(r"recorded (\d+) bytes", text)
print(r["file"] is not None, f["rate"], f["channels"], f["sample_format"], r["frames"],
      "%.3f" % r["seconds"], r["lost_frames"], r["dropouts"], r["end_reason"],
      " ".join("%s/%d" % (c["peak_dbfs"], c["clipped"]) for c in r["channels"]),
      "-" if not recorded else int(recorded.group(1)) == 4 * r["frames"], end="")
)PY";

class JsonReport : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Shell("command -v python3").status != 0) GTEST_SKIP() << "python3 reads the reports";
    dir_ = testfiles::TestFolder("needlerec-json");
    // One second of 44.1 kHz 16-bit stereo: the left channel a square wave at half of full
    // scale (-6.0 dBFS), the right channel silent for its first half and then silent but for
    // five samples at the low end of full scale.
    input_ = (dir_ / "input.wav").string();
    const std::string make =
        "import struct, wave\n"
        "w = wave.open('" +
        input_ +
        "', 'wb'); w.setnchannels(2); w.setsampwidth(2)\n"
        "w.setframerate(44100)\n"
        "left = [16384 if (i // 50) % 2 else -16384 for i in range(44100)]\n"
        "right = [0] * 44100\n"
        "for i in (30000, 35000, 40000, 44000, 44099): right[i] = -32768\n"
        "w.writeframes(b''.join(struct.pack('<hh', l, r) for l, r in zip(left, right)))\n"
        "w.close()\n";
    const CliRun run = Shell("python3 -c \"" + make + "\"");
    ASSERT_EQ(run.status, 0) << run.out;
    script_ = (dir_ / "summary.py").string();
    std::ofstream(script_) << kSummary;
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  // Runs the program with the virtual input playing the file (looped) ten times real time, no
  // sound card, and `args`, after `prefix`; the status is the program's and the text the
  // summary of its report.
  CliRun Report(const std::string& prefix, const std::string& args) {
    const std::string out = (dir_ / "out.txt").string();
    const CliRun run = Shell(
        "{ NEEDLEREC_ALSA_DEVICES= NEEDLEREC_VIRTUAL_SPEED=10 "
        "NEEDLEREC_VIRTUAL_INPUT=" +
        input_ + " " + prefix + " " + NEEDLEREC_CLI + " " + args + " > " + out + " 2>/dev/null; }");
    const CliRun summary = Shell("python3 " + script_ + " " + out);
    EXPECT_EQ(summary.status, 0) << summary.out << testfiles::ReadFile(out);
    return CliRun{run.status, summary.out};
  }

  fs::path dir_;
  std::string input_, script_;
};

TEST_F(JsonReport, EndsARecordOrMonitorRunWithItsFormatFramesLossEndPeaksAndClips) {
  const std::string take = (dir_ / "take.wav").string();
  struct Case {
    const char* name;
    std::string args;
    // file?, rate, channels, format, frames, seconds, lost, dropouts, end, channels, frames
    // matching the file's bytes
    std::string summary;
  };
  // Two seconds play the input twice: the right channel clips ten times; its first half is
  // silent.
  const Case cases[] = {
      {"a complete recording", "record -q --json -D virtual -d 2 " + take,
       "True 44100 2 s16 88200 2.000 0 0 complete -6.0/0 0.0/10 True"},
      {"a recording with the meters on", "record --json -y -D virtual -d 1 " + take,
       "True 44100 2 s16 44100 1.000 0 0 complete -6.0/0 0.0/5 True"},
      {"monitoring half of it", "monitor --json -D virtual -d 0.5",
       "False 44100 2 s16 22050 0.500 0 0 complete -6.0/0 None/0 -"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CliRun run = Report("", c.args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, c.summary);
  }
}

TEST_F(JsonReport, AnInterruptedRunSaysSoAndCountsWhatItGot) {
  const std::string take = (dir_ / "take.wav").string();
  for (const std::string& args :
       {"record -q --json -D virtual " + take, std::string("monitor --json -D virtual")}) {
    SCOPED_TRACE(args);
    fs::remove(take);
    // Without --seconds the run goes on until Ctrl-C, here after a second.
    const CliRun run = Report("timeout -s INT --preserve-status 1", args);
    EXPECT_EQ(run.status, 0);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        run.out, m,
        std::regex(
            R"((True|False) 44100 2 s16 (\d+) \d+\.\d{3} 0 0 interrupted (\S+) (\S+) (\S+))")))
        << run.out;
    EXPECT_EQ(m[1], args.rfind("record", 0) == 0 ? "True" : "False");
    EXPECT_GT(std::stoll(m[2]), 0);
    EXPECT_EQ(m[5], args.rfind("record", 0) == 0 ? "True" : "-");
  }
}

}  // namespace
