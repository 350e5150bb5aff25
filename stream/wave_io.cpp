#include "stream/wave_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <new>
#include <optional>
#include <random>

#include "stream/wave_format.h"

// ---------------------------------------------------------------------------------------------
// The buffered file

TWaveIOFile::~TWaveIOFile() {
  Close();
}

bool TWaveIOFile::Open(const std::string& name, TMode mode, size_t bufferSize) {
  Close();
  int flags = O_CLOEXEC | O_NONBLOCK;  // no blocking on a FIFO before it is refused below
  switch (mode) {
    case omRead:
      flags |= O_RDONLY;
      break;
    case omReadWrite:
      flags |= O_RDWR;
      break;
    case omCreate:
      flags |= O_RDWR | O_CREAT | O_EXCL;
      break;
  }
  const int fd = ::open(name.c_str(), flags, 0666);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  // Never contended: the file is new. Another writer that would replace it asks for the lock.
  if (mode == omCreate) ::flock(fd, LOCK_EX | LOCK_NB);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  try {
    FBuffer.assign(bufferSize, 0);
  } catch (const std::bad_alloc&) {
    ::close(fd);
    return false;
  }
  FFd = fd;
  FCreated = mode == omCreate;
  FWritable = mode != omRead;
  FPos = 0;
  FLength = st.st_size;
  FBufStart = 0;
  FBufLen = 0;
  FBufDirty = false;
  return true;
}

bool TWaveIOFile::Close() {
  if (FFd < 0) return true;
  const bool flushed = FlushWrite();
  const bool closed = ::close(FFd) == 0;
  FFd = -1;
  FBuffer.clear();
  FBuffer.shrink_to_fit();
  FBufLen = 0;
  return flushed && closed;
}

TWaveIOFile::TNameState TWaveIOFile::NameState(const std::string& name) const {
  struct stat own {};
  struct stat named {};
  if (FFd < 0 || ::fstat(FFd, &own) != 0) return nsNamed;  // nothing known: nothing said
  if (own.st_nlink == 0) return nsDeleted;
  if (::stat(name.c_str(), &named) != 0 || named.st_dev != own.st_dev || named.st_ino != own.st_ino)
    return nsMoved;
  return nsNamed;
}

std::string TWaveIOFile::CurrentPath() const {
  if (FFd < 0) return "";
  char path[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(FFd);
  const ssize_t n = ::readlink(link.c_str(), path, sizeof path - 1);
  return n > 0 ? std::string(path, size_t(n)) : "";
}

bool TWaveIOFile::Seek(int64_t position) {
  if (FFd < 0 || position < 0) return false;
  FPos = position;
  return true;
}

void TWaveIOFile::NoteWriteFailure(int64_t offset) {
  if (FWriteFailedAt < 0 || offset < FWriteFailedAt) FWriteFailedAt = offset;
}

bool TWaveIOFile::FlushWrite() {
  if (!FBufDirty) return true;
  FBufDirty = false;
  size_t done = 0;
  while (done < FBufLen) {
    const ssize_t n = ::pwrite(FFd, FBuffer.data() + done, FBufLen - done, FBufStart + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      NoteWriteFailure(FBufStart + int64_t(done));
      FBufLen = 0;
      return false;
    }
    done += size_t(n);
  }
  return true;
}

bool TWaveIOFile::Flush() {
  return FFd >= 0 && FlushWrite();
}

bool TWaveIOFile::Sync() {
  return Flush() && ::fdatasync(FFd) == 0;
}

int64_t TWaveIOFile::Read(void* buffer, int64_t bytes) {
  if (FFd < 0 || bytes < 0) return -1;
  if (!FlushWrite()) return -1;
  char* out = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < bytes) {
    if (FBufLen > 0 && FPos >= FBufStart && FPos < FBufStart + int64_t(FBufLen)) {
      const size_t offset = size_t(FPos - FBufStart);
      const size_t n = size_t(std::min<int64_t>(int64_t(FBufLen - offset), bytes - done));
      std::memcpy(out + done, FBuffer.data() + offset, n);
      FPos += int64_t(n);
      done += int64_t(n);
      continue;
    }
    const int64_t wanted = bytes - done;
    const bool direct = wanted >= int64_t(FBuffer.size());
    char* target = direct ? out + done : FBuffer.data();
    const size_t count = direct ? size_t(wanted) : FBuffer.size();
    const ssize_t n = ::pread(FFd, target, count, FPos);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done > 0 ? done : -1;
    if (n == 0) break;
    if (direct) {
      FPos += n;
      done += n;
    } else {
      FBufStart = FPos;
      FBufLen = size_t(n);
    }
  }
  return done;
}

bool TWaveIOFile::Write(const void* buffer, int64_t bytes) {
  if (FFd < 0 || !FWritable || bytes < 0) return false;
  if (bytes == 0) return true;
  // After a failed write the file ends at the first byte that did not reach the disk: nothing
  // more goes there or beyond (it would leave a hole or overwrite what did reach the disk);
  // the sizes in the header before it can still be patched.
  if (FWriteFailedAt >= 0 && FPos + bytes > FWriteFailedAt) return false;
  const char* in = static_cast<const char*>(buffer);
  if (!FBufDirty) {
    FBufLen = 0;  // a read cache is dropped by any write
  } else if (FPos != FBufStart + int64_t(FBufLen)) {
    if (!FlushWrite()) return false;
    FBufLen = 0;
  }
  if (FBufLen + size_t(bytes) > FBuffer.size()) {
    if (!FlushWrite()) return false;
    FBufLen = 0;
  }
  if (size_t(bytes) >= FBuffer.size()) {
    int64_t done = 0;
    while (done < bytes) {
      const ssize_t n = ::pwrite(FFd, in + done, size_t(bytes - done), FPos + done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        NoteWriteFailure(FPos + done);
        return false;
      }
      done += n;
    }
  } else {
    if (!FBufDirty) FBufStart = FPos;
    std::memcpy(FBuffer.data() + FBufLen, in, size_t(bytes));
    FBufLen += size_t(bytes);
    FBufDirty = true;
  }
  FPos += bytes;
  FLength = std::max(FLength, FPos);
  return true;
}

bool TWaveIOFile::SetBufferSize(size_t size) {
  if (FFd < 0) return false;
  if (!FlushWrite()) return false;
  try {
    FBuffer.assign(size, 0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  FBufLen = 0;
  return true;
}

bool TWaveIOFile::Truncate(int64_t length) {
  if (FFd < 0 || !FWritable || !FlushWrite()) return false;
  FBufLen = 0;
  if (::ftruncate(FFd, length) != 0) return false;
  FLength = length;
  return true;
}

// ---------------------------------------------------------------------------------------------
// Chunk navigation

std::string FourCCText(FOURCC id) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[size_t(i)] = char((id >> (8 * i)) & 0xFF);
  return text;
}

namespace {

uint16_t LoadU16(const uint8_t* p, bool bigEndian = false) {
  return bigEndian ? uint16_t(p[0] << 8 | p[1]) : uint16_t(p[0] | p[1] << 8);
}

uint32_t LoadU32(const uint8_t* p, bool bigEndian = false) {
  return bigEndian
             ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
             : uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t LoadU64(const uint8_t* p) {
  return uint64_t(LoadU32(p)) | uint64_t(LoadU32(p + 4)) << 32;
}

void StoreU16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

void StoreU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

void StoreU64(uint8_t* p, uint64_t v) {
  StoreU32(p, uint32_t(v));
  StoreU32(p + 4, uint32_t(v >> 32));
}

bool WriteU32(TWaveIOFile& file, uint32_t value) {
  uint8_t bytes[4];
  StoreU32(bytes, value);
  return file.Write(bytes, 4);
}

FOURCC FourCCFromText(std::string_view id) {
  FOURCC value = 0;
  for (size_t i = 0; i < 4 && i < id.size(); ++i) value |= uint32_t(uint8_t(id[i])) << (8 * i);
  return value;
}

bool IsForm(FOURCC id) {
  return id == FOURCC_RIFF || id == FOURCC_RIFX || id == FOURCC_RF64 || id == FOURCC_BW64;
}

bool HasType(FOURCC id) {
  return IsForm(id) || id == FOURCC_LIST;
}

// A 32-bit size field of all ones in an RF64 file: the size is in the "ds64" chunk.
constexpr uint32_t kSizeInDs64 = 0xFFFFFFFF;
// The body of a "ds64" chunk without a table: RIFF size, data size and sample count (64 bits
// each) and the table's length (32 bits). A file being written holds a "JUNK" chunk of this
// size in its place.
constexpr uint32_t kDs64Bytes = 28;

// How the numbers of a form are read: byte order, and the sizes of an RF64 file's "ds64" chunk.
struct TFormSizes {
  bool BigEndian = false;
  bool Rf64 = false;
  int64_t Riff = -1;
  int64_t Data = -1;
  std::vector<std::pair<FOURCC, int64_t>> Table;

  // The size in effect of a chunk whose field holds `field`.
  int64_t Resolve(FOURCC id, uint32_t field) const {
    if (!Rf64 || field != kSizeInDs64) return field;
    if (IsForm(id) && Riff >= 0) return Riff;
    if (id == FOURCC_DATA && Data >= 0) return Data;
    for (const auto& [tableId, size] : Table)
      if (tableId == id) return size;
    return field;
  }
};

// Reads the header of the chunk at the current position; afterwards the position is the
// first byte of its data (after the type, for forms and "LIST").
bool Descend(TWaveIOFile& file, TMMCKInfo& ck, const TFormSizes& sizes = {}) {
  uint8_t header[12];
  if (file.Read(header, 8) != 8) return false;
  ck.ckid = LoadU32(header);
  ck.cksize = sizes.Resolve(ck.ckid, LoadU32(header + 4, sizes.BigEndian));
  ck.dwDataOffset = file.Position();
  ck.fccType = 0;
  ck.dwFlags = 0;
  if (HasType(ck.ckid)) {
    if (file.Read(header + 8, 4) != 4) return false;
    ck.fccType = LoadU32(header + 8);
  }
  return true;
}

// Leaves a chunk. A chunk written to (dirty) gets its size from the current position and a
// pad byte when that size is odd; any other chunk is skipped by its size and pad byte.
bool Ascend(TWaveIOFile& file, TMMCKInfo& ck) {
  if (ck.dwFlags & MMIO_DIRTY) {
    const int64_t end = file.Position();
    const int64_t size = end - ck.dwDataOffset;
    if (size < 0 || uint64_t(size) > WaveIOMaxRiffSize) return false;
    ck.cksize = size;
    if (!file.Seek(ck.dwDataOffset - 4) || !WriteU32(file, uint32_t(size)) || !file.Seek(end))
      return false;
    if (size & 1) {
      const uint8_t pad = 0;
      if (!file.Write(&pad, 1)) return false;
    }
    ck.dwFlags &= ~MMIO_DIRTY;
    return true;
  }
  const int64_t end = ck.dwDataOffset + ck.cksize;
  if (end > file.Length()) return false;
  return file.Seek(end + (ck.cksize & 1));
}

// Writes a chunk header at the current position; the chunk is dirty until it is left.
bool CreateChunk(TWaveIOFile& file, TMMCKInfo& ck) {
  if (!WriteU32(file, ck.ckid) || !WriteU32(file, uint32_t(ck.cksize))) return false;
  ck.dwDataOffset = file.Position();
  if (HasType(ck.ckid) && !WriteU32(file, ck.fccType)) return false;
  ck.dwFlags |= MMIO_DIRTY;
  return true;
}

bool IsPcm(const WaveIORecord* record) {
  const WAVEFORMATEX* f = record->Format();
  return f && f->wFormatTag == WAVE_FORMAT_PCM;
}

// a * b / c, rounded to nearest; a, b, c non-negative.
int64_t MulDiv64(int64_t a, int64_t b, int64_t c) {
  if (c <= 0 || a < 0 || b < 0) return 0;
  const __int128 product = __int128(a) * b;
  const __int128 q = product / c + (2 * (product % c)) / c;
  return q > std::numeric_limits<int64_t>::max() ? std::numeric_limits<int64_t>::max() : int64_t(q);
}

double BytesPerSecond(const WaveIORecord* record) {
  return record->BytesPerSecond > 0 ? record->BytesPerSecond
                                    : double(record->Format()->nAvgBytesPerSec);
}

void ReadInfoBody(const std::vector<uint8_t>& body, TRiffInfoList& list, bool bigEndian) {
  size_t offset = 0;
  while (body.size() - offset >= 8) {
    const std::string id(reinterpret_cast<const char*>(body.data() + offset), 4);
    const uint32_t size = LoadU32(body.data() + offset + 4, bigEndian);
    const size_t start = offset + 8;
    const size_t length = size_t(std::min<uint64_t>(size, body.size() - start));
    const int index = TRiffInfoList::IndexOf(id);
    if (index >= 0) {
      const char* text = reinterpret_cast<const char*>(body.data() + start);
      list.NoteFromFile(index, std::string(text, strnlen(text, length)));
    }
    const uint64_t next = uint64_t(start) + size + (size & 1);
    if (next >= body.size()) break;
    offset = size_t(next);
  }
}

bool OpenForReadWrite(TWaveIOFile& file, const std::string& name, size_t bufferSize) {
  return file.Open(name, TWaveIOFile::omReadWrite, bufferSize) ||
         file.Open(name, TWaveIOFile::omRead, bufferSize);
}

// Steps past the form's header of an opened file; false unless it holds a form of `formType`
// ("RIFF", "RIFX", "RF64" or "BW64").
bool EnterForm(TWaveIOFile& file, FOURCC formType, TMMCKInfo& riff) {
  return file.Seek(0) && Descend(file, riff) && IsForm(riff.ckid) && riff.fccType == formType;
}

// Reads the "ds64" chunk that must follow the header of an RF64 file.
bool ReadDs64(TWaveIOFile& file, TFormSizes& sizes, int64_t& offset, std::string& reason) {
  TMMCKInfo ck;
  uint8_t body[kDs64Bytes];
  if (!Descend(file, ck) || ck.ckid != FOURCC_DS64 || ck.cksize < kDs64Bytes ||
      file.Read(body, kDs64Bytes) != kDs64Bytes) {
    reason = "RF64 file without a ds64 chunk";
    return false;
  }
  // Sizes beyond any file are cut to 2^62 bytes, so that offsets plus sizes stay exact.
  const auto size = [](uint64_t v) { return int64_t(std::min<uint64_t>(v, uint64_t(1) << 62)); };
  sizes.Riff = size(LoadU64(body));
  sizes.Data = size(LoadU64(body + 8));
  offset = ck.dwDataOffset;
  const uint32_t entries = LoadU32(body + 24);
  const int64_t tableEnd = ck.dwDataOffset + ck.cksize;
  for (uint32_t i = 0; i < entries && file.Position() + 12 <= tableEnd; ++i) {
    uint8_t entry[12];
    if (file.Read(entry, 12) != 12) break;
    sizes.Table.emplace_back(LoadU32(entry), size(LoadU64(entry + 4)));
  }
  return Ascend(file, ck);
}

// The format record of a file as its fields are in a big-endian file, turned little-endian.
void SwapFormat(std::vector<uint8_t>& bytes, size_t size) {
  const auto swap16 = [&](size_t at) {
    if (at + 2 <= size) StoreU16(&bytes[at], LoadU16(&bytes[at], true));
  };
  const auto swap32 = [&](size_t at) {
    if (at + 4 <= size) StoreU32(&bytes[at], LoadU32(&bytes[at], true));
  };
  swap16(0);   // wFormatTag
  swap16(2);   // nChannels
  swap32(4);   // nSamplesPerSec
  swap32(8);   // nAvgBytesPerSec
  swap16(12);  // nBlockAlign
  swap16(14);  // wBitsPerSample
  swap16(16);  // cbSize
  swap16(18);  // wValidBitsPerSample
  swap32(20);  // dwChannelMask
  swap32(24);  // the sub-format's first three fields
  swap16(28);
  swap16(30);
}

// Makes the record's format describe the frames as they are stored: an extensible record of a
// standard sub-format becomes the plain record of that sub-format, integer samples narrower
// than their containers (12 bits in 16, 20 in 24, from the top) become PCM of the container's
// width with their own width kept in ValidBits, and the block alignment and byte rate of the
// sample formats follow from channels and sample width. False, with the reason, for a format
// that cannot describe its frames.
bool NormaliseFormat(WaveIORecord& rec, std::string& reason) {
  WAVEFORMATEX* f = rec.Format();
  rec.FileFormatTag = f->wFormatTag;
  uint16_t valid = 0;
  const bool extensible = f->wFormatTag == WAVE_FORMAT_EXTENSIBLE;
  if (const uint16_t sub = ExtensibleSubFormatTag(f);
      sub == WAVE_FORMAT_PCM || sub == WAVE_FORMAT_IEEE_FLOAT || sub == WAVE_FORMAT_ALAW ||
      sub == WAVE_FORMAT_MULAW) {
    WAVEFORMATEXTENSIBLE ext;
    std::memcpy(&ext, f, sizeof ext);
    valid = ext.Samples.wValidBitsPerSample;
    f->wFormatTag = sub;
    f->cbSize = 0;
  }
  const auto channels = uint32_t(f->nChannels);
  if (channels == 0) {
    reason = "no channels in the format chunk";
    return false;
  }
  if (f->nSamplesPerSec == 0) {
    reason = "a sample rate of 0 in the format chunk";
    return false;
  }
  uint32_t container = 0;  // bytes of one sample
  const uint16_t bits = f->wBitsPerSample;
  switch (f->wFormatTag) {
    case WAVE_FORMAT_PCM: {
      if (bits == 0 || bits > 32) {
        reason = std::to_string(bits) + "-bit samples";
        return false;
      }
      if (bits % 8 == 0) {
        container = bits / 8u;
        if (!extensible) valid = bits;
      } else {
        // The bit depth is not whole bytes: the block alignment tells the containers, when it
        // gives whole ones wide enough; otherwise the narrowest that holds the bits.
        const uint32_t stored = f->nBlockAlign % channels == 0 ? f->nBlockAlign / channels : 0;
        container = stored * 8 >= bits && stored <= 4 ? stored : (bits + 7u) / 8u;
        valid = extensible && valid ? valid : bits;
      }
      if (valid > container * 8) {
        reason = std::to_string(valid) + "-bit samples in " + std::to_string(container * 8) +
                 "-bit containers";
        return false;
      }
      rec.ValidBits = valid > 0 && valid < container * 8 ? valid : 0;
      break;
    }
    case WAVE_FORMAT_IEEE_FLOAT:
      if (bits != 32 && bits != 64) {
        reason = std::to_string(bits) + "-bit float samples";
        return false;
      }
      container = bits / 8u;
      break;
    case WAVE_FORMAT_ALAW:
    case WAVE_FORMAT_MULAW:
      if (bits != 8) {
        reason = std::to_string(bits) + "-bit " + WaveFormatTagName(f) + " samples";
        return false;
      }
      container = 1;
      break;
    default:
      break;
  }
  if (container > 0) {
    const uint32_t align = channels * container;
    const uint64_t avg = uint64_t(align) * f->nSamplesPerSec;
    if (align > 0xFFFF || avg > 0xFFFFFFFF) {
      reason = "a frame too large for the format chunk";
      return false;
    }
    f->wBitsPerSample = uint16_t(container * 8);
    f->nBlockAlign = uint16_t(align);
    f->nAvgBytesPerSec = uint32_t(avg);
  }
  // Nothing can be counted or positioned in a format without these.
  if (f->nBlockAlign == 0 || f->nAvgBytesPerSec == 0) {
    reason = "a block alignment or byte rate of 0 in the format chunk";
    return false;
  }
  return true;
}

// INFO lists and display items beyond this size are skipped rather than read into memory.
constexpr uint32_t kMaxListBytes = 16u << 20;

constexpr const char* kNotWave = "not a WAVE file (no RIFF/RIFX/RF64 header)";
constexpr const char* kTruncatedFormat = "truncated format chunk";

int ParseChunks(TWaveIOFile& file, WaveIORecord& rec, FOURCC formType, uint32_t flags,
                std::string& reason) {
  TMMCKInfo riff;
  if (!EnterForm(file, formType, riff)) {
    reason = kNotWave;
    return WIOERR_FILEERROR;
  }
  TFormSizes sizes;
  sizes.BigEndian = riff.ckid == FOURCC_RIFX;
  sizes.Rf64 = riff.ckid == FOURCC_RF64 || riff.ckid == FOURCC_BW64;
  if (sizes.Rf64 && !ReadDs64(file, sizes, rec.Ds64Offset, reason)) return WIOERR_FILEERROR;
  // The form's header was read before its byte order and ds64 sizes were known.
  const uint32_t riffField = uint32_t(riff.cksize);
  riff.cksize =
      sizes.BigEndian ? __builtin_bswap32(riffField) : sizes.Resolve(riff.ckid, riffField);
  rec.Form = riff.ckid;
  const int64_t fileLength = file.Length();
  int64_t riffEnd = riff.dwDataOffset + riff.cksize;
  if (riffEnd > fileLength) {
    riff.cksize = fileLength - riff.dwDataOffset;
    riffEnd = fileLength;
  }

  bool haveFormat = false, haveData = false, haveFact = false;
  uint32_t formatChunkSize = 0;
  int64_t dataBytes = 0;
  TMMCKInfo data;
  for (;;) {
    TMMCKInfo ck;
    if (!Descend(file, ck, sizes)) break;
    int64_t ckEnd = ck.dwDataOffset + ck.cksize;
    if (ckEnd > riffEnd && ck.ckid != FOURCC_DATA) {
      if (haveFormat && haveData) break;
      if (ckEnd > fileLength) {
        ck.cksize = fileLength - ck.dwDataOffset;
        ckEnd = fileLength;
      }
    }
    bool endWalk = false;
    // A file written to grow past 4 GiB keeps room for a "ds64" chunk right after its form
    // type: a continued one can still turn into RF64.
    if (ck.ckid == FOURCC_JUNK && !sizes.BigEndian && ck.dwDataOffset == 20 &&
        ck.cksize >= kDs64Bytes)
      rec.Ds64Offset = ck.dwDataOffset;
    if (ck.ckid == FOURCC_LIST && ck.fccType == FOURCC_INFO) {
      if (ck.cksize > 4 && ck.cksize <= kMaxListBytes) {
        std::vector<uint8_t> body(size_t(ck.cksize - 4));
        if (file.Read(body.data(), int64_t(body.size())) != int64_t(body.size())) {
          reason = "truncated INFO list";
          return WIOERR_FILEERROR;
        }
        ReadInfoBody(body, rec.InfoList, sizes.BigEndian);
      }
    } else if (ck.ckid == FOURCC_DISP) {
      if (ck.cksize >= 5 && ck.cksize <= kMaxListBytes) {
        uint8_t type[4];
        TRiffDispItem item;
        item.Data.resize(size_t(ck.cksize - 4));
        if (file.Read(type, 4) != 4 ||
            file.Read(item.Data.data(), int64_t(item.Data.size())) != int64_t(item.Data.size())) {
          reason = "truncated DISP chunk";
          return WIOERR_FILEERROR;
        }
        item.Type = LoadU32(type, sizes.BigEndian);
        rec.DispList.push_back(std::move(item));
      }
    } else if (ck.ckid == FOURCC_FMT) {
      if (haveFormat) {
        endWalk = true;
      } else {
        // Only the record and its extra bytes matter; cbSize cannot exceed 16 bits.
        formatChunkSize = uint32_t(std::min<int64_t>(ck.cksize, sizeof(WAVEFORMATEX) + 0xFFFF));
        rec.FormatBytes.assign(std::max<size_t>(formatChunkSize, sizeof(WAVEFORMATEX)) + 1, 0);
        if (formatChunkSize < 16) {
          reason = kTruncatedFormat;
          return WIOERR_FORMAT;
        }
        if (file.Read(rec.FormatBytes.data(), formatChunkSize) != formatChunkSize) {
          reason = kTruncatedFormat;
          return WIOERR_FILEERROR;
        }
        if (sizes.BigEndian) SwapFormat(rec.FormatBytes, formatChunkSize);
        haveFormat = true;
      }
    } else if (ck.ckid == FOURCC_DATA) {
      if (haveData && data.cksize != 0) {
        endWalk = true;
      } else {
        data = ck;
        haveData = true;
        // The data chunk's size is honoured: what follows it (further chunks, a tag appended
        // by a tagger, padding) is not audio. A size of 0, or one past the file's end (a
        // recording whose header was never brought up to date), reads to the end of the file;
        // nothing after it can be found then.
        if (ck.cksize == 0 || ckEnd > fileLength) {
          dataBytes = fileLength - ck.dwDataOffset;
          endWalk = true;
        } else {
          dataBytes = ck.cksize;
        }
      }
    } else if (ck.ckid == FOURCC_FACT) {
      if (haveFact) {
        endWalk = true;
      } else {
        // The count is read but not used: the sample count always comes from the data.
        uint8_t count[4] = {};
        const int64_t n = std::min<int64_t>(ck.cksize, 4);
        if (file.Read(count, n) != n) {
          reason = "truncated fact chunk";
          return WIOERR_FILEERROR;
        }
        haveFact = true;
      }
    }
    if (endWalk) break;
    if (!Ascend(file, ck)) {
      if (haveData) break;
      reason = haveFormat ? "no data chunk" : "no format chunk";
      return WIOERR_FILEERROR;
    }
  }

  rec.RiffChunk = riff;
  rec.FileLength = fileLength;
  if (flags & WIOF_INFOONLY) {
    rec.FormatBytes.clear();
    return WIOERR_NOERROR;
  }
  if (!haveFormat) {
    reason = "no format chunk";
    return WIOERR_FORMAT;
  }

  // The format record: PCM carries no extra bytes; any other format keeps the extra bytes the
  // chunk really holds, however many its cbSize claims.
  WAVEFORMATEX* f = rec.Format();
  if (f->wFormatTag == WAVE_FORMAT_PCM || formatChunkSize < sizeof(WAVEFORMATEX))
    f->cbSize = 0;
  else
    f->cbSize = uint16_t(std::min<uint32_t>(f->cbSize, formatChunkSize - sizeof(WAVEFORMATEX)));
  rec.FormatBytes.resize(sizeof(WAVEFORMATEX) + f->cbSize);
  const uint16_t storedAlign = rec.Format()->nBlockAlign;
  if (!NormaliseFormat(rec, reason)) return WIOERR_FORMAT;
  rec.FormatBytes.resize(sizeof(WAVEFORMATEX) + rec.Format()->cbSize);
  f = rec.Format();
  // Big-endian samples are turned around as they are read; that needs whole samples of one
  // width in every frame.
  if (sizes.BigEndian && f->nBlockAlign % f->nChannels != 0) {
    reason = "a big-endian file whose frames are not whole samples";
    return WIOERR_FORMAT;
  }

  int64_t bytes = haveData ? std::max<int64_t>(dataBytes, 0) : 0;
  // A frame the file's own alignment counts as cut short is not read, nor is a partial frame.
  if (storedAlign > 0 && storedAlign != f->nBlockAlign) bytes -= bytes % storedAlign;
  bytes -= bytes % f->nBlockAlign;
  rec.DataBytes = bytes;
  rec.DataOffset = haveData ? data.dwDataOffset : 0;
  if (haveData) rec.DataChunk = data;
  rec.TotalSamples = WaveIOBytesToSamples(&rec, bytes);
  rec.FirstSample = 0;
  rec.LastSample = rec.TotalSamples;
  rec.BytesLeft = 0;
  rec.Position = 0;
  return WIOERR_NOERROR;
}

int64_t NonNegative(int64_t v) {
  return std::max<int64_t>(v, 0);
}

// Bytes of the chunks that closing appends after the data chunk.
int64_t TrailerBytes(const WaveIORecord* record) {
  int64_t bytes = IsPcm(record) ? 0 : 12;
  for (const TRiffDispItem& item : record->DispList) {
    if (item.Type != 1 && item.Type != 8) continue;
    const int64_t size = 4 + int64_t(item.Data.size());
    bytes += 8 + size + (size & 1);
  }
  int64_t info = 0;
  for (size_t i = 0; i < RiffInfoIds.size(); ++i) {
    const std::string& text = record->InfoList.Item(int(i)).Current();
    if (text.empty()) continue;
    const int64_t size = int64_t(text.size()) + 1;
    info += 8 + size + (size & 1);
  }
  if (info > 0) bytes += 12 + info;
  return bytes;
}

// Writes the sizes of a file being written whose form holds `riffSize` bytes and whose data
// chunk holds `dataSize` bytes: in the 32-bit fields while the form fits them and stays below
// the record's threshold, else in the "ds64" chunk that takes the place of the reserved
// "JUNK" chunk, the header turned into RF64. The position is left where it was.
bool WriteSizes(WaveIORecord& record, int64_t riffSize, int64_t dataSize) {
  TWaveIOFile& file = *record.File;
  const int64_t end = file.Position();
  if (riffSize < 0 || dataSize < 0) return false;
  bool ok = true;
  if (record.Form == FOURCC_RIFF && uint64_t(riffSize) <= record.Rf64Threshold &&
      uint64_t(riffSize) <= WaveIOMaxRiffSize) {
    ok = file.Seek(record.RiffChunk.dwDataOffset - 4) && WriteU32(file, uint32_t(riffSize)) &&
         file.Seek(record.DataChunk.dwDataOffset - 4) && WriteU32(file, uint32_t(dataSize));
  } else {
    if (record.Ds64Offset <= 0) return false;
    uint8_t ds64[kDs64Bytes] = {};
    StoreU64(ds64, uint64_t(riffSize));
    StoreU64(ds64 + 8, uint64_t(dataSize));
    StoreU64(ds64 + 16, uint64_t(record.TotalSamples));
    // The sizes first, then the ids that make them count: a file cut off in between still
    // reads as what it was.
    ok = file.Seek(record.Ds64Offset) && file.Write(ds64, kDs64Bytes) &&
         file.Seek(record.DataChunk.dwDataOffset - 4) && WriteU32(file, kSizeInDs64) &&
         file.Seek(record.RiffChunk.dwDataOffset - 4) && WriteU32(file, kSizeInDs64);
    if (ok && record.Form == FOURCC_RIFF) {
      ok = file.Seek(record.Ds64Offset - 8) && WriteU32(file, FOURCC_DS64) && file.Seek(0) &&
           WriteU32(file, FOURCC_RF64);
      if (ok) record.Form = FOURCC_RF64;
    }
  }
  return file.Seek(end) && ok;
}

// Reads `bytes` sample bytes of a big-endian file at the current position into `buffer`,
// little-endian: whole samples are read and turned around, and the part asked for is kept.
int64_t ReadSwapped(WaveIORecord& record, uint8_t* buffer, int64_t bytes) {
  TWaveIOFile& file = *record.File;
  const WAVEFORMATEX* f = record.Format();
  const int64_t width = f->nBlockAlign / f->nChannels;
  if (width <= 1 || f->wBitsPerSample != width * 8) return file.Read(buffer, bytes);
  const int64_t position = file.Position();
  const int64_t lead = NonNegative(position - record.DataOffset) % width;
  const int64_t span = (lead + bytes + width - 1) / width * width;
  std::vector<uint8_t> samples(static_cast<size_t>(span));
  if (!file.Seek(position - lead)) return -1;
  const int64_t got = file.Read(samples.data(), span);
  if (got < 0) return -1;
  for (int64_t s = 0; s + width <= got; s += width)
    std::reverse(samples.begin() + s, samples.begin() + s + width);
  const int64_t kept = std::clamp<int64_t>(got - lead, 0, bytes);
  std::memcpy(buffer, samples.data() + lead, size_t(kept));
  return file.Seek(position + kept) ? kept : -1;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// INFO list

TRiffInfoList::TRiffInfoList() {
  for (size_t i = 0; i < FItems.size(); ++i) FItems[i].Index = int(i);
}

int TRiffInfoList::IndexOf(std::string_view id) {
  for (size_t i = 0; i < RiffInfoIds.size(); ++i)
    if (RiffInfoIds[i] == id) return int(i);
  return -1;
}

std::string TRiffInfoList::Get(std::string_view id) const {
  const int index = IndexOf(id);
  return index < 0 ? std::string() : FItems[size_t(index)].Current();
}

bool TRiffInfoList::Set(std::string_view id, const std::string& text) {
  const int index = IndexOf(id);
  if (index < 0) return false;
  FItems[size_t(index)].Replaced = true;
  FItems[size_t(index)].Replacement = text;
  return true;
}

void TRiffInfoList::NoteFromFile(int index, std::string text) {
  FItems[size_t(index)].HasText = true;
  FItems[size_t(index)].Text = std::move(text);
}

// ---------------------------------------------------------------------------------------------
// Conversions

int64_t WaveIOSamplesToBytes(const WaveIORecord* record, int64_t samples) {
  const WAVEFORMATEX* f = record ? record->Format() : nullptr;
  if (!f || f->nSamplesPerSec == 0 || samples <= 0) return 0;
  int64_t bytes;
  if (record->BytesPerSecond > 0)
    bytes = int64_t(std::llround(double(samples) * BytesPerSecond(record) / f->nSamplesPerSec));
  else
    bytes = MulDiv64(samples, f->nAvgBytesPerSec, f->nSamplesPerSec);
  const int64_t align = f->nBlockAlign;
  if (align > 1 && bytes % align) bytes += align - bytes % align;
  return bytes;
}

int64_t WaveIOBytesToSamples(const WaveIORecord* record, int64_t bytes) {
  const WAVEFORMATEX* f = record ? record->Format() : nullptr;
  if (!f || bytes <= 0) return 0;
  if (record->BytesPerSecond > 0)
    return int64_t(std::llround(double(bytes) * f->nSamplesPerSec / BytesPerSecond(record)));
  if (f->nAvgBytesPerSec == 0) return 0;
  return MulDiv64(bytes, f->nSamplesPerSec, f->nAvgBytesPerSec);
}

// ---------------------------------------------------------------------------------------------
// The functions of the layer

namespace {

// Why `name` cannot be opened for reading: the system's text, or that it is no regular file.
std::string OpenFailure(const std::string& name, int error) {
  struct stat st {};
  if (::stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a regular file";
  return std::strerror(error);
}

}  // namespace

int WaveIOReadHeader(PWaveIORecord& record, const std::string& name, FOURCC formType,
                     uint32_t flags, std::string* reason) {
  record = nullptr;
  std::string why;
  int result = WIOERR_NOERROR;
  if (name.empty()) {
    why = "no file name";
    result = WIOERR_BADARG;
  } else if (flags & (WIOF_RESOURCE | WIOF_MEMORY)) {
    // Executable resources and memory images do not exist on this platform.
    why = "not a file";
    result = WIOERR_BADARG;
  } else {
    try {
      auto rec = std::make_unique<WaveIORecord>();
      rec->Flags = flags;
      TWaveIOFile file;
      if (!file.Open(name, TWaveIOFile::omRead, size_t(rec->IOBufferSize))) {
        why = OpenFailure(name, errno);
        result = WIOERR_FILEERROR;
      } else {
        result = ParseChunks(file, *rec, formType, flags, why);
        file.Close();
      }
      if (result == WIOERR_NOERROR) {
        rec->FileName = name;
        record = rec.release();
      } else if (why.empty()) {
        why = std::strerror(EIO);
      }
    } catch (const std::bad_alloc&) {
      why = std::strerror(ENOMEM);
      result = WIOERR_NOMEM;
    }
  }
  if (reason) *reason = why;
  return result;
}

bool WaveIOIsWaveFile(const std::string& name, uint32_t flags) {
  PWaveIORecord record = nullptr;
  const int result = WaveIOReadHeader(record, name, FOURCC_WAVE, flags);
  WaveIOFree(record);
  return result == WIOERR_NOERROR;
}

int WaveIOFromFormat(PWaveIORecord& record, const WAVEFORMATEX* format) {
  record = nullptr;
  if (!format) return WIOERR_BADARG;
  try {
    auto rec = std::make_unique<WaveIORecord>();
    const size_t size = format->wFormatTag == WAVE_FORMAT_PCM
                            ? sizeof(WAVEFORMATEX)
                            : sizeof(WAVEFORMATEX) + format->cbSize;
    const auto* bytes = reinterpret_cast<const uint8_t*>(format);
    rec->FormatBytes.assign(bytes, bytes + size);
    if (format->wFormatTag == WAVE_FORMAT_PCM) rec->Format()->cbSize = 0;
    rec->FileFormatTag = format->wFormatTag;
    record = rec.release();
    return WIOERR_NOERROR;
  } catch (const std::bad_alloc&) {
    return WIOERR_NOMEM;
  }
}

namespace {

// Whether another writer holds the file at `name` open (see TWaveIOFile::omCreate).
bool HeldByAWriter(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

// A name beside `name` for a file that is to replace it: "STEM.recording-XXXXXX.EXT".
std::string SiblingName(const std::string& name) {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937 random{std::random_device{}()};
  const std::filesystem::path path(name);
  std::string tag = ".recording-";
  for (int i = 0; i < 6; ++i) tag += kLetters[random() % (sizeof kLetters - 1)];
  return (path.parent_path() / (path.stem().string() + tag + path.extension().string())).string();
}

// Creates the file a record is written to: `name` itself when it is new, else (`replace`) a
// name beside it. False with the reason when neither can be made.
bool CreateNew(TWaveIOFile& file, const std::string& name, bool replace, size_t bufferSize,
               std::string& path, std::string& reason) {
  path = name;
  if (file.Open(name, TWaveIOFile::omCreate, bufferSize)) return true;
  if (errno != EEXIST || !replace) {
    reason = errno == EEXIST ? "the file exists" : OpenFailure(name, errno);
    return false;
  }
  if (HeldByAWriter(name)) {
    reason = "the file is being recorded by another program";
    return false;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    path = SiblingName(name);
    if (file.Open(path, TWaveIOFile::omCreate, bufferSize)) return true;
    if (errno != EEXIST) break;
  }
  reason = std::strerror(errno);
  return false;
}

}  // namespace

int WaveIOCreate(PWaveIORecord record, const std::string& name, std::string* reason, bool replace) {
  if (reason) reason->clear();
  if (!record || name.empty() || !record->Format()) return WIOERR_BADARG;
  if (record->IsOpen()) WaveIOClose(record);
  auto file = std::make_unique<TWaveIOFile>();
  std::string path, why;
  if (!CreateNew(*file, name, replace, size_t(std::max(record->IOBufferSize, 0)), path, why)) {
    if (reason) *reason = why;
    return WIOERR_FILEERROR;
  }

  TMMCKInfo riff{FOURCC_RIFF, 0, FOURCC_WAVE, 0, 0};
  // Room for the "ds64" chunk of RF64, which the header turns into when the data passes the
  // 32-bit sizes; until then readers skip it as padding.
  TMMCKInfo junk{FOURCC_JUNK, kDs64Bytes, 0, 0, 0};
  const uint8_t zeros[kDs64Bytes] = {};
  const WAVEFORMATEX* f = record->Format();
  const uint32_t formatSize =
      f->wFormatTag == WAVE_FORMAT_PCM ? 16 : uint32_t(sizeof(WAVEFORMATEX)) + f->cbSize;
  TMMCKInfo fmt{FOURCC_FMT, formatSize, 0, 0, 0};
  TMMCKInfo data{FOURCC_DATA, 0, 0, 0, 0};
  const bool ok = CreateChunk(*file, riff) && CreateChunk(*file, junk) &&
                  file->Write(zeros, kDs64Bytes) && Ascend(*file, junk) &&
                  CreateChunk(*file, fmt) && file->Write(record->FormatBytes.data(), formatSize) &&
                  Ascend(*file, fmt) && CreateChunk(*file, data);
  if (!ok) {
    if (reason) *reason = std::strerror(errno);
    file->Close();
    ::unlink(path.c_str());
    return WIOERR_FILEERROR;
  }
  record->RiffChunk = riff;
  record->DataChunk = data;
  record->DataOffset = data.dwDataOffset;
  record->Form = FOURCC_RIFF;
  record->Ds64Offset = junk.dwDataOffset;
  record->Rf64Threshold = WaveIORf64Threshold();
  record->FileName = path;
  record->FinalName = path == name ? "" : name;
  record->FileLength = file->Length();
  record->DataBytes = 0;
  record->TotalSamples = 0;
  record->FirstSample = 0;
  record->LastSample = 0;
  record->Position = 0;
  record->BytesLeft = 0;
  record->File = std::move(file);
  return WIOERR_NOERROR;
}

int WaveIOOpen(PWaveIORecord record) {
  if (!record) return WIOERR_BADARG;
  if (!record->IsOpen()) {
    auto file = std::make_unique<TWaveIOFile>();
    const size_t bufferSize = size_t(std::max(record->IOBufferSize, 0));
    if (record->Flags & WIOF_PLAINREAD) {
      if (!file->Open(record->FileName, TWaveIOFile::omRead, bufferSize)) return WIOERR_FILEERROR;
    } else {
      TMMCKInfo riff;
      if (!OpenForReadWrite(*file, record->FileName, bufferSize) ||
          !EnterForm(*file, FOURCC_WAVE, riff))
        return WIOERR_FILEERROR;
    }
    record->File = std::move(file);
  }
  return WaveIOSeek(record, record->Position);
}

int WaveIOSeek(PWaveIORecord record, int64_t sample) {
  if (!record || sample < 0) return WIOERR_FILEERROR;
  const WAVEFORMATEX* f = record->Format();
  if (!f || f->nBlockAlign == 0) return WIOERR_FORMAT;
  const int64_t range = record->LastSample - record->FirstSample;
  // The end of the range itself is a valid position: writing continues there.
  sample = std::clamp<int64_t>(sample, 0, std::max<int64_t>(range, 0));
  const int64_t first = record->FirstSample;
  if (!record->IsOpen()) {
    record->Position = NonNegative(
        WaveIOBytesToSamples(record, WaveIOSamplesToBytes(record, first + sample)) - first);
    return WIOERR_NOERROR;
  }
  int64_t bytes =
      std::min<int64_t>(WaveIOSamplesToBytes(record, first + sample), record->DataBytes);
  bytes -= bytes % f->nBlockAlign;
  TWaveIOFile& file = *record->File;
  if (record->Flags & WIOF_PLAINREAD) {
    if (!file.Seek(record->DataOffset + bytes)) return WIOERR_FILEERROR;
  } else {
    TMMCKInfo ck;
    if (record->DataOffset < 8 || !file.Seek(record->DataOffset - 8) || !Descend(file, ck) ||
        ck.ckid != FOURCC_DATA || ck.dwDataOffset != record->DataOffset ||
        !file.Seek(record->DataOffset + bytes))
      return WIOERR_FILEERROR;
  }
  const int64_t left = WaveIOSamplesToBytes(record, record->LastSample) - bytes;
  record->BytesLeft = NonNegative(std::min<int64_t>(left, record->DataBytes - bytes));
  record->Position = NonNegative(WaveIOBytesToSamples(record, bytes) - first);
  return WIOERR_NOERROR;
}

int64_t WaveIORead(PWaveIORecord record, void* buffer, int64_t bytes) {
  if (!record || !record->IsOpen() || record->BytesLeft == 0 || bytes < 0 || !buffer) return -1;
  const int64_t wanted = std::min<int64_t>(bytes, record->BytesLeft);
  const int64_t got = record->Form == FOURCC_RIFX
                          ? ReadSwapped(*record, static_cast<uint8_t*>(buffer), wanted)
                          : record->File->Read(buffer, wanted);
  if (got < 0) return -1;
  if (got < wanted) record->BytesLeft = 0;
  if (got > 0) {
    record->BytesLeft = NonNegative(record->BytesLeft - got);
    record->Position = NonNegative(record->LastSample - record->FirstSample -
                                   WaveIOBytesToSamples(record, record->BytesLeft));
  }
  return got;
}

int64_t WaveIOWrite(PWaveIORecord record, const void* buffer, int64_t bytes) {
  // A big-endian file is read, never written: its samples would have to be turned around.
  if (!record || !record->IsOpen() || bytes <= 0 || !buffer || (record->Flags & WIOF_PLAINREAD) ||
      record->Form == FOURCC_RIFX)
    return -1;
  TWaveIOFile& file = *record->File;
  if (!file.Write(buffer, bytes)) return -1;
  record->DataChunk.dwFlags |= MMIO_DIRTY;
  const int64_t p = std::max<int64_t>(file.Position() - record->DataOffset, 0);
  record->Position = WaveIOBytesToSamples(record, p);
  record->DataBytes = std::max(record->DataBytes, p);
  if (record->Position > record->TotalSamples) {
    record->TotalSamples = record->Position;
    record->LastSample = record->Position;
  }
  record->BytesLeft = WaveIOSamplesToBytes(record, record->LastSample - record->Position);
  record->FileLength = std::max(record->FileLength, file.Length());
  return bytes;
}

int WaveIOSetBuffer(PWaveIORecord record, int32_t size) {
  if (!record) return WIOERR_BADARG;
  if (record->Flags & (WIOF_RESOURCE | WIOF_MEMORY | WIOF_PLAINREAD)) return WIOERR_NOERROR;
  if (!record->IsOpen() || size < 0) return WIOERR_FORMAT;
  record->IOBufferSize = size;
  return record->File->SetBufferSize(size_t(size)) ? WIOERR_NOERROR : WIOERR_FILEERROR;
}

int WaveIOUpdateSizes(PWaveIORecord record, bool sync) {
  if (!record) return WIOERR_BADARG;
  if (!record->IsOpen()) return WIOERR_FORMAT;
  TWaveIOFile& file = *record->File;
  if (!file.Created() || !(record->DataChunk.dwFlags & MMIO_DIRTY) ||
      (record->Flags & WIOF_PLAINREAD))
    return WIOERR_NOERROR;
  if (!file.Flush() || file.WriteFailedAt() >= 0) return WIOERR_FILEERROR;
  // While the data chunk is the last chunk of the form, the form ends with the data written so
  // far; the close appends the pad byte and the trailing chunks and writes the sizes again.
  const int64_t riffSize = record->DataOffset + record->DataBytes - record->RiffChunk.dwDataOffset;
  const bool ok =
      WriteSizes(*record, riffSize, record->DataBytes) && (sync ? file.Sync() : file.Flush());
  return ok ? WIOERR_NOERROR : WIOERR_FILEERROR;
}

TWaveIOFile::TNameState WaveIONameState(const WaveIORecord* record) {
  return record && record->IsOpen() ? record->File->NameState(record->FileName)
                                    : TWaveIOFile::nsNamed;
}

int WaveIOClose(PWaveIORecord record) {
  if (!record) return WIOERR_BADARG;
  if (!record->IsOpen()) return WIOERR_NOERROR;
  TWaveIOFile& file = *record->File;
  bool ok = true;
  if ((record->DataChunk.dwFlags & MMIO_DIRTY) && !(record->Flags & WIOF_PLAINREAD)) {
    ok = file.Flush();
    const bool lost = file.WriteFailedAt() >= 0;
    if (lost) {
      // Some data never reached the disk: the sizes describe what is there, in whole frames,
      // and are still written (they overwrite bytes already on disk and need no new space).
      // The data is written in order, so everything before the first failed byte is on disk:
      // buffered data that was counted but never written is left out, and the part of a
      // refused write that did reach the disk (a write cut short at a size limit) is kept.
      // A failed write of the sizes in the header leaves the data as it is.
      int64_t onDisk = file.WriteFailedAt() - record->DataOffset;
      const int64_t align = std::max<int64_t>(record->Format()->nBlockAlign, 1);
      onDisk -= onDisk % align;
      if (onDisk >= 0 && onDisk != record->DataBytes) {
        record->DataBytes = onDisk;
        record->TotalSamples = WaveIOBytesToSamples(record, onDisk);
      }
      ok = true;
    }
    // The data ends where the last whole frame written ends, wherever the last write left the
    // position; a pad byte follows an odd size.
    const int64_t dataSize = record->DataBytes;
    ok = ok && file.Seek(record->DataOffset + dataSize);
    if (ok && (dataSize & 1)) {
      const uint8_t pad = 0;
      const bool padded = file.Write(&pad, 1);
      if (!lost) ok = padded;
    }
    // After lost data, nothing more is appended: only the sizes are patched.
    if (lost) ok = file.Seek(record->DataOffset + dataSize + (dataSize & 1));
    if (ok && !lost && !IsPcm(record)) {
      TMMCKInfo fact{FOURCC_FACT, 4, 0, 0, 0};
      ok = CreateChunk(file, fact) &&
           WriteU32(file, uint32_t(std::min<int64_t>(record->TotalSamples, 0xFFFFFFFF))) &&
           Ascend(file, fact);
    }
    for (const TRiffDispItem& item : record->DispList) {
      if (!ok || lost) break;
      if (item.Type != 1 && item.Type != 8) continue;
      TMMCKInfo disp{FOURCC_DISP, 0, 0, 0, 0};
      ok = CreateChunk(file, disp) && WriteU32(file, item.Type) &&
           file.Write(item.Data.data(), int64_t(item.Data.size())) && Ascend(file, disp);
    }
    TMMCKInfo list{FOURCC_LIST, 0, FOURCC_INFO, 0, 0};
    bool listCreated = false;
    for (size_t i = 0; ok && !lost && i < RiffInfoIds.size(); ++i) {
      const std::string& text = record->InfoList.Item(int(i)).Current();
      if (text.empty()) continue;
      if (!listCreated) {
        ok = CreateChunk(file, list);
        listCreated = true;
      }
      TMMCKInfo item{FourCCFromText(RiffInfoIds[i]), int64_t(text.size() + 1), 0, 0, 0};
      ok = ok && CreateChunk(file, item) && file.Write(text.c_str(), int64_t(text.size()) + 1) &&
           Ascend(file, item);
    }
    if (ok && listCreated) ok = Ascend(file, list);
    // The form ends here; its size and the data's go into the header.
    const int64_t formEnd = file.Position();
    ok = ok && WriteSizes(*record, formEnd - record->RiffChunk.dwDataOffset, dataSize);
    record->DataChunk.dwFlags &= ~MMIO_DIRTY;
    // A continued file may have been longer: nothing stays behind the form.
    ok = ok && file.Truncate(formEnd);
    record->FileLength = file.Length();
    record->LastSample = record->TotalSamples;
  }
  // A file written to replace another takes its name now, complete, unless it was moved
  // meanwhile (the one who moved it decided where it goes) or another writer holds the old one.
  const bool rename = !record->FinalName.empty() &&
                      file.NameState(record->FileName) == TWaveIOFile::nsNamed &&
                      !HeldByAWriter(record->FinalName);
  if (!file.Close()) ok = false;
  record->File.reset();
  if (rename && ::rename(record->FileName.c_str(), record->FinalName.c_str()) == 0) {
    record->FileName = record->FinalName;
    record->FinalName.clear();
  }
  record->Position = 0;
  record->BytesLeft = 0;
  return ok ? WIOERR_NOERROR : WIOERR_FILEERROR;
}

int WaveIOFree(PWaveIORecord& record) {
  if (!record) return WIOERR_BADARG;
  const int result = WaveIOClose(record);
  delete record;
  record = nullptr;
  return result;
}

uint64_t WaveIOMaxSize(const WaveIORecord* record) {
  const bool rf64 = record && (record->Ds64Offset > 0 || record->Form == FOURCC_RF64);
  return rf64 ? uint64_t(INT64_MAX) : WaveIOMaxRiffSize;
}

bool WaveIOWriteFits(const WaveIORecord* record, int64_t bytes, uint64_t riffSizeLimit) {
  if (!record || !record->IsOpen() || bytes < 0) return false;
  const int64_t dataEnd =
      std::max<int64_t>(record->DataBytes, record->File->Position() - record->DataOffset + bytes);
  const int64_t padded = dataEnd + (dataEnd & 1);
  const int64_t fileEnd = record->DataOffset + padded + TrailerBytes(record);
  return fileEnd >= 8 && uint64_t(fileEnd - 8) <= std::min(riffSizeLimit, WaveIOMaxSize(record));
}

uint64_t WaveIORf64Threshold() {
  if (const char* text = std::getenv("NEEDLEREC_RF64_THRESHOLD")) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end != text && *end == '\0') return std::min<uint64_t>(value, WaveIOMaxRiffSize);
  }
  return WaveIOMaxRiffSize;
}
