#include "stream/wave_file.h"

#include <strings.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/kernel/clock.h"
#include "stream/dsp_thread.h"
#include "stream/wave_format.h"

int64_t DiskFreeBytes(const std::string& folder) {
  struct statvfs info {};
  if (::statvfs(folder.empty() ? "." : folder.c_str(), &info) != 0) return -1;
  return int64_t(info.f_bavail) * int64_t(info.f_frsize);
}

std::string FileEndText(TMMFileEnd reason, int64_t savedMs, int error) {
  std::string why;
  switch (reason) {
    case feNone:
      return "";
    case feDiskFull:
      why = "The disk is full";
      break;
    case feSizeLimit:
      why = "The file reached the 4 GiB limit of the WAVE format";
      break;
    case feWriteError:
      why = "The file could not be written";
      if (error) why += std::string(" (") + std::strerror(error) + ")";
      break;
    case feFileDeleted: {
      char gone[96];
      std::snprintf(gone, sizeof gone,
                    "The take is lost: the file was deleted while recording: %.1f s of audio "
                    "are gone.",
                    double(std::max<int64_t>(savedMs, 0)) / 1000);
      return gone;
    }
  }
  savedMs = std::max<int64_t>(savedMs, 0);
  char length[48];
  std::snprintf(length, sizeof length, "%lld:%02lld:%02lld.%01lld", (long long)(savedMs / 3600000),
                (long long)(savedMs / 60000 % 60), (long long)(savedMs / 1000 % 60),
                (long long)(savedMs % 1000 / 100));
  return why + ": the recording was stopped and saved (" + length + ").";
}

TMMCustomWaveFile::TMMCustomWaveFile(TComponent* AOwner)
    : TMMCustomFile(AOwner), FWave(std::make_unique<TMMWave>()) {
  FObserverId = FWave->AddObserver([this](TMMWave*) { WaveChanged(); });
}

TMMCustomWaveFile::~TMMCustomWaveFile() {
  Destroying();
  // A file still open is finished quietly: no events while being destroyed.
  if (FFileOpened) {
    FFileStarted = false;
    CloseWaveFile();
  }
  FWave->RemoveObserver(FObserverId);
}

void TMMCustomWaveFile::SetWave(const TMMWave* Value) {
  if (Value && Value != FWave.get()) FWave->Assign(*Value);
}

void TMMCustomWaveFile::Notify(const TNotifyEvent& Event) {
  if (!Event || Quiet()) return;
  // A copy: the handler may assign the event anew while it runs.
  const TNotifyEvent handler = Event;
  DSPSynchronize([this, &handler] { handler(this); });
}

void TMMCustomWaveFile::WaveChanged() {
  if (OnChange && !Quiet()) OnChange(this);
  // A file that must exist defines the stream's format; a file still to be written keeps the
  // format of its input until it has one of its own.
  if (FWave->GetFileMustExist() || FWave->GetPWaveFormat()) SetPWaveFormat(FWave->GetPWaveFormat());
  if (OnChanged && !Quiet()) OnChanged(this);
}

std::string TMMCustomWaveFile::GetSavedElsewhereText() const {
  std::lock_guard guard(FSavedElsewhereLock);
  return FSavedElsewhere;
}

void TMMCustomWaveFile::SetPWaveFormat(const WAVEFORMATEX* Format) {
  TMMCustomFile::SetPWaveFormat(Format);
  const WAVEFORMATEX* f = GetPWaveFormat();
  FSilenceValue = SilenceByte(f);
}

// ---------------------------------------------------------------------------------------------
// Queries

int TMMCustomWaveFile::GetBlockAlign() const {
  const WAVEFORMATEX* f = FWave->GetPWaveFormat();
  return f ? f->nBlockAlign : 0;
}

int64_t TMMCustomWaveFile::GetTotalLengthMs() const {
  const PWaveIORecord record = FWave->GetWaveIORecord();
  return record ? FWave->SamplesToMs(record->TotalSamples) : 0;
}

int64_t TMMCustomWaveFile::GetPositionMs() const {
  return FWave->SamplesToMs(FWave->TimeFormatToSamples(FWave->GetPosition()));
}

void TMMCustomWaveFile::SetPositionMs(int64_t Value) {
  const WAVEFORMATEX* f = FWave->GetPWaveFormat();
  if (!f) return;
  const int64_t samples = (std::max<int64_t>(Value, 0) * f->nSamplesPerSec + 500) / 1000;
  FWave->SetPosition(FWave->SamplesToTimeFormat(samples));
}

bool TMMCustomWaveFile::IsValidFile(const std::string& Name) const {
  const std::string extension = std::filesystem::path(Name).extension().string();
  return strcasecmp(extension.c_str(), ".wav") == 0 && WaveIOIsWaveFile(Name, WIOF_FILE);
}

TMMFileInfo TMMCustomWaveFile::GetFileInfo(const std::string& Name) const {
  TMMFileInfo info;
  info.Name = std::filesystem::path(Name).filename().string();
  PWaveIORecord record = nullptr;
  if (WaveIOReadHeader(record, Name, FOURCC_WAVE, WIOF_FILE) == WIOERR_NOERROR) {
    info.Valid = true;
    const int64_t rate = record->Format()->nSamplesPerSec;
    info.LengthMs = (int64_t(record->TotalSamples) * 1000 + rate / 2) / rate;
  }
  WaveIOFree(record);
  return info;
}

// ---------------------------------------------------------------------------------------------
// Lifecycle

void TMMCustomWaveFile::Open() {
  TMMCustomFile::Open();
  if (FFileOpened) return;
  FEndReason = feNone;
  FEndError = 0;
  FWrittenBytes = FWrittenMs = 0;
  {
    std::lock_guard guard(FSavedElsewhereLock);
    FSavedElsewhere.clear();
  }
  if (!FInput) {
    if (!FWave->Empty()) {
      FWave->OpenFile();
      FStartPosition = FWave->GetPosition();
      FFileOpened = true;
    }
  } else {
    SetPWaveFormat(FInput->GetPWaveFormat());
    if (GetPWaveFormat() && !FWave->GetFileName().empty()) {
      if (FOverwriteExisting || FWave->Empty()) {
        FWave->CreateFile(FWave->GetFileName(), GetPWaveFormat(), FReplaceExisting);
      } else {
        // Writing continues at the end of the existing data.
        FWave->OpenFile();
        // Past the end, which the position clamps to: exact in every time unit.
        FWave->SetPosition(FWave->GetDataSize() + 1);
      }
      FFileOpened = true;
      FLastSizeUpdate = FLastSync = timeGetTime();
    }
  }
  if (FFileOpened) Notify(OnOpen);
}

bool TMMCustomWaveFile::CloseWaveFile() {
  if (!FFileOpened) return false;
  // A recording is never left without data.
  if (FInput && !FWave->GetFileName().empty() && GetPWaveFormat() && FWave->GetDataSize() == 0) {
    const uint8_t zeros[4] = {};
    FWave->WriteData(zeros, sizeof zeros);
  }
  // A file moved while it was written is where the one who moved it put it: found before the
  // close, while the system can still tell.
  const PWaveIORecord open = FWave->GetWaveIORecord();
  const std::string movedTo =
      FInput && WaveIONameState(open) == TWaveIOFile::nsMoved ? open->File->CurrentPath() : "";
  FWave->CloseFile();
  if (const PWaveIORecord record = FWave->GetWaveIORecord()) {
    FWrittenBytes = record->DataBytes;
    FWrittenMs = FWave->SamplesToMs(record->TotalSamples);
    std::string text;
    if (!movedTo.empty())
      text = "The file was moved while recording: the take is now " + movedTo + ".";
    else if (!record->FinalName.empty())
      text = record->FinalName + " could not be replaced: the take was saved as " +
             record->FileName + ".";
    std::lock_guard guard(FSavedElsewhereLock);
    FSavedElsewhere = text;
  }
  FFileOpened = false;
  return true;
}

void TMMCustomWaveFile::Close() {
  if (FFileOpened) {
    TMMCustomWaveFile::Stop();
    CloseWaveFile();
    Notify(OnClose);
  }
  TMMCustomFile::Close();
}

void TMMCustomWaveFile::Start() {
  TMMCustomFile::Start();
  if (FFileOpened && !FFileStarted) {
    FFileStarted = true;
    if (!FInput) FWave->SetPosition(FStartPosition);
  }
  FWave->PositionChanged();
}

void TMMCustomWaveFile::Stop() {
  if (FFileOpened && FFileStarted) FFileStarted = false;
  TMMCustomFile::Stop();
}

void TMMCustomWaveFile::Reset() {
  if (FFileOpened && FFileStarted) FWave->Rewind();
}

// ---------------------------------------------------------------------------------------------
// Blocks

void TMMCustomWaveFile::WriteBlock(PWaveHdr lpWaveHdr) {
  if (!FFileStarted || !FEnabled || !FInput || FWave->GetFileName().empty() ||
      lpWaveHdr->dwBytesRecorded == 0)
    return;
  const int64_t bytes = lpWaveHdr->dwBytesRecorded;
  bool room = true;
  if (FreeSpaceQuery) {
    const std::string folder = std::filesystem::path(FWave->GetFileName()).parent_path().string();
    const int64_t free = FreeSpaceQuery(folder);
    // A reserve stays free so that the buffered tail can be flushed and the sizes patched.
    room = free < 0 || free >= int64_t(FWave->GetIOBufferSize()) + bytes + 10240;
  }
  TMMFileEnd reason = room ? feNone : feDiskFull;
  int error = 0;
  if (room && !WaveIOWriteFits(FWave->GetWaveIORecord(), bytes, FSizeLimit)) reason = feSizeLimit;
  if (reason == feNone && FWave->WriteData(lpWaveHdr->lpData, bytes) <= 0) {
    error = errno;
    reason = error == ENOSPC || error == EDQUOT ? feDiskFull : feWriteError;
  }
  const uint32_t now = timeGetTime();
  if (reason == feNone && now - FLastSizeUpdate >= SizeUpdateIntervalMs) {
    const bool sync = now - FLastSync >= SyncIntervalMs;
    FLastSizeUpdate = now;
    if (sync) FLastSync = now;
    if (WaveIOUpdateSizes(FWave->GetWaveIORecord(), sync) != WIOERR_NOERROR) {
      error = errno;
      reason = error == ENOSPC || error == EDQUOT ? feDiskFull : feWriteError;
    }
    // Once a second: a file that no name leads to any more (deleted, or its folder) takes all
    // it holds with it at the close; recording on into it would only lose more.
    if (sync && reason == feNone &&
        WaveIONameState(FWave->GetWaveIORecord()) == TWaveIOFile::nsDeleted)
      reason = feFileDeleted;
  }
  if (reason == feNone) return;
  // Set before the close, so that whoever hears of the close also hears why.
  FEndError = error;
  FEndReason = reason;
  Close();
}

void TMMCustomWaveFile::BufferReady(PWaveHdr lpWaveHdr) {
  WriteBlock(lpWaveHdr);
  TMMCustomFile::BufferReady(lpWaveHdr);
}

void TMMCustomWaveFile::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
  if (FInput) {
    TMMCustomFile::BufferLoad(lpWaveHdr, MoreBuffers);
    WriteBlock(lpWaveHdr);
    return;
  }
  if (FWave->Empty()) {
    lpWaveHdr->dwBytesRecorded = 0;
    return;
  }
  if (!FFileStarted || !FEnabled) {
    std::memset(lpWaveHdr->lpData, FSilenceValue, lpWaveHdr->dwBufferLength);
    lpWaveHdr->dwBytesRecorded = lpWaveHdr->dwBufferLength;
    MoreBuffers = true;
    return;
  }
  const int64_t read = FWave->ReadData(lpWaveHdr->lpData, lpWaveHdr->dwBufferLength);
  lpWaveHdr->dwBytesRecorded = uint32_t(std::max<int64_t>(read, 0));
  if (lpWaveHdr->dwBytesRecorded == 0) return;
  if (FWave->BytesLeft() > 0) {
    MoreBuffers = true;
    return;
  }
  // The data ended with this block.
  if (!lpWaveHdr->LoopActive) return;
  if (lpWaveHdr->LoopsWanted > 0) --lpWaveHdr->LoopsRemaining;
  if (lpWaveHdr->LoopsWanted != 0 && lpWaveHdr->LoopsRemaining < 0) return;
  FWave->SetPosition(0);
  FWave->Rewind();
  if (OnLooping) OnLooping(this);
  MoreBuffers = true;
  lpWaveHdr->Looped = LoopFlagSet;
}
