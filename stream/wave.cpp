#include "stream/wave.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace {

const char* const kErrorReading = "Error reading wave file";
const char* const kInvalidWave = "Invalid wave file...";
const char* const kBufferSetup = "Unable to setup file IO buffer";
const char* const kUnableToOpen = "Unable to open wave file";
const char* const kUnableToCreate = "Unable to create wave file";
const char* const kSeekError = "Error seeking file position";

// Size on disk; a missing file counts as 0 bytes.
int64_t SizeOnDisk(const std::string& name) {
  std::error_code error;
  const auto size = fs::file_size(name, error);
  return error ? 0 : int64_t(size);
}

bool FileExists(const std::string& name) {
  std::error_code error;
  return fs::exists(name, error);
}

}  // namespace

std::string ExpandFileName(const std::string& Name) {
  if (Name.empty()) return Name;
  std::error_code error;
  const fs::path full = fs::absolute(Name, error);
  return error ? Name : full.lexically_normal().string();
}

TMMWave::TMMWave() = default;

TMMWave::~TMMWave() {
  ReleaseFile();
}

void TMMWave::Assign(const TMMWave& Source) {
  if (&Source == this) return;
  BeginUpdate();
  try {
    FFileMustExist = Source.FFileMustExist;
    SetIOBufferSize(Source.FIOBufferSize);
    FTimeFormat = Source.FTimeFormat;
    SetFileName(Source.FFileName);
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

// ---------------------------------------------------------------------------------------------
// Properties

void TMMWave::SetIOBufferSize(int32_t Value) {
  FIOBufferSize = std::max<int32_t>(Value, 8192);
  if (FWaveIORecord && FWaveIORecord->IsOpen() &&
      WaveIOSetBuffer(FWaveIORecord, FIOBufferSize) != WIOERR_NOERROR)
    throw EMMWaveError(kBufferSetup);
}

WAVEFORMATEX* TMMWave::GetPWaveFormat() const {
  return FWaveIORecord ? FWaveIORecord->Format() : nullptr;
}

int TMMWave::GetBitLength() const {
  const WAVEFORMATEX* f = GetPWaveFormat();
  return f ? f->wBitsPerSample : 0;
}

int TMMWave::GetValidBits() const {
  const WAVEFORMATEX* f = GetPWaveFormat();
  if (!f) return 0;
  const uint16_t valid = FWaveIORecord->ValidBits;
  return valid > 0 && valid < f->wBitsPerSample ? valid : f->wBitsPerSample;
}

TMMMode TMMWave::GetMode() const {
  const WAVEFORMATEX* f = GetPWaveFormat();
  if (!f || f->nChannels <= 1) return mMono;
  return f->nChannels == 2 ? mStereo : mMultiChannel;
}

int TMMWave::GetFormatTag() const {
  const WAVEFORMATEX* f = GetPWaveFormat();
  return f ? f->wFormatTag : 0;
}

std::string TMMWave::GetFormatString() const {
  const WAVEFORMATEX* f = GetPWaveFormat();
  // The text divides by these; a record always has them non-zero, but stay safe.
  if (f && (f->nSamplesPerSec == 0 || f->nChannels == 0)) return "Unknown";
  return WaveFormatText(f);
}

uint32_t TMMWave::GetSampleRate() const {
  const WAVEFORMATEX* f = GetPWaveFormat();
  return f ? f->nSamplesPerSec : 11025;
}

int64_t TMMWave::GetFileSize() const {
  return FWaveIORecord ? FWaveIORecord->FileLength : 0;
}

int64_t TMMWave::GetDataSize() const {
  return FWaveIORecord ? SamplesToTimeFormat(FWaveIORecord->TotalSamples) : 0;
}

bool TMMWave::Empty() const {
  return !FWaveIORecord || FWaveIORecord->TotalSamples == 0;
}

// ---------------------------------------------------------------------------------------------
// Conversions

int64_t TMMWave::SamplesToBytes(int64_t Samples) const {
  return WaveIOSamplesToBytes(FWaveIORecord, Samples);
}

int64_t TMMWave::BytesToSamples(int64_t Bytes) const {
  return WaveIOBytesToSamples(FWaveIORecord, Bytes);
}

int64_t TMMWave::SamplesToMs(int64_t Samples) const {
  const WAVEFORMATEX* f = GetPWaveFormat();
  if (!f || f->nSamplesPerSec == 0 || Samples <= 0) return 0;
  const int64_t rate = f->nSamplesPerSec;
  return (Samples * 1000 + rate / 2) / rate;
}

int64_t TMMWave::SamplesToTimeFormat(int64_t Samples) const {
  switch (FTimeFormat) {
    case tfSample:
      return Samples;
    case tfByte:
      return SamplesToBytes(Samples);
    case tfMillisecond:
      return SamplesToMs(Samples);
  }
  return Samples;
}

int64_t TMMWave::TimeFormatToSamples(int64_t Value) const {
  switch (FTimeFormat) {
    case tfSample:
      return Value;
    case tfByte:
      return BytesToSamples(Value);
    case tfMillisecond: {
      const WAVEFORMATEX* f = GetPWaveFormat();
      if (!f || Value <= 0) return 0;
      return (Value * int64_t(f->nSamplesPerSec) + 500) / 1000;
    }
  }
  return Value;
}

// ---------------------------------------------------------------------------------------------
// Change signalling

int TMMWave::AddObserver(TObserver Observer) {
  FObservers.emplace_back(FNextObserverId, std::move(Observer));
  return FNextObserverId++;
}

void TMMWave::RemoveObserver(int Id) {
  std::erase_if(FObservers, [Id](const auto& entry) { return entry.first == Id; });
}

void TMMWave::EndUpdate() {
  if (FUpdateCount > 0) --FUpdateCount;
  if (FUpdateCount == 0 && FChangePending) {
    FChangePending = false;
    Changed();
  }
}

void TMMWave::Changed() {
  if (FUpdateCount > 0) {
    FChangePending = true;
    return;
  }
  const auto observers = FObservers;  // an observer may remove itself
  for (const auto& entry : observers) entry.second(this);
}

// ---------------------------------------------------------------------------------------------
// The file

void TMMWave::ReleaseFile() {
  if (FWaveIORecord) WaveIOFree(FWaveIORecord);
  FOpen = false;
  FFileName.clear();
  FRangeStart = FRangeEnd = FPosition = FBytesLeft = 0;
  FPlaySegments.clear();
  FCurSegment = -1;
  FSegmentBytesLeft = 0;
}

void TMMWave::AttachRecord(PWaveIORecord Record, const std::string& Name) {
  if (Record == FWaveIORecord) return;
  ReleaseFile();
  FWaveIORecord = Record;
  FRangeStart = Record->FirstSample;
  FRangeEnd = Record->LastSample;
  FPosition = Record->Position;
  FBytesLeft = Record->BytesLeft;
  FFileName = Name;
  RebuildPlaySegments();
  Changed();
}

void TMMWave::RebuildPlaySegments() {
  FPlaySegments.clear();
  if (!FWaveIORecord) return;
  TMMPlaySegment segment;
  segment.StartSample = FRangeStart;
  segment.LengthSamples = std::max<int64_t>(FRangeEnd - FRangeStart, 0);
  segment.StartByte = SamplesToBytes(segment.StartSample);
  segment.LengthBytes = SamplesToBytes(segment.LengthSamples);
  FPlaySegments.push_back(segment);
}

void TMMWave::SetFileName(const std::string& Name) {
  const std::string name = ExpandFileName(Name);
  if (name == FFileName && SizeOnDisk(name) == GetFileSize()) return;
  if (name.empty()) {
    ReleaseFile();
    Changed();
    return;
  }
  if (FileExists(name)) {
    // A file that cannot be opened is not one that does not parse: each says so with the
    // system's reason.
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw EMMWaveError(kErrorReading, name, std::strerror(errno));
    ::close(fd);
    PWaveIORecord record = nullptr;
    std::string reason;
    if (WaveIOReadHeader(record, name, FOURCC_WAVE, WIOF_FILE, &reason) == WIOERR_NOERROR) {
      record->IOBufferSize = FIOBufferSize;
      AttachRecord(record, name);
      return;
    }
    throw EMMWaveError(kInvalidWave, name, reason);
  }
  if (!FFileMustExist) {
    ReleaseFile();
    FFileName = name;
    Changed();
    return;
  }
  throw EMMWaveError(kErrorReading, name, std::strerror(ENOENT));
}

void TMMWave::CreateFile(const std::string& Name, const WAVEFORMATEX* Format, bool Replace) {
  if (Name.empty() || !Format) return;
  const std::string name = ExpandFileName(Name);
  PWaveIORecord record = nullptr;
  std::string reason = std::strerror(ENOMEM);
  if (WaveIOFromFormat(record, Format) == WIOERR_NOERROR) {
    record->IOBufferSize = FIOBufferSize;
    if (WaveIOCreate(record, name, &reason, Replace) == WIOERR_NOERROR) {
      AttachRecord(record, name);
      if (WaveIOSetBuffer(record, FIOBufferSize) != WIOERR_NOERROR)
        throw EMMWaveError(kBufferSetup);
      return;
    }
  }
  if (record) WaveIOFree(record);
  throw EMMWaveError(kUnableToCreate, name, reason.empty() ? std::strerror(EIO) : reason);
}

void TMMWave::OpenFile() {
  if (!FWaveIORecord) return;
  FWaveIORecord->Position = std::max<int64_t>(FPosition, 0);
  errno = 0;
  if (WaveIOOpen(FWaveIORecord) != WIOERR_NOERROR) {
    const int error = errno;
    WaveIOClose(FWaveIORecord);
    throw EMMWaveError(kUnableToOpen, FFileName,
                       error ? std::strerror(error) : "not a WAVE file any more");
  }
  if (WaveIOSetBuffer(FWaveIORecord, FIOBufferSize) != WIOERR_NOERROR) {
    WaveIOClose(FWaveIORecord);
    throw EMMWaveError(kBufferSetup);
  }
  RebuildPlaySegments();
  PositionChanged();
  FOpen = true;
  SetPosition(GetPosition());
}

void TMMWave::CloseFile() {
  if (FWaveIORecord) {
    WaveIOClose(FWaveIORecord);
    FRangeEnd = FWaveIORecord->LastSample;
    RebuildPlaySegments();
  }
  FOpen = false;
  FPosition = 0;
  FBytesLeft = 0;
}

// ---------------------------------------------------------------------------------------------
// Positioning, reading and writing

void TMMWave::SetPosition(int64_t Value) {
  if (!FWaveIORecord) return;
  FPosition = std::max<int64_t>(TimeFormatToSamples(Value), 0);
  if (!FOpen) return;
  int64_t total = 0;
  if (FPlaySegments.empty())
    total = FRangeEnd - FRangeStart;
  else
    for (const TMMPlaySegment& segment : FPlaySegments) total += segment.LengthSamples;
  const int64_t s = std::clamp<int64_t>(FPosition, 0, std::max<int64_t>(total, 0));
  FPosition = s;
  FBytesLeft = SamplesToBytes(total) - SamplesToBytes(s);
  FCurSegment = -1;
  FSegmentBytesLeft = -1;
  PositionChanged();
  int64_t sum = 0;
  size_t index = 0;
  for (; index < FPlaySegments.size(); ++index) {
    sum += FPlaySegments[index].LengthSamples;
    if (sum >= s) break;
  }
  if (index >= FPlaySegments.size()) throw EMMWaveError(kSeekError);
  const TMMPlaySegment& segment = FPlaySegments[index];
  const int64_t sample = segment.StartSample + (segment.LengthSamples - (sum - s));
  if (WaveIOSeek(FWaveIORecord, sample) != WIOERR_NOERROR &&
      WaveIOSeek(FWaveIORecord, sample) != WIOERR_NOERROR)
    throw EMMWaveError(kSeekError);
  FSegmentBytesLeft = SamplesToBytes(sum - s);
  FCurSegment = int(index);
}

int64_t TMMWave::RawRead(void* Buffer, int64_t Bytes) {
  return WaveIORead(FWaveIORecord, Buffer, Bytes);
}

int64_t TMMWave::ReadData(void* Buffer, int64_t Bytes) {
  if (!FWaveIORecord || FBytesLeft <= 0) return -1;
  if (Bytes <= 0 || !Buffer) return 0;
  char* out = static_cast<char*>(Buffer);
  const int64_t wanted = std::min(Bytes, FBytesLeft);
  int64_t done = 0;
  while (done < wanted) {
    if (FSegmentBytesLeft <= 0) {
      ++FCurSegment;
      if (FCurSegment < 0 || size_t(FCurSegment) >= FPlaySegments.size()) {
        FBytesLeft = 0;
        break;
      }
      const TMMPlaySegment& segment = FPlaySegments[size_t(FCurSegment)];
      FSegmentBytesLeft = segment.LengthBytes;
      WaveIOSeek(FWaveIORecord, segment.StartSample);
      continue;
    }
    const int64_t n = RawRead(out + done, std::min(wanted - done, FSegmentBytesLeft));
    if (n <= 0) break;
    done += n;
    FSegmentBytesLeft -= n;
  }
  int64_t total = 0;
  for (const TMMPlaySegment& segment : FPlaySegments) total += segment.LengthSamples;
  if (done == 0) {
    const int64_t zeros = std::min<int64_t>(4, Bytes);
    std::memset(Buffer, 0, size_t(zeros));
    FBytesLeft = 0;
    FSegmentBytesLeft = 0;
    FPosition = total;
    return zeros;
  }
  FBytesLeft = std::max<int64_t>(FBytesLeft - done, 0);
  FPosition = BytesToSamples(SamplesToBytes(total) - FBytesLeft);
  return done;
}

int64_t TMMWave::WriteData(const void* Buffer, int64_t Bytes) {
  if (!FWaveIORecord) return -1;
  const int64_t written = WaveIOWrite(FWaveIORecord, Buffer, Bytes);
  FRangeEnd = FWaveIORecord->LastSample;
  FPosition = FWaveIORecord->Position;
  RebuildPlaySegments();
  return written;
}
