#include "cli/cli.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "cli/info.h"
#include "tests/stream/wave_test_data.h"

using namespace wavetest;

namespace {

struct TResult {
  int status;
  std::string out, err;
};

TResult Cli(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int status = CliMain(args, out, err);
  return {status, out.str(), err.str()};
}

struct Info : ::testing::Test {
  TTempDir dir;
  std::string Make(const std::string& name, const std::string& bytes) {
    WriteFile(dir.File(name), bytes);
    return dir.File(name);
  }
};

TEST_F(Info, PrintsOneKeyAndValuePerLine) {
  const std::string path = Make("a.wav", Pcm16Stereo(Samples16(441, 2)));
  const TResult r = Cli({"info", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "format_text: 44.100 kHz, 16 Bit, Stereo\n"
            "tag_name: PCM\n"
            "channels: 2\n"
            "sample_rate: 44100\n"
            "bits_per_sample: 16\n"
            "block_align: 4\n"
            "data_offset: 44\n"
            "data_bytes: 1764\n"
            "total_samples: 441\n"
            "length_ms: 10\n"
            "valid_bits: 16\n"
            "form: RIFF\n");
}

TEST_F(Info, JsonHoldsTheRecordAfterTheParseAndTheInfoItems) {
  // A wrong block align and byte rate are recomputed; the INFO texts need escaping, and one of
  // them is not UTF-8.
  const std::string info =
      Chunk("LIST", "INFO" + Chunk("INAM", std::string("say \"hi\"\\\n\0", 12)) +
                        Chunk("IART", std::string("Gr\xfc\xdf\0", 5)) +
                        Chunk("ICMT", std::string("caf\xc3\xa9\0", 6)));
  const std::string path = Make("b.wav", Riff(Chunk("fmt ", FmtBody(1, 1, 8000, 8, 3, 7)) + info +
                                              Chunk("data", std::string(800, '\x80'))));
  const TResult r = Cli({"info", "--json", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "{\"format_text\": \"8.000 kHz, 8 Bit, Mono\", \"format_tag\": 1, \"tag_name\": "
            "\"PCM\", \"channels\": 1, \"sample_rate\": 8000, \"bits_per_sample\": 8, "
            "\"block_align\": 1, \"avg_bytes_per_sec\": 8000, \"data_offset\": " +
                std::to_string(36 + info.size() + 8) +
                ", \"data_bytes\": 798, \"total_samples\": 798, \"length_ms\": 100, "
                "\"valid_bits\": 8, \"form\": \"RIFF\", "
                "\"info\": {\"IART\": \"Gr\\u00fc\\u00df\", \"ICMT\": \"caf\xc3\xa9\", "
                "\"INAM\": \"say \\\"hi\\\"\\\\\\u000a\"}}\n");
}

TEST_F(Info, FilesThatDoNotParseFailWithTheFileAndTheReason) {
  struct Case {
    const char* name;
    std::string path;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"missing", dir.File("missing.wav"), "No such file or directory"},
      {"not RIFF", Make("text.wav", "hello, world"), "not a WAVE file (no RIFF/RIFX/RF64 header)"},
      {"empty", Make("empty.wav", ""), "not a WAVE file (no RIFF/RIFX/RF64 header)"},
      {"no fmt", Make("nofmt.wav", Riff(Chunk("data", "abcd"))), "no format chunk"},
      {"fmt cut short",
       Make("short.wav", Riff(Chunk("fmt ", FmtBody(1, 2, 44100, 16)).substr(0, 18))),
       "truncated format chunk"},
      {"a folder", dir.Path(), "Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* json : {"", "--json"}) {
      std::vector<std::string> args = {"info", c.path};
      if (*json) args.push_back(json);
      const TResult r = Cli(args);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "needlerec-cli: " + c.path + ": " + c.reason + "\n");
    }
  }
}

TEST_F(Info, UsageErrors) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                               {"info"},
                                               {"info", "a.wav", "b.wav"},
                                               {"info", "--xml", "a"},
                                               {"frobnicate"}}) {
    const TResult r = Cli(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("usage: needlerec-cli"), std::string::npos);
  }
}

TEST(JsonString, EscapesWhatJsonRequires) {
  EXPECT_EQ(JsonString(""), "\"\"");
  EXPECT_EQ(JsonString("a\tb\x01\x7f"), "\"a\\u0009b\\u0001\\u007f\"");
  EXPECT_EQ(JsonString("\xe2\x82\xac"), "\"\xe2\x82\xac\"");           // valid UTF-8 stays
  EXPECT_EQ(JsonString("\xe2\x82"), "\"\\u00e2\\u0082\"");             // cut short: Latin-1
  EXPECT_EQ(JsonString("\xc0\xaf"), "\"\\u00c0\\u00af\"");             // overlong form
  EXPECT_EQ(JsonString("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\"");  // a surrogate
}

TEST_F(Info, TheProgramExitsWithTheStatusAndWritesTheMessageToStandardError) {
  const std::string good = Make("good.wav", Pcm16Stereo(Samples16(441, 2)));
  const std::string bad = Make("bad.wav", "RIFF");
  const auto run = [&](const std::string& file, std::string& out) {
    const std::string command =
        std::string("'") + NEEDLEREC_CLI + "' info '" + file + "' 2>'" + dir.File("stderr") + "'";
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    out.clear();
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  std::string out;
  EXPECT_EQ(run(good, out), 0);
  EXPECT_NE(out.find("total_samples: 441\n"), std::string::npos);
  EXPECT_EQ(run(bad, out), 1);
  EXPECT_EQ(out, "");
  EXPECT_EQ(ReadFile(dir.File("stderr")),
            "needlerec-cli: " + bad + ": not a WAVE file (no RIFF/RIFX/RF64 header)\n");
}

}  // namespace
