// The session table's free slots and the end-of-turn list, without the
// engine: which slot a connect gets, and which sessions a turn visits.
#include <gtest/gtest.h>

#include <vector>

#include "engine/FreeSlots.h"
#include "engine/TurnList.h"

namespace {

std::vector<int32_t> TakeAll(TFreeSlots& slots) {
  std::vector<int32_t> taken;
  for (int32_t slot = slots.TakeLowest(); slot >= 0; slot = slots.TakeLowest())
    taken.push_back(slot);
  return taken;
}

TEST(FreeSlots, AConnectTakesTheLowestReusableSlotWhateverTheOrderTheyWereFreed) {
  TFreeSlots slots;
  EXPECT_FALSE(slots.AnyReusable());
  EXPECT_EQ(slots.TakeLowest(), -1);
  for (int32_t slot : {999, 64, 3, 130, 63, 0}) slots.FreeNow(slot);
  EXPECT_TRUE(slots.AnyReusable());
  EXPECT_EQ(TakeAll(slots), (std::vector<int32_t>{0, 3, 63, 64, 130, 999}));
  EXPECT_FALSE(slots.AnyReusable());
}

TEST(FreeSlots, DelayedSlotsRipenInTheOrderTheyWereFreedAndNoneBeforeItsTime) {
  TFreeSlots slots;
  for (int32_t slot : {40, 7, 900}) slots.FreeAfterDelay(slot);
  EXPECT_FALSE(slots.AnyReusable());
  EXPECT_EQ(slots.OldestWaiting(), 40);

  // 7 would pass, but 40 was freed before it and does not: the look ends there.
  slots.Ripen([](int32_t slot) { return slot == 7; });
  EXPECT_FALSE(slots.AnyReusable());
  slots.Ripen([](int32_t slot) { return slot != 900; });
  EXPECT_EQ(slots.OldestWaiting(), 900);
  EXPECT_EQ(TakeAll(slots), (std::vector<int32_t>{7, 40}));

  slots.Ripen([](int32_t) { return true; });
  EXPECT_EQ(slots.OldestWaiting(), -1);
  EXPECT_EQ(TakeAll(slots), (std::vector<int32_t>{900}));
}

TEST(FreeSlots, TheWaitingRingKeepsItsOrderAcrossManyRounds) {
  TFreeSlots slots;
  // A full table freed and ripened three times over, half a table at a time,
  // so the ring wraps at every point.
  int32_t next = 0;
  for (int round = 0; round < 6; ++round) {
    std::vector<int32_t> freed;
    for (int i = 0; i < MAXGATEUSERCOUNT / 2; ++i) {
      freed.push_back(next);
      slots.FreeAfterDelay(next);
      next = (next + 7) % MAXGATEUSERCOUNT;
    }
    std::vector<int32_t> ripened;
    slots.Ripen([&](int32_t slot) {
      ripened.push_back(slot);
      return true;
    });
    EXPECT_EQ(ripened, freed) << "round " << round;
    EXPECT_EQ(TakeAll(slots).size(), freed.size());
  }
  slots.FreeNow(5);
  slots.FreeAfterDelay(6);
  slots.Clear();
  EXPECT_FALSE(slots.AnyReusable());
  EXPECT_EQ(slots.OldestWaiting(), -1);
}

TEST(TurnList, EachConnectionIsListedOnceUntilItsVisitStarts) {
  TTurnList turn;
  EXPECT_TRUE(turn.Empty());
  EXPECT_TRUE(turn.Add(3, 101));
  EXPECT_FALSE(turn.Add(3, 101));
  // The record was reused by another connection: both are named, and the
  // visit of the stale one finds a handle that no longer matches.
  EXPECT_TRUE(turn.Add(3, 102));
  EXPECT_TRUE(turn.Add(8, 201));
  EXPECT_FALSE(turn.Add(-1, 1));
  EXPECT_FALSE(turn.Add(MAXGATEUSERCOUNT, 1));

  const std::vector<TSlotRef>& taken = turn.Take();
  ASSERT_EQ(taken.size(), 3u);
  EXPECT_TRUE(turn.Empty());
  EXPECT_EQ(taken[0].nHandle, 101u);
  EXPECT_EQ(taken[2].nSlot, 8);

  turn.Visiting(taken[0]);  // 101 no longer stands for slot 3: nothing to clear
  EXPECT_FALSE(turn.Add(3, 102));
  turn.Visiting(taken[1]);
  // A visit that adds a session still ahead in this turn's list adds nothing;
  // one whose visit has started goes on the next list.
  EXPECT_FALSE(turn.Add(8, 201));
  EXPECT_TRUE(turn.Add(3, 102));
  turn.Visiting(taken[2]);
  EXPECT_TRUE(turn.Add(8, 201));

  const std::vector<TSlotRef>& next = turn.Take();
  ASSERT_EQ(next.size(), 2u);
  EXPECT_EQ(next[0].nSlot, 3);
  EXPECT_EQ(next[1].nSlot, 8);
}

}  // namespace
