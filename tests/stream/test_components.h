// Small stream components that stand in for the real ones: they log every lifecycle operation.
#pragma once

#include <string>
#include <type_traits>
#include <vector>

#include "stream/sound_component.h"

using TOpLog = std::vector<std::string>;

template <typename Base>
class TLogging : public Base {
 public:
  TLogging(const std::string& name, TOpLog* log, TComponent* owner = nullptr)
      : Base(owner), FLog(log) {
    this->SetName(name);
  }
  bool HasInputPort() const override { return FHasInput; }
  bool HasOutputPort() const override { return FHasOutput; }
  void Open() override {
    Run("Open", [this] { Base::Open(); });
  }
  void Close() override {
    Run("Close", [this] { Base::Close(); });
  }
  void Start() override {
    Run("Start", [this] { Base::Start(); });
  }
  void Pause() override {
    Run("Pause", [this] { Base::Pause(); });
  }
  void Restart() override {
    Run("Restart", [this] { Base::Restart(); });
  }
  void Stop() override {
    Run("Stop", [this] { Base::Stop(); });
  }
  void Reset() override {
    Run("Reset", [this] { Base::Reset(); });
  }
  void NotifyLooping() override {
    Run("Looping", [this] { Base::NotifyLooping(); });
  }

  bool FHasInput = true;
  bool FHasOutput = true;
  bool FLogging = true;

 private:
  // A passive component is logged when the operation reaches it; a sound component when its
  // own state changes, which is after it has carried the operation along its segment.
  template <typename F>
  void Run(const char* op, F base) {
    constexpr bool sound = std::is_base_of_v<TMMCustomSoundComponent, Base>;
    if (!sound) Log(op);
    base();
    if (sound) Log(op);
  }
  void Log(const char* op) {
    if (FLog && FLogging) FLog->push_back(this->Name() + "." + op);
  }
  TOpLog* FLog;
};

using TPassive = TLogging<TMMDSPComponent>;

class TSoundBase : public TMMCustomSoundComponent {
 public:
  using TMMCustomSoundComponent::TMMCustomSoundComponent;
  void SetNumBuffers(int32_t) override {}
  int32_t GetNumBuffers() const override { return 0; }
  void SetDeviceID(TMMDeviceId) override {}
  TMMDeviceId GetDeviceID() const override { return 0; }
  void SetProductName(const std::string&) override {}
  std::string GetProductName() const override { return {}; }
  void SetCallBackMode(TMMCBMode) override {}
  TMMCBMode GetCallBackMode() const override { return cmThread; }
};

using TSound = TLogging<TSoundBase>;
