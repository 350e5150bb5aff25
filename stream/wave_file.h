// The WAVE file as a chain component. As a sink (with an Input) it creates its file at Open,
// appends every block pushed to it and finishes the file at Close, or earlier when the disk runs
// short or the file would outgrow the 32-bit RIFF sizes. As a source (without an Input) it
// presents the named file's format to the chain and fills every block pulled from it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "stream/dsp_component.h"
#include "stream/wave.h"

using TNotifyEvent = std::function<void(TObject* Sender)>;

// Bytes free for an unprivileged writer on the volume that holds `folder`; -1 when unknown.
int64_t DiskFreeBytes(const std::string& folder);
using TFreeSpaceQuery = std::function<int64_t(const std::string& folder)>;

// Why a file being written was finished before its chain closed.
enum TMMFileEnd { feNone, feDiskFull, feSizeLimit, feWriteError, feFileDeleted };

// What the user is told when a recording ended early for `reason`, with the length it saved and
// the system's reason for a failed write (`error`, an errno value).
std::string FileEndText(TMMFileEnd reason, int64_t savedMs, int error = 0);

// What a file dialog shows about a file.
struct TMMFileInfo {
  bool Valid = false;
  int64_t LengthMs = 0;
  std::string Name;  // without its path
};

class TMMCustomFile : public TMMDSPComponent {
 public:
  using TMMDSPComponent::TMMDSPComponent;
  bool GetEnabled() const { return FEnabled; }
  void SetEnabled(bool Value) { FEnabled = Value; }

 protected:
  std::atomic<bool> FEnabled{true};
};

class TMMCustomWaveFile : public TMMCustomFile {
 public:
  explicit TMMCustomWaveFile(TComponent* AOwner);
  ~TMMCustomWaveFile() override;

  // The owned wave; setting it takes over the given wave's settings and file.
  TMMWave* GetWave() const { return FWave.get(); }
  void SetWave(const TMMWave* Value);

  std::string GetFileName() const { return FWave->GetFileName(); }
  void SetFileName(const std::string& Name) { FWave->SetFileName(Name); }
  bool Empty() const { return FWave->Empty(); }
  int GetBlockAlign() const;
  int64_t GetTotalLengthMs() const;
  // Position in the wave's TimeFormat units, and in milliseconds.
  int64_t GetPosition() const { return FWave->GetPosition(); }
  void SetPosition(int64_t Value) { FWave->SetPosition(Value); }
  int64_t GetPositionMs() const;
  void SetPositionMs(int64_t Value);

  // File-type queries for the file dialogs.
  static std::string DefaultExtension() { return "*.wav"; }
  static std::string FilterText() { return "Wave Files(*.wav)|*.wav"; }
  bool CanHandleFile(const std::string&) const { return true; }
  bool IsValidFile(const std::string& Name) const;
  TMMFileInfo GetFileInfo(const std::string& Name) const;

  uint16_t SilenceValue() const { return FSilenceValue; }
  bool GetOverwriteExisting() const { return FOverwriteExisting; }
  void SetOverwriteExisting(bool Value) { FOverwriteExisting = Value; }
  // Whether a new file replaces a file of its name (once it is complete, at the close) or is
  // refused with it; on by default.
  bool GetReplaceExisting() const { return FReplaceExisting; }
  void SetReplaceExisting(bool Value) { FReplaceExisting = Value; }
  bool FileOpened() const { return FFileOpened; }
  bool FileStarted() const { return FFileStarted; }

  void SetPWaveFormat(const WAVEFORMATEX* Format) override;
  void Open() override;
  void Close() override;
  void Start() override;
  void Stop() override;
  void Reset() override;
  void BufferReady(PWaveHdr lpWaveHdr) override;
  void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

  TNotifyEvent OnChange;
  TNotifyEvent OnChanged;
  TNotifyEvent OnOpen;
  TNotifyEvent OnClose;
  TNotifyEvent OnLooping;

  // How the free space before each write is found (statvfs by default); tests replace it.
  TFreeSpaceQuery FreeSpaceQuery = DiskFreeBytes;
  // The largest RIFF size a written file may reach: by default what its header can hold (a new
  // file goes on as RF64 past 4 GiB; a continued plain file stops at 4 GiB). Tests lower it to
  // reach the limit without writing gigabytes.
  uint64_t GetSizeLimit() const { return FSizeLimit; }
  void SetSizeLimit(uint64_t Value) { FSizeLimit = Value; }
  // Why the file being written was finished early, feNone while it was not. Set by the thread
  // that writes the file and kept until the next Open; any thread may read it.
  TMMFileEnd GetEndReason() const { return FEndReason; }
  // The system's error number of the failed write that ended it, or 0.
  int GetEndError() const { return FEndError; }
  // The data a written file holds, in bytes and in milliseconds; valid after it is closed.
  int64_t GetWrittenBytes() const { return FWrittenBytes; }
  int64_t GetWrittenMs() const { return FWrittenMs; }
  // Where a written file went when it is not at its name after the close (moved while it was
  // written, or unable to replace the file of its name), in words for the user; "" when it is
  // where it was asked to be.
  std::string GetSavedElsewhereText() const;
  // How often the sizes in the header of a file being written are brought up to date, so that
  // the file reads correctly to about that point when the program dies before the close, and
  // how often the file is then also put on the disk, for a power cut.
  static constexpr uint32_t SizeUpdateIntervalMs = 250;
  static constexpr uint32_t SyncIntervalMs = 1000;

 protected:
  void WaveChanged();
  // Appends a pushed block; ends the recording when the disk is short, the file would outgrow
  // its sizes, or the write fails.
  void WriteBlock(PWaveHdr lpWaveHdr);
  // Finishes the file; the notification is left to the caller.
  bool CloseWaveFile();
  void Notify(const TNotifyEvent& Event);

 private:
  std::unique_ptr<TMMWave> FWave;
  int FObserverId = 0;
  int64_t FStartPosition = 0;
  uint16_t FSilenceValue = 0;
  bool FFileOpened = false;
  // Written by the main thread's lifecycle calls, read by the thread that moves the blocks.
  std::atomic<bool> FFileStarted{false};
  bool FOverwriteExisting = true;
  bool FReplaceExisting = true;
  uint64_t FSizeLimit = UINT64_MAX;
  std::atomic<TMMFileEnd> FEndReason{feNone};
  std::atomic<int> FEndError{0};
  std::atomic<int64_t> FWrittenBytes{0};
  std::atomic<int64_t> FWrittenMs{0};
  // Set by whoever closes the file, read by any thread.
  mutable std::mutex FSavedElsewhereLock;
  std::string FSavedElsewhere;  // under FSavedElsewhereLock
  // Owned by the thread that writes the file.
  uint32_t FLastSizeUpdate = 0;
  uint32_t FLastSync = 0;
};

class TMMWaveFile : public TMMCustomWaveFile {
 public:
  using TMMCustomWaveFile::TMMCustomWaveFile;
  bool HasInputPort() const override { return true; }
  bool HasOutputPort() const override { return true; }
};
