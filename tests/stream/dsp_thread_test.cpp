#include "stream/dsp_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/kernel/sync.h"
#include "platform/mainloop/main_loop.h"

namespace {

class TWorker : public TMMDSPThread {
 public:
  TWorker(std::atomic<bool>* ranOnMain, TEvent* done)
      : TMMDSPThread(nullptr), FRanOnMain(ranOnMain), FDone(done) {}

 protected:
  void Execute() override {
    DSPSynchronize([this] { *FRanOnMain = IsMainThread(); });
    FDone->SetEvent();
  }

 private:
  std::atomic<bool>* FRanOnMain;
  TEvent* FDone;
};

TEST(DSPSynchronize, FromARegisteredWorkerRunsOnTheMainThread) {
  std::atomic<bool> ranOnMain{false};
  TEvent done(true, false);
  auto* worker = new TWorker(&ranOnMain, &done);
  EXPECT_EQ(TMMDSPThread::ThreadRegistry().back(), worker);
  worker->SetFreeOnTerminate(true);
  worker->Resume();
  ASSERT_TRUE(RunUntil([&] { return done.IsSet(); }, 5000));
  EXPECT_TRUE(ranOnMain);
  ASSERT_TRUE(RunUntil([] { return LiveThreadCount() == 0; }, 5000));
  ReapFinishedThreads();
  EXPECT_TRUE(TMMDSPThread::ThreadRegistry().empty());
}

TEST(DSPSynchronize, ElsewhereRunsDirectly) {
  bool ran = false;
  DSPSynchronize([&] { ran = IsMainThread(); });
  EXPECT_TRUE(ran) << "on the main thread";

  std::thread::id where;
  std::thread other([&] { DSPSynchronize([&] { where = std::this_thread::get_id(); }); });
  const std::thread::id otherId = other.get_id();
  other.join();
  EXPECT_EQ(where, otherId) << "an unregistered thread calls directly";
}

}  // namespace
