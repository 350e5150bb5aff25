// Interoperability with sox as a real peer: files our chain writes read in sox with the exact
// samples, and files sox makes read back exactly through a source file component.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "stream/wave_file.h"
#include "tests/stream/test_components.h"
#include "tests/stream/wave_test_data.h"

using namespace wavetest;

namespace {

// Runs a shell command; its standard output, or none when it failed.
std::optional<std::string> Shell(const std::string& command) {
  const bool quiet = command.find("2>") == std::string::npos;
  FILE* pipe = popen((quiet ? command + " 2>/dev/null" : command).c_str(), "r");
  if (!pipe) return std::nullopt;
  std::string out;
  char buffer[65536];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  if (pclose(pipe) != 0) return std::nullopt;
  return out;
}

std::string Quote(const std::string& path) {
  return "'" + path + "'";
}

// The samples sox decodes from a file, in the file's own encoding.
std::string SoxSamples(const std::string& path) {
  return Shell("sox -D " + Quote(path) + " -t raw -").value_or("<sox failed>");
}

std::string Soxi(const std::string& option, const std::string& path) {
  std::string out = Shell("soxi " + option + " " + Quote(path)).value_or("<soxi failed>");
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// The value after `label` in the output of sox's stat effect.
std::string StatValue(const std::string& stat, const std::string& label) {
  const size_t at = stat.find(label);
  if (at == std::string::npos) return "<no " + label + ">";
  const size_t start = stat.find_first_not_of(' ', at + label.size());
  return stat.substr(start, stat.find('\n', start) - start);
}

struct SoxFormat {
  int bits;
  int channels;
  uint32_t rate;
};

std::string Describe(const SoxFormat& f) {
  return std::to_string(f.bits) + " bit, " + std::to_string(f.channels) + " ch, " +
         std::to_string(f.rate) + " Hz";
}

const std::vector<SoxFormat> kFormats = {
    {16, 2, 44100}, {16, 2, 48000}, {8, 1, 44100}, {8, 1, 48000}};

struct Sox : ::testing::Test {
  TTempDir dir;
  void SetUp() override {
    if (!Shell("sox --version"))
      FAIL() << "sox is not installed (scripts/install-deps installs it)";
  }
};

TEST_F(Sox, ReadsWhatTheChainWritesSampleForSample) {
  for (const SoxFormat& format : kFormats) {
    SCOPED_TRACE(Describe(format));
    WAVEFORMATEX f{};
    BuildPCMFormat(&f, format.bits, format.channels, format.rate);
    // An odd number of frames: the 8-bit files need a pad byte.
    const size_t frames = 30001;
    std::string samples;
    for (size_t i = 0; i < frames * f.nBlockAlign; ++i) samples += char((i * 37 + i / 5) & 0xFF);

    const std::string path = dir.File("chain" + std::to_string(format.rate) + "_" +
                                      std::to_string(format.bits) + ".wav");
    {
      TPassive feeder("Feeder", nullptr);
      TMMWaveFile file(nullptr);
      feeder.SetPWaveFormat(&f);
      file.SetInput(&feeder);
      file.GetWave()->SetFileMustExist(false);
      file.SetFileName(path);
      file.Open();
      file.Start();
      // A comment goes into a LIST INFO chunk behind the data.
      file.GetWave()->GetWaveIORecord()->InfoList.Set("ICMT", "made by the chain");
      for (size_t at = 0; at < samples.size(); at += 8192) {
        std::string block = samples.substr(at, 8192);
        BlockHeader h{};
        h.lpData = block.data();
        h.dwBufferLength = h.dwBytesRecorded = uint32_t(block.size());
        feeder.BufferReady(&h);
      }
      file.Stop();
      file.Close();
    }
    EXPECT_EQ(Soxi("-s", path), std::to_string(frames));
    EXPECT_EQ(Soxi("-r", path), std::to_string(format.rate));
    EXPECT_EQ(Soxi("-c", path), std::to_string(format.channels));
    EXPECT_EQ(Soxi("-b", path), std::to_string(format.bits));
    const std::string stat = Shell("sox " + Quote(path) + " -n stat 2>&1").value_or("");
    EXPECT_EQ(StatValue(stat, "Samples read:"), std::to_string(frames * f.nChannels)) << stat;
    EXPECT_TRUE(SoxSamples(path) == samples) << "sox decodes other samples than were written";
  }
}

// Puts a LIST INFO chunk with a comment into a file sox made (this sox writes none), before or
// after the data, and fixes the RIFF size.
std::string WithComment(std::string file, const std::string& comment, bool beforeData) {
  const std::string list = Chunk("LIST", "INFO" + Chunk("ICMT", comment + std::string(1, '\0')));
  if (beforeData)
    file.insert(file.find("data"), list);
  else
    file += list;
  return file.replace(4, 4, Le32(uint32_t(file.size() - 8)));
}

TEST_F(Sox, FilesSoxMakesReadBackExactly) {
  bool beforeData = false;
  for (const SoxFormat& format : kFormats) {
    SCOPED_TRACE(Describe(format));
    beforeData = !beforeData;
    const std::string path =
        dir.File("sox" + std::to_string(format.rate) + "_" + std::to_string(format.bits) + ".wav");
    ASSERT_TRUE(Shell("sox -n -D -r " + std::to_string(format.rate) + " -c " +
                      std::to_string(format.channels) + " -b " + std::to_string(format.bits) + " " +
                      Quote(path) + " synth 0.37 sine 440 sine 1000"));
    WriteFile(path, WithComment(ReadFile(path), "recorded by sox", beforeData));
    const std::string expected = SoxSamples(path);
    ASSERT_GT(expected.size(), 10000u);

    TMMWaveFile file(nullptr);
    file.SetFileName(path);
    ASSERT_NE(file.GetPWaveFormat(), nullptr);
    EXPECT_EQ(file.GetPWaveFormat()->nSamplesPerSec, format.rate);
    EXPECT_EQ(file.GetPWaveFormat()->nChannels, format.channels);
    EXPECT_EQ(file.GetWave()->GetBitLength(), format.bits);
    EXPECT_EQ(std::to_string(file.GetWave()->GetDataSize()), Soxi("-s", path));
    EXPECT_EQ(file.GetWave()->GetWaveIORecord()->InfoList.Get("ICMT"), "recorded by sox");
    file.Open();
    file.Start();
    std::string read;
    std::vector<char> memory(8192);
    for (bool more = true; more;) {
      BlockHeader h{};
      h.lpData = memory.data();
      h.dwBufferLength = 8192;
      more = false;
      file.BufferLoad(&h, more);
      read.append(memory.data(), h.dwBytesRecorded);
      if (h.dwBytesRecorded == 0) break;
    }
    file.Stop();
    file.Close();
    EXPECT_TRUE(read == expected) << "read " << read.size() << " bytes, sox gives "
                                  << expected.size();
  }
}

}  // namespace
