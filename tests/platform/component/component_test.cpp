#include "platform/component/component.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// Logs its destruction, its notifications and its Loaded calls into a shared journal.
class TLoggingComponent : public TComponent {
 public:
  TLoggingComponent(TComponent* owner, std::string name, std::vector<std::string>& journal)
      : TComponent(owner), FJournal(journal) {
    SetName(std::move(name));
  }
  ~TLoggingComponent() override {
    Destroying();
    FJournal.push_back("~" + Name());
  }
  void Loaded() override {
    TComponent::Loaded();
    FJournal.push_back("loaded " + Name());
  }
  void Notification(TComponent* component, TOperation operation) override {
    if (operation == opRemove) FJournal.push_back(Name() + " lost " + component->Name());
  }

 private:
  std::vector<std::string>& FJournal;
};

using TJournal = std::vector<std::string>;

TEST(Component, OwnerDestroysOwnedComponentsLastCreatedFirst) {
  TJournal journal;
  auto* owner = new TLoggingComponent(nullptr, "owner", journal);
  auto* first = new TLoggingComponent(owner, "first", journal);
  new TLoggingComponent(first, "grandchild", journal);
  auto* deletedEarly = new TLoggingComponent(owner, "early", journal);
  new TLoggingComponent(owner, "last", journal);
  EXPECT_EQ(first->Owner(), owner);
  ASSERT_EQ(owner->Components().size(), 3u);

  // A component deleted by hand leaves its owner's list, so the owner does not delete it again.
  delete deletedEarly;
  EXPECT_EQ(owner->Components(), (std::vector<TComponent*>{first, owner->Components()[1]}));

  journal.clear();
  delete owner;
  EXPECT_EQ(journal, (TJournal{"~owner", "~last", "~first", "~grandchild"}));
}

TEST(Component, FreeNotificationIsDeliveredOnDestructionBothWays) {
  TJournal journal;
  TLoggingComponent watcher(nullptr, "watcher", journal);
  auto* watched = new TLoggingComponent(nullptr, "watched", journal);
  auto* other = new TLoggingComponent(nullptr, "other", journal);
  watcher.FreeNotification(watched);
  watcher.FreeNotification(watched);  // asking twice is one request
  watcher.FreeNotification(other);

  delete watched;
  EXPECT_EQ(journal, (TJournal{"~watched", "watcher lost watched"}));

  // The watcher's destruction tells `other`, which asked nothing but is linked both ways;
  // `other` must also have forgotten the watcher when it goes first.
  journal.clear();
  watcher.RemoveFreeNotification(other);
  delete other;
  EXPECT_EQ(journal, (TJournal{"~other"}));
}

TEST(Component, DestroyedWatcherIsNotNotifiedLater) {
  TJournal journal;
  TLoggingComponent watched(nullptr, "watched", journal);
  {
    TLoggingComponent watcher(nullptr, "watcher", journal);
    watcher.FreeNotification(&watched);
  }
  EXPECT_EQ(journal, (TJournal{"~watcher", "watched lost watcher"}));
  // `watched` is destroyed at the end of the test; the watcher is gone from its list, which the
  // sanitizers check.
}

TEST(Component, LoadedAllEndsLoadingThroughTheOwnershipTree) {
  TJournal journal;
  TLoggingComponent owner(nullptr, "owner", journal);
  auto* child = new TLoggingComponent(&owner, "child", journal);
  auto* grandchild = new TLoggingComponent(child, "grandchild", journal);
  auto* sibling = new TLoggingComponent(&owner, "sibling", journal);
  for (TComponent* c : std::vector<TComponent*>{&owner, child, grandchild, sibling}) {
    c->BeginLoading();
    EXPECT_TRUE(c->IsLoading());
    EXPECT_TRUE(c->ComponentState() & csReading);
  }

  owner.LoadedAll();
  EXPECT_EQ(journal, (TJournal{"loaded child", "loaded grandchild", "loaded sibling"}));
  for (TComponent* c : std::vector<TComponent*>{child, grandchild, sibling}) {
    EXPECT_FALSE(c->IsLoading()) << c->Name();
    EXPECT_FALSE(c->ComponentState() & csReading) << c->Name();
  }
  journal.clear();
}

}  // namespace
