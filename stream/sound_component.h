// A sound component drives a chain: each lifecycle operation called on it is carried along its
// segment of passive components, upstream ones first, and reaches the component itself last.
#pragma once

#include <string>

#include "platform/wave/wave_api.h"
#include "stream/dsp_component.h"
#include "stream/wave_format.h"

class TMMCustomSoundComponent : public TMMDSPComponent {
 public:
  using TMMDSPComponent::TMMDSPComponent;

  void Open() override;
  void Close() override;
  void Start() override;
  void Pause() override;
  void Restart() override;
  void Stop() override;
  void Reset() override;
  void NotifyLooping() override;

  // Device properties, implemented by the wave devices.
  virtual void SetNumBuffers(int32_t value) = 0;
  virtual int32_t GetNumBuffers() const = 0;
  virtual void SetDeviceID(TMMDeviceId value) = 0;
  virtual TMMDeviceId GetDeviceID() const = 0;
  virtual void SetProductName(const std::string& value) = 0;
  virtual std::string GetProductName() const = 0;
  virtual void SetCallBackMode(TMMCBMode value) = 0;
  virtual TMMCBMode GetCallBackMode() const = 0;

  // Set by Open when another sound component lies upstream.
  bool DrivenByInput() const { return FDrivenByInput; }

 protected:
  // What the user is told about a device that cannot be opened, naming it and the system's
  // reason: `Input device "USB Audio (hw:1,0)" cannot be opened: Device or resource busy`.
  // `driverText` is the driver's text for `result`, used where the system has no reason of its
  // own for it.
  std::string OpenFailureText(bool input, MMRESULT result, const std::string& driverText) const;

 private:
  enum class TChainOp { Open, Close, Start, Pause, Restart, Stop, Reset, Looping };
  // The component where this one's segment begins; `drivenByInput` tells whether another
  // sound component lies upstream (then the segment begins here).
  TMMDSPComponent* SegmentHead(bool& drivenByInput) const;
  void Apply(TMMDSPComponent* c, TChainOp op) const;
  void Propagate(TChainOp op);

  bool FDrivenByInput = false;
};
