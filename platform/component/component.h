// The framework component: ownership by an owner, a name, and the loading state during which
// a stored layout sets properties without events or propagation.
#pragma once

#include <functional>
#include <string>
#include <vector>

class TObject {
 public:
  virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

enum TComponentStateFlag : unsigned {
  csLoading = 1,
  csReading = 2,
  csDestroying = 4,
  csDesigning = 8,
};

enum TOperation { opInsert, opRemove };

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner);
  // Destroys the owned components, last created first.
  ~TComponent() override;

  TComponent* Owner() const { return FOwner; }
  const std::vector<TComponent*>& Components() const { return FComponents; }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& name) { FName = name; }

  unsigned ComponentState() const { return FState; }
  bool IsLoading() const { return FState & csLoading; }
  // Marks the start of loading the stored layout.
  void BeginLoading() { FState |= csLoading | csReading; }
  // Called once the whole layout is set; the base ends the loading state.
  virtual void Loaded();
  // Ends loading on every owned component (and their owned components).
  void LoadedAll();
  // Marks the object as being destroyed; the most derived destructor calls it first.
  void Destroying() { FState |= csDestroying; }

  // Called on the components that asked for it when `component` is removed.
  virtual void Notification(TComponent* component, TOperation operation);
  // Asks to be told when `component` is removed.
  void FreeNotification(TComponent* component);
  void RemoveFreeNotification(TComponent* component);

 private:
  TComponent* FOwner;
  std::vector<TComponent*> FComponents;
  std::vector<TComponent*> FFreeNotifies;
  std::string FName;
  unsigned FState = 0;
};
