// The parts shared by every open wave device of the system driver: the queue of blocks, the
// header checks, the pause / start / stop / reset rules, the notifications and the driver
// thread. A backend derives from it and supplies the thread's loop and the hooks that move its
// own engine (an ALSA pcm, or a clock) along with the state changes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wave/wave_api.h"

// Where the notifications of one open device go.
struct TWaveNotify {
  uint32_t CallbackType = CALLBACK_NULL;  // CALLBACK_NULL, CALLBACK_FUNCTION or CALLBACK_WINDOW
  uintptr_t Callback = 0;
  uintptr_t Instance = 0;
  void* Handle = nullptr;  // the handle the caller was given

  void Send(uint32_t msg, uintptr_t param1) const;
};

// True for a format every backend of the system driver can take: PCM, 8 or 16 bits, 1, 2 or
// 4 channels, 4000..100000 Hz, and a block alignment that matches.
bool IsSupportedPcmFormat(const WAVEFORMATEX& format);

class TWaveStreamThread;

class TWaveStream {
 public:
  TWaveStream(bool input, uint32_t deviceId, const WAVEFORMATEX& format, const TWaveNotify& notify);
  virtual ~TWaveStream();
  TWaveStream(const TWaveStream&) = delete;
  TWaveStream& operator=(const TWaveStream&) = delete;

  bool IsInput() const { return FInput; }
  uint32_t DeviceId() const { return FDeviceId; }
  const TWaveNotify& Notify() const { return FNotify; }

  // Starts the driver thread; false when it cannot be created.
  bool StartThread();

  MMRESULT Prepare(WAVEHDR* header, uint32_t size);
  MMRESULT Unprepare(WAVEHDR* header, uint32_t size);
  // waveOutWrite / waveInAddBuffer.
  MMRESULT Queue(WAVEHDR* header, uint32_t size);
  MMRESULT Pause();    // output
  MMRESULT Restart();  // output
  MMRESULT Start();    // input
  MMRESULT Stop();     // input
  MMRESULT Reset();
  MMRESULT GetPosition(MMTIME* time, uint32_t size);
  // Output: the underruns since the device was opened (see waveOutGetUnderruns).
  MMRESULT GetUnderruns(uint32_t* count);
  // Input: the frames dropped in overruns since the open (see waveInGetOverruns).
  MMRESULT GetOverruns(uint64_t* frames, uint32_t* dropouts);
  // Refuses while blocks are queued, and on the driver thread (inside a callback); otherwise
  // ends the thread and releases the engine. The caller sends the close notification.
  MMRESULT Close();
  // Ends the thread and releases the engine without any notification (program exit); does
  // nothing after Close.
  void Abandon();

 protected:
  // The driver thread's loop; returns once FQuit is set.
  virtual void Execute() = 0;
  // Wakes the driver thread after a state change; called with FLock held.
  virtual void Wake() { FWakeup.notify_all(); }
  // Whether Queue wakes the driver thread for the block it has just added (called with FLock
  // held); a backend whose thread finds new blocks by itself while it is busy says when not.
  virtual bool WakeForQueued() const { return true; }
  // Engine hooks, called with FLock held after the state has changed.
  virtual MMRESULT OnPause() { return MMSYSERR_NOERROR; }
  virtual MMRESULT OnRestart() { return MMSYSERR_NOERROR; }
  virtual MMRESULT OnStart() { return MMSYSERR_NOERROR; }
  virtual void OnStop() {}
  virtual void OnReset() {}
  // A block of `bytes` was prepared; called with FLock held.
  virtual void OnPrepare(uint32_t /*bytes*/) {}
  // Frames played (output) or recorded (input) since the last reset; called with FLock held.
  virtual uint64_t SamplePosition() { return FFrames; }
  // Output underruns since the open; called with FLock held. A backend whose device cannot
  // run dry (one that waits for the blocks) has none.
  virtual uint64_t Underruns() { return 0; }
  // Input frames the device dropped since the open, and in how many dropouts; called with FLock
  // held. A backend whose device waits for the program drops none.
  virtual void Overruns(uint64_t& frames, uint64_t& dropouts) { frames = dropouts = 0; }
  // Releases the engine after the thread has ended.
  virtual void ReleaseEngine() {}

  // Marks a block returned (WHDR_DONE set, WHDR_INQUEUE cleared) and adds it to `done`.
  static void MarkDone(WAVEHDR* header, std::vector<WAVEHDR*>& done);
  // Sends WOM_DONE / WIM_DATA for each block, in order. Never called with FLock held.
  void Deliver(const std::vector<WAVEHDR*>& done) const;
  // The device stopped working: every queued block is returned into `done` and later calls
  // that need the device fail with `error`. Called with FLock held.
  void MarkLost(MMRESULT error, std::vector<WAVEHDR*>& done);
  bool OnDriverThread() const;

  const bool FInput;
  const uint32_t FDeviceId;
  const WAVEFORMATEX FFormat;
  const TWaveNotify FNotify;

  std::mutex FLock;
  std::condition_variable FWakeup;
  std::deque<WAVEHDR*> FQueue;
  bool FQuit = false;
  bool FPaused = false;   // output: consumption halted by Pause
  bool FStarted = false;  // input: filling enabled by Start
  MMRESULT FLostError = MMSYSERR_NOERROR;
  // Increased by every reset and stop, so the thread notices that its block may be gone.
  uint64_t FGeneration = 0;
  uint64_t FFrames = 0;

 private:
  friend class TWaveStreamThread;
  void EndThread();

  std::unique_ptr<TWaveStreamThread> FThread;
  bool FClosed = false;
};

// One backend of the system driver: its devices and how to open them.
class TWaveBackend {
 public:
  virtual ~TWaveBackend() = default;
  // Reads the device lists.
  virtual void Scan() = 0;
  virtual size_t Count(bool input) const = 0;
  // At most 31 characters.
  virtual std::string ProductName(bool input, size_t index) const = 0;
  virtual MMRESULT Query(bool input, size_t index, const WAVEFORMATEX& format) = 0;
  // Opens a device; the returned stream's thread is running.
  virtual MMRESULT Open(bool input, size_t index, uint32_t deviceId, const WAVEFORMATEX& format,
                        const TWaveNotify& notify, std::shared_ptr<TWaveStream>& stream) = 0;
  // Driver-specific error texts.
  virtual bool GetErrorText(MMRESULT /*error*/, std::string& /*text*/) { return false; }
  // The sound system's own name of a device (an ALSA PCM name such as "default"); empty when it
  // has none beside its product name.
  virtual std::string SystemName(bool /*input*/, size_t /*index*/) const { return {}; }
};
