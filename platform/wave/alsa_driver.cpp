#include "platform/wave/alsa_driver.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <utility>

#include "platform/kernel/thread.h"
#include "platform/wave/sample_format.h"

namespace {

// alsa-lib reports failed opens on standard error; the driver reports through result codes.
void SilentAlsaError(const char* /*file*/, int /*line*/, const char* /*function*/, int /*err*/,
                     const char* /*fmt*/, ...) {}

// Latency the driver asks for: a buffer of four periods, and periods of about 50 ms, or as
// long as the blocks the program queues when those are longer (set when the first block is
// prepared, up to half a second), so that the driver thread, and a sound server's thread in
// this process, wake about once a block rather than several times; four periods ride out a
// thread that runs late on a busy machine. (Shorter periods for shorter blocks would only wake
// the sound server's thread more often: the window's blocks of 46 ms keep the 50 ms periods.)
constexpr unsigned kDefaultPeriodUs = 50000;
constexpr unsigned kMaxPeriodUs = 500000;
constexpr unsigned kPeriodsPerBuffer = 4;
// Consecutive failed transfers after which a device counts as gone.
constexpr int kMaxConsecutiveErrors = 20;
// How long the driver thread sleeps between looks while the control thread is busy (it is
// woken at once when the control thread finishes).
constexpr int kControlBusyWaitMs = 100;
// How long a close waits for the sound server to let the pcm go before leaving the pcm to
// its control thread.
constexpr auto kCloseWait = std::chrono::milliseconds(1500);

// NEEDLEREC_ALSA_LOG set: every error a transfer recovers from is written to standard error.
bool LogRecoveries() {
  static const bool log = std::getenv("NEEDLEREC_ALSA_LOG") != nullptr;
  return log;
}

// The ALSA sample format of a format the devices may be asked for, or SND_PCM_FORMAT_UNKNOWN.
// Whether a device takes it is the device's answer.
snd_pcm_format_t AlsaFormat(const WAVEFORMATEX& format) {
  if (!IsDeviceSampleFormat(format)) return SND_PCM_FORMAT_UNKNOWN;
  switch (SampleEncoding(format)) {
    case seUnsigned8:
      return SND_PCM_FORMAT_U8;
    case seSigned16:
      return SND_PCM_FORMAT_S16_LE;
    case seSigned24:
      return SND_PCM_FORMAT_S24_3LE;
    case seSigned32:
      return SND_PCM_FORMAT_S32_LE;
    case seFloat32:
      return SND_PCM_FORMAT_FLOAT_LE;
    case seFloat64:
      return SND_PCM_FORMAT_FLOAT64_LE;
    case seALaw:
      return SND_PCM_FORMAT_A_LAW;
    case seMuLaw:
      return SND_PCM_FORMAT_MU_LAW;
    case seNone:
      break;
  }
  return SND_PCM_FORMAT_UNKNOWN;
}

snd_pcm_stream_t AlsaStream(bool input) {
  return input ? SND_PCM_STREAM_CAPTURE : SND_PCM_STREAM_PLAYBACK;
}

std::string Cut(const std::string& name) {
  return name.substr(0, MAXPNAMELEN - 1);
}

bool CanOpen(const char* name, bool input) {
  snd_pcm_t* pcm = nullptr;
  if (snd_pcm_open(&pcm, name, AlsaStream(input), SND_PCM_NONBLOCK) < 0) return false;
  snd_pcm_close(pcm);
  return true;
}

struct THwParams {
  THwParams() { snd_pcm_hw_params_malloc(&Params); }
  ~THwParams() { snd_pcm_hw_params_free(Params); }
  THwParams(const THwParams&) = delete;
  THwParams& operator=(const THwParams&) = delete;
  snd_pcm_hw_params_t* Params = nullptr;
};

struct TSwParams {
  TSwParams() { snd_pcm_sw_params_malloc(&Params); }
  ~TSwParams() { snd_pcm_sw_params_free(Params); }
  TSwParams(const TSwParams&) = delete;
  TSwParams& operator=(const TSwParams&) = delete;
  snd_pcm_sw_params_t* Params = nullptr;
};

// Sets up an opened pcm for the format: interleaved access, the exact rate, about
// the buffer above. The driver starts the device: playback when the buffer is full or
// no more data is queued, capture at the start; both sides wake when a period can be moved.
MMRESULT Configure(snd_pcm_t* pcm, const WAVEFORMATEX& format, snd_pcm_format_t sampleFormat,
                   unsigned periodTimeUs, snd_pcm_uframes_t& bufferSize,
                   snd_pcm_uframes_t& periodSize, bool& canPause) {
  THwParams hw;
  if (hw.Params == nullptr) return MMSYSERR_NOMEM;
  int err = snd_pcm_hw_params_any(pcm, hw.Params);
  if (err < 0) return AlsaErrorToResult(err, false);
  if (snd_pcm_hw_params_set_access(pcm, hw.Params, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
      snd_pcm_hw_params_set_format(pcm, hw.Params, sampleFormat) < 0 ||
      snd_pcm_hw_params_set_channels(pcm, hw.Params, format.nChannels) < 0) {
    return WAVERR_BADFORMAT;
  }
  snd_pcm_hw_params_set_rate_resample(pcm, hw.Params, 1);
  if (snd_pcm_hw_params_set_rate(pcm, hw.Params, format.nSamplesPerSec, 0) < 0) {
    return WAVERR_BADFORMAT;
  }
  unsigned bufferTime = periodTimeUs * kPeriodsPerBuffer;
  unsigned periodTime = periodTimeUs;
  int dir = 0;
  // A device that cannot come near these keeps its own sizes.
  snd_pcm_hw_params_set_buffer_time_near(pcm, hw.Params, &bufferTime, &dir);
  dir = 0;
  snd_pcm_hw_params_set_period_time_near(pcm, hw.Params, &periodTime, &dir);
  err = snd_pcm_hw_params(pcm, hw.Params);
  if (err < 0) return AlsaErrorToResult(err, true);
  canPause = snd_pcm_hw_params_can_pause(hw.Params) != 0;

  periodSize = 0;
  err = snd_pcm_get_params(pcm, &bufferSize, &periodSize);
  if (err < 0) return AlsaErrorToResult(err, false);
  if (bufferSize == 0) bufferSize = 1;
  if (periodSize == 0) periodSize = 1;

  TSwParams sw;
  if (sw.Params == nullptr) return MMSYSERR_NOMEM;
  err = snd_pcm_sw_params_current(pcm, sw.Params);
  if (err < 0) return AlsaErrorToResult(err, false);
  // The device never starts by itself: a start waits for the sound server's answer, so the
  // driver has its control thread make it.
  snd_pcm_uframes_t boundary = 0;
  snd_pcm_sw_params_get_boundary(sw.Params, &boundary);
  snd_pcm_sw_params_set_start_threshold(pcm, sw.Params, boundary);
  snd_pcm_sw_params_set_avail_min(pcm, sw.Params, periodSize);
  err = snd_pcm_sw_params(pcm, sw.Params);
  if (err < 0) return AlsaErrorToResult(err, false);
  return MMSYSERR_NOERROR;
}

// The calls of a pcm that wait for the device's answer: drop, prepare, start and close wait
// for the sound server, and a PulseAudio server that stopped answering (SIGSTOP, a hung
// machine) never gives one. They run on a control thread of their own, one after the other,
// so that a frozen server holds up that thread alone: the stream's callers and its driver
// thread never wait for it. The control thread shares this object with the stream and touches
// nothing else, so a server that wakes up after the stream has gone finds nothing freed; the
// last owner closes the pcm and the wake-up descriptor.
//
// Who may call the pcm: the control thread while it is busy (an operation queued or
// running); otherwise the holder of the stream's lock. Operations are queued only under the
// stream's lock, so a holder of that lock who sees the control thread idle keeps it idle.
class TPcmControl {
 public:
  enum TOperation { opPrepare, opDropPrepare, opStart, opConfigure, opClose };

  // The pcm's format, the periods asked for last, and the sizes the device gave for them.
  struct TSetup {
    WAVEFORMATEX Format{};
    snd_pcm_format_t SampleFormat = SND_PCM_FORMAT_UNKNOWN;
    unsigned PeriodUs = kDefaultPeriodUs;
    snd_pcm_uframes_t BufferSize = 1;
    snd_pcm_uframes_t PeriodSize = 1;
  };

  TPcmControl(snd_pcm_t* pcm, bool input, int wakeFd, const TSetup& setup)
      : FPcm(pcm), FInput(input), FWakeFd(wakeFd), FSetup(setup) {}
  ~TPcmControl() {
    if (FPcm != nullptr) snd_pcm_close(FPcm);
    if (FWakeFd >= 0) close(FWakeFd);
  }
  TPcmControl(const TPcmControl&) = delete;
  TPcmControl& operator=(const TPcmControl&) = delete;

  // Starts the control thread, which keeps this object alive until it ends.
  static bool Launch(const std::shared_ptr<TPcmControl>& control, std::thread& thread) {
    try {
      thread = std::thread([control] { control->Run(); });
      return true;
    } catch (...) {
      return false;
    }
  }

  snd_pcm_t* Pcm() const { return FPcm; }
  int WakeFd() const { return FWakeFd; }

  // Wakes the driver thread.
  void Wake() const {
    const uint64_t one = 1;
    // The counter only saturates when nobody reads it, and then the thread is awake anyway.
    [[maybe_unused]] const ssize_t written = write(FWakeFd, &one, sizeof one);
  }

  void Submit(TOperation operation) {
    std::lock_guard lock(FLock);
    FOperations.push_back(operation);
    FChanged.notify_all();
  }

  // Queues a new configuration with periods of `periodUs`, unless that is the one asked for
  // last. Only while the device holds nothing: the new configuration drops what it holds.
  void Reconfigure(unsigned periodUs) {
    std::lock_guard lock(FLock);
    if (periodUs == FSetup.PeriodUs) return;
    FSetup.PeriodUs = periodUs;
    FOperations.push_back(opConfigure);
    FChanged.notify_all();
  }

  // The device's buffer and period in frames, as last configured.
  void Sizes(snd_pcm_uframes_t& bufferSize, snd_pcm_uframes_t& periodSize) {
    std::lock_guard lock(FLock);
    bufferSize = FSetup.BufferSize;
    periodSize = FSetup.PeriodSize;
  }

  bool Busy() {
    std::lock_guard lock(FLock);
    return FRunning || !FOperations.empty();
  }

  // The first error of an operation since the last call, or 0.
  int TakeFailure() {
    std::lock_guard lock(FLock);
    return std::exchange(FFailure, 0);
  }

  // Queues the close, then waits up to `wait` for the control thread to end: joined when it
  // did, left to end by itself (when the server answers) when it did not.
  void Finish(std::thread& thread, std::chrono::milliseconds wait) {
    {
      std::unique_lock lock(FLock);
      FOperations.push_back(opClose);
      FQuit = true;
      FChanged.notify_all();
      FChanged.wait_for(lock, wait, [this] { return FEnded; });
      if (!FEnded) {
        thread.detach();
        return;
      }
    }
    thread.join();
  }

 private:
  void Run() {
    SetThreadName("nr-pcm-control");
    std::unique_lock lock(FLock);
    for (;;) {
      FChanged.wait(lock, [this] { return FQuit || !FOperations.empty(); });
      if (FOperations.empty()) break;
      const TOperation operation = FOperations.front();
      FOperations.pop_front();
      FRunning = true;
      lock.unlock();
      const int err = Perform(operation);
      lock.lock();
      FRunning = false;
      if (err < 0 && FFailure == 0) FFailure = err;
      Wake();
      if (operation == opClose) break;
    }
    FOperations.clear();
    FEnded = true;
    FChanged.notify_all();
  }

  // Runs without the lock: only this thread touches the pcm meanwhile.
  int Perform(TOperation operation) {
    switch (operation) {
      case opPrepare:
        return snd_pcm_prepare(FPcm);
      case opDropPrepare:
        snd_pcm_drop(FPcm);
        return snd_pcm_prepare(FPcm);
      case opStart: {
        snd_pcm_state_t state = snd_pcm_state(FPcm);
        if (state != SND_PCM_STATE_PREPARED && state != SND_PCM_STATE_RUNNING) {
          const int err = snd_pcm_prepare(FPcm);
          if (err < 0) return err;
          state = SND_PCM_STATE_PREPARED;
        }
        return state == SND_PCM_STATE_PREPARED ? snd_pcm_start(FPcm) : 0;
      }
      case opConfigure: {
        TSetup setup;
        {
          std::lock_guard lock(FLock);
          setup = FSetup;
        }
        bool canPause = false;
        auto configure = [&](unsigned periodUs) {
          return Configure(FPcm, setup.Format, setup.SampleFormat, periodUs, setup.BufferSize,
                           setup.PeriodSize, canPause) == MMSYSERR_NOERROR;
        };
        // A device that refuses the new periods goes back to those it was opened with; one
        // that refuses those too fails like a failed transfer.
        if (!configure(setup.PeriodUs) && !configure(kDefaultPeriodUs)) return -EIO;
        std::lock_guard lock(FLock);
        FSetup.BufferSize = setup.BufferSize;
        FSetup.PeriodSize = setup.PeriodSize;
        return 0;
      }
      case opClose: {
        snd_pcm_t* pcm = FPcm;
        // A playback that still runs ends with what the device holds: a close follows the
        // return of the last block, and a sound server's delay may have been reported short.
        // (A reset has dropped everything already.)
        if (!FInput && snd_pcm_state(pcm) == SND_PCM_STATE_RUNNING &&
            snd_pcm_nonblock(pcm, 0) == 0) {
          snd_pcm_drain(pcm);
        }
        snd_pcm_drop(pcm);
        snd_pcm_close(pcm);
        std::lock_guard lock(FLock);
        FPcm = nullptr;
        return 0;
      }
    }
    return 0;
  }

  snd_pcm_t* FPcm;  // set at creation; cleared by the control thread when it closes the pcm
  const bool FInput;
  const int FWakeFd;
  std::mutex FLock;  // guards the fields below
  std::condition_variable FChanged;
  std::deque<TOperation> FOperations;
  TSetup FSetup;
  bool FRunning = false;
  bool FQuit = false;
  bool FEnded = false;
  int FFailure = 0;
};

class TAlsaStream : public TWaveStream {
 public:
  TAlsaStream(bool input, uint32_t deviceId, const WAVEFORMATEX& format, const TWaveNotify& notify,
              std::shared_ptr<TPcmControl> control, std::thread controlThread, bool canPause)
      : TWaveStream(input, deviceId, format, notify),
        FControl(std::move(control)),
        FControlThread(std::move(controlThread)),
        FPcm(FControl->Pcm()),
        FCanPause(canPause) {
    FControl->Sizes(FBufferSize, FPeriodSize);
  }
  ~TAlsaStream() override { Abandon(); }

 protected:
  void Execute() override {
    if (FInput) {
      RunCapture();
    } else {
      RunPlayback();
    }
  }

  void Wake() override {
    FWakeup.notify_all();
    FControl->Wake();
  }

  MMRESULT OnPause() override {
    if (FCanPause && !FControl->Busy() && snd_pcm_state(FPcm) == SND_PCM_STATE_RUNNING &&
        snd_pcm_pause(FPcm, 1) == 0) {
      FHwPaused = true;
    }
    // Otherwise the thread stops writing and the device plays out what it holds.
    return MMSYSERR_NOERROR;
  }

  MMRESULT OnRestart() override {
    // A device that played out what it held during a pause did not run dry unasked.
    FRanDry = false;
    if (FHwPaused) {
      FHwPaused = false;
      // Should the device refuse to resume, it is prepared again and the thread starts it.
      if (FControl->Busy() || snd_pcm_pause(FPcm, 0) < 0) FControl->Submit(TPcmControl::opPrepare);
    }
    return MMSYSERR_NOERROR;
  }

  MMRESULT OnStart() override {
    // A run of a capture starts its clock anew, once its first frames have come (see
    // WatchClock).
    FClockSet = false;
    FClockFrames = static_cast<int64_t>(FFrames);
    // A start that fails is seen by the thread, which recovers the device or reports it lost.
    FControl->Submit(TPcmControl::opStart);
    return MMSYSERR_NOERROR;
  }

  void OnStop() override {
    // What the device has captured but the thread has not read yet belongs to the block that
    // the stop returns (unless the device is busy with a control call: a server that does not
    // answer has nothing new to read anyway).
    if (FInput && !FQueue.empty() && FFormat.nBlockAlign > 0 && !FControl->Busy()) {
      WAVEHDR* header = FQueue.front();
      const uint32_t align = FFormat.nBlockAlign;
      const snd_pcm_sframes_t avail = snd_pcm_avail(FPcm);
      const uint32_t room = (header->dwBufferLength - header->dwBytesRecorded) / align;
      const snd_pcm_uframes_t frames =
          avail > 0 ? std::min<snd_pcm_uframes_t>(snd_pcm_uframes_t(avail), room) : 0;
      if (frames > 0) {
        const snd_pcm_sframes_t got =
            snd_pcm_readi(FPcm, header->lpData + header->dwBytesRecorded, frames);
        if (got > 0) header->dwBytesRecorded += uint32_t(got) * align;
      }
    }
    DropAndPrepare();
  }

  // The device's periods follow the blocks the program prepares, as long as it holds nothing
  // (see kDefaultPeriodUs).
  void OnPrepare(uint32_t bytes) override {
    if (!FQueue.empty() || (FInput ? FStarted : FWritten > 0)) return;
    const uint64_t frames = bytes / std::max<uint32_t>(FFormat.nBlockAlign, 1);
    const uint64_t us = frames * 1000000 / std::max<uint32_t>(FFormat.nSamplesPerSec, 1);
    FControl->Reconfigure(unsigned(std::clamp<uint64_t>(us, kDefaultPeriodUs, kMaxPeriodUs)));
  }

  void OnReset() override {
    DropAndPrepare();
    FRanDry = false;
    FLastDelay = 0;
    FWritten = 0;
    FPlayed = 0;
    FWriteIndex = 0;
    FWriteOffset = 0;
    FEnds.clear();
    FTailHeld = false;
    FPlayedStale = true;
  }

  uint64_t SamplePosition() override { return FInput ? FFrames : FPlayed; }
  uint64_t Underruns() override { return FUnderruns; }
  void Overruns(uint64_t& frames, uint64_t& dropouts) override {
    frames = FDroppedFrames;
    dropouts = FOverruns;
  }

  void ReleaseEngine() override {
    // The driver thread has ended: the pcm is the control thread's alone from here.
    if (FControlThread.joinable()) FControl->Finish(FControlThread, kCloseWait);
  }

 private:
  enum TStep { stProgress, stBlocked, stLost };

  void DropAndPrepare() {
    FControl->Submit(TPcmControl::opDropPrepare);
    FHwPaused = false;
  }

  // An error of a transfer or of a control call: xruns and suspends are recovered, and so is
  // the input/output error of PulseAudio's plugin (it reports a stream the server let fall
  // behind that way); a device that keeps failing or has gone returns every queued block.
  TStep Recover(int err, std::vector<WAVEHDR*>& done) {
    if (err == -EAGAIN) return stBlocked;
    if (LogRecoveries()) {
      std::fprintf(stderr, "ALSA %s: %s error %d (%s)\n", snd_pcm_name(FPcm),
                   FInput ? "capture" : "playback", err, snd_strerror(err));
    }
    if (++FErrors <= kMaxConsecutiveErrors && snd_pcm_state(FPcm) != SND_PCM_STATE_DISCONNECTED) {
      if (err == -ESTRPIPE) {
        // After a system suspend: resumed here without waiting under the lock (the library's
        // own recovery sleeps a second per try); while the device is not ready yet, the loop
        // waits without the lock and tries again.
        const int resumed = snd_pcm_resume(FPcm);
        if (resumed == -EAGAIN) return stBlocked;
        if (resumed < 0) FControl->Submit(TPcmControl::opPrepare);
        return stProgress;
      }
      if (err == -EINTR) return stProgress;
      if (err == -EPIPE && !FInput && !FRanDry) {
        FRanDry = true;
        FDryAt = std::chrono::steady_clock::now();
      }
      if (err == -EPIPE || err == -EBADFD || err == -EIO) {
        // Prepared again on the control thread; the loop then starts the device.
        FControl->Submit(TPcmControl::opPrepare);
        return stProgress;
      }
    }
    MarkLost(WAVEDRVERR_DEVICELOST, done);
    return stLost;
  }

  // While the control thread works on the pcm the driver thread leaves it alone; a control
  // call that failed is recovered like a failed transfer. True when the loop may go on.
  bool ControlIdle(std::unique_lock<std::mutex>& lock, std::vector<WAVEHDR*>& done) {
    if (FControl->Busy()) {
      Idle(lock, done, kControlBusyWaitMs, false);
      return false;
    }
    if (const int failed = FControl->TakeFailure(); failed < 0) {
      Recover(failed, done);
      return false;
    }
    FControl->Sizes(FBufferSize, FPeriodSize);
    return true;
  }

  // A period of the device, in milliseconds (at least 1).
  int PeriodMs() const {
    return int(std::max<uint64_t>(FPeriodSize * 1000 / std::max<uint32_t>(FFormat.nSamplesPerSec, 1), 1));
  }
  // How long a wait for the pcm lasts at most: two periods, and at least 100 ms, in case the
  // pcm never says that it is ready.
  int PollTimeoutMs() const { return std::max(100, 2 * PeriodMs()); }
  // A sound server's delay can be short by part of a period, so a playback's last block, which
  // is followed by nothing that would keep the device playing, goes back a period later than
  // the delay says it has played: a pause or reset right after its return must not cut its end.
  std::chrono::milliseconds TailMargin() const { return std::chrono::milliseconds(PeriodMs()); }

  // Waits until the thread is woken, the pcm can move data (`pollPcm`) or `timeoutMs` passed
  // (-1: no limit). Called and returns with FLock held; waits without it.
  void Wait(std::unique_lock<std::mutex>& lock, int timeoutMs, bool pollPcm) {
    int pcmCount = pollPcm ? snd_pcm_poll_descriptors_count(FPcm) : 0;
    if (pcmCount < 0) pcmCount = 0;
    std::vector<pollfd> fds(static_cast<size_t>(pcmCount) + 1);
    if (pcmCount > 0) {
      pcmCount = std::max(0, snd_pcm_poll_descriptors(FPcm, fds.data(), pcmCount));
    }
    const int wakeFd = FControl->WakeFd();
    fds[pcmCount] = pollfd{wakeFd, POLLIN, 0};
    lock.unlock();
    const int ready = poll(fds.data(), static_cast<nfds_t>(pcmCount) + 1, timeoutMs);
    uint64_t count;
    [[maybe_unused]] const ssize_t got = read(wakeFd, &count, sizeof count);
    lock.lock();
    FPlayedStale = true;
    // A control call queued meanwhile owns the pcm now.
    if (pcmCount > 0 && ready > 0 && !FControl->Busy()) {
      unsigned short revents = 0;
      snd_pcm_poll_descriptors_revents(FPcm, fds.data(), static_cast<unsigned>(pcmCount), &revents);
      // A pcm that signals readiness without letting data move would spin this loop: after a
      // few such rounds the next waits are short sleeps instead.
      if (!(fds[pcmCount].revents & POLLIN)) ++FIdleWakes;
    }
  }

  bool Spinning() const { return FIdleWakes > 8; }
  // The sleep between looks while the pcm spins: a quarter of a period, at least 2 ms. (A sound
  // server's plugin says it is ready from the start of a capture until its first data comes,
  // which may take a second: the looks need not come more often than data can.)
  int SpinWaitMs() const { return std::max(2, PeriodMs() / 4); }

  // When the thread has nothing more to do for now: returns the blocks that are done, if any
  // (the loop then looks again), else waits as Wait does. The blocks go back only now, after
  // the pcm has been served, so that the device's worker, which answers with its next block,
  // finds the lock free instead of waiting for this thread's work with the pcm.
  void Idle(std::unique_lock<std::mutex>& lock, std::vector<WAVEHDR*>& done, int timeoutMs,
            bool pollPcm) {
    if (done.empty()) {
      Wait(lock, timeoutMs, pollPcm);
      return;
    }
    lock.unlock();
    Deliver(done);
    done.clear();
    lock.lock();
  }

  // Whether a block just queued needs the thread woken: only when the thread has nothing else
  // to work on (no block to fill, or every block written); otherwise it comes to the new
  // block by itself.
  bool WakeForQueued() const override {
    return FInput ? FQueue.size() == 1 : FWriteIndex + 1 >= FQueue.size();
  }

  // Frames played: written minus the device's delay, at least what cannot be in the device's
  // buffer any more, at most what was written, and never going back.
  void UpdatePlayed(std::vector<WAVEHDR*>& done) {
    const snd_pcm_state_t state = snd_pcm_state(FPcm);
    int64_t played = static_cast<int64_t>(FPlayed);
    switch (state) {
      case SND_PCM_STATE_XRUN: {
        // The device ran out of data, but what it reported as not yet played last (a sound
        // server's stream runs dry while its sink still plays what it has taken) plays on in
        // real time: counted as played only as time passes, so that a reset or close right
        // after the last block's return does not cut it off.
        const auto now = std::chrono::steady_clock::now();
        if (!FRanDry) FDryAt = now;
        FRanDry = true;
        const int64_t since =
            std::chrono::duration_cast<std::chrono::microseconds>(now - FDryAt).count() *
            int64_t(FFormat.nSamplesPerSec) / 1000000;
        played = static_cast<int64_t>(FWritten) - std::max<int64_t>(0, FLastDelay - since);
        break;
      }
      case SND_PCM_STATE_DISCONNECTED:
        MarkLost(WAVEDRVERR_DEVICELOST, done);
        return;
      case SND_PCM_STATE_SUSPENDED: {
        // The buffer's content is gone with the suspend; the device is brought back and the
        // blocks it held count as played, so they are returned.
        const int resumed = snd_pcm_resume(FPcm);
        if (resumed == -EAGAIN) break;
        if (resumed < 0) FControl->Submit(TPcmControl::opPrepare);
        played = static_cast<int64_t>(FWritten);
        break;
      }
      case SND_PCM_STATE_RUNNING:
      case SND_PCM_STATE_DRAINING:
      case SND_PCM_STATE_PAUSED: {
        snd_pcm_sframes_t delay = 0;
        const int err = snd_pcm_delay(FPcm, &delay);
        if (err == 0) {
          played = static_cast<int64_t>(FWritten) - delay;
          FLastDelay = std::max<snd_pcm_sframes_t>(delay, 0);
          FErrors = 0;
        } else if (err != -EAGAIN && ++FErrors > kMaxConsecutiveErrors) {
          // A device that cannot say how far it got any more would never return its blocks.
          MarkLost(WAVEDRVERR_DEVICELOST, done);
          return;
        }
        break;
      }
      default:
        break;
    }
    const int64_t written = static_cast<int64_t>(FWritten);
    const int64_t lowest = std::max<int64_t>(0, written - static_cast<int64_t>(FBufferSize));
    played = std::clamp(played, lowest, written);
    FPlayed = std::max(FPlayed, static_cast<uint64_t>(played));
  }

  // Whether the front block, played by the device's account, is held back a little longer:
  // only the last block written when nothing else is queued, for TailMargin from when it
  // first counted as played.
  bool HoldTail() {
    const bool tail = FEnds.size() == 1 && FWriteIndex == FQueue.size();
    if (!tail) {
      FTailHeld = false;
      return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!FTailHeld) {
      FTailHeld = true;
      FTailSince = now;
    }
    if (now - FTailSince < TailMargin()) return true;
    FTailHeld = false;
    return false;
  }

  void BlockWritten() {
    FEnds.push_back(FWritten);
    ++FWriteIndex;
    FWriteOffset = 0;
  }

  TStep WriteSome(std::vector<WAVEHDR*>& done) {
    const uint32_t align = FFormat.nBlockAlign;
    WAVEHDR* header = FQueue[FWriteIndex];
    const uint64_t remaining = (header->dwBufferLength - FWriteOffset) / align;
    if (remaining == 0) {
      BlockWritten();
      return stProgress;
    }
    const snd_pcm_sframes_t avail = snd_pcm_avail_update(FPcm);
    if (avail < 0) return Recover(static_cast<int>(avail), done);
    if (avail == 0) return stBlocked;
    // A block no longer than a period goes in with one write once there is room for it (the
    // device wakes this thread with a period's room): every write to a sound server's plugin
    // wakes the plugin's thread, so a block split over two writes costs a wake-up more.
    if (static_cast<uint64_t>(avail) < remaining && remaining <= FPeriodSize) return stBlocked;
    const auto frames =
        static_cast<snd_pcm_uframes_t>(std::min<uint64_t>(remaining, static_cast<uint64_t>(avail)));
    const snd_pcm_sframes_t written = snd_pcm_writei(FPcm, header->lpData + FWriteOffset, frames);
    if (written < 0) return Recover(static_cast<int>(written), done);
    if (written == 0) return stBlocked;
    FErrors = 0;
    FIdleWakes = 0;
    // Audio written into a device that had run dry comes late: the sound system played
    // silence meanwhile. (A device that runs dry after the last block is just finished.)
    if (FRanDry) {
      FRanDry = false;
      ++FUnderruns;
    }
    FWriteOffset += static_cast<uint32_t>(written) * align;
    FWritten += static_cast<uint64_t>(written);
    if (header->dwBufferLength - FWriteOffset < align) BlockWritten();
    return stProgress;
  }

  void RunPlayback() {
    std::vector<WAVEHDR*> done;
    std::unique_lock lock(FLock);
    while (!FQuit) {
      if (FLostError != MMSYSERR_NOERROR) {
        Idle(lock, done, -1, false);
        continue;
      }
      if (!ControlIdle(lock, done)) continue;
      // Asked once a wake-up: every question to a sound server's plugin takes its thread's
      // lock, and the device has not moved on much while this thread writes.
      if (FPlayedStale) {
        FPlayedStale = false;
        UpdatePlayed(done);
      }
      if (FControl->Busy() || FLostError != MMSYSERR_NOERROR) continue;
      // Blocks go back once the device has played them, in the order they were written.
      while (!FEnds.empty() && FEnds.front() <= FPlayed) {
        if (HoldTail()) break;
        MarkDone(FQueue.front(), done);
        FQueue.pop_front();
        FEnds.pop_front();
        --FWriteIndex;
      }

      if (!FPaused && FWriteIndex < FQueue.size()) {
        const TStep step = WriteSome(done);
        if (step != stBlocked) continue;
        // A full buffer that has not started yet is started (the device never starts itself:
        // a start waits for the sound server, which the control thread does).
        if (snd_pcm_state(FPcm) == SND_PCM_STATE_PREPARED) {
          FControl->Submit(TPcmControl::opStart);
          continue;
        }
        if (Spinning()) {
          Idle(lock, done, SpinWaitMs(), false);
        } else {
          Idle(lock, done, PollTimeoutMs(), true);
        }
        continue;
      }
      if (FEnds.empty()) {
        Idle(lock, done, -1, false);
        continue;
      }
      // Everything queued is written: make sure the device plays it, then wait for the front
      // block to finish.
      if (!FPaused && snd_pcm_state(FPcm) == SND_PCM_STATE_PREPARED) {
        FControl->Submit(TPcmControl::opStart);
        continue;
      }
      if (FHwPaused || (FPaused && snd_pcm_state(FPcm) != SND_PCM_STATE_RUNNING)) {
        Idle(lock, done, -1, false);
        continue;
      }
      int ms = PeriodMs();
      if (FTailHeld) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            FTailSince + TailMargin() - std::chrono::steady_clock::now());
        ms = static_cast<int>(std::clamp<int64_t>(left.count(), 1, ms));
      } else if (FEnds.front() > FPlayed) {
        const uint64_t pending = FEnds.front() - FPlayed;
        ms = static_cast<int>(
            std::min<uint64_t>(uint64_t(ms), pending * 1000 / FFormat.nSamplesPerSec + 1));
      }
      Idle(lock, done, ms, false);
    }
  }

  // Capture: whenever the thread has read all there was, the frames the device has delivered
  // keep pace with the time since the run began, short by the device's latency (and what is on
  // its way, up to a period), which changes only as the device's clock drifts. Frames it
  // dropped (an overrun: the program did not read in time and the device, or its sound server,
  // could hold no more) leave it short by that much more from then on, whether the device
  // reported an xrun and was restarted or a sound server dropped them without a word: such a
  // step is counted as audio dropped. A level counts once two looks in a row agree on it (a
  // sound server that has just been given the processor again may say it has nothing while a
  // backlog is on its way), and only after the run's first seconds, in which the latency
  // settles. (A sound server's own report of what it holds goes stale after a backlog, so only
  // the frames read are counted.) Looked at at most ten times a second.
  void WatchClock() {
    const auto now = std::chrono::steady_clock::now();
    if (FClockSet && now - FClockLooked < std::chrono::milliseconds(100)) return;
    const int64_t frames = static_cast<int64_t>(FFrames);
    if (!FClockSet) {
      // A sound server may take a second to deliver the first frames: the clock starts with
      // them.
      if (frames == FClockFrames) return;
      FClockSet = true;
      FClockStart = now;
      FClockFrames = frames;
      FClockBehind = FClockLastBehind = 0;
      FClockLooked = now;
      return;
    }
    FClockLooked = now;
    const int64_t rate = FFormat.nSamplesPerSec;
    const int64_t due =
        std::chrono::duration_cast<std::chrono::microseconds>(now - FClockStart).count() * rate /
        1000000;
    const int64_t behind = due - (frames - FClockFrames);
    const int64_t tolerance = std::max<int64_t>(static_cast<int64_t>(FPeriodSize), rate / 20);
    const bool agreed = std::abs(behind - FClockLastBehind) <= tolerance;
    FClockLastBehind = behind;
    if (!agreed) return;
    if (behind - FClockBehind > tolerance && now - FClockStart >= kClockSettling) {
      FDroppedFrames += static_cast<uint64_t>(behind - FClockBehind);
      ++FOverruns;
    }
    // Latency and drift are followed as they change.
    FClockBehind = behind;
  }

  void RunCapture() {
    const uint32_t align = FFormat.nBlockAlign;
    std::vector<WAVEHDR*> done;
    std::unique_lock lock(FLock);
    while (!FQuit) {
      if (FLostError != MMSYSERR_NOERROR || !FStarted || FQueue.empty()) {
        Idle(lock, done, -1, false);
        continue;
      }
      WAVEHDR* header = FQueue.front();
      const uint64_t remaining = (header->dwBufferLength - header->dwBytesRecorded) / align;
      if (remaining == 0) {
        MarkDone(header, done);
        FQueue.pop_front();
        continue;
      }
      if (!ControlIdle(lock, done)) continue;
      const snd_pcm_state_t state = snd_pcm_state(FPcm);
      if (state == SND_PCM_STATE_PREPARED) {
        FControl->Submit(TPcmControl::opStart);
        continue;
      }
      if (state == SND_PCM_STATE_DISCONNECTED) {
        MarkLost(WAVEDRVERR_DEVICELOST, done);
        continue;
      }
      const snd_pcm_sframes_t avail = snd_pcm_avail_update(FPcm);
      TStep step = stBlocked;
      if (avail < 0) {
        step = Recover(static_cast<int>(avail), done);
      } else if (avail == 0) {
        WatchClock();  // all there was is read
      } else {
        const auto frames = static_cast<snd_pcm_uframes_t>(
            std::min<uint64_t>(remaining, static_cast<uint64_t>(avail)));
        const snd_pcm_sframes_t read =
            snd_pcm_readi(FPcm, header->lpData + header->dwBytesRecorded, frames);
        if (read < 0) {
          step = Recover(static_cast<int>(read), done);
        } else if (read > 0) {
          step = stProgress;
          FErrors = 0;
          FIdleWakes = 0;
          header->dwBytesRecorded += static_cast<uint32_t>(read) * align;
          FFrames += static_cast<uint64_t>(read);
          if (header->dwBufferLength - header->dwBytesRecorded < align) {
            MarkDone(header, done);
            FQueue.pop_front();
          }
        }
      }
      if (step != stBlocked) continue;
      if (Spinning()) {
        Idle(lock, done, SpinWaitMs(), false);
      } else {
        Idle(lock, done, PollTimeoutMs(), true);
      }
    }
  }

  // The pcm's control thread and the pcm itself; the pcm is called only as TPcmControl says.
  const std::shared_ptr<TPcmControl> FControl;
  std::thread FControlThread;  // joined or left to end by ReleaseEngine
  snd_pcm_t* const FPcm;
  const bool FCanPause;
  // The fields below belong to whoever holds FLock.
  // The device's buffer and period in frames, as the control thread last configured them.
  snd_pcm_uframes_t FBufferSize = 1;
  snd_pcm_uframes_t FPeriodSize = 1;
  bool FHwPaused = false;
  int FErrors = 0;
  int FIdleWakes = 0;
  // Playback: frames written since the last reset, frames played, the block being written
  // (an index into FQueue and the bytes of it written) and the frame count at which each
  // completely written block ends.
  uint64_t FWritten = 0;
  uint64_t FPlayed = 0;
  size_t FWriteIndex = 0;
  uint32_t FWriteOffset = 0;
  std::deque<uint64_t> FEnds;
  // FPlayed is to be asked of the device again (set by every wait).
  bool FPlayedStale = true;
  // Playback: the device ran out of data (an xrun) since the last write, and the underruns
  // (writes into a device that had run dry) since the open.
  bool FRanDry = false;
  uint64_t FUnderruns = 0;
  // The device's last delay report while it ran, and when it was first seen dry.
  int64_t FLastDelay = 0;
  std::chrono::steady_clock::time_point FDryAt;
  // Capture: the stream's clock (see WatchClock): whether it runs, when it began and the frames
  // delivered then (until it runs: when the run began), the level of frames behind it last agreed on, what the last look saw and
  // when that was; and the frames dropped and the dropouts since the open.
  bool FClockSet = false;
  std::chrono::steady_clock::time_point FClockStart;
  int64_t FClockFrames = 0;
  int64_t FClockBehind = 0;
  int64_t FClockLastBehind = 0;
  static constexpr std::chrono::seconds kClockSettling{2};
  std::chrono::steady_clock::time_point FClockLooked;
  uint64_t FDroppedFrames = 0;
  uint64_t FOverruns = 0;
  // The last block is held back (HoldTail) since FTailSince.
  bool FTailHeld = false;
  std::chrono::steady_clock::time_point FTailSince;
};

}  // namespace

MMRESULT AlsaErrorToResult(int error, bool settingFormat) {
  switch (-error) {
    case 0:
      return MMSYSERR_NOERROR;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return MMSYSERR_NODRIVER;
    case EBUSY:
    case EAGAIN:
      return MMSYSERR_ALLOCATED;
    case ENOMEM:
      return MMSYSERR_NOMEM;
    case EACCES:
    case EPERM:
      return MMSYSERR_NOTENABLED;
    case EINVAL:
      return settingFormat ? WAVERR_BADFORMAT : MMSYSERR_INVALPARAM;
    case ENOSYS:
    case EOPNOTSUPP:
      return MMSYSERR_NOTSUPPORTED;
    case EIO:
    case EPIPE:
    case EBADFD:
    case ESHUTDOWN:
      return WAVEDRVERR_DEVICELOST;
    default:
      return MMSYSERR_ERROR;
  }
}

std::vector<std::string> SplitAlsaDeviceNames(const std::string& list) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(kAlsaDeviceSeparator, start);
    if (end == std::string::npos) end = list.size();
    std::string name = list.substr(start, end - start);
    const size_t first = name.find_first_not_of(" \t");
    const size_t last = name.find_last_not_of(" \t");
    name = first == std::string::npos ? std::string() : name.substr(first, last - first + 1);
    if (!name.empty() && name != "null") names.push_back(name);
    start = end + 1;
  }
  return names;
}

TAlsaBackend::TAlsaBackend() {
  snd_lib_error_set_handler(SilentAlsaError);
}

void TAlsaBackend::Scan() {
  std::vector<TDevice> found[2];
  if (const char* list = std::getenv("NEEDLEREC_ALSA_DEVICES")) {
    for (const std::string& name : SplitAlsaDeviceNames(list)) {
      found[0].push_back({name, Cut(name)});
      found[1].push_back({name, Cut(name)});
    }
  } else {
    for (int dir = 0; dir < 2; ++dir) {
      if (CanOpen("default", dir == 1)) found[dir].push_back({"default", "Default sound device"});
    }
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
      const std::string hw = "hw:" + std::to_string(card);
      snd_ctl_t* ctl = nullptr;
      if (snd_ctl_open(&ctl, hw.c_str(), SND_CTL_NONBLOCK) < 0) continue;
      snd_ctl_card_info_t* cardInfo = nullptr;
      snd_ctl_card_info_alloca(&cardInfo);
      const std::string cardName =
          snd_ctl_card_info(ctl, cardInfo) == 0 ? snd_ctl_card_info_get_name(cardInfo) : hw;
      int device = -1;
      while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
        for (int dir = 0; dir < 2; ++dir) {
          snd_pcm_info_t* info = nullptr;
          snd_pcm_info_alloca(&info);
          snd_pcm_info_set_device(info, static_cast<unsigned>(device));
          snd_pcm_info_set_subdevice(info, 0);
          snd_pcm_info_set_stream(info, AlsaStream(dir == 1));
          if (snd_ctl_pcm_info(ctl, info) < 0) continue;
          found[dir].push_back({"plughw:" + std::to_string(card) + "," + std::to_string(device),
                                Cut(cardName + ": " + snd_pcm_info_get_name(info))});
        }
      }
      snd_ctl_close(ctl);
    }
  }
  std::lock_guard lock(FLock);
  FDevices[0] = std::move(found[0]);
  FDevices[1] = std::move(found[1]);
}

size_t TAlsaBackend::Count(bool input) const {
  std::lock_guard lock(FLock);
  return FDevices[input ? 1 : 0].size();
}

std::string TAlsaBackend::ProductName(bool input, size_t index) const {
  std::lock_guard lock(FLock);
  const auto& devices = FDevices[input ? 1 : 0];
  return index < devices.size() ? devices[index].ProductName : std::string();
}

bool TAlsaBackend::PcmName(bool input, size_t index, std::string& name) const {
  std::lock_guard lock(FLock);
  const auto& devices = FDevices[input ? 1 : 0];
  if (index >= devices.size()) return false;
  name = devices[index].Pcm;
  return true;
}

std::string TAlsaBackend::SystemName(bool input, size_t index) const {
  std::string name;
  return PcmName(input, index, name) ? name : std::string();
}

MMRESULT TAlsaBackend::Query(bool input, size_t index, const WAVEFORMATEX& format) {
  const snd_pcm_format_t sampleFormat = AlsaFormat(format);
  if (sampleFormat == SND_PCM_FORMAT_UNKNOWN) return WAVERR_BADFORMAT;
  std::string name;
  if (!PcmName(input, index, name)) return MMSYSERR_BADDEVICEID;
  snd_pcm_t* pcm = nullptr;
  int err = snd_pcm_open(&pcm, name.c_str(), AlsaStream(input), SND_PCM_NONBLOCK);
  if (err < 0) return AlsaErrorToResult(err, false);
  MMRESULT result = MMSYSERR_NOERROR;
  THwParams hw;
  if (hw.Params == nullptr) {
    result = MMSYSERR_NOMEM;
  } else if ((err = snd_pcm_hw_params_any(pcm, hw.Params)) < 0) {
    result = AlsaErrorToResult(err, false);
  } else if (snd_pcm_hw_params_test_access(pcm, hw.Params, SND_PCM_ACCESS_RW_INTERLEAVED) < 0 ||
             snd_pcm_hw_params_test_format(pcm, hw.Params, sampleFormat) < 0 ||
             snd_pcm_hw_params_test_channels(pcm, hw.Params, format.nChannels) < 0 ||
             snd_pcm_hw_params_test_rate(pcm, hw.Params, format.nSamplesPerSec, 0) < 0) {
    result = WAVERR_BADFORMAT;
  }
  snd_pcm_close(pcm);
  return result;
}

MMRESULT TAlsaBackend::Open(bool input, size_t index, uint32_t deviceId, const WAVEFORMATEX& format,
                            const TWaveNotify& notify, std::shared_ptr<TWaveStream>& stream) {
  const snd_pcm_format_t sampleFormat = AlsaFormat(format);
  if (sampleFormat == SND_PCM_FORMAT_UNKNOWN) return WAVERR_BADFORMAT;
  std::string name;
  if (!PcmName(input, index, name)) return MMSYSERR_BADDEVICEID;
  snd_pcm_t* pcm = nullptr;
  const int err = snd_pcm_open(&pcm, name.c_str(), AlsaStream(input), SND_PCM_NONBLOCK);
  if (err < 0) return AlsaErrorToResult(err, false);
  TPcmControl::TSetup setup;
  setup.Format = format;
  setup.SampleFormat = sampleFormat;
  bool canPause = false;
  MMRESULT result = Configure(pcm, format, sampleFormat, setup.PeriodUs, setup.BufferSize,
                              setup.PeriodSize, canPause);
  const int wakeFd = result == MMSYSERR_NOERROR ? eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC) : -1;
  if (result == MMSYSERR_NOERROR && wakeFd < 0) result = MMSYSERR_NOMEM;
  if (result != MMSYSERR_NOERROR) {
    snd_pcm_close(pcm);
    return result;
  }
  // From here the control owns the pcm and the wake-up descriptor.
  auto control = std::make_shared<TPcmControl>(pcm, input, wakeFd, setup);
  std::thread controlThread;
  if (!TPcmControl::Launch(control, controlThread)) return MMSYSERR_NOMEM;
  auto created =
      std::make_shared<TAlsaStream>(input, deviceId, format, notify, std::move(control),
                                    std::move(controlThread), canPause);
  if (!created->StartThread()) return MMSYSERR_NOMEM;
  stream = std::move(created);
  return MMSYSERR_NOERROR;
}
