#include "stream/ring_buffer.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/kernel/clock.h"
#include "platform/mainloop/main_loop.h"
#include "stream/wave_format.h"

namespace {

const char* const kChangeWhileOpen = "Change to property while device was open";
const char* const kNoThread = "RingBuffer:\n\rCould not create thread";
constexpr uint32_t kThreadWaitMs = 5000;
constexpr int32_t kChunkBytes = 65536;
// A pull that waits for data on the main thread looks this often for calls that the worker's
// pass hands to the main thread (Synchronize), which would otherwise wait for the pull.
constexpr auto kMainThreadWaitSlice = std::chrono::milliseconds(10);

}  // namespace

// ---------------------------------------------------------------- worker

TMMQueueThread::TMMQueueThread(TMMRingBuffer* Owner, std::shared_ptr<TEvent> started,
                               std::shared_ptr<TEvent> run, std::shared_ptr<TEvent> done,
                               std::shared_ptr<TEvent> terminate)
    : TMMDSPThread(Owner),
      FRing(Owner),
      FStarted(std::move(started)),
      FRun(std::move(run)),
      FDone(std::move(done)),
      FTerminate(std::move(terminate)) {}

void TMMQueueThread::Execute() {
  SetThreadName("nr-ring-buffer");
  SetPriority(tpHigher);
  FStarted->SetEvent();
  TEvent* const waits[] = {FTerminate.get(), FRun.get()};
  while (!Terminated()) {
    if (WaitForMultipleEvents(waits, INFINITE) == WAIT_OBJECT_0) break;
    // The failure is handed on outside the handler, and moved, so that this thread keeps no
    // reference to an exception that the main thread may already be freeing.
    std::exception_ptr failure;
    try {
      if (FRing->GetQueueMode() == qmRead)
        FRing->FillQueue();
      else
        FRing->FlushQueue();
    } catch (...) {
      failure = std::current_exception();
    }
    if (!failure) continue;
    FDone->SetEvent();
    try {
      FRing->WorkerFailed(std::move(failure));
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) HandleException(std::move(failure));
    break;
  }
  FStarted->SetEvent();
}

// ---------------------------------------------------------------- properties

TMMRingBuffer::TMMRingBuffer(TComponent* AOwner) : TMMDSPComponent(AOwner) {}

TMMRingBuffer::~TMMRingBuffer() {
  Destroying();
  try {
    FreeQueue();
  } catch (...) {
    // The last flush failed: its data is lost, and a destructor must not throw.
    FAllocated = false;
    HandleException(std::current_exception());
  }
}

void TMMRingBuffer::CheckUnallocated() {
  if (FAllocated) throw EMMBufferError(kChangeWhileOpen);
}

void TMMRingBuffer::SetBufferSize(int32_t Size) {
  Size = std::max(Size, 32);
  if (Size == FBufferSize) return;
  CheckUnallocated();
  FAllocator.FreeAll();
  TMMDSPComponent::SetBufferSize(Size);
}

void TMMRingBuffer::SetPWaveFormat(const WAVEFORMATEX* Format) {
  TMMDSPComponent::SetPWaveFormat(Format);
  // What a pull from an empty queue needs of the format, kept apart: the pulling thread must
  // not read a format that the main thread may be replacing.
  const WAVEFORMATEX* format = GetPWaveFormat();
  std::lock_guard guard(FLock);
  FCompressed = format && !IsPCMFormat(format);
  FSilence = SilenceByte(format);
}

void TMMRingBuffer::SetEnabled(bool Value) {
  FEnabled = Value;
  WakePullers();
}

void TMMRingBuffer::SetNumBuffers(int32_t Value) {
  if (Value < 2 || Value == FNumBuffers) return;
  CheckUnallocated();
  FNumBuffers = Value;
}

void TMMRingBuffer::SetQueueMode(TMMQueueMode Value) {
  if (Value == FQueueMode) return;
  CheckUnallocated();
  FQueueMode = Value;
}

bool TMMRingBuffer::IsEmpty() {
  std::lock_guard guard(FLock);
  return FCount == 0;
}

bool TMMRingBuffer::IsFull() {
  std::lock_guard guard(FLock);
  return FCount == FNumBuffers;
}

int32_t TMMRingBuffer::Count() {
  std::lock_guard guard(FLock);
  return FCount;
}

int32_t TMMRingBuffer::BytesQueued() {
  std::lock_guard guard(FLock);
  return FBytesQueued;
}

int32_t TMMRingBuffer::FreeBytes() {
  std::lock_guard guard(FLock);
  return (FNumBuffers - FCount) * (FAllocated ? FSlotSize : GetBufferSize());
}

// ---------------------------------------------------------------- chain operations

void TMMRingBuffer::Open() {
  TMMDSPComponent::Open();
  AllocQueue();
}

void TMMRingBuffer::Close() {
  FreeQueue();
  TMMDSPComponent::Close();
}

void TMMRingBuffer::Start() {
  FStopping = false;
  TMMDSPComponent::Start();
}

void TMMRingBuffer::Stop() {
  FPrefilled = false;
  FStopping = true;
  WakePullers();
  {
    std::lock_guard guard(FLock);
    FLoopState.LoopActive = 0;
  }
  FinishQueue();
  TMMDSPComponent::Stop();
}

void TMMRingBuffer::Reset() {
  FPrefilled = false;
  FStopping = true;
  WakePullers();
  {
    std::lock_guard guard(FLock);
    FLoopState.LoopActive = 0;
  }
  FinishQueue();
  ResetQueue();
  FStopping = false;
  TMMDSPComponent::Reset();
}

// ---------------------------------------------------------------- allocation

void TMMRingBuffer::AllocQueue() {
  std::lock_guard allocGuard(FAllocLock);
  if (FAllocated) return;
  FSlotSize = std::max(GetBufferSize(), 1);
  if (UsesWorker()) {
    FWorkerDied = false;
    FStartedEvent = std::make_shared<TEvent>(false, false);
    FRunEvent = std::make_shared<TEvent>(true, false);
    FDoneEvent = std::make_shared<TEvent>(false, false);
    FTerminateEvent = std::make_shared<TEvent>(false, false);
    auto* worker = new TMMQueueThread(this, FStartedEvent, FRunEvent, FDoneEvent, FTerminateEvent);
    worker->SetFreeOnTerminate(true);
    worker->Resume();
    if (FStartedEvent->WaitFor(kThreadWaitMs) != WAIT_OBJECT_0) {
      FTerminateEvent->SetEvent();
      FStartedEvent.reset();
      FRunEvent.reset();
      FDoneEvent.reset();
      FTerminateEvent.reset();
      throw EMMBufferError(kNoThread);
    }
  }
  FReadChunk = FWriteChunk = std::max((kChunkBytes / FSlotSize) * FSlotSize, FSlotSize);

  auto releaseAll = [this] {
    for (QueueSlot*& slot : FSlots) FAllocator.FreeBuffer(slot);
    FSlots.clear();
    FAllocator.FreeBuffer(FScratchBlock);
  };
  FSlots.assign(size_t(FNumBuffers), nullptr);
  bool ok = true;
  for (QueueSlot*& slot : FSlots) {
    slot = static_cast<QueueSlot*>(FAllocator.AllocBuffer(GHND, sizeof(QueueSlot) + FSlotSize));
    if (!slot) {
      ok = false;
      break;
    }
    *slot = QueueSlot{reinterpret_cast<char*>(slot + 1), 0, 0, 0};
  }
  if (ok && FQueueMode != qmNone) {
    const int32_t scratchBytes = std::max(kChunkBytes, FSlotSize);
    FScratchBlock = static_cast<BlockHeader*>(
        FAllocator.AllocBuffer(GHND, int32_t(sizeof(BlockHeader)) + scratchBytes));
    if (FScratchBlock) {
      *FScratchBlock = BlockHeader{};
      FScratchBlock->lpData = reinterpret_cast<char*>(FScratchBlock + 1);
      FScratchBlock->dwBufferLength = uint32_t(scratchBytes);
    } else {
      ok = false;
    }
  }
  if (!ok) {
    releaseAll();
    if (FTerminateEvent) {
      FTerminateEvent->SetEvent();
      FStartedEvent->WaitFor(kThreadWaitMs);
    }
    FStartedEvent.reset();
    FRunEvent.reset();
    FDoneEvent.reset();
    FTerminateEvent.reset();
    throw std::bad_alloc();
  }
  ResetQueue();
  FLoopState.LoopActive = 0;
  FDroppedBlocks = FDroppedBytes = FDropouts = 0;
  FLastPushDropped = false;
  FAllocated = true;
  FStopping = false;
}

void TMMRingBuffer::FreeQueue() {
  std::lock_guard allocGuard(FAllocLock);
  if (!FAllocated) return;
  FStopping = true;
  WakePullers();
  FinishQueue();
  FAllocated = false;
  WakePullers();
  if (UsesWorker() && FStartedEvent) {
    if (!FWorkerDied) {
      WaitForIdle(false);
      FTerminateEvent->SetEvent();
      FStartedEvent->WaitFor(kThreadWaitMs);
    }
  }
  {
    std::lock_guard guard(FLock);
    FStartedEvent.reset();
    FRunEvent.reset();
    FDoneEvent.reset();
    FTerminateEvent.reset();
    for (QueueSlot*& slot : FSlots) FAllocator.FreeBuffer(slot);
    FSlots.clear();
    FAllocator.FreeBuffer(FScratchBlock);
  }
  ResetQueue();
}

void TMMRingBuffer::WorkerFailed(std::exception_ptr error) {
  // Marked first, so that freeing the queue does not wait for this very thread.
  FWorkerDied = true;
  WakePullers();
  // A Close running in another thread right now frees the queue itself.
  std::unique_lock allocGuard(FAllocLock, std::try_to_lock);
  if (allocGuard.owns_lock()) FreeQueue();
  HandleException(std::move(error));
}

// ---------------------------------------------------------------- queue

void TMMRingBuffer::ResetQueue() {
  std::lock_guard guard(FLock);
  FCount = FBytesQueued = FWriteIndex = FReadIndex = FLastIndex = 0;
  FPrefilled = false;
  FSourceEnded = false;
  FSourceFinished = false;
}

void TMMRingBuffer::WakeWorkerLocked() {
  FDoneEvent->ResetEvent();
  FRunEvent->SetEvent();
}

void TMMRingBuffer::WakeIdleWriterLocked() {
  if (FQueueMode == qmWrite && FRunEvent && !FRunEvent->IsSet()) WakeWorkerLocked();
}

void TMMRingBuffer::PutBlock(const char* data, int32_t count, uint32_t user, uint32_t flags) {
  if (!FAllocated || !FEnabled) return;
  if (IsFull() && !FWaitIfFull) {
    // Counted, so that a recording that lost audio can say so.
    if (data && count > 0) {
      ++FDroppedBlocks;
      FDroppedBytes += std::min(count, FSlotSize);
      if (!FLastPushDropped.exchange(true)) ++FDropouts;
    }
    {
      // A full queue always has a writer at work: one that ended its pass just as the last
      // slots filled would otherwise never be woken again.
      std::lock_guard guard(FLock);
      if (FAllocated) WakeIdleWriterLocked();
    }
    Fire(OnOverlow);
    return;
  }
  if (!data || count <= 0) return;
  FLastPushDropped = false;
  std::unique_lock guard(FLock);
  if (!FAllocated) return;
  const int32_t n = std::min(count, FSlotSize);
  const int32_t threshold = FFlushThreshold > 0 ? FFlushThreshold.load() : FNumBuffers / 2;
  // The writer is woken once the block is stored and the lock released: woken earlier, it would
  // only wait for the lock that the copy holds.
  std::shared_ptr<TEvent> wakeRun, wakeDone;
  if (FQueueMode == qmWrite && FCount + 1 >= threshold && !FRunEvent->IsSet()) {
    wakeRun = FRunEvent;
    wakeDone = FDoneEvent;
  }
  if (FWaitIfFull) {
    while (FCount == FNumBuffers && FAllocated) {
      WakeIdleWriterLocked();
      guard.unlock();
      Sleep(1);
      guard.lock();
    }
    if (!FAllocated) return;
  }
  QueueSlot* slot = FSlots[size_t(FWriteIndex)];
  std::memcpy(slot->data, data, size_t(n));
  slot->bytes = n;
  slot->user = user;
  slot->flags = flags;
  FWriteIndex = (FWriteIndex + 1) % FNumBuffers;
  ++FCount;
  FBytesQueued += n;
  guard.unlock();
  FDataReady.notify_all();
  if (wakeRun) {
    wakeDone->ResetEvent();
    wakeRun->SetEvent();
  }
}

void TMMRingBuffer::GetBlock(char* dest, int32_t& count, uint32_t& user, uint32_t& flags) {
  if (!FAllocated || !dest || count <= 0) {
    count = 0;
    return;
  }
  std::unique_lock guard(FLock);
  if (!FAllocated) {
    count = 0;
    return;
  }
  const bool wake = FEnabled && FQueueMode == qmRead && FCount < FNumBuffers / 2 && FRunEvent &&
                    !FRunEvent->IsSet();
  if (wake) {
    WakeWorkerLocked();
    std::shared_ptr<TEvent> done = FDoneEvent;
    guard.unlock();
    if (!FPrefilled) {
      // The first pull after a start waits up to TimeOut for the first fill pass: asleep on the
      // pass's end (a worker that fails ends its pass too) rather than looking every 1 ms.
      if (done->WaitFor(uint32_t(std::max<int32_t>(FTimeOut, 0))) != WAIT_OBJECT_0) {
        count = 0;
        return;
      }
      if (Count() == 0) {
        count = 0;
        return;
      }
      FPrefilled = true;
    }
    TakeData(dest, count, user, flags);
    return;
  }
  if (FQueueMode == qmDuplex && !FPrefilled) {
    // Until the producer has half filled the queue, the consumer gets the scratch block's
    // untouched (silent) data.
    count = std::min<int32_t>(count, int32_t(FScratchBlock->dwBufferLength));
    std::memcpy(dest, FScratchBlock->lpData, size_t(count));
    user = flags = 0;
    if (FCount > FNumBuffers / 2) FPrefilled = true;
    return;
  }
  guard.unlock();
  TakeData(dest, count, user, flags);
}

void TMMRingBuffer::TakeData(char* dest, int32_t& count, uint32_t& user, uint32_t& flags) {
  std::unique_lock guard(FLock);
  if (!FAllocated) {
    count = 0;
    return;
  }
  if (FCount == 0) {
    guard.unlock();
    Fire(OnEmpty);
    guard.lock();
    if (!FAllocated) {
      count = 0;
      return;
    }
  }
  if (FCount == 0 && WaitsForSourceLocked()) {
    // The worker has not caught up with the reader: the data comes late rather than a block
    // of filler now. A wait that ends without data (the queue stopped, its worker died, the
    // source gave nothing for TimeOut ms) delivers nothing.
    if (!WaitForData(guard) || !FAllocated || FCount == 0) {
      count = 0;
      user = flags = 0;
      return;
    }
  }
  if (FCount == 0) {
    if (FLoopIfEmpty || FCompressed) {
      const QueueSlot* slot = FSlots[size_t(FLastIndex)];
      const int32_t n = std::min(slot->bytes, count);
      std::memcpy(dest, slot->data, size_t(n));
      count = n;
      user = slot->user;
      flags = slot->flags;
    } else if (FSourceEnded) {
      // The source has ended and everything was delivered: nothing more will come.
      count = 0;
      user = flags = 0;
    } else {
      std::memset(dest, FSilence, size_t(count));
      user = flags = 0;
    }
    return;
  }
  // Copied under the lock: the queue may be freed by another thread (a failing worker, Close)
  // while a device thread pulls, and a slot costs only one short copy.
  QueueSlot* slot = FSlots[size_t(FReadIndex)];
  const int32_t n = std::min(slot->bytes, count);
  std::memcpy(dest, slot->data, size_t(n));
  count = n;
  user = slot->user;
  flags = slot->flags;
  if (slot->bytes > n) {
    slot->bytes -= n;
    std::memmove(slot->data, slot->data + n, size_t(slot->bytes));
  } else {
    FLastIndex = FReadIndex;
    FReadIndex = (FReadIndex + 1) % FNumBuffers;
    --FCount;
  }
  FBytesQueued -= n;
}

int32_t TMMRingBuffer::PutData(const char* data, int32_t count, uint32_t flags) {
  int32_t stored = 0;
  while (count > 0 && !IsFull()) {
    const int32_t n = std::min(count, FSlotSize);
    PutBlock(data, n, 0, n == count ? flags : 0);
    data += n;
    count -= n;
    stored += n;
  }
  return stored;
}

int32_t TMMRingBuffer::GetData(char* dest, int32_t count) {
  int32_t taken = 0;
  while (count > 0 && !IsEmpty()) {
    int32_t n = count;
    uint32_t user = 0, flags = 0;
    GetBlock(dest, n, user, flags);
    if (n == 0) break;
    dest += n;
    count -= n;
    taken += n;
  }
  return taken;
}

bool TMMRingBuffer::WaitsForSourceLocked() const {
  // Looping and the end of the source keep their filler; a queue fed by pushes (qmDuplex) has
  // no worker to wait for.
  return FAllocated && FQueueMode == qmRead && FEnabled && !FLoopIfEmpty && !FSourceFinished &&
         !FStopping && !FWorkerDied && FRunEvent;
}

bool TMMRingBuffer::WaitForData(std::unique_lock<TCriticalSection>& guard) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max<int32_t>(FTimeOut, 0));
  const bool mainThread = IsMainThread();
  while (FCount == 0 && WaitsForSourceLocked()) {
    // An idle worker is woken: a pass that ended just before the queue ran dry is not followed
    // by another until someone asks.
    if (!FRunEvent->IsSet()) WakeWorkerLocked();
    const auto now = Clock::now();
    if (now >= deadline) return false;
    if (!mainThread) {
      FDataReady.wait_until(guard, deadline);
      continue;
    }
    FDataReady.wait_until(guard, std::min(deadline, now + kMainThreadWaitSlice));
    guard.unlock();
    CheckSynchronize();
    guard.lock();
  }
  return true;
}

void TMMRingBuffer::WakePullers() {
  // Taken and let go, so that a pull that has just found nothing to take is already waiting
  // when the notification comes.
  { std::lock_guard guard(FLock); }
  FDataReady.notify_all();
}

// ---------------------------------------------------------------- passes

TMMRingBuffer::PassEnd::~PassEnd() {
  if (run) run->ResetEvent();
  if (done) done->SetEvent();
  ring->WakePullers();
}

TMMRingBuffer::PassEnd TMMRingBuffer::PassEvents() {
  std::lock_guard guard(FLock);
  return PassEnd{this, FRunEvent, FDoneEvent};
}

void TMMRingBuffer::FillQueue() {
  PassEnd end = PassEvents();
  if (!FAllocated || FreeBytes() <= 0 || FSourceFinished) return;
  Fire(OnFillQueue);
  BlockHeader* scratch = FScratchBlock;
  const uint32_t scratchCapacity = uint32_t(std::max(kChunkBytes, FSlotSize));
  while (FreeBytes() > 0 && !FStopping) {
    scratch->dwBufferLength = uint32_t(std::min(FreeBytes(), FReadChunk));
    scratch->dwBytesRecorded = 0;
    {
      std::lock_guard guard(FLock);
      scratch->LoopActive = FLoopState.LoopActive;
      scratch->LoopsWanted = FLoopState.LoopsWanted;
      scratch->LoopsRemaining = FLoopState.LoopsRemaining;
      scratch->Looped = FLoopState.Looped;
    }
    bool more = false;
    TMMDSPComponent::BufferLoad(scratch, more);
    const int32_t got = int32_t(std::min(scratch->dwBytesRecorded, scratchCapacity));
    if (got == 0) {
      // The end of the source: the last queued slot ends the stream, or, when everything was
      // delivered already, the next pull from the empty queue does.
      std::lock_guard guard(FLock);
      if (FCount > 0)
        FSlots[size_t((FWriteIndex + FNumBuffers - 1) % FNumBuffers)]->flags |= qfEndOfData;
      else
        FSlots[size_t(FLastIndex)]->flags |= qfEndOfData;
      FSourceEnded = FSourceFinished = true;
      break;
    }
    uint32_t flags = 0;
    {
      std::lock_guard guard(FLock);
      FLoopState = {scratch->LoopActive, scratch->LoopsWanted, scratch->LoopsRemaining,
                    scratch->Looped};
      if (!more) flags |= qfEndOfData;
      if (scratch->Looped) flags |= qfLooped;
    }
    PutData(scratch->lpData, got, flags);
    {
      std::lock_guard guard(FLock);
      FLoopState.Looped = 0;
    }
    if (!more) {
      FSourceFinished = true;
      break;
    }
    if (FStopping) break;
    // A pause between chunks keeps a long pass from holding a processor; a pass of one chunk,
    // the usual one, ends without it, since the worker waits for its next wake-up anyway.
    if (FreeBytes() > 0) Sleep(1);
  }
  Fire(OnFillQueueEnd);
}

void TMMRingBuffer::FlushQueue() {
  std::unique_lock flushGuard(FFlushLock, std::try_to_lock);
  while (!flushGuard.owns_lock()) {
    CheckSynchronize();  // the worker's pass may be waiting for the main thread
    Sleep(1);
    flushGuard.try_lock();
  }
  PassEnd end = PassEvents();
  if (!FAllocated || BytesQueued() <= 0) return;
  Fire(OnFlushQueue);
  BlockHeader* scratch = FScratchBlock;
  while (BytesQueued() > 0) {
    const int32_t n = GetData(scratch->lpData, std::min(BytesQueued(), FWriteChunk));
    if (n == 0) break;
    scratch->dwBytesRecorded = uint32_t(n);
    scratch->dwBufferLength = uint32_t(FWriteChunk);
    TMMDSPComponent::BufferReady(scratch);
    // As in FillQueue: a pause between chunks, none after the last.
    if (BytesQueued() > 0) Sleep(1);
  }
  Fire(OnFlushQueueEnd);
}

void TMMRingBuffer::WaitForIdle(bool force) {
  if (!UsesWorker()) return;
  std::shared_ptr<TEvent> run, done;
  {
    std::lock_guard guard(FLock);
    run = FRunEvent;
    done = FDoneEvent;
  }
  if (!run || !done) return;
  if (!force && !run->IsSet()) {
    done->ResetEvent();
    return;
  }
  while (done->WaitFor(0) != WAIT_OBJECT_0) {
    if (FWorkerDied) return;
    CheckSynchronize();  // the pass may be waiting for the main thread
    Sleep(1);
  }
}

void TMMRingBuffer::FinishQueue() {
  // After a failed pass the output has just refused data: what is queued is dropped rather
  // than pushed into it again.
  if (FAllocated && UsesWorker() && !FWorkerDied) {
    WaitForIdle(false);
    if (FQueueMode == qmWrite) {
      FlushQueue();
      WaitForIdle(true);
    }
  }
  ResetQueue();
}

// ---------------------------------------------------------------- transport

void TMMRingBuffer::BufferReady(PWaveHdr lpWaveHdr) {
  if (FQueueMode == qmWrite || FQueueMode == qmDuplex) {
    PutBlock(lpWaveHdr->lpData, int32_t(lpWaveHdr->dwBytesRecorded), uint32_t(lpWaveHdr->dwUser),
             0);
    return;
  }
  TMMDSPComponent::BufferReady(lpWaveHdr);
}

void TMMRingBuffer::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
  if (FQueueMode != qmRead && FQueueMode != qmDuplex) {
    TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
    return;
  }
  if (!FAllocated) return;
  if (!FEnabled && BytesQueued() <= 0 && FQueueMode != qmDuplex) {
    TMMDSPComponent::BufferLoad(lpWaveHdr, MoreBuffers);
    return;
  }
  {
    std::lock_guard guard(FLock);
    if ((lpWaveHdr->LoopActive != 0) != (FLoopState.LoopActive != 0)) {
      FLoopState.LoopActive = lpWaveHdr->LoopActive;
      if (FLoopState.LoopActive) {
        FLoopState.LoopsWanted = lpWaveHdr->LoopsWanted;
        FLoopState.LoopsRemaining = lpWaveHdr->LoopsRemaining;
        FLoopState.Looped = 0;
      }
    }
  }
  lpWaveHdr->dwBytesRecorded = lpWaveHdr->dwBufferLength;
  int32_t count = int32_t(lpWaveHdr->dwBytesRecorded);
  uint32_t user = uint32_t(lpWaveHdr->dwUser), flags = 0;
  GetBlock(lpWaveHdr->lpData, count, user, flags);
  if (count == 0) flags = 0;
  lpWaveHdr->dwBytesRecorded = uint32_t(count);
  lpWaveHdr->dwUser = user;
  lpWaveHdr->Looped = (flags & qfLooped) ? LoopFlagSet : 0;
  MoreBuffers = FQueueMode == qmDuplex || !(flags & qfEndOfData);
}
