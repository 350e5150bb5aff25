// The RIFF WAVE I/O layer: plain functions over a per-file record that parse a file's chunk
// list, create a file, read, write and seek its samples, and patch the sizes on close. The
// functions return numeric result codes and never throw; every size read from a file is
// treated as untrusted.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wave/wave_types.h"

// Result codes.
constexpr int WIOERR_NOERROR = 0;
constexpr int WIOERR_FORMAT = 101;     // no format chunk, or no open file where one is needed
constexpr int WIOERR_BADARG = 104;     // absent record, file name or format
constexpr int WIOERR_FILEERROR = 106;  // open, descend, read, write or seek failed
constexpr int WIOERR_NOMEM = 107;      // out of memory

// Open flags of a record.
constexpr uint32_t WIOF_FILE = 0;
constexpr uint32_t WIOF_RESOURCE = 2;    // an image of type "WAVE" in the executable
constexpr uint32_t WIOF_MEMORY = 4;      // an image in memory
constexpr uint32_t WIOF_INFOONLY = 8;    // only the INFO and DISP lists are wanted
constexpr uint32_t WIOF_PLAINREAD = 16;  // data read with plain file reads, not chunk I/O

using FOURCC = uint32_t;
constexpr FOURCC MakeFourCC(const char (&id)[5]) {
  return uint32_t(uint8_t(id[0])) | uint32_t(uint8_t(id[1])) << 8 | uint32_t(uint8_t(id[2])) << 16 |
         uint32_t(uint8_t(id[3])) << 24;
}
constexpr FOURCC FOURCC_RIFF = MakeFourCC("RIFF");
constexpr FOURCC FOURCC_RIFX = MakeFourCC("RIFX");  // the same form with big-endian numbers
constexpr FOURCC FOURCC_RF64 = MakeFourCC("RF64");  // sizes beyond 32 bits in a "ds64" chunk
constexpr FOURCC FOURCC_BW64 = MakeFourCC("BW64");
constexpr FOURCC FOURCC_DS64 = MakeFourCC("ds64");
constexpr FOURCC FOURCC_JUNK = MakeFourCC("JUNK");
constexpr FOURCC FOURCC_LIST = MakeFourCC("LIST");
constexpr FOURCC FOURCC_WAVE = MakeFourCC("WAVE");
constexpr FOURCC FOURCC_INFO = MakeFourCC("INFO");
constexpr FOURCC FOURCC_FMT = MakeFourCC("fmt ");
constexpr FOURCC FOURCC_DATA = MakeFourCC("data");
constexpr FOURCC FOURCC_FACT = MakeFourCC("fact");
constexpr FOURCC FOURCC_DISP = MakeFourCC("DISP");
std::string FourCCText(FOURCC id);

// The buffered file beneath a record: positioned reads and writes through one buffer of a
// settable size. Only regular files are opened.
class TWaveIOFile {
 public:
  // omCreate makes a new file and never opens one that exists; the writer holds an exclusive
  // lock on it (flock) while it is open, so that no other writer replaces it meanwhile.
  enum TMode { omRead, omReadWrite, omCreate };
  // Whether the open file can still be found by `name`: nsDeleted when no name leads to it any
  // more (it and its data go when it is closed), nsMoved when names lead to it, but `name` is
  // not one of them.
  enum TNameState { nsNamed, nsDeleted, nsMoved };
  TWaveIOFile() = default;
  ~TWaveIOFile();
  TWaveIOFile(const TWaveIOFile&) = delete;
  TWaveIOFile& operator=(const TWaveIOFile&) = delete;

  bool Open(const std::string& name, TMode mode, size_t bufferSize);
  bool Close();  // flushes; false when the flush failed
  bool IsOpen() const { return FFd >= 0; }
  bool Created() const { return FCreated; }
  bool Writable() const { return FWritable; }

  int64_t Position() const { return FPos; }
  int64_t Length() const { return FLength; }
  // Any position from 0 on; reading past the end reads nothing.
  bool Seek(int64_t position);
  // Bytes read (fewer at the end of the file), or -1 on an error.
  int64_t Read(void* buffer, int64_t bytes);
  // Writes all bytes or fails.
  bool Write(const void* buffer, int64_t bytes);
  bool Flush();
  // Flushes and asks the system to put the written data on the disk.
  bool Sync();
  // The lowest file offset from which written bytes did not reach the disk (a full disk, a
  // file-size limit), or -1 when every write arrived.
  int64_t WriteFailedAt() const { return FWriteFailedAt; }
  bool SetBufferSize(size_t size);
  // Cuts or extends the file to `length` (after a flush).
  bool Truncate(int64_t length);
  TNameState NameState(const std::string& name) const;
  // The path that leads to the open file now, as the system knows it ("" when unknown).
  std::string CurrentPath() const;

 private:
  bool FlushWrite();
  int FFd = -1;
  bool FCreated = false;
  bool FWritable = false;
  int64_t FPos = 0;
  int64_t FLength = 0;
  std::vector<char> FBuffer;
  // The buffer holds either cached file bytes (reading) or bytes not yet written (writing),
  // starting at file offset FBufStart.
  int64_t FBufStart = 0;
  size_t FBufLen = 0;
  bool FBufDirty = false;
  int64_t FWriteFailedAt = -1;
  void NoteWriteFailure(int64_t offset);
};

// One chunk's header: id, size and form or list type; the file offset of its data (for
// "RIFF" and "LIST", the type is part of the data); flags. The size is the one in effect: a
// 32-bit field of all ones in an RF64 file stands for the size its "ds64" chunk gives.
constexpr uint32_t MMIO_DIRTY = 0x10000000;
struct TMMCKInfo {
  FOURCC ckid = 0;
  int64_t cksize = 0;
  FOURCC fccType = 0;
  int64_t dwDataOffset = 0;
  uint32_t dwFlags = 0;
};

// The standard RIFF INFO items a file may carry, in table order.
constexpr std::array<std::string_view, 23> RiffInfoIds = {
    "IARL", "IART", "ICMS", "ICMT", "ICOP", "ICRD", "ICRP", "IDIM", "IDPI", "IENG", "IGNR", "IKEY",
    "ILGT", "IMED", "INAM", "IPLT", "IPRD", "ISBJ", "ISFT", "ISHP", "ISRC", "ISRF", "ITCH"};

struct TRiffInfoItem {
  int Index = 0;
  uint32_t Flags = 0;
  bool HasText = false;   // a text was read from the file
  std::string Text;       // the text read from the file
  bool Replaced = false;  // a replacement was set
  std::string Replacement;
  // The text in effect: the replacement when set, else the file's.
  const std::string& Current() const { return Replaced ? Replacement : Text; }
};

class TRiffInfoList {
 public:
  TRiffInfoList();
  // Index in RiffInfoIds, or -1 for an unknown id.
  static int IndexOf(std::string_view id);
  const TRiffInfoItem& Item(int index) const { return FItems[size_t(index)]; }
  // The text in effect for `id`; empty for an unknown id or none.
  std::string Get(std::string_view id) const;
  // Sets a replacement text; false for an unknown id.
  bool Set(std::string_view id, const std::string& text);
  void NoteFromFile(int index, std::string text);

 private:
  std::array<TRiffInfoItem, RiffInfoIds.size()> FItems;
};

struct TRiffDispItem {
  uint32_t Type = 0;  // 1: text, 8: device-independent bitmap
  std::vector<uint8_t> Data;
};
using TRiffDispList = std::vector<TRiffDispItem>;

// Per-file record.
struct WaveIORecord {
  uint32_t Flags = 0;
  std::unique_ptr<TWaveIOFile> File;  // absent while the file is closed
  TMMCKInfo RiffChunk;
  TMMCKInfo DataChunk;
  int64_t FileLength = 0;
  int64_t DataBytes = 0;   // bytes of whole frames in the data chunk
  int64_t DataOffset = 0;  // file offset of the first sample
  int64_t TotalSamples = 0;
  int64_t FirstSample = 0;  // range start
  int64_t LastSample = 0;   // range end
  int64_t BytesLeft = 0;    // to read in the range
  int64_t Position = 0;     // current sample, relative to the range start
  // The form as the file holds it: FOURCC_RIFF, FOURCC_RIFX (numbers and samples big-endian,
  // the samples turned little-endian as they are read), FOURCC_RF64 or FOURCC_BW64.
  FOURCC Form = FOURCC_RIFF;
  // The format tag in the file, before an extensible record was turned into the plain record
  // of its sub-format.
  uint16_t FileFormatTag = 0;
  // A file being written: the offset of the data of the "JUNK" chunk that holds room for a
  // "ds64" chunk (0: none), and the RIFF size beyond which the header turns into RF64.
  int64_t Ds64Offset = 0;
  uint64_t Rf64Threshold = 0xFFFFFFFFull;
  std::string FileName;
  // A file written to replace another (see WaveIOCreate): the name it takes at the close; until
  // then it is written under FileName, a name of its own beside it. Empty for other files.
  std::string FinalName;
  TRiffDispList DispList;
  TRiffInfoList InfoList;
  double BytesPerSecond = 0;  // when non-zero, replaces nAvgBytesPerSec in the conversions
  // Bits of each sample that carry the signal, from the most significant down, when fewer than
  // the container's (12-bit samples in 16-bit containers); 0 when all of them do.
  uint16_t ValidBits = 0;
  int32_t IOBufferSize = 32768;
  // The wave format: at least 18 bytes, plus cbSize bytes for a non-PCM format.
  std::vector<uint8_t> FormatBytes;

  WAVEFORMATEX* Format() {
    return FormatBytes.size() >= sizeof(WAVEFORMATEX)
               ? reinterpret_cast<WAVEFORMATEX*>(FormatBytes.data())
               : nullptr;
  }
  const WAVEFORMATEX* Format() const {
    return FormatBytes.size() >= sizeof(WAVEFORMATEX)
               ? reinterpret_cast<const WAVEFORMATEX*>(FormatBytes.data())
               : nullptr;
  }
  bool IsOpen() const { return File && File->IsOpen(); }
};
using PWaveIORecord = WaveIORecord*;

// Conversions over the record's format; 64-bit throughout. Both give 0 without a usable format.
int64_t WaveIOSamplesToBytes(const WaveIORecord* record, int64_t samples);
int64_t WaveIOBytesToSamples(const WaveIORecord* record, int64_t bytes);

// Parses `name` into a new record (form type `formType`, normally FOURCC_WAVE), then closes the
// file. On failure the record is absent and `reason`, when given, says why in a few words (the
// system's text for a file that cannot be opened or read, "not a WAVE file (...)", ...).
int WaveIOReadHeader(PWaveIORecord& record, const std::string& name, FOURCC formType,
                     uint32_t flags, std::string* reason = nullptr);
bool WaveIOIsWaveFile(const std::string& name, uint32_t flags);
// A new record holding a copy of `format`, with empty INFO and DISP lists.
int WaveIOFromFormat(PWaveIORecord& record, const WAVEFORMATEX* format);
// Creates the file and leaves it positioned at the first sample of a new data chunk. The
// header holds a "JUNK" chunk with room for a "ds64" chunk, so that a file that grows past the
// 32-bit sizes turns into RF64 in place. A file of that name is never opened or cut: without
// `replace` the create fails; with it the new file is written beside the old one (under a name
// "STEM.recording-XXXXXX.EXT") and replaces it only at the close, complete, by a rename; a file
// that another writer holds open is not replaced. `reason`, when given, receives the system's
// text of a failed create.
int WaveIOCreate(PWaveIORecord record, const std::string& name, std::string* reason = nullptr,
                 bool replace = false);
// Reopens the record's file when it is closed, then seeks to the current position.
int WaveIOOpen(PWaveIORecord record);
// Positions at `sample` (relative to the range start), clamped to the range.
int WaveIOSeek(PWaveIORecord record, int64_t sample);
// Bytes read or written, or -1.
int64_t WaveIORead(PWaveIORecord record, void* buffer, int64_t bytes);
int64_t WaveIOWrite(PWaveIORecord record, const void* buffer, int64_t bytes);
int WaveIOSetBuffer(PWaveIORecord record, int32_t size);
// Writes the RIFF and data sizes of a file being created for the data written so far, leaving
// the position where it was, so that a file whose writer dies before the close still reads up
// to that point; with `sync`, also puts the file on the disk (against a power cut). Nothing to
// do for a file that is read or continued. A file whose RIFF size passes the record's
// Rf64Threshold becomes an RF64 file, its sizes in the "ds64" chunk.
int WaveIOUpdateSizes(PWaveIORecord record, bool sync);
// Whether the open file of a record can still be found by its FileName (see
// TWaveIOFile::NameState); nsNamed for a record without an open file.
TWaveIOFile::TNameState WaveIONameState(const WaveIORecord* record);
// Finishes a written file (sizes, fact, DISP and INFO chunks) and closes it; a file written to
// replace another then takes its name, unless it was moved meanwhile or the rename fails (its
// FileName then says where it is, and FinalName stays).
int WaveIOClose(PWaveIORecord record);
int WaveIOFree(PWaveIORecord& record);

// The largest RIFF size of a plain WAVE file: the field is 32 bits wide.
constexpr uint64_t WaveIOMaxRiffSize = 0xFFFFFFFFull;
// The largest RIFF size of a file being written: with room for a "ds64" chunk, the 64-bit
// sizes of RF64; without, the 32-bit field.
uint64_t WaveIOMaxSize(const WaveIORecord* record);
// Whether `bytes` more written at the current position of a file being written leave a data
// chunk that still closes with a RIFF size of at most `riffSizeLimit` (and of what the file's
// header can hold): the pad byte and every chunk that the close appends are counted. False for
// a record whose file is not open.
bool WaveIOWriteFits(const WaveIORecord* record, int64_t bytes,
                     uint64_t riffSizeLimit = UINT64_MAX);
// The RIFF size at which files created from now on turn into RF64 (the size of the RIFF field,
// 4 GiB - 1, unless the environment variable NEEDLEREC_RF64_THRESHOLD gives another number of
// bytes: a test hook, so that the change can be seen without writing 4 GiB).
uint64_t WaveIORf64Threshold();
