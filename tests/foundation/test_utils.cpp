#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "foundation/MMUtils.h"
#include "platform/Messages.h"
#include "platform/System.h"

namespace strataeq {
namespace {

TEST(MulDivRound, RoundsHalfUpWithoutOverflow) {
  EXPECT_EQ(MulDivRound(1, 1, 2), 1);    // 0.5 -> 1
  EXPECT_EQ(MulDivRound(1, 1, 3), 0);    // 0.33 -> 0
  EXPECT_EQ(MulDivRound(2, 1, 3), 1);    // 0.67 -> 1
  EXPECT_EQ(MulDivRound(5, 3, 2), 8);    // 7.5 -> 8
  EXPECT_EQ(MulDivRound(2000000000, 2, 4), 1000000000);  // the product needs 64 bits
  EXPECT_EQ(MulDivTrunc(2, 1, 3), 0);
}

TEST(FormatTimeString, UsesTotalMinutesBelowAnHourAndHoursFromThenOn) {
  EXPECT_EQ(FormatTimeString(3599999, true), "59:59.999");
  EXPECT_EQ(FormatTimeString(3600000, false), "1:00:00");
  EXPECT_EQ(FormatTimeString(61000, false), "1:01");
  EXPECT_EQ(FormatTimeString(0, true), "0:00.000");
  EXPECT_EQ(FormatTimeString(3723004, true), "1:02:03.004");
  EXPECT_EQ(FormatTimeString(5, false), "0:00");
}

TEST(DeviceId, NamedValuesReadInAnyCase) {
  EXPECT_EQ(DeviceIdToString(MapperId), "MapperId");
  EXPECT_EQ(DeviceIdToString(InvalidId), "InvalidId");
  EXPECT_EQ(DeviceIdToString(3), "3");
  EXPECT_EQ(StringToDeviceId("mapperid"), MapperId);
  EXPECT_EQ(StringToDeviceId("INVALIDID"), InvalidId);
  EXPECT_EQ(StringToDeviceId("7"), 7);
  EXPECT_THROW(StringToDeviceId("seven"), EMMError);
  EXPECT_THROW(StringToDeviceId(""), EMMError);
}

TEST(MessageTable, KnowsTheSharedTexts) {
  EXPECT_EQ(LoadResString(msg::InvalidWaveFormat), "Invalid WaveFormat");
  EXPECT_EQ(LoadResString(msg::PropertyWhileOpen), "Change to property while device was open");
  EXPECT_EQ(LoadResString(99999), "");
}

TEST(DiskSpace, FailedQueryGivesZeroOfOneAndNoSpace) {
  SetDiskSpaceQuery([](const std::string&) { return TDiskSpace{123, 456, false}; });
  const TDiskSpace r = DiskSpace("/anywhere");
  EXPECT_FALSE(r.Success);
  EXPECT_EQ(r.Free, 0);
  EXPECT_EQ(r.Total, 1);
  EXPECT_FALSE(HasDiskSpace("/anywhere", 0));
  SetDiskSpaceQuery([](const std::string&) { return TDiskSpace{1000, 2000, true}; });
  EXPECT_TRUE(HasDiskSpace("/x", 1000));
  EXPECT_FALSE(HasDiskSpace("/x", 1001));
  SetDiskSpaceQuery(nullptr);
  const TDiskSpace real = DiskSpace("/tmp/no-such-file-here.wav");
  EXPECT_TRUE(real.Success);
  EXPECT_GT(real.Total, 0);
}

TEST(SystemVersion, LinuxAnswersAsAModernSystem) {
  EXPECT_FALSE(IsWin95());
  EXPECT_FALSE(IsWin98());
  EXPECT_FALSE(IsWinNT3());
  EXPECT_TRUE(IsWinNT4());
}

TEST(Delay, WithMessagesServesTheQueueMeanwhile) {
  int handled = 0;
  TNotifyWindow window([&](TMessage& m) { handled += static_cast<int>(m.WParam); });
  std::thread poster([&] { PostMessage(window.Handle(), 1000, 5); });
  poster.join();
  Delay(30, true);
  EXPECT_EQ(handled, 5);
  // Without message processing nothing is dispatched.
  PostMessage(window.Handle(), 1000, 7);
  Delay(5, false);
  EXPECT_EQ(handled, 5);
  ProcessPendingMessages();
  EXPECT_EQ(handled, 12);
}

}  // namespace
}  // namespace strataeq
