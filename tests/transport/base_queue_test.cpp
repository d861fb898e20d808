// qyn-test-labels: unit
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "qynBase_Classes.h"

namespace {

class TNamedItem : public TqynQueueItemBase {
public:
  TNamedItem(const std::string& aID, int aTag) : Tag(aTag) { SetID(aID); }
  ~TNamedItem() override { ++Destroyed; }
  int Tag;
  static inline std::atomic<int> Destroyed{0};
};

// An item whose ID is computed from its own field, as the protocol queues do.
class TComputedItem : public TqynQueueItemBase {
public:
  explicit TComputedItem(int aNumber) : Number(aNumber) {}
  std::string ID() const override { return "n" + std::to_string(Number); }
  int Number;
};

std::shared_ptr<TNamedItem> Item(const std::string& aID, int aTag) { return std::make_shared<TNamedItem>(aID, aTag); }

} // namespace

TEST(ThreadList, DuplicatesModes) {
  int a = 1, b = 2;
  {
    TqynThreadList<int*> list;
    EXPECT_EQ(list.Duplicates(), dupIgnore);
    EXPECT_EQ(list.ListType(), tdlOnlyThread);
    EXPECT_TRUE(list.IsEmpty());
    list.Add(&a);
    list.Add(&a);
    list.AddKey(&b, "ignored key");
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.GetValue("ignored key"), nullptr);
  }
  {
    TqynThreadList<int*> list;
    list.SetDuplicates(dupAccept);
    list.Add(&a);
    list.Add(&a);
    EXPECT_EQ(list.Count(), 2);
  }
  {
    TqynThreadList<int*> list;
    list.SetDuplicates(dupError);
    list.Add(&a);
    try {
      list.Add(&a);
      FAIL() << "no exception";
    } catch (const EListError& E) {
      EXPECT_EQ(E.Message().rfind("List does not allow duplicates ($0", 0), 0u) << E.Message();
      EXPECT_EQ(E.Message().back(), ')');
    }
    EXPECT_EQ(list.Count(), 1);
  }
}

TEST(ThreadList, RemoveDirectionsDeleteAndLockList) {
  int a = 1, b = 2;
  TqynThreadList<int*> list;
  list.SetDuplicates(dupAccept);
  for (int* p : {&a, &b, &a, &b}) list.Add(p);
  list.RemoveItem(&a, FromEnd); // the later &a
  {
    auto& items = list.LockList();
    EXPECT_EQ(items, (std::vector<int*>{&a, &b, &b}));
    list.UnlockList();
  }
  list.Remove(&b); // the first &b
  {
    auto& items = list.LockList();
    EXPECT_EQ(items, (std::vector<int*>{&a, &b}));
    list.UnlockList();
  }
  list.Remove(nullptr); // absent: nothing happens
  EXPECT_EQ(list.Count(), 2);
  list.DeleteKey(0, "x");
  EXPECT_TRUE(list.Contains(&b));
  EXPECT_THROW(list.Delete(5), EListError);
  list.Clear();
  EXPECT_TRUE(list.IsEmpty());
}

TEST(ThreadList, LockListBlocksOtherThreads) {
  TqynThreadList<int*> list;
  int a = 1;
  list.LockList();
  std::atomic<bool> added{false};
  std::thread t([&] {
    list.Add(&a);
    added = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(added.load());
  list.UnlockList();
  t.join();
  EXPECT_TRUE(added.load());
}

TEST(QueueBase, DeleteItemByIDRemovesOnlyTheFirstMatch) {
  TqynQueue queue;
  queue.SetOwnObjects(true);
  queue.AddItem(Item("same", 1));
  queue.AddItem(Item("other", 2));
  queue.AddItem(Item("same", 3));
  EXPECT_TRUE(queue.DeleteItem(std::string("same")));
  ASSERT_EQ(queue.Count(), 2);
  EXPECT_EQ(queue.GetItemByIndexAs<TNamedItem>(0)->Tag, 2);
  EXPECT_EQ(queue.GetItemAs<TNamedItem>("same")->Tag, 3);
  EXPECT_TRUE(queue.DeleteItem(std::string("same")));
  EXPECT_FALSE(queue.DeleteItem(std::string("same")));
  EXPECT_FALSE(queue.DeleteItem(std::string("SAME"))); // case-sensitive
  EXPECT_EQ(queue.Count(), 1);
}

TEST(QueueBase, LookupsByIDAndIndex) {
  TqynQueue queue;
  EXPECT_FALSE(queue.OwnObjects());
  queue.AddItem(std::make_shared<TComputedItem>(7));
  queue.AddItem(std::make_shared<TComputedItem>(8));
  EXPECT_EQ(queue.GetItem("n8"), queue.GetItem(1));
  EXPECT_EQ(queue.GetItem("n7"), queue.GetItemByIndex(0));
  EXPECT_EQ(queue.GetItem("n9"), nullptr);
  EXPECT_EQ(queue.GetItem(2), nullptr);
  EXPECT_EQ(queue.GetItemByIndex(-1), nullptr);
  EXPECT_EQ(queue.GetItemAs<TNamedItem>("n7"), nullptr); // other class
  EXPECT_FALSE(queue.DeleteItem(2));
  EXPECT_FALSE(queue.DeleteItem(-1));
  EXPECT_TRUE(queue.DeleteItem(0));
  EXPECT_EQ(std::static_pointer_cast<TComputedItem>(queue.GetItem(0))->Number, 8);
  queue.AddItem(nullptr); // ignored
  EXPECT_EQ(queue.Count(), 1);
}

TEST(QueueBase, ClearFreesOwnedItemsAndSharedItemsOutliveDeletion) {
  TNamedItem::Destroyed = 0;
  TqynQueue queue;
  queue.SetOwnObjects(true);
  for (int i = 0; i < 3; ++i) queue.AddItem(Item("i" + std::to_string(i), i));
  auto kept = queue.GetItemAs<TNamedItem>("i1"); // a caller holding an item
  queue.Clear();
  EXPECT_EQ(queue.Count(), 0);
  EXPECT_EQ(TNamedItem::Destroyed.load(), 2);
  EXPECT_EQ(kept->Tag, 1); // still valid
  kept.reset();
  EXPECT_EQ(TNamedItem::Destroyed.load(), 3);
}

TEST(QueueBase, ConcurrentAddAndDelete) {
  TqynQueue queue;
  queue.SetOwnObjects(true);
  constexpr int KPerThread = 500;
  auto worker = [&](int aBase) {
    for (int i = 0; i < KPerThread; ++i) queue.AddItem(Item(std::to_string(aBase + i), i));
    for (int i = 0; i < KPerThread; i += 2) EXPECT_TRUE(queue.DeleteItem(std::to_string(aBase + i)));
  };
  std::thread t1(worker, 0), t2(worker, 100000);
  t1.join();
  t2.join();
  EXPECT_EQ(queue.Count(), KPerThread);
}
