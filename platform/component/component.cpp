#include "platform/component/component.h"

#include <algorithm>

namespace {

void RemoveFrom(std::vector<TComponent*>& list, TComponent* component) {
  std::erase(list, component);
}

void AddOnce(std::vector<TComponent*>& list, TComponent* component) {
  if (std::find(list.begin(), list.end(), component) == list.end()) list.push_back(component);
}

}  // namespace

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  if (FOwner) FOwner->FComponents.push_back(this);
}

TComponent::~TComponent() {
  Destroying();
  // Each owned component takes itself off FComponents as it goes.
  while (!FComponents.empty()) delete FComponents.back();
  // Take each partner off both lists before telling it, so that whatever its Notification
  // does with the lists, it is not told twice.
  while (!FFreeNotifies.empty()) {
    TComponent* other = FFreeNotifies.back();
    FFreeNotifies.pop_back();
    RemoveFrom(other->FFreeNotifies, this);
    other->Notification(this, opRemove);
  }
  if (FOwner) RemoveFrom(FOwner->FComponents, this);
}

void TComponent::Loaded() {
  FState &= ~static_cast<unsigned>(csLoading | csReading);
}

void TComponent::LoadedAll() {
  // A copy: Loaded may create components.
  const std::vector<TComponent*> components = FComponents;
  for (TComponent* component : components) {
    component->Loaded();
    component->LoadedAll();
  }
}

void TComponent::Notification(TComponent* /*component*/, TOperation /*operation*/) {}

void TComponent::FreeNotification(TComponent* component) {
  if (component == nullptr || component == this) return;
  AddOnce(FFreeNotifies, component);
  AddOnce(component->FFreeNotifies, this);
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  if (component == nullptr) return;
  RemoveFrom(FFreeNotifies, component);
  RemoveFrom(component->FFreeNotifies, this);
}
