#include "stream/dsp_component.h"

#include <algorithm>

#include "stream/wave_format.h"

namespace {

std::vector<TMMDSPComponent*>& Registry() {
  static std::vector<TMMDSPComponent*> registry;
  return registry;
}

constexpr std::string_view kInput = "Input";
constexpr std::string_view kOutput = "Output";

}  // namespace

const std::vector<TMMDSPComponent*>& TMMDSPComponent::StreamRegistry() {
  return Registry();
}

TMMDSPComponent::TMMDSPComponent(TComponent* AOwner) : TMMNonVisualComponent(AOwner) {
  Registry().push_back(this);
}

TMMDSPComponent::~TMMDSPComponent() {
  Destroying();
  // Virtual port lookups no longer reach the derived class here, so both links are undone
  // directly on the neighbours; the downstream neighbour loses its format as on an unlink.
  if (FInput) {
    if (FInput->FOutput == this) FInput->SetOutputLink(nullptr, "");
    SetInputLink(nullptr, "");
  }
  if (FOutput) {
    TMMDSPComponent* old = FOutput;
    if (old->FInput == this) old->SetInputLink(nullptr, "");
    SetOutputLink(nullptr, "");
    old->ChangePWaveFormat(nullptr);
  }
  FreeWaveFormat(FPWaveFormat);
  FPWaveFormat = nullptr;
  auto& registry = Registry();
  registry.erase(std::remove(registry.begin(), registry.end(), this), registry.end());
  if (registry.empty()) registry.shrink_to_fit();
}

bool TMMDSPComponent::HasPort(std::string_view portName) const {
  if (portName == kInput) return HasInputPort();
  if (portName == kOutput) return HasOutputPort();
  return false;
}

TMMDSPComponent* TMMDSPComponent::PortTarget(std::string_view portName) const {
  if (!HasPort(portName)) return nullptr;
  return portName == kInput ? GetInput() : GetOutput();
}

void TMMDSPComponent::Broadcast(TMMDSPComponent* Component, bool OutputSide,
                                std::string_view PortName) {
  // A copy: a notified component must not disturb the walk.
  const std::vector<TMMDSPComponent*> all = Registry();
  for (TMMDSPComponent* c : all) c->NotifyLinkChange(Component, OutputSide, PortName);
}

void TMMDSPComponent::NotifyLinkChange(TMMDSPComponent* Component, bool OutputSide,
                                       std::string_view PortName) {
  if (!Component || !Component->HasPort(PortName)) return;
  if (OutputSide) {
    if (FInput == Component && FInputPortName == PortName &&
        Component->PortTarget(PortName) == this)
      SetInputLink(nullptr, "");
  } else {
    if (FOutput == Component && FOutputPortName == PortName &&
        Component->PortTarget(PortName) == this)
      SetOutputLink(nullptr, "");
  }
}

void TMMDSPComponent::SetInput(TMMDSPComponent* New) {
  if (New == FInput) return;
  if (New && !CanConnectInput(New)) return;
  Stop();
  if (FInput) {
    Broadcast(this, false, kInput);
    SetInputLink(nullptr, "");
    ChangePWaveFormat(nullptr);
  }
  if (New) {
    Broadcast(New, true, kOutput);
    SetInputLink(New, kOutput);
    New->SetOutputLink(this, kInput);
    SyncPWaveFormat();
  }
}

void TMMDSPComponent::SetOutput(TMMDSPComponent* New) {
  if (New == FOutput) return;
  if (New && !CanConnectOutput(New)) return;
  Stop();
  if (FOutput) {
    TMMDSPComponent* old = FOutput;
    Broadcast(this, true, kOutput);
    old->ChangePWaveFormat(nullptr);
    SetOutputLink(nullptr, "");
  }
  if (New) {
    Broadcast(New, false, kInput);
    SetOutputLink(New, kInput);
    New->SetInputLink(this, kOutput);
    SyncPWaveFormat();
  }
}

void TMMDSPComponent::SetInputLink(TMMDSPComponent* Component, std::string_view PortName) {
  FInput = Component;
  FInputPortName = std::string(PortName.substr(0, 20));
}

void TMMDSPComponent::SetOutputLink(TMMDSPComponent* Component, std::string_view PortName) {
  FOutput = Component;
  FOutputPortName = std::string(PortName.substr(0, 20));
}

bool TMMDSPComponent::CanConnectInput(TMMDSPComponent* C) const {
  if (!C || C == this || !C->HasOutputPort()) return false;
  return FOutput ? FOutput->CanConnectInput(C) : true;
}

bool TMMDSPComponent::CanConnectOutput(TMMDSPComponent* C) const {
  if (!C || C == this || !C->HasInputPort()) return false;
  return FInput ? FInput->CanConnectOutput(C) : true;
}

void TMMDSPComponent::SyncPWaveFormat() {
  if (Quiet()) return;
  if (FInput)
    ChangePWaveFormat(FInput->GetPWaveFormat());
  else if (FOutput)
    FOutput->ChangePWaveFormat(FPWaveFormat);
}

void TMMDSPComponent::SetPWaveFormat(const WAVEFORMATEX* Format) {
  if (Format != FPWaveFormat) {
    if (FStarted) Stop();
    FreeWaveFormat(FPWaveFormat);
    FPWaveFormat = nullptr;
    FPWaveFormat = CopyWaveFormat(Format);
  }
  if (!Quiet() && FOutput) FOutput->ChangePWaveFormat(FPWaveFormat);
}

void TMMDSPComponent::Loaded() {
  TMMNonVisualComponent::Loaded();
  SetPWaveFormat(FPWaveFormat);
}

int32_t TMMDSPComponent::GetBufferSize() const {
  return FOpened ? FRealBufferSize : FBufferSize;
}

void TMMDSPComponent::SetBufferSize(int32_t Size) {
  if (Size == FBufferSize) return;
  if (FStarted) Stop();
  FBufferSize = Size;
}

void TMMDSPComponent::Open() {
  if (FOpened) return;
  const int32_t align = FPWaveFormat ? FPWaveFormat->nBlockAlign : 0;
  FRealBufferSize = align > 0 ? std::max(FBufferSize - FBufferSize % align, align) : FBufferSize;
  FOpened = true;
  FStarted = false;
  FPaused = false;
}

void TMMDSPComponent::Close() {
  FOpened = false;
}

void TMMDSPComponent::Start() {
  if (!FStarted && FOpened) FStarted = true;
}

void TMMDSPComponent::Pause() {
  FPaused = true;
}

void TMMDSPComponent::Restart() {
  FPaused = false;
}

void TMMDSPComponent::Stop() {
  if (!FStarted) return;
  FStarted = false;
  FPaused = false;
}

void TMMDSPComponent::BufferReady(PWaveHdr lpWaveHdr) {
  if (OnBufferReady) OnBufferReady(this, lpWaveHdr);
  if (FOutput) FOutput->BufferReady(lpWaveHdr);
}

void TMMDSPComponent::BufferLoad(PWaveHdr lpWaveHdr, bool& MoreBuffers) {
  if (OnBufferLoad) OnBufferLoad(this, lpWaveHdr, MoreBuffers);
  if (FInput) FInput->BufferLoad(lpWaveHdr, MoreBuffers);
}
