#include "stream/wave_io.h"
#include "stream/wave_format.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/stream/wave_test_data.h"

using namespace wavetest;

namespace {

struct WaveIO : ::testing::Test {
  TTempDir dir;
  PWaveIORecord record = nullptr;
  ~WaveIO() override { WaveIOFree(record); }

  int Parse(const std::string& bytes, uint32_t flags = WIOF_FILE) {
    const std::string path = dir.File("in.wav");
    WriteFile(path, bytes);
    WaveIOFree(record);
    return WaveIOReadHeader(record, path, FOURCC_WAVE, flags);
  }

  std::string ReadAll() {
    std::string out;
    char buffer[333];
    for (int64_t n; (n = WaveIORead(record, buffer, sizeof buffer)) > 0;)
      out.append(buffer, size_t(n));
    return out;
  }
};

TEST_F(WaveIO, ParsesFormatDataInfoAndDisplayChunks) {
  const std::string samples = Samples16(250, 2);
  const std::string info = Chunk("LIST", "INFO" + Chunk("INAM", std::string("Take 1\0", 7)) +
                                             Chunk("IXYZ", std::string("dropped\0", 8)) +
                                             Chunk("ICMT", std::string("odd\0", 4)));
  const std::string disp = Chunk("DISP", Le32(1) + std::string("caption\0", 8));
  // The fact count disagrees with the data; the data decides.
  const std::string fact = Chunk("fact", Le32(99999));
  ASSERT_EQ(Parse(Riff(Chunk("fmt ", FmtBody(1, 2, 44100, 16)) + info + fact + disp +
                       Chunk("data", samples))),
            WIOERR_NOERROR);
  const WAVEFORMATEX* f = record->Format();
  EXPECT_EQ(f->nChannels, 2);
  EXPECT_EQ(f->nSamplesPerSec, 44100u);
  EXPECT_EQ(f->nBlockAlign, 4);
  EXPECT_EQ(f->cbSize, 0);
  EXPECT_EQ(record->DataBytes, samples.size());
  EXPECT_EQ(record->TotalSamples, 250u);
  EXPECT_EQ(record->LastSample, 250u);
  EXPECT_EQ(record->InfoList.Get("INAM"), "Take 1");
  EXPECT_EQ(record->InfoList.Get("ICMT"), "odd");
  EXPECT_EQ(TRiffInfoList::IndexOf("IXYZ"), -1);
  ASSERT_EQ(record->DispList.size(), 1u);
  EXPECT_EQ(record->DispList[0].Type, 1u);
  EXPECT_EQ(std::string(record->DispList[0].Data.begin(), record->DispList[0].Data.end()),
            std::string("caption\0", 8));
  EXPECT_FALSE(record->IsOpen());
  const int64_t offset = record->DataOffset;
  EXPECT_EQ(Parse(Pcm16Stereo(samples)), WIOERR_NOERROR);
  EXPECT_EQ(record->DataOffset, 44);
  EXPECT_GT(offset, 44);
}

// What the tolerant parse makes of damaged and unusual files.
struct ParseCase {
  const char* name;
  std::string bytes;
  int result;
  uint32_t dataBytes;
};

TEST_F(WaveIO, TolerantParse) {
  const std::string fmt = Chunk("fmt ", FmtBody(1, 2, 44100, 16));
  const std::string frames = Samples16(100, 2);  // 400 bytes
  const std::string odd = frames + "xy";         // 402 bytes: not whole frames
  const std::string list = Chunk("LIST", "INFO" + Chunk("INAM", std::string("n\0", 2)));
  const std::vector<ParseCase> cases = {
      {"unfinished: RIFF and data sizes 0", Riff(fmt + Chunk("data", odd, 0u), 0u), 0, 400},
      {"unfinished: sizes far too large", Riff(fmt + Chunk("data", odd, ~0u), ~0u), 0, 400},
      {"a data size inside the file is honoured", Riff(fmt + Chunk("data", frames, 40u)), 0, 40},
      {"data ends at the next chunk", Riff(fmt + Chunk("data", frames) + list), 0, 400},
      {"wrong PCM block align and rate",
       Riff(Chunk("fmt ", FmtBody(1, 2, 44100, 16, 3, 7)) + Chunk("data", frames)), 0, 396},
      {"fmt without data", Riff(fmt + list), 0, 0},
      {"no fmt", Riff(Chunk("data", frames)), WIOERR_FORMAT, 0},
      {"not RIFF", "RIFY" + Riff(fmt).substr(4), WIOERR_FILEERROR, 0},
      {"not WAVE", Riff(fmt + Chunk("data", frames), {}, "AVI "), WIOERR_FILEERROR, 0},
      {"empty file", "", WIOERR_FILEERROR, 0},
      {"header cut short", Riff(fmt).substr(0, 10), WIOERR_FILEERROR, 0},
      {"chunk before fmt runs past the file", Riff(Chunk("junk", "abcd", 1u << 30) + fmt),
       WIOERR_FORMAT, 0},
      {"zero channels", Riff(Chunk("fmt ", FmtBody(1, 0, 44100, 16)) + Chunk("data", frames)),
       WIOERR_FORMAT, 0},
      {"zero rate", Riff(Chunk("fmt ", FmtBody(1, 2, 0, 16)) + Chunk("data", frames)),
       WIOERR_FORMAT, 0},
      {"non-PCM with block align 0",
       Riff(Chunk("fmt ", FmtBody(2, 2, 44100, 4, 0, 1000) + Le16(0)) + Chunk("data", frames)),
       WIOERR_FORMAT, 0},
      {"non-PCM without channels",
       Riff(Chunk("fmt ", FmtBody(2, 0, 44100, 4, 256, 11155) + Le16(0)) + Chunk("data", frames)),
       WIOERR_FORMAT, 0},
      {"short fmt chunk",
       Riff(Chunk("fmt ", FmtBody(1, 2, 44100, 16).substr(0, 12)) + Chunk("data", frames)),
       WIOERR_FORMAT, 0},
      {"RF64 sizes beyond any file",
       "RF64" + Le32(~0u) + "WAVEds64" + Le32(28) + std::string(16, '\xff') + Le32(100) + Le32(0) +
           Le32(0) + fmt + Chunk("data", frames, ~0u),
       0, 400},
      {"second data ends the walk",
       Riff(fmt + Chunk("data", frames) + Chunk("data", frames) + list), 0, 400},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Parse(c.bytes), c.result);
    if (c.result == WIOERR_NOERROR && record) {
      EXPECT_EQ(record->DataBytes, c.dataBytes);
      EXPECT_EQ(record->Format()->nBlockAlign, 4);
      EXPECT_EQ(record->Format()->nAvgBytesPerSec, 176400u);
      EXPECT_EQ(record->TotalSamples, c.dataBytes / 4);
    }
    if (c.result != WIOERR_NOERROR) {
      EXPECT_EQ(record, nullptr);
    }
  }
}

// A file refused says why, in the words the user sees after the file's name.
TEST_F(WaveIO, ARefusedFileSaysWhy) {
  const std::string fmt = Chunk("fmt ", FmtBody(1, 2, 44100, 16));
  const std::string data = Chunk("data", Samples16(10, 2));
  const struct {
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"hello, world", "not a WAVE file (no RIFF/RIFX/RF64 header)"},
      {Riff(fmt + data, {}, "AVI "), "not a WAVE file (no RIFF/RIFX/RF64 header)"},
      {Riff(data), "no format chunk"},
      {Riff(Chunk("fmt ", FmtBody(1, 2, 44100, 16).substr(0, 12)) + data),
       "truncated format chunk"},
      {Riff(fmt).substr(0, 30), "truncated format chunk"},
      {"RF64" + Riff(fmt + data).substr(4), "RF64 file without a ds64 chunk"},
      {Riff(Chunk("fmt ", FmtBody(1, 0, 44100, 16)) + data), "no channels in the format chunk"},
      {Riff(Chunk("fmt ", FmtBody(1, 2, 0, 16)) + data), "a sample rate of 0 in the format chunk"},
      {Riff(Chunk("fmt ", FmtBody(1, 2, 44100, 40)) + data), "40-bit samples"},
      {Riff(Chunk("fmt ", FmtBody(3, 2, 44100, 16)) + data), "16-bit float samples"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    WriteFile(dir.File("bad.wav"), c.bytes);
    std::string reason;
    EXPECT_NE(WaveIOReadHeader(record, dir.File("bad.wav"), FOURCC_WAVE, 0, &reason),
              WIOERR_NOERROR);
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(reason, c.reason);
  }
  std::string reason;
  EXPECT_EQ(WaveIOReadHeader(record, dir.File("missing.wav"), FOURCC_WAVE, 0, &reason),
            WIOERR_FILEERROR);
  EXPECT_EQ(reason, "No such file or directory");
}

TEST_F(WaveIO, AChunkPastTheRiffEndStopsTheWalkOnlyOnceFormatAndDataWereSeen) {
  const std::string fmt = Chunk("fmt ", FmtBody(1, 1, 8000, 8));
  const std::string data = Chunk("data", std::string(10, 'a'));
  const std::string list = Chunk("LIST", "INFO" + Chunk("INAM", std::string("n\0", 2)));
  // The RIFF size covers fmt and data only: the INFO list behind is not read.
  const std::string inside = fmt + data;
  ASSERT_EQ(Parse(Riff(inside + list, uint32_t(inside.size() + 4))), WIOERR_NOERROR);
  EXPECT_EQ(record->InfoList.Get("INAM"), "");
  // Before both were seen, a chunk past the RIFF end is still read.
  ASSERT_EQ(Parse(Riff(list + fmt + data, 4)), WIOERR_NOERROR);
  EXPECT_EQ(record->InfoList.Get("INAM"), "n");
  EXPECT_EQ(record->DataBytes, 10u);
}

TEST_F(WaveIO, InfoOnlyGivesTheListsWithoutAFormat) {
  const std::string list = Chunk("LIST", "INFO" + Chunk("IART", std::string("me\0", 3)));
  ASSERT_EQ(Parse(Riff(list), WIOF_INFOONLY), WIOERR_NOERROR);
  EXPECT_EQ(record->InfoList.Get("IART"), "me");
  EXPECT_EQ(record->Format(), nullptr);
}

TEST_F(WaveIO, DamagedInfoListsAreReadOnlyAsFarAsTheyGo) {
  const std::string fmt = Chunk("fmt ", FmtBody(1, 1, 8000, 8));
  // An item whose size runs past the list; an unterminated text; a list too short for a type.
  const std::string items = Chunk("INAM", "abc") + "ICMT" + Le32(1000) + "xyz";
  ASSERT_EQ(Parse(Riff(fmt + Chunk("LIST", "INFO" + items) + Chunk("LIST", "IN") +
                       Chunk("DISP", "abcd") + Chunk("data", "12"))),
            WIOERR_NOERROR);
  EXPECT_EQ(record->InfoList.Get("INAM"), "abc");
  EXPECT_EQ(record->InfoList.Get("ICMT"), "xyz");
  EXPECT_TRUE(record->DispList.empty());  // a DISP of 4 bytes adds nothing
  EXPECT_EQ(record->DataBytes, 2u);
}

TEST_F(WaveIO, NonPcmExtraBytesAreLimitedToWhatTheChunkHolds) {
  // cbSize claims 5000 extra bytes; the chunk holds 2.
  const std::string fmt = Chunk("fmt ", FmtBody(2, 1, 22050, 4, 256, 11155) + Le16(5000) + "xy");
  ASSERT_EQ(Parse(Riff(fmt + Chunk("data", std::string(512, 'd')))), WIOERR_NOERROR);
  EXPECT_EQ(record->Format()->cbSize, 2);
  EXPECT_EQ(record->FormatBytes.size(), 20u);
  EXPECT_EQ(record->Format()->nBlockAlign, 256);  // not recomputed for non-PCM
  EXPECT_EQ(record->DataBytes, 512u);
}

TEST_F(WaveIO, AnExtensibleRecordOfAStandardSubFormatReadsAsItsPlainRecord) {
  const std::string guidTail("\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 12);
  const std::string otherTail("\x12\x34\x56\x78\x9A\xBC\xDE\xF0\x11\x22\x33\x44", 12);
  struct Case {
    uint16_t bits, validBits;
    uint32_t subFormat;
    bool standard;
    uint16_t tag, validBitsRead;
  } cases[] = {
      {16, 16, 1, true, WAVE_FORMAT_PCM, 0},
      {8, 0, 1, true, WAVE_FORMAT_PCM, 0},  // valid bits 0: all of them
      {24, 24, 1, true, WAVE_FORMAT_PCM, 0},
      {24, 20, 1, true, WAVE_FORMAT_PCM, 20},
      {32, 24, 1, true, WAVE_FORMAT_PCM, 24},
      {32, 32, 3, true, WAVE_FORMAT_IEEE_FLOAT, 0},
      {16, 16, 1, false, WAVE_FORMAT_EXTENSIBLE, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + "/" + std::to_string(c.validBits) + " bits, subformat " +
                 std::to_string(c.subFormat) + (c.standard ? "" : " of another family"));
    const std::string fmt = FmtBody(WAVE_FORMAT_EXTENSIBLE, 2, 48000, c.bits) + Le16(22) +
                            Le16(c.validBits) + Le32(3) + Le32(c.subFormat) +
                            (c.standard ? guidTail : otherTail);
    const std::string samples(size_t(c.bits / 8) * 2 * 100, 's');
    ASSERT_EQ(Parse(Riff(Chunk("fmt ", fmt) + Chunk("fact", Le32(100)) + Chunk("data", samples))),
              WIOERR_NOERROR);
    const WAVEFORMATEX* f = record->Format();
    const bool plain = c.tag != WAVE_FORMAT_EXTENSIBLE;
    EXPECT_EQ(f->wFormatTag, c.tag);
    EXPECT_EQ(record->FileFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(f->cbSize, plain ? 0 : 22);
    EXPECT_EQ(record->FormatBytes.size(), plain ? 18u : 40u);
    EXPECT_EQ(record->ValidBits, c.validBitsRead);
    EXPECT_EQ(f->nChannels, 2);
    EXPECT_EQ(f->nSamplesPerSec, 48000u);
    EXPECT_EQ(f->wBitsPerSample, c.bits);
    EXPECT_EQ(f->nBlockAlign, c.bits / 8 * 2);
    EXPECT_EQ(record->TotalSamples, 100u);
    ASSERT_EQ(WaveIOOpen(record), WIOERR_NOERROR);
    EXPECT_EQ(ReadAll(), samples);
  }
}

TEST_F(WaveIO, SeekAndReadStayInsideTheData) {
  const std::string samples = Samples16(300, 2);
  const std::string file = Riff(Chunk("fmt ", FmtBody(1, 2, 44100, 16)) + Chunk("data", samples) +
                                Chunk("junk", "trailing"));
  ASSERT_EQ(Parse(file), WIOERR_NOERROR);
  EXPECT_EQ(WaveIORead(record, nullptr, 4), -1);  // not open
  ASSERT_EQ(WaveIOOpen(record), WIOERR_NOERROR);
  EXPECT_EQ(record->BytesLeft, 1200u);
  EXPECT_EQ(ReadAll(), samples);
  EXPECT_EQ(record->Position, 300u);
  EXPECT_EQ(WaveIORead(record, nullptr, 4), -1);

  ASSERT_EQ(WaveIOSeek(record, 100), WIOERR_NOERROR);
  EXPECT_EQ(record->Position, 100u);
  EXPECT_EQ(record->BytesLeft, 800u);
  EXPECT_EQ(ReadAll(), samples.substr(400));
  // Beyond the range: clamped to its end.
  ASSERT_EQ(WaveIOSeek(record, 5000), WIOERR_NOERROR);
  EXPECT_EQ(record->BytesLeft, 0u);
  EXPECT_EQ(WaveIOSeek(record, -1), WIOERR_FILEERROR);
  EXPECT_EQ(WaveIOClose(record), WIOERR_NOERROR);
  EXPECT_FALSE(record->IsOpen());
  // Closing a read file leaves it as it was.
  EXPECT_EQ(ReadFile(dir.File("in.wav")), file);
}

TEST_F(WaveIO, AFileCutShortAfterParsingReadsWhatIsThere) {
  const std::string samples = Samples16(300, 2);
  ASSERT_EQ(Parse(Pcm16Stereo(samples)), WIOERR_NOERROR);
  std::filesystem::resize_file(dir.File("in.wav"), 44 + 402);
  ASSERT_EQ(WaveIOOpen(record), WIOERR_NOERROR);
  EXPECT_EQ(ReadAll(), samples.substr(0, 402));
  EXPECT_EQ(record->BytesLeft, 0u);
}

TEST_F(WaveIO, ResultCodesForMissingArguments) {
  PWaveIORecord none = nullptr;
  EXPECT_EQ(WaveIOOpen(none), WIOERR_BADARG);
  EXPECT_EQ(WaveIOSetBuffer(none, 8192), WIOERR_BADARG);
  EXPECT_EQ(WaveIOFromFormat(none, nullptr), WIOERR_BADARG);
  EXPECT_EQ(WaveIOReadHeader(none, "", FOURCC_WAVE, 0), WIOERR_BADARG);
  EXPECT_EQ(WaveIOReadHeader(none, dir.File("missing.wav"), FOURCC_WAVE, 0), WIOERR_FILEERROR);
  EXPECT_EQ(WaveIOReadHeader(none, dir.Path(), FOURCC_WAVE, 0), WIOERR_FILEERROR);
  EXPECT_EQ(WaveIOSeek(none, 0), WIOERR_FILEERROR);
  EXPECT_EQ(WaveIOWrite(none, "x", 1), -1);
  ASSERT_EQ(Parse(Pcm16Stereo(Samples16(4, 2))), WIOERR_NOERROR);
  EXPECT_EQ(WaveIOSetBuffer(record, 8192), WIOERR_FORMAT);  // file closed
  EXPECT_EQ(WaveIOWrite(record, "x", 1), -1);
  EXPECT_TRUE(WaveIOIsWaveFile(dir.File("in.wav"), 0));
  EXPECT_FALSE(WaveIOIsWaveFile(dir.File("missing.wav"), 0));
}

struct WaveIOWriting : WaveIO {
  WAVEFORMATEX format{};
  void Create(const std::string& name, const WAVEFORMATEX& f) {
    WaveIOFree(record);
    ASSERT_EQ(WaveIOFromFormat(record, &f), WIOERR_NOERROR);
    ASSERT_EQ(WaveIOCreate(record, dir.File(name)), WIOERR_NOERROR);
  }
};

TEST_F(WaveIOWriting, AWrittenFileHasExactSizesAndAPadByte) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = 1;
  f.nSamplesPerSec = 8000;
  f.nAvgBytesPerSec = 8000;
  f.nBlockAlign = 1;
  f.wBitsPerSample = 8;
  f.cbSize = 77;  // ignored for PCM
  Create("odd.wav", f);
  EXPECT_EQ(record->DataOffset, int64_t(kWrittenHeader));
  ASSERT_EQ(WaveIOWrite(record, "abcde", 5), 5);
  ASSERT_EQ(WaveIOWrite(record, "fg", 2), 2);
  EXPECT_EQ(record->TotalSamples, 7u);
  EXPECT_EQ(record->DataBytes, 7u);
  ASSERT_EQ(WaveIOClose(record), WIOERR_NOERROR);
  const std::string expected = Written(FmtBody(1, 1, 8000, 8), "abcdefg");
  EXPECT_EQ(ReadFile(dir.File("odd.wav")), expected);
  EXPECT_EQ(ReadLe32(expected, 4), 80u);  // 72 + 7 data bytes + the pad byte
  EXPECT_EQ(record->FileLength, int64_t(expected.size()));
  // The pad byte is not read back as a sample, whether the data is last or not.
  ASSERT_EQ(Parse(expected), WIOERR_NOERROR);
  EXPECT_EQ(record->DataBytes, 7u);
  ASSERT_EQ(Parse(Riff(Chunk("fmt ", FmtBody(1, 1, 8000, 8)) + Chunk("data", "abcdefg") +
                       Chunk("junk", "j"))),
            WIOERR_NOERROR);
  EXPECT_EQ(record->DataBytes, 7u);
}

TEST_F(WaveIOWriting, NonPcmGetsAFactChunkAndInfoAndDisplayItemsAreWritten) {
  std::string formatBytes = FmtBody(2, 1, 22050, 4, 256, 11155) + Le16(2) + "xy";
  Create("adpcm.wav", *reinterpret_cast<const WAVEFORMATEX*>(formatBytes.data()));
  ASSERT_EQ(record->FormatBytes.size(), 20u);
  record->InfoList.Set("INAM", "name");
  record->InfoList.Set("ICMT", "");  // empty items are not written
  record->DispList.push_back({1, {'h', 'i', 0}});
  record->DispList.push_back({5, {'?'}});  // neither text nor bitmap: not written
  const std::string block(512, 'q');
  ASSERT_EQ(WaveIOWrite(record, block.data(), 512), 512);
  const uint32_t samples = record->TotalSamples;
  ASSERT_EQ(WaveIOClose(record), WIOERR_NOERROR);
  const std::string expected =
      Riff(Ds64Room() + Chunk("fmt ", formatBytes) + Chunk("data", block) +
           Chunk("fact", Le32(samples)) + Chunk("DISP", Le32(1) + std::string("hi\0", 3)) +
           Chunk("LIST", "INFO" + Chunk("INAM", std::string("name\0", 5))));
  EXPECT_EQ(ReadFile(dir.File("adpcm.wav")), expected);
  ASSERT_EQ(Parse(expected), WIOERR_NOERROR);
  EXPECT_EQ(record->InfoList.Get("INAM"), "name");
  EXPECT_EQ(record->DataBytes, 512u);
}

TEST_F(WaveIOWriting, AContinuedFileGetsNewSizesAndKeepsItsInfo) {
  const std::string first = Samples16(10, 2);
  const std::string more = Samples16(5, 2);
  const std::string info = Chunk("LIST", "INFO" + Chunk("IART", std::string("x\0", 2)));
  // An old file with a long trailing chunk: nothing of it may stay behind the form.
  ASSERT_EQ(Parse(Riff(Chunk("fmt ", FmtBody(1, 2, 44100, 16)) + Chunk("data", first) + info +
                       Chunk("junk", std::string(300, 'j')))),
            WIOERR_NOERROR);
  record->Position = record->TotalSamples;
  ASSERT_EQ(WaveIOOpen(record), WIOERR_NOERROR);
  ASSERT_EQ(WaveIOWrite(record, more.data(), int64_t(more.size())), int64_t(more.size()));
  EXPECT_EQ(record->TotalSamples, 15u);
  ASSERT_EQ(WaveIOClose(record), WIOERR_NOERROR);
  EXPECT_EQ(ReadFile(dir.File("in.wav")),
            Riff(Chunk("fmt ", FmtBody(1, 2, 44100, 16)) + Chunk("data", first + more) + info));
}

// A write that the disk refuses (here a file-size limit, in a child process so that the limit
// stays there): the file is closed with sizes that describe the whole frames that did arrive.
// A file-size limit cuts the data short: the file keeps every whole frame that reached the
// disk, whether the data went through the write buffer or past it in one large write.
TEST_F(WaveIOWriting, ARefusedWriteLeavesSizesOfWhatReachedTheDisk) {
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, 16, 2, 44100);
  std::string data;
  for (int i = 0; i < 120000; ++i) data.push_back(char(i * 11 + i / 256));
  for (const size_t block : {size_t(4000), size_t(48000)}) {
    SCOPED_TRACE(block);
    const std::string name = dir.File("limited-" + std::to_string(block) + ".wav");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit limit{kWrittenHeader + 70001, kWrittenHeader + 70001};
      setrlimit(RLIMIT_FSIZE, &limit);
      PWaveIORecord r = nullptr;
      if (WaveIOFromFormat(r, &f) != WIOERR_NOERROR || WaveIOCreate(r, name) != WIOERR_NOERROR)
        _exit(2);
      for (size_t at = 0; at < data.size(); at += block)
        WaveIOWrite(r, data.data() + at, int64_t(block));
      WaveIOFree(r);
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string bytes = ReadFile(name);
    ASSERT_GE(bytes.size(), kWrittenHeader);
    const uint32_t dataBytes = ReadLe32(bytes, kWrittenHeader - 4);
    EXPECT_EQ(ReadLe32(bytes, 4) + 8, bytes.size()) << "RIFF size";
    EXPECT_EQ(kWrittenHeader + dataBytes, bytes.size()) << "data size";
    EXPECT_EQ(dataBytes, 70000u) << "the whole frames below the limit";
    const std::string kept = bytes.substr(kWrittenHeader);
    const auto differ = std::mismatch(kept.begin(), kept.end(), data.begin());
    EXPECT_EQ(differ.first, kept.end())
        << "the data differs from byte " << differ.first - kept.begin();
  }
}

TEST_F(WaveIOWriting, WriteFitsCountsThePadByteAndTheAppendedChunks) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  f.nChannels = 1;
  f.nSamplesPerSec = 8000;
  f.nAvgBytesPerSec = 8000;
  f.nBlockAlign = 1;
  f.wBitsPerSample = 8;
  Create("limit.wav", f);
  // RIFF size = 72 + data + pad.
  EXPECT_TRUE(WaveIOWriteFits(record, 64, 136));
  EXPECT_FALSE(WaveIOWriteFits(record, 65, 136));  // 72 + 65 + 1 pad
  EXPECT_TRUE(WaveIOWriteFits(record, 0xFFFFFFFFll - 73, WaveIOMaxRiffSize));
  EXPECT_FALSE(WaveIOWriteFits(record, 0xFFFFFFFFll - 71, WaveIOMaxRiffSize));
  // Without a limit of its own, a new file goes on past 4 GiB: its header turns into RF64.
  EXPECT_TRUE(WaveIOWriteFits(record, int64_t(1) << 40));
  record->InfoList.Set("INAM", "abc");  // LIST(12) + INAM(8 + 4)
  EXPECT_FALSE(WaveIOWriteFits(record, 64, 136));
  EXPECT_TRUE(WaveIOWriteFits(record, 40, 136));
  ASSERT_EQ(WaveIOWrite(record, "0123456789", 10), 10);
  EXPECT_TRUE(WaveIOWriteFits(record, 30, 136));
  EXPECT_FALSE(WaveIOWriteFits(record, 31, 136));
}

// A file whose RIFF size passes the threshold (4 GiB - 1 outside tests) turns into RF64 in
// place: "RF64" and "ds64" replace "RIFF" and "JUNK", the 32-bit sizes become all ones and the
// real ones stand in ds64; while it runs (size updates) and when it is closed or continued.
TEST_F(WaveIOWriting, AFilePastTheThresholdTurnsIntoRf64InPlace) {
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, 16, 2, 8000);
  Create("long.wav", f);
  record->Rf64Threshold = 500;
  const std::string samples = Samples16(200, 2);  // 800 bytes
  const auto header = [&] { return ReadFile(dir.File("long.wav")).substr(0, 80); };
  ASSERT_EQ(WaveIOWrite(record, samples.data(), 400), 400);
  ASSERT_EQ(WaveIOUpdateSizes(record, false), WIOERR_NOERROR);
  EXPECT_EQ(header(), Written(FmtBody(1, 2, 8000, 16), "").substr(0, 4) + Le32(72 + 400) +
                          Written(FmtBody(1, 2, 8000, 16), "").substr(8, 68) + Le32(400));
  ASSERT_EQ(WaveIOWrite(record, samples.data() + 400, 400), 400);
  ASSERT_EQ(WaveIOUpdateSizes(record, false), WIOERR_NOERROR);
  const std::string rf64Header = "RF64" + Le32(~0u) + "WAVEds64" + Le32(28) + Le32(72 + 800) +
                                 Le32(0) + Le32(800) + Le32(0) + Le32(200) + Le32(0) + Le32(0) +
                                 "fmt " + Le32(16) + FmtBody(1, 2, 8000, 16) + "data" + Le32(~0u);
  EXPECT_EQ(header(), rf64Header) << "brought up to date while it runs";
  PWaveIORecord live = nullptr;
  ASSERT_EQ(WaveIOReadHeader(live, dir.File("long.wav"), FOURCC_WAVE, 0), WIOERR_NOERROR);
  EXPECT_EQ(live->DataBytes, 800);
  EXPECT_EQ(live->Form, FOURCC_RF64);
  WaveIOFree(live);
  ASSERT_EQ(WaveIOClose(record), WIOERR_NOERROR);
  EXPECT_EQ(ReadFile(dir.File("long.wav")), rf64Header + samples);

  // Continued, it stays RF64 and its sizes grow.
  ASSERT_EQ(Parse(ReadFile(dir.File("long.wav"))), WIOERR_NOERROR);
  EXPECT_EQ(record->TotalSamples, 200);
  record->Position = record->TotalSamples;
  ASSERT_EQ(WaveIOOpen(record), WIOERR_NOERROR);
  ASSERT_EQ(WaveIOWrite(record, samples.data(), 4), 4);
  ASSERT_EQ(WaveIOClose(record), WIOERR_NOERROR);
  const std::string continued = ReadFile(dir.File("in.wav"));
  EXPECT_EQ(continued.substr(0, 4), "RF64");
  EXPECT_EQ(continued.substr(20, 24),
            std::string(Le32(72 + 804) + Le32(0) + Le32(804) + Le32(0) + Le32(201) + Le32(0)));
  EXPECT_EQ(continued.size(), 80u + 804u);
}

TEST_F(WaveIOWriting, CreateFailsCleanlyInAMissingFolder) {
  WAVEFORMATEX f{};
  f.wFormatTag = WAVE_FORMAT_PCM;
  ASSERT_EQ(WaveIOFromFormat(record, &f), WIOERR_NOERROR);
  EXPECT_EQ(WaveIOCreate(record, dir.File("no/such/folder.wav")), WIOERR_FILEERROR);
  EXPECT_FALSE(record->IsOpen());
  EXPECT_EQ(WaveIOCreate(record, ""), WIOERR_BADARG);
}

// An existing file is never opened for writing: refused without `replace`; with it, the new
// file is written beside it and takes its name only at the close.
TEST_F(WaveIOWriting, AnExistingFileIsReplacedOnlyWhenAskedAndOnlyAtTheClose) {
  WAVEFORMATEX f{};
  BuildPCMFormat(&f, 16, 2, 44100);
  ASSERT_EQ(WaveIOFromFormat(record, &f), WIOERR_NOERROR);
  const std::string name = dir.File("take.wav");
  WriteFile(name, "an older take");
  std::string reason;
  EXPECT_EQ(WaveIOCreate(record, name, &reason), WIOERR_FILEERROR);
  EXPECT_EQ(reason, "the file exists");
  ASSERT_EQ(WaveIOCreate(record, name, &reason, true), WIOERR_NOERROR) << reason;
  EXPECT_NE(record->FileName, name);
  EXPECT_EQ(record->FinalName, name);
  EXPECT_EQ(ReadFile(name), "an older take");
  const std::string samples(400, '\x11');
  EXPECT_EQ(WaveIOWrite(record, samples.data(), 400), 400);
  const std::string beside = record->FileName;
  EXPECT_EQ(WaveIOClose(record), WIOERR_NOERROR);
  EXPECT_EQ(record->FileName, name);
  EXPECT_FALSE(std::filesystem::exists(beside));
  EXPECT_EQ(ReadFile(name), Written(FmtBody(1, 2, 44100, 16), samples));
}

}  // namespace
