// Files shaped as other programs write them (samples narrower than their containers, big-endian
// RIFX, RF64 and BW64 with their ds64 sizes, chunks and tags after the data, extensible records,
// float beyond full scale, signals at -120 dBFS): what info, levels and play make of each agrees
// with what sox and Python read from the same file.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/cli_run.h"
#include "tests/support/files.h"

namespace {

namespace fs = std::filesystem;

using testfiles::ReadFile;

enum TForm { fRiff, fRifx, fRf64, fBw64 };
enum TSamples { sInteger, sFloat };
enum TPeer : unsigned { kSox = 1, kFfmpeg = 2, kPython = 4 };

struct TShape {
  const char* Name;
  TForm Form;
  TSamples Samples;
  uint16_t Container;  // bits of each sample as stored
  uint16_t Valid;      // bits that carry the signal, from the top
  bool Extensible;
  double PeakDBFS;      // of the louder channel's tone; the other is 10 dB below
  std::string Trailer;  // bytes after the data chunk: chunks, a tag
  bool InsideRiffSize;  // whether the trailer counts in the RIFF size
  // The programs that read the file right, whose reading ours is compared with. sox refuses
  // samples in wider containers, BW64 and bit depths below a byte, counts 12-bit samples as 1.5
  // bytes and clips float beyond full scale; ffmpeg takes RIFX samples as little-endian and
  // 24-bit samples in 32-bit containers as float; Python (numpy on the data chunk) stands in
  // where neither does.
  unsigned Peers;
};

constexpr uint32_t kRate = 44100;
constexpr size_t kFrames = 22050;

void Put(std::string& s, uint64_t v, int bytes, bool bigEndian = false) {
  for (int i = 0; i < bytes; ++i) {
    const int shift = 8 * (bigEndian ? bytes - 1 - i : i);
    s.push_back(char(v >> shift));
  }
}

// The tone of channel `c` at frame `i`: a full-scale sine times the channel's level.
double Tone(const TShape& shape, size_t i, int c) {
  const double level = std::pow(10.0, (shape.PeakDBFS - 10.0 * c) / 20.0);
  return level * std::sin(2.0 * M_PI * (997.0 + 500.0 * c) * double(i) / kRate);
}

// The samples as the file holds them, little-endian.
std::string SampleBytes(const TShape& shape) {
  std::string bytes;
  const int width = shape.Container / 8;
  for (size_t i = 0; i < kFrames; ++i) {
    for (int c = 0; c < 2; ++c) {
      const double x = Tone(shape, i, c);
      if (shape.Samples == sFloat) {
        float f = float(x);
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        Put(bytes, bits, 4);
        continue;
      }
      const double top = std::ldexp(1.0, shape.Valid - 1);
      const int64_t v = std::clamp<int64_t>(std::llround(x * top), -int64_t(top), int64_t(top) - 1);
      const int64_t stored = v * (int64_t(1) << (shape.Container - shape.Valid));
      Put(bytes, width == 1 ? uint64_t(stored + 128) : uint64_t(stored), width);
    }
  }
  return bytes;
}

// The whole file: the form's header (with a ds64 chunk for RF64 and BW64, its 32-bit sizes all
// ones), the format record, the data and the trailer. RIFX turns every number and sample
// big-endian.
std::string FileBytes(const TShape& shape, const std::string& samples) {
  const bool be = shape.Form == fRifx;
  const bool rf64 = shape.Form == fRf64 || shape.Form == fBw64;
  const uint16_t align = uint16_t(2 * shape.Container / 8);
  const uint16_t tag = shape.Samples == sFloat ? 3 : 1;
  std::string fmt;
  Put(fmt, shape.Extensible ? 0xFFFE : tag, 2, be);
  Put(fmt, 2, 2, be);
  Put(fmt, kRate, 4, be);
  Put(fmt, uint64_t(kRate) * align, 4, be);
  Put(fmt, align, 2, be);
  // A plain record of narrower samples gives their own width; an extensible one its container.
  Put(fmt, shape.Extensible ? shape.Container : shape.Valid, 2, be);
  if (shape.Extensible) {
    Put(fmt, 22, 2, be);
    Put(fmt, shape.Valid, 2, be);
    Put(fmt, 3, 4, be);
    Put(fmt, tag, 4, be);
    Put(fmt, 0x0000, 2, be);
    Put(fmt, 0x0010, 2, be);
    fmt += std::string("\x80\x00\x00\xAA\x00\x38\x9B\x71", 8);
  }
  std::string data = samples;
  if (be) {
    const size_t width = shape.Container / 8;
    for (size_t at = 0; at + width <= data.size(); at += width)
      std::reverse(data.begin() + long(at), data.begin() + long(at + width));
  }
  std::string body = "WAVE";
  if (rf64) {
    body += "ds64";
    Put(body, 28, 4);
    const size_t riffSize = 4 + 36 + 8 + fmt.size() + 8 + data.size() +
                            (shape.InsideRiffSize ? shape.Trailer.size() : 0);
    Put(body, riffSize, 8);
    Put(body, data.size(), 8);
    Put(body, kFrames, 8);
    Put(body, 0, 4);
  }
  body += "fmt ";
  Put(body, fmt.size(), 4, be);
  body += fmt + "data";
  Put(body, rf64 ? 0xFFFFFFFF : data.size(), 4, be);
  body += data;
  const char* id = shape.Form == fRifx   ? "RIFX"
                   : shape.Form == fRf64 ? "RF64"
                   : shape.Form == fBw64 ? "BW64"
                                         : "RIFF";
  std::string file = id;
  Put(file, rf64 ? 0xFFFFFFFF : body.size() + (shape.InsideRiffSize ? shape.Trailer.size() : 0), 4,
      be);
  return file + body + shape.Trailer;
}

std::string Chunk(const std::string& id, const std::string& body) {
  std::string chunk = id;
  Put(chunk, body.size(), 4);
  chunk += body;
  if (body.size() & 1) chunk.push_back('\0');
  return chunk;
}

// A tag as taggers append it to any file: "ID3", version, flags, a syncsafe size, frames.
std::string Id3Tag() {
  const std::string frame = std::string("TIT2") + std::string("\0\0\0\x06\0\0\x03Take", 10) + "1";
  return std::string("ID3\x03\x00\x00\x00\x00\x00", 9) + char(frame.size()) + frame;
}

const std::vector<TShape>& Shapes() {
  static const std::vector<TShape> shapes = {
      {"5-bit in 8-bit containers", fRiff, sInteger, 8, 5, false, -1.0, "", true, kFfmpeg},
      {"12-bit in 16-bit containers", fRiff, sInteger, 16, 12, false, -6.0, "", true, kFfmpeg},
      {"20-bit in 24-bit containers, extensible", fRiff, sInteger, 24, 20, true, -3.0, "", true,
       kFfmpeg},
      {"24-bit in 32-bit containers, extensible", fRiff, sInteger, 32, 24, true, -1.0, "", true,
       kPython},
      {"RIFX 16-bit", fRifx, sInteger, 16, 16, false, -6.0, "", true, kSox},
      {"RIFX 24-bit", fRifx, sInteger, 24, 24, false, -20.0, "", true, kSox},
      {"RF64 16-bit", fRf64, sInteger, 16, 16, false, -6.0, "", true, kSox | kFfmpeg},
      {"BW64 float", fBw64, sFloat, 32, 32, false, -12.0, "", true, kFfmpeg},
      {"an INFO list and a tag after the data", fRiff, sInteger, 16, 16, false, -6.0,
       Chunk("LIST", "INFO" + Chunk("INAM", std::string("Take 1\0", 7))) + Id3Tag(), true,
       kSox | kFfmpeg},
      {"a tag appended behind the form", fRiff, sInteger, 24, 24, false, -6.0, Id3Tag(), false,
       kSox | kFfmpeg},
      {"extensible float", fRiff, sFloat, 32, 32, true, -9.0, "", true, kSox | kFfmpeg},
      {"float beyond full scale", fRiff, sFloat, 32, 32, false, 6.0, "", true, kFfmpeg},
      {"24-bit at -120 dBFS", fRiff, sInteger, 24, 24, false, -120.0, "", true, kSox | kFfmpeg},
  };
  return shapes;
}

class FileShapes : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("needlerec-shapes-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Make(const TShape& shape) {
    const std::string path = (dir_ / "shape.wav").string();
    std::ofstream(path, std::ios::binary) << FileBytes(shape, SampleBytes(shape));
    return path;
  }

  // What `peer` reads of the file's samples: little-endian float64 with `asDouble`, else the
  // samples as they are stored, turned little-endian.
  std::string PeerRaw(const std::string& file, const TShape& shape, TPeer peer, bool asDouble) {
    const std::string raw = (dir_ / "peer.raw").string();
    fs::remove(raw);
    const std::string bits = std::to_string(asDouble ? 64 : shape.Container);
    const bool floating = asDouble || shape.Samples == sFloat;
    std::string command;
    switch (peer) {
      case kSox:
        command = "sox -V1 -D '" + file + "' -t raw -e " +
                  (floating               ? "floating-point"
                   : shape.Container == 8 ? "unsigned"
                                          : "signed") +
                  " -b " + bits + " -L '" + raw + "'";
        break;
      case kFfmpeg:
        command = "ffmpeg -v error -nostdin -i '" + file + "' -f " +
                  (floating               ? "f" + bits + "le"
                   : shape.Container == 8 ? std::string("u8")
                                          : "s" + bits + "le") +
                  " -y '" + raw + "'";
        break;
      case kPython:
        // The chunks walked to "data"; its samples as integers of the container's width, or
        // as they are.
        command =
            "/usr/bin/python3 -c \"import numpy as np, struct, sys\n"
            "b = open(sys.argv[1], 'rb').read(); at = 12\n"
            "while b[at:at + 4] != b'data':\n"
            "  n = struct.unpack('<I', b[at + 4:at + 8])[0]; at += 8 + n + (n & 1)\n"
            "n = struct.unpack('<I', b[at + 4:at + 8])[0]; d = b[at + 8:at + 8 + n]\n"
            "if sys.argv[3] == '1':\n"
            "  x = np.frombuffer(d, dtype='<i' + str(int(sys.argv[2]) // 8))\n"
            "  d = (x / 2.0 ** (int(sys.argv[2]) - 1)).astype('<f8').tobytes()\n"
            "open(sys.argv[4], 'wb').write(d)\" '" +
            file + "' " + std::to_string(shape.Container) + " " + (asDouble ? "1" : "0") + " '" +
            raw + "'";
        break;
    }
    const CliRun run = Shell(command);
    EXPECT_EQ(run.status, 0) << run.out;
    return ReadFile(raw);
  }

  // Peak and RMS in dBFS per channel of raw little-endian float64 stereo samples, by numpy.
  std::vector<double> NumpyLevels(const std::string& raw) {
    const std::string path = (dir_ / "samples.f64").string();
    std::ofstream(path, std::ios::binary) << raw;
    const CliRun run = Shell(
        "/usr/bin/python3 -c \"import numpy as np, sys\n"
        "x = np.fromfile(sys.argv[1], dtype='<f8').reshape(-1, 2)\n"
        "for c in range(2):\n"
        "  v = x[:, c]\n"
        "  print('%.6f %.6f' % (20 * np.log10(np.max(np.abs(v))), "
        "10 * np.log10(np.mean(v * v))))\" '" +
        path + "'");
    EXPECT_EQ(run.status, 0) << run.out;
    std::istringstream in(run.out);
    std::vector<double> figures;
    for (double v; in >> v;) figures.push_back(v);
    return figures;
  }

  fs::path dir_;
};

std::string Field(const std::string& json, const std::string& key) {
  const size_t at = json.find("\"" + key + "\": ");
  if (at == std::string::npos) return "";
  const size_t start = at + key.size() + 4;
  return json.substr(start, json.find_first_of(",}", start) - start);
}

// The levels' figures in the order numpy prints them.
std::vector<double> LevelsFigures(const std::string& json) {
  std::vector<double> figures;
  for (size_t at = 0; (at = json.find("\"peak_dbfs\": ", at)) != std::string::npos; ++at) {
    const std::string channel = json.substr(at, json.find('}', at) - at + 1);
    figures.push_back(std::stod(Field("{" + channel, "peak_dbfs")));
    figures.push_back(std::stod(Field("{" + channel, "rms_dbfs")));
  }
  return figures;
}

const std::vector<TPeer> kPeers = {kSox, kFfmpeg, kPython};
const char* PeerName(TPeer peer) {
  return peer == kSox ? "sox" : peer == kFfmpeg ? "ffmpeg" : "Python";
}

TEST_F(FileShapes, InfoCountsTheFramesThePeersRead) {
  for (const TShape& shape : Shapes()) {
    SCOPED_TRACE(shape.Name);
    const std::string file = Make(shape);
    const CliRun info = Shell(std::string(NEEDLEREC_CLI) + " info --json '" + file + "'");
    ASSERT_EQ(info.status, 0) << info.out;
    EXPECT_EQ(Field(info.out, "total_samples"), std::to_string(kFrames)) << info.out;
    EXPECT_EQ(Field(info.out, "bits_per_sample"), std::to_string(shape.Container));
    EXPECT_EQ(Field(info.out, "valid_bits"), std::to_string(shape.Valid));
    EXPECT_EQ(Field(info.out, "tag_name"), shape.Samples == sFloat ? "\"IEEE float\"" : "\"PCM\"");
    for (const TPeer peer : kPeers) {
      if (shape.Peers & peer) {
        EXPECT_EQ(PeerRaw(file, shape, peer, true).size(), kFrames * 2 * 8) << PeerName(peer);
      }
    }
  }
}

TEST_F(FileShapes, LevelsAgreeWithNumpyOnTheSamplesThePeersRead) {
  for (const TShape& shape : Shapes()) {
    SCOPED_TRACE(shape.Name);
    const std::string file = Make(shape);
    const CliRun levels = Shell(std::string(NEEDLEREC_CLI) + " levels --json '" + file + "'");
    ASSERT_EQ(levels.status, 0) << levels.out;
    const std::vector<double> ours = LevelsFigures(levels.out);
    ASSERT_EQ(ours.size(), 4u) << levels.out;
    // Near where the tone was put, give or take one step of its bits.
    const double level = std::pow(10.0, shape.PeakDBFS / 20.0);
    const double step = shape.Samples == sFloat ? 0.0 : std::ldexp(1.0, 1 - shape.Valid);
    EXPECT_NEAR(ours[0], shape.PeakDBFS, 20.0 * std::log10((level + step) / level) + 0.01);
    for (const TPeer peer : kPeers) {
      if (!(shape.Peers & peer)) continue;
      SCOPED_TRACE(PeerName(peer));
      const std::string raw = PeerRaw(file, shape, peer, true);
      ASSERT_EQ(raw.size(), kFrames * 2 * 8);
      const std::vector<double> numpy = NumpyLevels(raw);
      ASSERT_EQ(numpy.size(), 4u);
      for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(ours[i], numpy[i], 0.01) << "figure " << i;
    }
  }
}

TEST_F(FileShapes, PlayHandsTheDeviceTheSamplesThePeersRead) {
  const std::string played = (dir_ / "played.raw").string();
  const std::string env =
      "NEEDLEREC_ALSA_DEVICES= NEEDLEREC_VIRTUAL_SPEED=20 "
      "NEEDLEREC_VIRTUAL_OUTPUT='" +
      played + "' ";
  for (const TShape& shape : Shapes()) {
    SCOPED_TRACE(shape.Name);
    const std::string file = Make(shape);
    fs::remove(played);
    const CliRun play = Shell(env + NEEDLEREC_CLI + " play '" + file + "' --device 0");
    ASSERT_EQ(play.status, 0) << play.out;
    const std::string device = ReadFile(played);
    EXPECT_TRUE(device == SampleBytes(shape)) << "played " << device.size() << " bytes";
    for (const TPeer peer : kPeers) {
      // sox passes float samples through 32-bit integers, which round the quietest of them.
      if (peer == kSox && shape.Samples == sFloat) continue;
      if (shape.Peers & peer) {
        EXPECT_TRUE(device == PeerRaw(file, shape, peer, false))
            << PeerName(peer) << " reads otherwise";
      }
    }
  }
}

}  // namespace

namespace {

// A recording that passes the size at which its header turns into RF64 (lowered from 4 GiB for
// the test): complete, it is an RF64 file that sox and ffmpeg read in full; killed while it
// runs, they read it to within about a second of its end.
TEST_F(FileShapes, ARecordingPastTheLimitOfRiffSizesGoesOnAsRf64) {
  const std::string file = (dir_ / "long.wav").string();
  const std::string env = "NEEDLEREC_ALSA_DEVICES= NEEDLEREC_RF64_THRESHOLD=100000 ";
  const CliRun record = Shell(env + "NEEDLEREC_VIRTUAL_SPEED=20 " + NEEDLEREC_CLI + " record '" +
                              file + "' --device 0 --seconds 4 --quiet");
  ASSERT_EQ(record.status, 0) << record.out;
  const std::string bytes = ReadFile(file);
  const size_t frames = 4 * 44100;
  ASSERT_EQ(bytes.size(), 80 + frames * 4);
  EXPECT_EQ(bytes.substr(0, 4), "RF64");
  EXPECT_EQ(bytes.substr(12, 4), "ds64");
  EXPECT_EQ(testfiles::Le32(bytes, 4), 0xFFFFFFFFu);
  EXPECT_EQ(testfiles::Le32(bytes, 76), 0xFFFFFFFFu);
  EXPECT_EQ(testfiles::Le32(bytes, 20), bytes.size() - 8) << "the RIFF size in ds64";
  EXPECT_EQ(testfiles::Le32(bytes, 28), frames * 4) << "the data size in ds64";
  EXPECT_EQ(testfiles::Le32(bytes, 36), frames) << "the sample count in ds64";
  EXPECT_EQ(Shell("soxi -V1 -s '" + file + "'").out, std::to_string(frames) + "\n");
  const CliRun ffprobe = Shell(
      "ffprobe -v error -show_entries format=format_name,duration "
      "-of default=nw=1 '" +
      file + "'");
  EXPECT_EQ(ffprobe.out, "format_name=wav\nduration=4.000000\n");
  const std::string samples = bytes.substr(80);
  EXPECT_TRUE(PeerRaw(file, {"", fRf64, sInteger, 16, 16, false, 0, "", true, kSox}, kSox, false) ==
              samples);
  EXPECT_TRUE(PeerRaw(file, {"", fRf64, sInteger, 16, 16, false, 0, "", true, kFfmpeg}, kFfmpeg,
                      false) == samples);
  const CliRun info = Shell(std::string(NEEDLEREC_CLI) + " info --json '" + file + "'");
  EXPECT_EQ(Field(info.out, "form"), "\"RF64\"");
  EXPECT_EQ(Field(info.out, "total_samples"), std::to_string(frames));

  // Killed while it runs, past the threshold: the header has followed the data.
  fs::remove(file);
  const CliRun killed = Shell(env + "NEEDLEREC_VIRTUAL_SPEED=2 timeout -s KILL 2 " + NEEDLEREC_CLI +
                              " record '" + file + "' --device 0 --quiet");
  ASSERT_NE(killed.status, 0);
  const std::string cut = ReadFile(file);
  ASSERT_GT(cut.size(), 200000u);
  EXPECT_EQ(cut.substr(0, 4), "RF64");
  const size_t onDisk = (cut.size() - 80) / 4;
  const std::string counted = Shell("soxi -V1 -s '" + file + "'").out;
  ASSERT_FALSE(counted.empty());
  const size_t soxFrames = std::stoul(counted);
  EXPECT_LE(soxFrames, onDisk);
  EXPECT_GE(soxFrames + 44100, onDisk) << "sox reads all but the last second";
  const size_t ffmpegFrames =
      PeerRaw(file, {"", fRf64, sInteger, 16, 16, false, 0, "", true, kFfmpeg}, kFfmpeg, false)
          .size() /
      4;
  EXPECT_LE(ffmpegFrames, onDisk);
  EXPECT_GE(ffmpegFrames + 44100, onDisk) << "ffmpeg reads all but the last second";
}

}  // namespace
