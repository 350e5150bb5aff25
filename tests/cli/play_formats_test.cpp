// Files of other sample formats (24- and 32-bit PCM, float, A-law, mu-law, plain and extensible)
// played with the command line: the device receives the file's data unchanged, or refuses the
// format with the output device's text.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/cli/cli_run.h"
#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;

using testfiles::ReadFile;

void Put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(char(v >> (8 * i)));
}
void Put16(std::string& s, uint16_t v) {
  s.push_back(char(v));
  s.push_back(char(v >> 8));
}

struct TFileFormat {
  const char* Name;
  uint16_t Tag;  // 0xFFFE: extensible, with `SubTag` as the first field of its subformat
  uint16_t Bits;
  uint16_t Channels;
  uint16_t SubTag;
  bool IntegerSamples;
};

// A WAVE file of `data` in `f` at 44.1 kHz, written as other programs write these formats:
// an 18-byte (or extensible 40-byte) format record, a fact chunk for non-PCM, a pad byte after
// odd data.
std::string WaveFile(const TFileFormat& f, const std::string& data, uint32_t rate = 44100) {
  const uint16_t align = uint16_t(f.Channels * f.Bits / 8);
  std::string fmt;
  Put16(fmt, f.Tag);
  Put16(fmt, f.Channels);
  Put32(fmt, rate);
  Put32(fmt, rate * align);
  Put16(fmt, align);
  Put16(fmt, f.Bits);
  if (f.Tag == 0xFFFE) {
    Put16(fmt, 22);
    Put16(fmt, f.Bits);
    Put32(fmt, f.Channels == 2 ? 3 : 4);
    Put32(fmt, f.SubTag);
    fmt += std::string("\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 12);
  } else if (f.Tag != 1) {
    Put16(fmt, 0);
  }
  std::string chunks = "fmt ";
  Put32(chunks, uint32_t(fmt.size()));
  chunks += fmt;
  if (f.Tag != 1) {
    chunks += "fact";
    Put32(chunks, 4);
    Put32(chunks, uint32_t(data.size() / align));
  }
  chunks += "data";
  Put32(chunks, uint32_t(data.size()));
  chunks += data;
  if (data.size() & 1) chunks.push_back('\0');
  std::string file = "RIFF";
  Put32(file, uint32_t(4 + chunks.size()));
  return file + "WAVE" + chunks;
}

const TFileFormat kFormats[] = {
    {"24-bit", 1, 24, 2, 0, true},
    {"32-bit", 1, 32, 2, 0, true},
    {"float", 3, 32, 2, 0, false},
    {"double", 3, 64, 1, 0, false},
    {"A-law", 6, 8, 1, 0, false},
    {"mu-law", 7, 8, 2, 0, false},
    {"extensible 24-bit", 0xFFFE, 24, 2, 1, true},
    {"extensible float", 0xFFFE, 32, 2, 3, false},
};

// A quarter of a second of bytes that differ from frame to frame; an odd count for 8-bit mono.
std::string Data(const TFileFormat& f) {
  const size_t bytes = 11025 * size_t(f.Channels) * f.Bits / 8;
  std::string data;
  for (size_t i = 0; i < bytes; ++i) data.push_back(char(i * 13 + i / 501));
  return data;
}

class PlayFormats : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testfiles::TestFolder("needlerec-formats");
    // ALSA devices of the test's own: a file that receives everything, and one that takes
    // integer samples only (the linear plugin converts them for its 16-bit slave).
    std::ofstream(dir_ / "asound.conf")
        << "pcm.nr_play { type file slave.pcm { type null } file \""
        << (dir_ / "played.raw").string() << "\" format raw }\n"
        << "pcm.nr_int { type file slave.pcm { type linear slave { pcm { type null } "
           "format S16_LE } } file \""
        << (dir_ / "int.raw").string() << "\" format raw }\n";
    alsa_ = "ALSA_CONFIG_PATH=" + (dir_ / "asound.conf").string() +
            " NEEDLEREC_ALSA_DEVICES='nr_play|nr_int'";
  }
  void TearDown() override { fs::remove_all(dir_); }

  CliRun Play(const std::string& env, const TFileFormat& f, const std::string& data,
              const std::string& device, uint32_t rate = 44100) {
    fs::remove(dir_ / "played.raw");
    fs::remove(dir_ / "int.raw");
    std::ofstream(dir_ / "in.wav", std::ios::binary) << WaveFile(f, data, rate);
    return Shell(env + " " NEEDLEREC_CLI " play " + (dir_ / "in.wav").string() + " --device " +
                 device);
  }

  fs::path dir_;
  std::string alsa_;
};

TEST_F(PlayFormats, AnAlsaDeviceThatTakesTheFormatReceivesTheFileDataUnchanged) {
  for (const TFileFormat& f : kFormats) {
    SCOPED_TRACE(f.Name);
    const std::string data = Data(f);
    const CliRun run = Play(alsa_, f, data, "0");
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string played = ReadFile(dir_ / "played.raw");
    EXPECT_TRUE(played == data) << "played " << played.size() << " of " << data.size() << " bytes";
  }
}

// A file longer than the ring buffer and the device's blocks together (about 6 s of them) on
// ALSA's `file` plugin, which takes data far faster than real time: the device pulls ahead of
// the ring buffer's reading all the time, and still receives the file's bytes once each, no
// more (no blocks of silence between them) and no less.
TEST_F(PlayFormats, ALongFileReachesAnUnpacedAlsaDeviceExactly) {
  struct Case {
    TFileFormat Format;
    uint32_t Rate;
  } cases[] = {
      {{"16-bit", 1, 16, 2, 0, true}, 44100},
      {{"16-bit", 1, 16, 2, 0, true}, 48000},
      {{"8-bit mono", 1, 8, 1, 0, true}, 22050},
      {{"24-bit", 1, 24, 2, 0, true}, 96000},
      {{"float", 3, 32, 2, 0, false}, 48000},
      {{"mu-law", 7, 8, 1, 0, false}, 8000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Format.Name) + " at " + std::to_string(c.Rate) + " Hz");
    // Ten seconds and three frames: the last block is a partial one.
    const size_t bytes = (size_t(c.Rate) * 10 + 3) * c.Format.Channels * c.Format.Bits / 8;
    std::string data;
    for (size_t i = 0; i < bytes; ++i) data.push_back(char(i * 13 + i / 501 + 1));
    const CliRun run = Play(alsa_, c.Format, data, "0", c.Rate);
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string played = ReadFile(dir_ / "played.raw");
    EXPECT_EQ(played.size(), data.size());
    EXPECT_TRUE(played == data) << "the played bytes differ";
  }
}

TEST_F(PlayFormats, ADeviceWithoutTheSampleFormatRefusesItWithTheOutputDevicesText) {
  for (const TFileFormat& f : kFormats) {
    SCOPED_TRACE(f.Name);
    const CliRun run = Play(alsa_, f, Data(f), "1");
    if (f.IntegerSamples) {
      EXPECT_EQ(run.status, 0) << run.out;
    } else {
      EXPECT_EQ(run.status, 1) << run.out;
      EXPECT_NE(run.out.find("WaveOutOpen:\nThe actual device can't play this format"),
                std::string::npos)
          << run.out;
      EXPECT_FALSE(fs::exists(dir_ / "int.raw") && fs::file_size(dir_ / "int.raw") > 0);
    }
  }
}

TEST_F(PlayFormats, TheVirtualOutputTakesThemToo) {
  const std::string env =
      "NEEDLEREC_ALSA_DEVICES= NEEDLEREC_VIRTUAL_SPEED=10 "
      "NEEDLEREC_VIRTUAL_OUTPUT=" +
      (dir_ / "played.raw").string();
  for (const TFileFormat& f : kFormats) {
    SCOPED_TRACE(f.Name);
    const std::string data = Data(f);
    const CliRun run = Play(env, f, data, "0");
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(ReadFile(dir_ / "played.raw") == data);
  }
}

}  // namespace
