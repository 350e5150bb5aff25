// The stream component: a link to one upstream (Input) and one downstream (Output) neighbour,
// stored on both ends; the stream's wave format flowing downstream; the block size; the
// lifecycle state; and the push (BufferReady) and pull (BufferLoad) transport of blocks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/component/component.h"
#include "platform/wave/wave_types.h"
#include "stream/block_header.h"

using TMMBufferEvent = std::function<void(TObject* Sender, PWaveHdr lpWaveHdr)>;
using TMMBufferLoadEvent =
    std::function<void(TObject* Sender, PWaveHdr lpWaveHdr, bool& MoreBuffers)>;

class TMMComponent : public TComponent {
 public:
  using TComponent::TComponent;
};

class TMMNonVisualComponent : public TMMComponent {
 public:
  using TMMComponent::TMMComponent;
};

class TMMDSPComponent : public TMMNonVisualComponent {
 public:
  explicit TMMDSPComponent(TComponent* AOwner);
  ~TMMDSPComponent() override;

  // The ports a class offers: looked up by the names "Input" and "Output".
  virtual bool HasInputPort() const { return false; }
  virtual bool HasOutputPort() const { return false; }
  bool HasPort(std::string_view portName) const;
  // The component the named port holds; none for a port the class does not have.
  TMMDSPComponent* PortTarget(std::string_view portName) const;

  virtual void SyncPWaveFormat();
  virtual void NotifyLinkChange(TMMDSPComponent* Component, bool OutputSide,
                                std::string_view PortName);
  virtual void SetInput(TMMDSPComponent* Component);
  virtual TMMDSPComponent* GetInput() const { return FInput; }
  virtual void SetOutput(TMMDSPComponent* Component);
  virtual TMMDSPComponent* GetOutput() const { return FOutput; }
  virtual void SetPWaveFormat(const WAVEFORMATEX* Format);
  virtual WAVEFORMATEX* GetPWaveFormat() const { return FPWaveFormat; }
  virtual int32_t GetBufferSize() const;
  virtual void SetBufferSize(int32_t Size);
  virtual void ChangePWaveFormat(const WAVEFORMATEX* Format) { SetPWaveFormat(Format); }
  virtual void Open();
  virtual void Close();
  virtual void Start();
  virtual void Pause();
  virtual void Restart();
  virtual void Stop();
  virtual void Reset() {}
  virtual void NotifyLooping() {}
  virtual void BufferReady(PWaveHdr lpWaveHdr);
  virtual void BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers);
  virtual void SetInputLink(TMMDSPComponent* Component, std::string_view PortName);
  virtual void SetOutputLink(TMMDSPComponent* Component, std::string_view PortName);
  virtual bool CanConnectInput(TMMDSPComponent* Component) const;
  virtual bool CanConnectOutput(TMMDSPComponent* Component) const;

  // The lifecycle operation of the public interface that asks a source to loop.
  void Looping() { NotifyLooping(); }

  void Loaded() override;

  int32_t RealBufferSize() const { return FRealBufferSize; }
  bool Opened() const { return FOpened; }
  bool Started() const { return FStarted; }
  bool Paused() const { return FPaused; }
  const std::string& InputPortName() const { return FInputPortName; }
  const std::string& OutputPortName() const { return FOutputPortName; }

  TMMBufferEvent OnBufferReady;
  TMMBufferLoadEvent OnBufferLoad;

  // Every live stream component, in construction order; the relink broadcast walks it.
  static const std::vector<TMMDSPComponent*>& StreamRegistry();

 protected:
  // Loading, reading or being destroyed: no events and no format propagation.
  bool Quiet() const { return ComponentState() & (csLoading | csReading | csDestroying); }
  void SetOpened(bool value) { FOpened = value; }
  void SetStarted(bool value) { FStarted = value; }
  void SetPaused(bool value) { FPaused = value; }

  TMMDSPComponent* FInput = nullptr;
  TMMDSPComponent* FOutput = nullptr;
  WAVEFORMATEX* FPWaveFormat = nullptr;
  int32_t FBufferSize = 2048;
  int32_t FRealBufferSize = 2048;

 private:
  void Broadcast(TMMDSPComponent* Component, bool OutputSide, std::string_view PortName);

  bool FOpened = false;
  bool FStarted = false;
  bool FPaused = false;
  std::string FInputPortName;
  std::string FOutputPortName;
};
