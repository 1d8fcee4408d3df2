#include "core/fdisk/virtual/shared_count.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/common/error_codes.h"

namespace {

struct Counted {
  explicit Counted(std::atomic<int>& live) : live_(live) { ++live_; }
  ~Counted() { --live_; }
  std::atomic<int>& live_;
};

TEST(SharedCountTest, WeakReferenceExpiresExactlyWithTheLastHolder) {
  std::atomic<int> live{0};
  Fdisk::SharedPtr<Counted> first(new Counted(live));
  Fdisk::WeakPtr<Counted> weak(first);
  Fdisk::SharedPtr<Counted> second = weak.Lock();
  ASSERT_TRUE(second);
  EXPECT_EQ(second.get(), first.get());
  EXPECT_EQ(first.UseCount(), 2);

  first.reset();
  EXPECT_FALSE(weak.Expired());
  EXPECT_EQ(live, 1);
  second.reset();
  EXPECT_TRUE(weak.Expired());
  EXPECT_EQ(live, 0);
  EXPECT_FALSE(weak.Lock());
}

TEST(SharedCountTest, UpgradingAnExpiredReferenceThrowsBadWeakPtr) {
  std::atomic<int> live{0};
  Fdisk::WeakPtr<Counted> weak;
  {
    Fdisk::SharedPtr<Counted> shared(new Counted(live));
    weak = Fdisk::WeakPtr<Counted>(shared);
  }
  try {
    Fdisk::SharedPtr<Counted> revived(weak);
    FAIL() << "expired reference upgraded";
  } catch (const Fdisk::BadWeakPtr& error) {
    EXPECT_EQ(error.Code(), Code::kWeakReferenceExpired);
    EXPECT_STREQ(error.Function(), "SharedCount");
    EXPECT_EQ(error.Message(), u"A weak reference has expired.");
  }
  // An empty weak reference is expired too.
  EXPECT_THROW(Fdisk::SharedPtr<Counted>{Fdisk::WeakPtr<Counted>()}, Common::Error);
}

TEST(SharedCountTest, CopiesAndMovesKeepTheCountsBalanced) {
  std::atomic<int> live{0};
  Fdisk::SharedPtr<Counted> a(new Counted(live));
  {
    Fdisk::SharedPtr<Counted> b = a;
    Fdisk::SharedPtr<Counted> c = std::move(b);
    EXPECT_FALSE(b);
    EXPECT_EQ(a.UseCount(), 2);
    c = a;  // self-family assignment
    EXPECT_EQ(a.UseCount(), 2);
  }
  EXPECT_EQ(a.UseCount(), 1);
  Fdisk::WeakPtr<Counted> weak(a);
  Fdisk::WeakPtr<Counted> weakCopy = weak;
  a.reset();
  EXPECT_EQ(live, 0);
  EXPECT_TRUE(weakCopy.Expired());
}

// Many threads upgrade and drop while one holder leaves: nobody may revive the
// object after its last holder went, and it is destroyed exactly once.
TEST(SharedCountTest, ConcurrentUpgradesNeverReviveADeadObject) {
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> live{0};
    Fdisk::SharedPtr<Counted> owner(new Counted(live));
    Fdisk::WeakPtr<Counted> weak(owner);
    std::atomic<bool> go{false};
    std::atomic<int> revivedAfterDeath{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < 200; ++i) {
          Fdisk::SharedPtr<Counted> locked = weak.Lock();
          if (locked && live.load() != 1) ++revivedAfterDeath;
        }
      });
    }
    go = true;
    owner.reset();
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(revivedAfterDeath, 0);
    EXPECT_EQ(live, 0);
    EXPECT_TRUE(weak.Expired());
  }
}

}  // namespace
