#include "stream/wave.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/stream/wave_test_data.h"

using namespace wavetest;

namespace {

struct Wave : ::testing::Test {
  TTempDir dir;
  TMMWave wave;
  int changes = 0;
  Wave() {
    wave.AddObserver([this](TMMWave*) { ++changes; });
  }

  std::string Make(const std::string& name, const std::string& bytes) {
    WriteFile(dir.File(name), bytes);
    return dir.File(name);
  }

  std::string ReadAll(int64_t block = 1000) {
    std::string out(size_t(block), '\0');
    std::string all;
    for (int64_t n; (n = wave.ReadData(out.data(), block)) > 0;) all.append(out, 0, size_t(n));
    return all;
  }
};

// The error's fixed message, and with a `reason`, the file and the reason on a line of their
// own after it.
void ExpectWaveError(const std::function<void()>& call, const std::string& message,
                     const std::string& file = "", const std::string& reason = "") {
  try {
    call();
    ADD_FAILURE() << "no error, expected " << message;
  } catch (const EMMWaveError& e) {
    EXPECT_EQ(e.Message(), message);
    EXPECT_EQ(e.FileName(), file);
    EXPECT_EQ(e.Reason(), reason);
    EXPECT_EQ(std::string(e.what()),
              reason.empty() ? message : message + "\n\r" + file + ": " + reason);
  }
}

TEST_F(Wave, NamingAFileParsesItAndSignalsOneChange) {
  const std::string path = Make("a.wav", Pcm16Stereo(Samples16(441, 2)));
  wave.SetFileName(path);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(wave.GetFileName(), path);
  EXPECT_EQ(wave.GetBitLength(), 16);
  EXPECT_EQ(wave.GetMode(), mStereo);
  EXPECT_EQ(wave.GetFormatTag(), 1);
  EXPECT_EQ(wave.GetSampleRate(), 44100u);
  EXPECT_EQ(wave.GetFormatString(), "44.100 kHz, 16 Bit, Stereo");
  EXPECT_EQ(wave.GetFileSize(), 44 + 441 * 4);
  EXPECT_EQ(wave.GetDataSize(), 441);
  wave.SetTimeFormat(tfByte);
  EXPECT_EQ(wave.GetDataSize(), 1764);
  wave.SetTimeFormat(tfMillisecond);
  EXPECT_EQ(wave.GetDataSize(), 10);

  // The same name with the same size on disk does nothing; a changed size parses anew.
  wave.SetFileName(path);
  EXPECT_EQ(changes, 1);
  WriteFile(path, Pcm16Stereo(Samples16(882, 2)));
  wave.SetFileName(path);
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(wave.GetDataSize(), 20);

  wave.SetFileName("");
  EXPECT_EQ(changes, 3);
  EXPECT_EQ(wave.GetWaveIORecord(), nullptr);
  EXPECT_EQ(wave.GetSampleRate(), 11025u);
  EXPECT_TRUE(wave.Empty());
}

TEST_F(Wave, FailedNamingKeepsThePreviousFile) {
  const std::string good = Make("good.wav", Pcm16Stereo(Samples16(10, 2)));
  const std::string bad = Make("bad.wav", "RIFF\4\0\0\0AVI ");
  wave.SetFileName(good);
  ExpectWaveError([&] { wave.SetFileName(bad); }, "Invalid wave file...", bad,
                  "not a WAVE file (no RIFF/RIFX/RF64 header)");
  ExpectWaveError([&] { wave.SetFileName(dir.File("missing.wav")); }, "Error reading wave file",
                  dir.File("missing.wav"), "No such file or directory");
  EXPECT_EQ(wave.GetFileName(), good);
  EXPECT_EQ(wave.GetDataSize(), 10);
  EXPECT_EQ(changes, 1);

  // A file still to be written may be named before it exists.
  wave.SetFileMustExist(false);
  wave.SetFileName(dir.File("new.wav"));
  EXPECT_EQ(wave.GetFileName(), dir.File("new.wav"));
  EXPECT_EQ(wave.GetWaveIORecord(), nullptr);
  EXPECT_EQ(changes, 2);
  ExpectWaveError([&] { wave.SetFileName(bad); }, "Invalid wave file...", bad,
                  "not a WAVE file (no RIFF/RIFX/RF64 header)");
}

TEST_F(Wave, RelativeNamesAreExpanded) {
  const std::string path = Make("rel.wav", Pcm16Stereo(Samples16(10, 2)));
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  wave.SetFileName("./sub/../rel.wav");
  std::filesystem::current_path(previous);
  EXPECT_EQ(wave.GetFileName(), std::filesystem::path(path).lexically_normal().string());
}

TEST_F(Wave, StreamingReadsFromThePositionToTheEnd) {
  const std::string samples = Samples16(1000, 2);
  wave.SetFileName(Make("a.wav", Pcm16Stereo(samples)));
  EXPECT_EQ(wave.ReadData(nullptr, 4), -1);  // not open
  wave.SetPosition(250);                     // kept until the file opens
  wave.OpenFile();
  EXPECT_EQ(wave.GetPosition(), 250);
  EXPECT_EQ(wave.BytesLeft(), 3000);
  EXPECT_EQ(ReadAll(999), samples.substr(1000));
  EXPECT_EQ(wave.GetPosition(), 1000);
  EXPECT_EQ(wave.BytesLeft(), 0);

  wave.SetTimeFormat(tfMillisecond);
  wave.SetPosition(10);  // 441 samples
  EXPECT_EQ(wave.BytesLeft(), (1000 - 441) * 4);
  wave.SetTimeFormat(tfByte);
  wave.SetPosition(4 * 990);
  EXPECT_EQ(ReadAll(), samples.substr(4 * 990));
  wave.SetTimeFormat(tfSample);
  wave.SetPosition(5000);  // clamped to the end
  EXPECT_EQ(wave.GetPosition(), 1000);
  EXPECT_EQ(wave.ReadData(nullptr, 4), -1);
  wave.CloseFile();
  EXPECT_FALSE(wave.FileOpen());
}

TEST_F(Wave, DataThatCannotBeReadGivesFourZeroBytes) {
  const std::string path = Make("a.wav", Pcm16Stereo(Samples16(100, 2)));
  wave.SetFileName(path);
  std::filesystem::resize_file(path, 44);
  wave.OpenFile();
  std::vector<char> block(64, 'x');
  EXPECT_EQ(wave.ReadData(block.data(), 64), 4);
  EXPECT_EQ(std::string(block.data(), 5), std::string("\0\0\0\0x", 5));
  EXPECT_EQ(wave.GetPosition(), 100);
  EXPECT_EQ(wave.ReadData(block.data(), 64), -1);
  // A block smaller than four bytes is not overrun.
  wave.SetPosition(0);
  char two[2] = {'a', 'b'};
  EXPECT_EQ(wave.ReadData(two, 2), 2);
  EXPECT_EQ(two[0], 0);
}

TEST_F(Wave, OpeningAVanishedFileFails) {
  const std::string path = Make("a.wav", Pcm16Stereo(Samples16(10, 2)));
  wave.SetFileName(path);
  std::filesystem::remove(path);
  ExpectWaveError([&] { wave.OpenFile(); }, "Unable to open wave file", path,
                  "No such file or directory");
  EXPECT_FALSE(wave.FileOpen());
  EXPECT_EQ(wave.GetFileName(), path);
}

TEST_F(Wave, CreateWriteAndCloseMakeAFileThatParsesBack) {
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, 16, 2, 48000);
  const std::string path = dir.File("rec.wav");
  WriteFile(path, std::string(5000, 'o'));  // an old file of that name is replaced
  wave.CreateFile(path, &f);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(wave.GetFileName(), path);
  EXPECT_EQ(wave.GetDataSize(), 0);
  const std::string samples = Samples16(480, 2);
  EXPECT_EQ(wave.WriteData(samples.data(), 1000), 1000);
  EXPECT_EQ(wave.WriteData(samples.data() + 1000, 920), 920);
  EXPECT_EQ(wave.GetDataSize(), 480);
  wave.CloseFile();
  EXPECT_EQ(ReadFile(path), Written(FmtBody(1, 2, 48000, 16), samples));

  TMMWave other;
  other.SetFileName(path);
  EXPECT_EQ(other.GetDataSize(), 480);
  EXPECT_EQ(other.GetSampleRate(), 48000u);
}

TEST_F(Wave, FailedCreateKeepsThePreviousFile) {
  const std::string path = Make("a.wav", Pcm16Stereo(Samples16(10, 2)));
  wave.SetFileName(path);
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, 16, 2, 48000);
  ExpectWaveError([&] { wave.CreateFile(dir.File("no/folder.wav"), &f); },
                  "Unable to create wave file", dir.File("no/folder.wav"),
                  "No such file or directory");
  EXPECT_EQ(wave.GetFileName(), path);
  EXPECT_EQ(wave.GetDataSize(), 10);
  wave.CreateFile("", &f);  // nothing to do
  wave.CreateFile(path, nullptr);
  EXPECT_EQ(wave.GetDataSize(), 10);
}

TEST_F(Wave, AssignSignalsOnceAndBufferSizeHasAFloor) {
  const std::string path = Make("a.wav", Pcm16Stereo(Samples16(10, 2)));
  TMMWave source;
  source.SetFileName(path);
  source.SetIOBufferSize(100);
  EXPECT_EQ(source.GetIOBufferSize(), 8192);
  source.SetTimeFormat(tfByte);
  wave.Assign(source);
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(wave.GetFileName(), path);
  EXPECT_EQ(wave.GetTimeFormat(), tfByte);
  EXPECT_EQ(wave.GetIOBufferSize(), 8192);
  EXPECT_EQ(wave.GetDataSize(), 40);
}

}  // namespace
