#include "stream/sound_component.h"

#include <cerrno>
#include <cstring>

namespace {

bool IsSound(const TMMDSPComponent* c) {
  return dynamic_cast<const TMMCustomSoundComponent*>(c) != nullptr;
}

}  // namespace

TMMDSPComponent* TMMCustomSoundComponent::SegmentHead(bool& drivenByInput) const {
  drivenByInput = false;
  const TMMDSPComponent* head = this;
  for (TMMDSPComponent* c = GetInput(); c; c = c->GetInput()) {
    if (c == this) break;  // guards a damaged ring of links
    if (IsSound(c)) {
      drivenByInput = true;
      return const_cast<TMMCustomSoundComponent*>(this);
    }
    head = c;
  }
  return const_cast<TMMDSPComponent*>(head);
}

void TMMCustomSoundComponent::Apply(TMMDSPComponent* c, TChainOp op) const {
  switch (op) {
    case TChainOp::Open:
      c->SetBufferSize(GetBufferSize());
      c->Open();
      break;
    case TChainOp::Close:
      c->Close();
      break;
    case TChainOp::Start:
      c->Start();
      break;
    case TChainOp::Pause:
      c->Pause();
      break;
    case TChainOp::Restart:
      c->Restart();
      break;
    case TChainOp::Stop:
      c->Stop();
      break;
    case TChainOp::Reset:
      c->Reset();
      break;
    case TChainOp::Looping:
      c->NotifyLooping();
      break;
  }
}

void TMMCustomSoundComponent::Propagate(TChainOp op) {
  const bool closing = op == TChainOp::Close || op == TChainOp::Stop;
  if (closing) {
    // The next sound component downstream goes first, with its own segment.
    for (TMMDSPComponent* c = GetOutput(); c && c != this; c = c->GetOutput()) {
      if (IsSound(c)) {
        Apply(c, op);
        break;
      }
    }
  }
  bool drivenByInput = false;
  TMMDSPComponent* head = SegmentHead(drivenByInput);
  if (op == TChainOp::Open) FDrivenByInput = drivenByInput;
  bool passedSelf = false;
  for (TMMDSPComponent* c = head; c; c = c->GetOutput()) {
    if (c == this) {
      if (passedSelf) break;  // guards a damaged ring of links
      passedSelf = true;
      continue;
    }
    if (IsSound(c)) {
      if (!closing) Apply(c, op);
      break;
    }
    Apply(c, op);
  }
}

void TMMCustomSoundComponent::Open() {
  FDrivenByInput = false;
  Propagate(TChainOp::Open);
  TMMDSPComponent::Open();
}

void TMMCustomSoundComponent::Close() {
  Propagate(TChainOp::Close);
  TMMDSPComponent::Close();
}

void TMMCustomSoundComponent::Start() {
  Propagate(TChainOp::Start);
  TMMDSPComponent::Start();
}

void TMMCustomSoundComponent::Pause() {
  Propagate(TChainOp::Pause);
  TMMDSPComponent::Pause();
}

void TMMCustomSoundComponent::Restart() {
  Propagate(TChainOp::Restart);
  TMMDSPComponent::Restart();
}

void TMMCustomSoundComponent::Stop() {
  Propagate(TChainOp::Stop);
  TMMDSPComponent::Stop();
}

void TMMCustomSoundComponent::Reset() {
  Propagate(TChainOp::Reset);
  TMMDSPComponent::Reset();
}

void TMMCustomSoundComponent::NotifyLooping() {
  Propagate(TChainOp::Looping);
  TMMDSPComponent::NotifyLooping();
}

std::string TMMCustomSoundComponent::OpenFailureText(bool input, MMRESULT result,
                                                     const std::string& driverText) const {
  std::string name = GetProductName();
  const TMMDeviceId id = GetDeviceID();
  if (id >= 0) {
    const std::string system = waveGetDeviceSystemName(input, uint32_t(id));
    if (!system.empty() && system != name && system != kTestDeviceSystemName)
      name += " (" + system + ")";
  }
  std::string reason = driverText;
  switch (result) {
    case MMSYSERR_ALLOCATED:
      reason = std::strerror(EBUSY);
      break;
    case MMSYSERR_BADDEVICEID:
    case MMSYSERR_NODRIVER:
      reason = std::strerror(ENODEV);
      break;
    case MMSYSERR_NOMEM:
      reason = std::strerror(ENOMEM);
      break;
    default:
      break;
  }
  return std::string(input ? "Input" : "Output") + " device \"" + name +
         "\" cannot be opened: " + reason;
}
