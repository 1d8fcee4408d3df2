#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "processor/runtime.h"
#include "processor/singleton.h"

namespace {

using Processor::AutoRef;
using Processor::InterfaceMetaClass;
using Processor::InterfacePair;

constexpr uint32_t kFirstId = 0x11110001;
constexpr uint32_t kSecondId = 0x11110002;

class First : public virtual Processor::Interface {
 public:
  static constexpr uint32_t kInterfaceId = kFirstId;
  virtual int FirstValue() = 0;
};

class Second : public virtual Processor::Interface {
 public:
  static constexpr uint32_t kInterfaceId = kSecondId;
  virtual int SecondValue() = 0;
};

std::atomic<int> gDestroyed{0};

class Missing : public virtual Processor::Interface {
 public:
  static constexpr uint32_t kInterfaceId = 0x11110099;
};

class Both final : public virtual First, public virtual Second {
 public:
  ~Both() override { ++gDestroyed; }
  int FirstValue() override { return 1; }
  int SecondValue() override { return 2; }
  Processor::MetaClass* GetMetaClass() override { return InterfaceMetaClass<First>::Instance(); }
  InterfacePair QueryInterface(uint32_t id) override {
    if (id == kFirstId) return Processor::AnswerInterface<First>(this);
    if (id == kSecondId) return Processor::AnswerInterface<Second>(this);
    return {};
  }
};

TEST(RefObjectTest, QueryThroughVirtualBasesSharesOneCount) {
  gDestroyed = 0;
  auto first = Processor::MakeRef<First, Both>();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->RefCount(), 1);
  AutoRef<Second> second = first.Query<Second>();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->SecondValue(), 2);
  EXPECT_EQ(first->RefCount(), 2);
  EXPECT_EQ(second.GetMetaClass()->GetInterfaceId(), kSecondId);

  // An interface the object lacks: null, count unchanged.
  EXPECT_FALSE(first.Query<Missing>());
  EXPECT_EQ(first->RefCount(), 2);

  // The last reference, through whichever interface, destroys it once.
  first.Reset();
  EXPECT_EQ(gDestroyed, 0);
  second.Reset();
  EXPECT_EQ(gDestroyed, 1);
}

TEST(RefObjectTest, MetaClassCasts) {
  Processor::MetaClass* meta = InterfaceMetaClass<First>::Instance();
  EXPECT_EQ(meta, InterfaceMetaClass<First>::Instance());
  EXPECT_EQ(meta->GetInterfaceId(), kFirstId);
  EXPECT_STREQ(meta->GetName(), "");
  EXPECT_EQ(meta->GetBase(), nullptr);

  InterfacePair none = meta->Cast(kFirstId, nullptr);
  EXPECT_EQ(none.object, nullptr);
  EXPECT_EQ(none.metaClass, nullptr);
  InterfacePair exactNull = meta->CastExact(kFirstId, nullptr);
  EXPECT_EQ(exactNull.object, nullptr);
  EXPECT_EQ(exactNull.metaClass, meta);
  EXPECT_EQ(meta->CastExact(kSecondId, nullptr).metaClass, nullptr);

  auto first = Processor::MakeRef<First, Both>();
  InterfacePair same = meta->Cast(kFirstId, first.Get());
  EXPECT_EQ(same.object, first.Get());
  EXPECT_EQ(first->RefCount(), 2);
  auto adopted = AutoRef<First>::Adopt(same);
  InterfacePair other = meta->Cast(kSecondId, first.Get());
  ASSERT_NE(other.object, nullptr);
  auto second = AutoRef<Second>::Adopt(other);
  EXPECT_EQ(second->SecondValue(), 2);
  EXPECT_EQ(first->RefCount(), 3);
}

TEST(RefObjectTest, TryAddRefDoesNotReviveAndNullDerefThrows) {
  struct Plain : Processor::RefObject {
    void OnFinalRelease() override {}  // keep the memory so the count can be inspected
  };
  Plain plain;
  plain.ReleaseDirect();
  EXPECT_EQ(plain.RefCount(), 0);
  EXPECT_FALSE(plain.TryAddRefDirect());
  EXPECT_EQ(plain.RefCount(), 0);

  AutoRef<First> null;
  EXPECT_THAT([&] { (void)null->FirstValue(); },
              testing::ThrowsMessage<std::invalid_argument>(testing::StrEq("Attempt to use null reference.")));
}

TEST(RefObjectTest, ConcurrentAddRefAndReleaseDestroyOnce) {
  gDestroyed = 0;
  {
    auto first = Processor::MakeRef<First, Both>();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([copy = first]() mutable {
        for (int i = 0; i < 20000; ++i) {
          AutoRef<Second> s = copy.Query<Second>();
          AutoRef<First> again = copy;
          (void)s;
        }
      });
    for (auto& t : threads) t.join();
    EXPECT_EQ(first->RefCount(), 1);
  }
  EXPECT_EQ(gDestroyed, 1);
}

TEST(RecursiveLockTest, ExcludesOtherThreadsAndNests) {
  Processor::RecursiveLock lock;
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        lock.Lock();
        lock.Lock();  // recursion by the owner
        ++counter;
        lock.Unlock();
        lock.Unlock();
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 80000);
  lock.Destroy();
}

std::atomic<int> gLiveCounted{0};
struct Counted : Processor::RefObject {
  Counted() { ++gLiveCounted; }
  ~Counted() override {
    dying = true;
    --gLiveCounted;
  }
  std::atomic<bool> dying{false};
};

// Singletons: creation order is remembered; shut-down goes in reverse.
std::vector<int>* gShutdownOrder = nullptr;

template <int N>
struct Tracked : Processor::RefObject {
  ~Tracked() override {
    if (gShutdownOrder) gShutdownOrder->push_back(N);
  }
};

TEST(SingletonTest, InstanceIsSharedAndRevivedWhileRegistered) {
  using S = Processor::Singleton<Tracked<1>, true>;
  auto a = S::Instance();
  auto b = S::Instance();
  EXPECT_EQ(a.Get(), b.Get());
  // Registry + two holders.
  EXPECT_EQ(a->RefCount(), 3);
  a.Reset();
  b.Reset();
  EXPECT_TRUE(S::HasInstance());  // the registry keeps it
}

TEST(SingletonShutdownTest, ReverseOrderOfCreationThenNoRegistration) {
  std::vector<int> order;
  gShutdownOrder = &order;
  (void)Processor::Singleton<Tracked<10>, true>::Instance();
  (void)Processor::Singleton<Tracked<11>, true>::Instance();
  (void)Processor::Singleton<Tracked<12>, true>::Instance();
  Processor::SingletonRegistry::Shutdown();
  // Singletons of earlier tests go too; ours in reverse order of creation.
  std::vector<int> ours;
  for (int n : order)
    if (n >= 10) ours.push_back(n);
  EXPECT_EQ(ours, (std::vector<int>{12, 11, 10}));

  // After shut-down a new singleton is not registered: it lives until its last reference goes.
  order.clear();
  {
    auto late = Processor::Singleton<Tracked<20>, true>::Instance();
    EXPECT_EQ(late->RefCount(), 1);
  }
  EXPECT_EQ(order, (std::vector<int>{20}));
  EXPECT_FALSE((Processor::Singleton<Tracked<20>, true>::HasInstance()));
  gShutdownOrder = nullptr;
}

// Runs after the registry is shut down, so that the count really drops to 0
// between holders and Instance() races with the final release.
TEST(SingletonShutdownTest, RevivalRaceNeverYieldsTwoLiveObjects) {
  Processor::SingletonRegistry::Shutdown();
  using S = Processor::Singleton<Counted, true>;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([] {
      for (int i = 0; i < 5000; ++i) {
        auto r = S::Instance();
        ASSERT_NE(r.Get(), nullptr);
        // Never handed an instance that a final release is tearing down.
        ASSERT_FALSE(r->dying.load());
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(gLiveCounted.load(), 0);
  EXPECT_FALSE(S::HasInstance());
}

// A slot's callback keeps an owning pointer in its context.
struct SlotContext {
  Processor::RefObject* held = nullptr;
};
void SlotCallback(void* context, int operation, void* argument) {
  auto* slot = static_cast<SlotContext*>(context);
  if (operation == 1) {
    if (slot->held) slot->held->ReleaseDirect();
    slot->held = static_cast<Processor::RefObject*>(argument);
    if (slot->held) slot->held->AddRefDirect();
  } else if (operation == 3) {
    auto** out = static_cast<Processor::RefObject**>(argument);
    *out = slot->held;
    if (slot->held) slot->held->AddRefDirect();
  }
}

TEST(RefSlotTest, TrackingSlotSeesTheObjectDieAndPlainSlotDoesNot) {
  struct Obj : Processor::RefObject {};
  auto* object = Processor::CreateObject<Obj>();
  SlotContext tracked;
  Processor::RefSlot* slot = Processor::CreateSlot(&tracked, object, SlotCallback, Processor::kTrackingSlot);
  Processor::AssignSlot(slot, object);
  ASSERT_NE(slot->proxy, nullptr);
  Processor::RefObject* out = nullptr;
  Processor::GetSlot(slot, &out);
  EXPECT_EQ(out, object);
  out->ReleaseDirect();

  // Drop the slot's own hold through the callback, then the creator's: the proxy outlives the object.
  Processor::LifetimeProxy* proxy = slot->proxy;
  tracked.held->ReleaseDirect();
  tracked.held = nullptr;
  object->ReleaseDirect();
  EXPECT_TRUE(proxy->dead);
  out = nullptr;
  Processor::GetSlot(slot, &out);  // dead: the callback is not asked
  EXPECT_EQ(out, nullptr);
  Processor::DestroySlot(slot);  // frees the proxy with its last hold

  auto* plainObject = Processor::CreateObject<Obj>();
  SlotContext plain;
  Processor::RefSlot* plainSlot = Processor::CreateSlot(&plain, plainObject, SlotCallback, Processor::kPlainSlot);
  Processor::AssignSlot(plainSlot, plainObject);
  EXPECT_EQ(plainSlot->proxy, nullptr);
  EXPECT_EQ(plainObject->RefCount(), 2);
  Processor::AssignSlot(plainSlot, nullptr);
  EXPECT_EQ(plainObject->RefCount(), 1);
  Processor::DestroySlot(plainSlot);
  plainObject->ReleaseDirect();
}

}  // namespace
