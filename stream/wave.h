// TMMWave: one named WAVE file. It keeps the parsed header, converts between samples, bytes
// and its time unit, and offers the file-level operations: naming (which parses), creating,
// opening for streaming, positioning over its play segments, reading and writing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/component/component.h"
#include "stream/mm_error.h"
#include "stream/wave_format.h"
#include "stream/wave_io.h"

// A file error: the fixed message, and where a file is concerned, the file's name and the
// system's reason, which follow the message on a line of their own.
class EMMWaveError : public EMMError {
 public:
  explicit EMMWaveError(const std::string& Message) : EMMError(Message), FMessage(Message) {}
  EMMWaveError(const std::string& Message, const std::string& FileName, const std::string& Reason)
      : EMMError(Message + "\n\r" + FileName + ": " + Reason),
        FMessage(Message),
        FFileName(FileName),
        FReason(Reason) {}
  const std::string& Message() const { return FMessage; }
  const std::string& FileName() const { return FFileName; }
  // Empty when the error names no file.
  const std::string& Reason() const { return FReason; }

 private:
  std::string FMessage;
  std::string FFileName;
  std::string FReason;
};

using TMMWaveProgress =
    std::function<void(TObject* Sender, int64_t CurByte, int64_t NumBytes, bool& Cancel)>;

// A stretch of the file that is played: in samples and in bytes.
struct TMMPlaySegment {
  int64_t StartSample = 0;
  int64_t LengthSamples = 0;
  int64_t StartByte = 0;
  int64_t LengthBytes = 0;
};

class TMMWave : public TObject {
 public:
  TMMWave();
  ~TMMWave() override;
  TMMWave(const TMMWave&) = delete;
  TMMWave& operator=(const TMMWave&) = delete;

  // Takes over the source's settings and names its file; one change is signalled at the end.
  virtual void Assign(const TMMWave& Source);

  TMMWaveProgress OnProgress;

  // Properties.
  const std::string& GetFileName() const { return FFileName; }
  // Parses the named file, or forgets the file for an empty name.
  virtual void SetFileName(const std::string& Name);
  bool GetFileMustExist() const { return FFileMustExist; }
  void SetFileMustExist(bool Value) { FFileMustExist = Value; }
  int32_t GetIOBufferSize() const { return FIOBufferSize; }
  void SetIOBufferSize(int32_t Value);
  TMMTimeFormats GetTimeFormat() const { return FTimeFormat; }
  void SetTimeFormat(TMMTimeFormats Value) { FTimeFormat = Value; }

  // Read-only properties derived from the format.
  int GetBitLength() const;
  // Bits of each sample that carry the signal: the file's own bit depth when its samples sit in
  // wider containers (GetBitLength is the container's), else GetBitLength.
  int GetValidBits() const;
  TMMMode GetMode() const;
  int GetFormatTag() const;
  std::string GetFormatString() const;
  uint32_t GetSampleRate() const;  // 11025 without a format
  int64_t GetFileSize() const;
  int64_t GetDataSize() const;  // total samples in TimeFormat units
  // No file, or no samples.
  bool Empty() const;

  virtual WAVEFORMATEX* GetPWaveFormat() const;
  PWaveIORecord GetWaveIORecord() const { return FWaveIORecord; }

  // Makes a new file for writing. A file of that name is replaced only with `Replace`, and only
  // once the new one is complete (at CloseFile); one that another writer holds is not.
  virtual void CreateFile(const std::string& Name, const WAVEFORMATEX* Format, bool Replace = true);
  virtual void OpenFile();
  virtual void CloseFile();
  bool FileOpen() const { return FOpen; }

  // Position in TimeFormat units.
  virtual void SetPosition(int64_t Value);
  int64_t GetPosition() const { return SamplesToTimeFormat(FPosition); }
  int64_t BytesLeft() const { return FBytesLeft; }
  const std::vector<TMMPlaySegment>& PlaySegments() const { return FPlaySegments; }

  // Bytes read (4 zero bytes when nothing could be read although data was expected), or -1
  // when no bytes are left.
  int64_t ReadData(void* Buffer, int64_t Bytes);
  // Bytes written, or -1.
  int64_t WriteData(const void* Buffer, int64_t Bytes);

  // Conversions.
  virtual int64_t SamplesToBytes(int64_t Samples) const;
  virtual int64_t BytesToSamples(int64_t Bytes) const;
  virtual int64_t SampleToFileSample(int64_t Sample) const { return Sample; }
  virtual int64_t FileSampleToSample(int64_t Sample) const { return Sample; }
  virtual int64_t SamplesToTimeFormat(int64_t Samples) const;
  virtual int64_t TimeFormatToSamples(int64_t Value) const;
  int64_t SamplesToMs(int64_t Samples) const;

  // Hooks for subclasses: the position changed; the owner rewinds the stream.
  virtual void PositionChanged() {}
  virtual void Rewind() {}

  // Change signalling.
  using TObserver = std::function<void(TMMWave* Sender)>;
  int AddObserver(TObserver Observer);
  void RemoveObserver(int Id);
  void BeginUpdate() { ++FUpdateCount; }
  void EndUpdate();

 protected:
  virtual int64_t RawRead(void* Buffer, int64_t Bytes);
  void Changed();
  // Makes `Record` (now owned) the object's file, named `Name`.
  void AttachRecord(PWaveIORecord Record, const std::string& Name);
  void ReleaseFile();
  void RebuildPlaySegments();

 private:
  PWaveIORecord FWaveIORecord = nullptr;
  std::string FFileName;
  bool FFileMustExist = true;
  int32_t FIOBufferSize = 32768;
  TMMTimeFormats FTimeFormat = tfSample;
  int64_t FRangeStart = 0;
  int64_t FRangeEnd = 0;
  int64_t FPosition = 0;   // samples, relative to the range start
  int64_t FBytesLeft = 0;  // in the range
  std::vector<TMMPlaySegment> FPlaySegments;
  int FCurSegment = -1;
  int64_t FSegmentBytesLeft = 0;
  bool FOpen = false;
  int FUpdateCount = 0;
  bool FChangePending = false;
  std::vector<std::pair<int, TObserver>> FObservers;
  int FNextObserverId = 1;
};

// The full path of a file name (relative names are taken from the current folder); empty stays
// empty.
std::string ExpandFileName(const std::string& Name);
