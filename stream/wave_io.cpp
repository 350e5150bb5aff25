#include "stream/wave_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <optional>

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
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      break;
  }
  const int fd = ::open(name.c_str(), flags, 0666);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
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

uint32_t LoadU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void StoreU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
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

bool HasType(FOURCC id) {
  return id == FOURCC_RIFF || id == FOURCC_LIST;
}

// Reads the header of the chunk at the current position; afterwards the position is the
// first byte of its data (after the type, for "RIFF" and "LIST").
bool Descend(TWaveIOFile& file, TMMCKInfo& ck) {
  uint8_t header[12];
  if (file.Read(header, 8) != 8) return false;
  ck.ckid = LoadU32(header);
  ck.cksize = LoadU32(header + 4);
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
    ck.cksize = uint32_t(size);
    if (!file.Seek(ck.dwDataOffset - 4) || !WriteU32(file, ck.cksize) || !file.Seek(end))
      return false;
    if (size & 1) {
      const uint8_t pad = 0;
      if (!file.Write(&pad, 1)) return false;
    }
    ck.dwFlags &= ~MMIO_DIRTY;
    return true;
  }
  const int64_t end = ck.dwDataOffset + int64_t(ck.cksize);
  if (end > file.Length()) return false;
  return file.Seek(end + (ck.cksize & 1));
}

// Writes a chunk header at the current position; the chunk is dirty until it is left.
bool CreateChunk(TWaveIOFile& file, TMMCKInfo& ck) {
  if (!WriteU32(file, ck.ckid) || !WriteU32(file, ck.cksize)) return false;
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

void ReadInfoBody(const std::vector<uint8_t>& body, TRiffInfoList& list) {
  size_t offset = 0;
  while (body.size() - offset >= 8) {
    const std::string id(reinterpret_cast<const char*>(body.data() + offset), 4);
    const uint32_t size = LoadU32(body.data() + offset + 4);
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

// Steps past the "RIFF" header of an opened file; false unless it holds a form of `formType`.
bool EnterForm(TWaveIOFile& file, FOURCC formType, TMMCKInfo& riff) {
  return file.Seek(0) && Descend(file, riff) && riff.ckid == FOURCC_RIFF &&
         riff.fccType == formType;
}

// INFO lists and display items beyond this size are skipped rather than read into memory.
constexpr uint32_t kMaxListBytes = 16u << 20;

int ParseChunks(TWaveIOFile& file, WaveIORecord& rec, FOURCC formType, uint32_t flags) {
  TMMCKInfo riff;
  if (!EnterForm(file, formType, riff)) return WIOERR_FILEERROR;
  const int64_t fileLength = file.Length();
  int64_t riffEnd = riff.dwDataOffset + int64_t(riff.cksize);
  if (riffEnd > fileLength) {
    riff.cksize = uint32_t(fileLength - riff.dwDataOffset);
    riffEnd = fileLength;
  }

  int64_t dataEnd = fileLength;
  bool haveFormat = false, haveData = false, haveFact = false, previousWasData = false;
  uint32_t formatChunkSize = 0;
  TMMCKInfo data;
  for (;;) {
    TMMCKInfo ck;
    if (!Descend(file, ck)) break;
    int64_t ckEnd = ck.dwDataOffset + int64_t(ck.cksize);
    if (ckEnd > riffEnd) {
      if (haveFormat && haveData) break;
      if (ckEnd > fileLength) {
        ck.cksize = uint32_t(fileLength - ck.dwDataOffset);
        ckEnd = fileLength;
      }
    }
    if (previousWasData) {
      dataEnd = ck.dwDataOffset - 8;
      previousWasData = false;
    }
    bool endWalk = false;
    if (ck.ckid == FOURCC_LIST && ck.fccType == FOURCC_INFO) {
      if (ck.cksize > 4 && ck.cksize <= kMaxListBytes) {
        std::vector<uint8_t> body(ck.cksize - 4);
        if (file.Read(body.data(), int64_t(body.size())) != int64_t(body.size()))
          return WIOERR_FILEERROR;
        ReadInfoBody(body, rec.InfoList);
      }
    } else if (ck.ckid == FOURCC_DISP) {
      if (ck.cksize >= 5 && ck.cksize <= kMaxListBytes) {
        uint8_t type[4];
        TRiffDispItem item;
        item.Data.resize(ck.cksize - 4);
        if (file.Read(type, 4) != 4 ||
            file.Read(item.Data.data(), int64_t(item.Data.size())) != int64_t(item.Data.size()))
          return WIOERR_FILEERROR;
        item.Type = LoadU32(type);
        rec.DispList.push_back(std::move(item));
      }
    } else if (ck.ckid == FOURCC_FMT) {
      if (haveFormat) {
        endWalk = true;
      } else {
        // Only the record and its extra bytes matter; cbSize cannot exceed 16 bits.
        formatChunkSize = std::min<uint32_t>(ck.cksize, sizeof(WAVEFORMATEX) + 0xFFFF);
        rec.FormatBytes.assign(std::max<size_t>(formatChunkSize, sizeof(WAVEFORMATEX)) + 1, 0);
        if (file.Read(rec.FormatBytes.data(), formatChunkSize) != formatChunkSize)
          return WIOERR_FILEERROR;
        haveFormat = true;
      }
    } else if (ck.ckid == FOURCC_DATA) {
      if (haveData && data.cksize != 0) {
        endWalk = true;
      } else {
        data = ck;
        haveData = true;
        previousWasData = true;
        dataEnd = fileLength;
      }
    } else if (ck.ckid == FOURCC_FACT) {
      if (haveFact) {
        endWalk = true;
      } else {
        // The count is read but not used: the sample count always comes from the data.
        uint8_t count[4] = {};
        const int64_t n = std::min<int64_t>(ck.cksize, 4);
        if (file.Read(count, n) != n) return WIOERR_FILEERROR;
        haveFact = true;
      }
    }
    if (endWalk) break;
    if (!Ascend(file, ck)) {
      if (haveData) break;
      return WIOERR_FILEERROR;
    }
  }

  rec.RiffChunk = riff;
  rec.FileLength = fileLength;
  if (flags & WIOF_INFOONLY) {
    rec.FormatBytes.clear();
    return WIOERR_NOERROR;
  }
  if (!haveFormat) return WIOERR_FORMAT;

  // The format record: PCM carries no extra bytes; any other format keeps the extra bytes the
  // chunk really holds, however many its cbSize claims.
  WAVEFORMATEX* f = rec.Format();
  if (f->wFormatTag == WAVE_FORMAT_PCM || formatChunkSize < sizeof(WAVEFORMATEX))
    f->cbSize = 0;
  else
    f->cbSize = uint16_t(std::min<uint32_t>(f->cbSize, formatChunkSize - sizeof(WAVEFORMATEX)));
  rec.FormatBytes.resize(sizeof(WAVEFORMATEX) + f->cbSize);
  f = rec.Format();
  // Extensible PCM of 8 or 16 bits holds the samples of plain PCM in its layout: the chain and
  // the devices get it as plain PCM.
  if (f->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    if (const std::optional<WAVEFORMATEX> plain = PlainPCMFormat(f)) {
      const auto* bytes = reinterpret_cast<const uint8_t*>(&*plain);
      rec.FormatBytes.assign(bytes, bytes + sizeof(WAVEFORMATEX));
      f = rec.Format();
    }
  }

  // The data runs to the next chunk or the file's end: an unfinished recording whose sizes were
  // never patched reads in full. A file without a data chunk has no data.
  int64_t bytes = haveData ? std::max<int64_t>(dataEnd - data.dwDataOffset, 0) : 0;
  // When the stated size accounts for everything up to the data end but a pad byte, the size is
  // right and that byte is padding, not a sample.
  if (haveData && (data.cksize & 1) && bytes == int64_t(data.cksize) + 1) bytes = data.cksize;
  if (f->nBlockAlign > 0) bytes -= bytes % f->nBlockAlign;
  if (f->wFormatTag == WAVE_FORMAT_PCM) {
    const uint32_t align = uint32_t(f->nChannels) * f->wBitsPerSample / 8;
    const uint64_t avg = uint64_t(align) * f->nSamplesPerSec;
    if (align > 0xFFFF || avg > 0xFFFFFFFF) return WIOERR_FORMAT;
    f->nBlockAlign = uint16_t(align);
    f->nAvgBytesPerSec = uint32_t(avg);
  }
  // Nothing can be counted or positioned in a format without these.
  if (f->nChannels == 0 || f->nBlockAlign == 0 || f->nSamplesPerSec == 0 || f->nAvgBytesPerSec == 0)
    return WIOERR_FORMAT;
  bytes = std::min<int64_t>(bytes, 0xFFFFFFFF);
  bytes -= bytes % f->nBlockAlign;
  rec.DataBytes = uint32_t(bytes);
  rec.DataOffset = haveData ? data.dwDataOffset : 0;
  if (haveData) rec.DataChunk = data;
  const int64_t samples = WaveIOBytesToSamples(&rec, bytes);
  if (samples > 0xFFFFFFFF) return WIOERR_FORMAT;
  rec.TotalSamples = uint32_t(samples);
  rec.FirstSample = 0;
  rec.LastSample = rec.TotalSamples;
  rec.BytesLeft = 0;
  rec.Position = 0;
  return WIOERR_NOERROR;
}

uint32_t ClampU32(int64_t v) {
  return uint32_t(std::clamp<int64_t>(v, 0, 0xFFFFFFFF));
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

int WaveIOReadHeader(PWaveIORecord& record, const std::string& name, FOURCC formType,
                     uint32_t flags) {
  record = nullptr;
  if (name.empty()) return WIOERR_BADARG;
  // Executable resources and memory images do not exist on this platform.
  if (flags & (WIOF_RESOURCE | WIOF_MEMORY)) return WIOERR_BADARG;
  try {
    auto rec = std::make_unique<WaveIORecord>();
    rec->Flags = flags;
    TWaveIOFile file;
    if (!file.Open(name, TWaveIOFile::omRead, size_t(rec->IOBufferSize))) return WIOERR_FILEERROR;
    const int result = ParseChunks(file, *rec, formType, flags);
    file.Close();
    if (result != WIOERR_NOERROR) return result;
    rec->FileName = name;
    record = rec.release();
    return WIOERR_NOERROR;
  } catch (const std::bad_alloc&) {
    return WIOERR_NOMEM;
  }
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
    record = rec.release();
    return WIOERR_NOERROR;
  } catch (const std::bad_alloc&) {
    return WIOERR_NOMEM;
  }
}

int WaveIOCreate(PWaveIORecord record, const std::string& name) {
  if (!record || name.empty() || !record->Format()) return WIOERR_BADARG;
  if (record->IsOpen()) WaveIOClose(record);
  auto file = std::make_unique<TWaveIOFile>();
  if (!file->Open(name, TWaveIOFile::omCreate, size_t(std::max(record->IOBufferSize, 0))))
    return WIOERR_FILEERROR;

  TMMCKInfo riff{FOURCC_RIFF, 0, FOURCC_WAVE, 0, 0};
  const WAVEFORMATEX* f = record->Format();
  const uint32_t formatSize =
      f->wFormatTag == WAVE_FORMAT_PCM ? 16 : uint32_t(sizeof(WAVEFORMATEX)) + f->cbSize;
  TMMCKInfo fmt{FOURCC_FMT, formatSize, 0, 0, 0};
  TMMCKInfo data{FOURCC_DATA, 0, 0, 0, 0};
  const bool ok = CreateChunk(*file, riff) && CreateChunk(*file, fmt) &&
                  file->Write(record->FormatBytes.data(), formatSize) && Ascend(*file, fmt) &&
                  CreateChunk(*file, data);
  if (!ok) {
    file->Close();
    ::unlink(name.c_str());
    return WIOERR_FILEERROR;
  }
  record->RiffChunk = riff;
  record->DataChunk = data;
  record->DataOffset = data.dwDataOffset;
  record->FileName = name;
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
  const int64_t range = int64_t(record->LastSample) - record->FirstSample;
  // The end of the range itself is a valid position: writing continues there.
  sample = std::clamp<int64_t>(sample, 0, std::max<int64_t>(range, 0));
  const int64_t first = record->FirstSample;
  if (!record->IsOpen()) {
    record->Position = ClampU32(
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
  record->BytesLeft = ClampU32(std::min<int64_t>(left, int64_t(record->DataBytes) - bytes));
  record->Position = ClampU32(WaveIOBytesToSamples(record, bytes) - first);
  return WIOERR_NOERROR;
}

int64_t WaveIORead(PWaveIORecord record, void* buffer, int64_t bytes) {
  if (!record || !record->IsOpen() || record->BytesLeft == 0 || bytes < 0 || !buffer) return -1;
  const int64_t wanted = std::min<int64_t>(bytes, record->BytesLeft);
  const int64_t got = record->File->Read(buffer, wanted);
  if (got < 0) return -1;
  if (got < wanted) record->BytesLeft = 0;
  if (got > 0) {
    record->BytesLeft = ClampU32(int64_t(record->BytesLeft) - got);
    record->Position = ClampU32(int64_t(record->LastSample) - record->FirstSample -
                                WaveIOBytesToSamples(record, record->BytesLeft));
  }
  return got;
}

int64_t WaveIOWrite(PWaveIORecord record, const void* buffer, int64_t bytes) {
  if (!record || !record->IsOpen() || bytes <= 0 || !buffer || (record->Flags & WIOF_PLAINREAD))
    return -1;
  TWaveIOFile& file = *record->File;
  if (!file.Write(buffer, bytes)) return -1;
  record->DataChunk.dwFlags |= MMIO_DIRTY;
  const int64_t p = std::max<int64_t>(file.Position() - record->DataOffset, 0);
  record->Position = ClampU32(WaveIOBytesToSamples(record, p));
  record->DataBytes = std::max(record->DataBytes, ClampU32(p));
  if (record->Position > record->TotalSamples) {
    record->TotalSamples = record->Position;
    record->LastSample = record->Position;
  }
  record->BytesLeft =
      ClampU32(WaveIOSamplesToBytes(record, int64_t(record->LastSample) - record->Position));
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
  const int64_t end = file.Position();
  const int64_t dataSize = int64_t(record->DataBytes);
  const int64_t riffSize = record->DataOffset + dataSize - record->RiffChunk.dwDataOffset;
  if (riffSize < 0 || uint64_t(riffSize) > WaveIOMaxRiffSize) return WIOERR_FILEERROR;
  const bool ok =
      file.Seek(record->DataChunk.dwDataOffset - 4) && WriteU32(file, uint32_t(dataSize)) &&
      file.Seek(record->RiffChunk.dwDataOffset - 4) && WriteU32(file, uint32_t(riffSize)) &&
      file.Seek(end) && (sync ? file.Sync() : file.Flush());
  return ok ? WIOERR_NOERROR : WIOERR_FILEERROR;
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
      int64_t onDisk = file.WriteFailedAt() - int64_t(record->DataOffset);
      const int64_t align = std::max<int64_t>(record->Format()->nBlockAlign, 1);
      onDisk -= onDisk % align;
      if (onDisk >= 0 && onDisk != int64_t(record->DataBytes) &&
          uint64_t(onDisk) <= WaveIOMaxRiffSize) {
        record->DataBytes = uint32_t(onDisk);
        record->TotalSamples = ClampU32(WaveIOBytesToSamples(record, onDisk));
      }
      ok = true;
    }
    if (!file.Created()) {
      // A continued file: both sizes are written anew.
      record->DataChunk.cksize = 0;
      record->DataChunk.dwFlags |= MMIO_DIRTY;
      record->RiffChunk.cksize = 0;
      record->RiffChunk.dwFlags |= MMIO_DIRTY;
    }
    // The sizes follow from the end of the data, wherever the last write left the position.
    ok = ok && file.Seek(record->DataOffset + record->DataBytes) && Ascend(file, record->DataChunk);
    // After lost data, nothing more is appended: only the sizes are patched.
    if (lost) ok = false;
    if (ok && !IsPcm(record)) {
      TMMCKInfo fact{FOURCC_FACT, 4, 0, 0, 0};
      ok = CreateChunk(file, fact) && WriteU32(file, record->TotalSamples) && Ascend(file, fact);
    }
    for (const TRiffDispItem& item : record->DispList) {
      if (!ok) break;
      if (item.Type != 1 && item.Type != 8) continue;
      TMMCKInfo disp{FOURCC_DISP, 0, 0, 0, 0};
      ok = CreateChunk(file, disp) && WriteU32(file, item.Type) &&
           file.Write(item.Data.data(), int64_t(item.Data.size())) && Ascend(file, disp);
    }
    TMMCKInfo list{FOURCC_LIST, 0, FOURCC_INFO, 0, 0};
    bool listCreated = false;
    for (size_t i = 0; ok && i < RiffInfoIds.size(); ++i) {
      const std::string& text = record->InfoList.Item(int(i)).Current();
      if (text.empty()) continue;
      if (!listCreated) {
        ok = CreateChunk(file, list);
        listCreated = true;
      }
      TMMCKInfo item{FourCCFromText(RiffInfoIds[i]), uint32_t(text.size() + 1), 0, 0, 0};
      ok = ok && CreateChunk(file, item) && file.Write(text.c_str(), int64_t(text.size()) + 1) &&
           Ascend(file, item);
    }
    if (ok && listCreated) ok = Ascend(file, list);
    if (lost) {
      ok = file.Seek(record->DataOffset + record->DataBytes + (record->DataBytes & 1));
    }
    record->RiffChunk.dwFlags |= MMIO_DIRTY;
    ok = ok && Ascend(file, record->RiffChunk);
    // A continued file may have been longer: nothing stays behind the form.
    ok = ok && file.Truncate(file.Position());
    record->FileLength = file.Length();
    record->LastSample = record->TotalSamples;
  }
  if (!file.Close()) ok = false;
  record->File.reset();
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

bool WaveIOWriteFits(const WaveIORecord* record, int64_t bytes, uint64_t riffSizeLimit) {
  if (!record || !record->IsOpen() || bytes < 0) return false;
  const int64_t dataEnd =
      std::max<int64_t>(record->DataBytes, record->File->Position() - record->DataOffset + bytes);
  const int64_t padded = dataEnd + (dataEnd & 1);
  const int64_t fileEnd = record->DataOffset + padded + TrailerBytes(record);
  return uint64_t(dataEnd) <= WaveIOMaxRiffSize && fileEnd >= 8 &&
         uint64_t(fileEnd - 8) <= std::min(riffSizeLimit, WaveIOMaxRiffSize);
}
