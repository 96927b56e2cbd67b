// Which records the run tick visits, without the engine: awake records in
// slot order, and deadlines that wake their record at their time and never
// one of the record's next life.
#include "engine/TickSchedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<int32_t> AwakeSlots(const TTickSchedule& t, int32_t from = 0) {
  std::vector<int32_t> slots;
  for (int32_t s = t.NextAwake(from); s >= 0; s = t.NextAwake(s + 1)) slots.push_back(s);
  return slots;
}

TEST(TickSchedule, AwakeRecordsComeInSlotOrderFromAnyStart) {
  TTickSchedule t(5000);
  EXPECT_EQ(t.NextAwake(0), -1);
  for (int32_t slot : {4999, 64, 3, 130, 63, 0, 3}) t.Wake(slot);
  t.Wake(-1);
  t.Wake(5000);  // outside the table: nothing
  EXPECT_EQ(t.AwakeCount(), 6u);
  EXPECT_EQ(AwakeSlots(t), (std::vector<int32_t>{0, 3, 63, 64, 130, 4999}));
  // A pass that stopped on its budget resumes where it stood.
  EXPECT_EQ(AwakeSlots(t, 64), (std::vector<int32_t>{64, 130, 4999}));
  EXPECT_EQ(t.NextAwake(5000), -1);
  t.Rest(63);
  t.Rest(63);
  t.Rest(4999);
  EXPECT_EQ(t.AwakeCount(), 4u);
  EXPECT_EQ(AwakeSlots(t, 4), (std::vector<int32_t>{64, 130}));
  EXPECT_FALSE(t.Awake(63));
  EXPECT_TRUE(t.Awake(64));
}

TEST(TickSchedule, EachDeadlineWakesItsIdleRecordAtItsTimeAndNotBefore) {
  TTickSchedule t(1000);
  t.Arm(7, 15000);  // a login timeout
  t.Arm(9, 1501);   // a kick
  t.Arm(500, 60000);
  t.Ripen(1500);
  EXPECT_EQ(t.AwakeCount(), 0u);
  t.Ripen(1501);
  EXPECT_EQ(AwakeSlots(t), std::vector<int32_t>{9});
  t.Rest(9);
  t.Ripen(14999);
  EXPECT_EQ(t.AwakeCount(), 0u);
  // A tick that comes late still wakes every record whose time has passed, once.
  t.Ripen(70000);
  EXPECT_EQ(AwakeSlots(t), (std::vector<int32_t>{7, 500}));
  t.Rest(7);
  t.Rest(500);
  t.Ripen(1u << 30);
  EXPECT_EQ(t.AwakeCount(), 0u);
  EXPECT_EQ(t.Held(), 0u);
}

TEST(TickSchedule, TheEarliestDeadlineOfARecordIsKept) {
  TTickSchedule t(10);
  t.Arm(4, 15000);
  t.Arm(4, 20000);  // later: the visit at 15000 arms it again if still due
  EXPECT_EQ(t.ArmedAt(4), 15000u);
  t.Arm(4, 1501);
  EXPECT_EQ(t.ArmedAt(4), 1501u);
  t.Ripen(1501);
  EXPECT_TRUE(t.Awake(4));
  EXPECT_EQ(t.ArmedAt(4), TTickSchedule::kNever);
  // The 15000 entry was replaced: it wakes nothing.
  t.Rest(4);
  t.Ripen(15000);
  EXPECT_FALSE(t.Awake(4));
}

TEST(TickSchedule, NoDeadlineFiresForAFreedOrReusedRecord) {
  TTickSchedule t(100);
  t.Arm(3, 15000);  // the connection on slot 3 waits for its login
  t.Arm(4, 1501);
  t.Renew(3);  // it left: the record is freed
  t.Renew(4);  // freed, then taken by the next connection
  t.Renew(4);
  t.Arm(4, 30000);  // whose own login timeout is later
  t.Ripen(29999);
  EXPECT_EQ(t.AwakeCount(), 0u);
  t.Ripen(30000);
  EXPECT_EQ(AwakeSlots(t), std::vector<int32_t>{4});
  // The same time armed again after a reuse: only the new life's fires.
  t.Rest(4);
  t.Arm(5, 40000);
  t.Renew(5);
  t.Arm(5, 40000);
  t.Ripen(40000);
  EXPECT_EQ(AwakeSlots(t), std::vector<int32_t>{5});
  EXPECT_EQ(t.Held(), 0u);
}

TEST(TickSchedule, AChurnOfShortConnectionsDoesNotGrowTheHeldDeadlines) {
  TTickSchedule t(64);
  // Every connection arms a login timeout and leaves before it: a million
  // of them on 64 records.
  for (uint64_t i = 0; i < 1000000; ++i) {
    const auto slot = static_cast<int32_t>(i % 64);
    t.Arm(slot, 15000 + i);
    t.Renew(slot);
  }
  EXPECT_LE(t.Held(), 4u * 64 + 64);
  t.Ripen(UINT64_MAX - 1);
  EXPECT_EQ(t.AwakeCount(), 0u);
}

}  // namespace
