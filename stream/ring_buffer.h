// A queue of fixed-size slots between a producer and a consumer, with a worker thread of its
// own that fills the queue from Input (reading ahead) or empties it to Output (writing behind),
// so that a device thread hands over or takes a block with one copy. A pull that finds the
// read-ahead queue empty while the source still has data waits for the worker rather than
// handing out filler: audio that comes late is better than audio with a hole in it.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/kernel/sync.h"
#include "stream/allocator.h"
#include "stream/dsp_component.h"
#include "stream/dsp_thread.h"
#include "stream/mm_error.h"

class EMMBufferError : public EMMError {
 public:
  using EMMError::EMMError;
};

enum TMMQueueMode { qmNone, qmRead, qmWrite, qmDuplex };

constexpr uint32_t qfEndOfData = 1;  // the source reported the end of its data with this block
constexpr uint32_t qfLooped = 2;     // the source wrapped around a loop within this block

class TMMRingBuffer;

class TMMQueueThread : public TMMDSPThread {
 public:
  TMMQueueThread(TMMRingBuffer* Owner, std::shared_ptr<TEvent> started, std::shared_ptr<TEvent> run,
                 std::shared_ptr<TEvent> done, std::shared_ptr<TEvent> terminate);

 protected:
  void Execute() override;

 private:
  TMMRingBuffer* FRing;
  // The worker keeps its own references: the owner may close its events while the worker is
  // still signalling its end.
  std::shared_ptr<TEvent> FStarted, FRun, FDone, FTerminate;
};

class TMMRingBuffer : public TMMDSPComponent {
 public:
  explicit TMMRingBuffer(TComponent* AOwner);
  ~TMMRingBuffer() override;

  bool HasInputPort() const override { return true; }
  bool HasOutputPort() const override { return true; }

  void SetBufferSize(int32_t Size) override;
  void SetPWaveFormat(const WAVEFORMATEX* Format) override;
  void SetNumBuffers(int32_t Value);
  int32_t GetNumBuffers() const { return FNumBuffers; }
  void SetQueueMode(TMMQueueMode Value);
  TMMQueueMode GetQueueMode() const { return FQueueMode; }
  void SetEnabled(bool Value);
  bool GetEnabled() const { return FEnabled; }
  void SetWaitIfFull(bool Value) { FWaitIfFull = Value; }
  bool GetWaitIfFull() const { return FWaitIfFull; }
  void SetLoopIfEmpty(bool Value) { FLoopIfEmpty = Value; }
  bool GetLoopIfEmpty() const { return FLoopIfEmpty; }
  // In qmWrite mode, the number of queued slots that wakes the worker to write them out; 0 (the
  // default) means half the slots. A deep queue that must ride out long stalls of its output
  // still writes soon after the data arrives when this is small.
  void SetFlushThreshold(int32_t Value) { FFlushThreshold = std::max(Value, 0); }
  int32_t GetFlushThreshold() const { return FFlushThreshold; }
  void SetTimeOut(int32_t Value) { FTimeOut = Value; }
  int32_t GetTimeOut() const { return FTimeOut; }

  TNotifyEvent OnOverlow;
  TNotifyEvent OnEmpty;
  TNotifyEvent OnFillQueue, OnFillQueueEnd;
  TNotifyEvent OnFlushQueue, OnFlushQueueEnd;

  void Open() override;
  void Close() override;
  void Start() override;
  void Stop() override;
  void Reset() override;
  void BufferReady(PWaveHdr lpWaveHdr) override;
  void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) override;

  void PutBlock(const char* data, int32_t count, uint32_t user, uint32_t flags);
  void GetBlock(char* dest, int32_t& count, uint32_t& user, uint32_t& flags);
  int32_t PutData(const char* data, int32_t count, uint32_t flags);
  int32_t GetData(char* dest, int32_t count);
  void FillQueue();
  void FlushQueue();
  void FinishQueue();
  void WaitForIdle(bool force);
  void ResetQueue();

  bool IsEmpty();
  bool IsFull();
  int32_t Count();
  int32_t BytesQueued();
  int32_t FreeBytes();
  bool Allocated() const { return FAllocated; }
  bool Prefilled() const { return FPrefilled; }
  bool WorkerDied() const { return FWorkerDied; }
  // What pushes into a full queue lost since the queue was allocated: the blocks, their bytes,
  // and the dropouts (runs of blocks lost one after another).
  int64_t DroppedBlocks() const { return FDroppedBlocks; }
  int64_t DroppedBytes() const { return FDroppedBytes; }
  int64_t Dropouts() const { return FDropouts; }
  // The size of one slot while allocated.
  int32_t SlotSize() const { return FSlotSize; }

 private:
  friend class TMMQueueThread;

  struct QueueSlot {
    char* data;
    int32_t bytes;
    uint32_t user;
    uint32_t flags;
  };
  struct TLoopState {
    uint32_t LoopActive = 0;
    uint32_t LoopsWanted = 0;
    int32_t LoopsRemaining = 0;
    uint32_t Looped = 0;
  };

  // The worker's run and done events, taken under the lock; as a pass's guard it ends the pass
  // however it is left: the worker is idle again and waiters see it.
  struct PassEnd {
    TMMRingBuffer* ring;
    std::shared_ptr<TEvent> run, done;
    ~PassEnd();
  };
  PassEnd PassEvents();
  void AllocQueue();
  void FreeQueue();
  void CheckUnallocated();
  void WakeWorkerLocked();
  // Wakes the writing worker when it is idle (qmWrite only); under FLock.
  void WakeIdleWriterLocked();
  void TakeData(char* dest, int32_t& count, uint32_t& user, uint32_t& flags);
  // Whether a pull from the empty queue waits for the worker: a read-ahead queue whose source
  // has data left, while the queue runs. Under FLock.
  bool WaitsForSourceLocked() const;
  // Waits, with `guard` held on FLock, until the queue has data or no longer waits for its
  // source, or TimeOut ms have passed. False on a time-out.
  bool WaitForData(std::unique_lock<TCriticalSection>& guard);
  // Wakes the pulls that wait for data after any change that may end their wait.
  void WakePullers();
  void WorkerFailed(std::exception_ptr error);
  bool UsesWorker() const { return FQueueMode == qmRead || FQueueMode == qmWrite; }
  void Fire(const TNotifyEvent& event) {
    if (event) event(this);
  }

  int32_t FNumBuffers = 20;
  TMMQueueMode FQueueMode = qmNone;
  std::atomic<bool> FEnabled{true};
  std::atomic<bool> FWaitIfFull{false};
  std::atomic<bool> FLoopIfEmpty{false};
  std::atomic<int32_t> FTimeOut{10000};
  std::atomic<int32_t> FFlushThreshold{0};

  // Guards the counters, the indices, the slot heads and LoopState.
  TCriticalSection FLock;
  // Signalled, with FLock, when data is queued, the source ends, the worker ends a pass or dies,
  // and when the queue stops, resets, closes or is disabled: what a waiting pull waits for.
  std::condition_variable_any FDataReady;
  // Open, Close and the worker's failure path allocate and free the queue one at a time.
  std::recursive_mutex FAllocLock;
  // The worker and a Stop in another thread never empty the queue at the same time.
  std::mutex FFlushLock;

  std::vector<QueueSlot*> FSlots;
  BlockHeader* FScratchBlock = nullptr;
  int32_t FSlotSize = 0;
  int32_t FCount = 0;
  int32_t FBytesQueued = 0;
  int32_t FWriteIndex = 0;
  int32_t FReadIndex = 0;
  int32_t FLastIndex = 0;
  int32_t FReadChunk = 0;
  int32_t FWriteChunk = 0;
  TLoopState FLoopState;
  std::atomic<bool> FAllocated{false};
  std::atomic<bool> FPrefilled{false};
  std::atomic<bool> FStopping{false};
  std::atomic<bool> FWorkerDied{false};
  // Written by the pushing thread only, read by any.
  std::atomic<int64_t> FDroppedBlocks{0};
  std::atomic<int64_t> FDroppedBytes{0};
  std::atomic<int64_t> FDropouts{0};
  std::atomic<bool> FLastPushDropped{false};
  // The format as an empty pull needs it: a compressed one repeats the last slot, 8-bit PCM is
  // silent at 0x80.
  bool FCompressed = false;
  int FSilence = 0;
  // The fill pass met the end of its source; an empty queue then ends the stream.
  std::atomic<bool> FSourceEnded{false};
  // The source said that the block it gave last was its last one: later passes ask it for
  // nothing more (an empty answer would count as an end with an empty block).
  std::atomic<bool> FSourceFinished{false};

  std::shared_ptr<TEvent> FStartedEvent, FRunEvent, FDoneEvent, FTerminateEvent;
  TMMAllocator FAllocator;
};
