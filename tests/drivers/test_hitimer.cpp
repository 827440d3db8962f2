#include "drivers/MMHTimer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "wave_test_util.h"

namespace strataeq {
namespace {

using namespace std::chrono_literals;

constexpr auto kWait = std::chrono::seconds(20);

TEST(HiTimer, NoTimerRunsWithoutIntervalEnablingOrHandler) {
  TMMHiTimer t;
  EXPECT_EQ(t.TimerID(), 0u) << "no handler";
  t.OnTimer = [](TObject*) {};
  EXPECT_NE(t.TimerID(), 0u);
  t.SetInterval(0);
  EXPECT_EQ(t.TimerID(), 0u);
  t.SetInterval(50);
  EXPECT_NE(t.TimerID(), 0u);
  t.SetEnabled(false);
  EXPECT_EQ(t.TimerID(), 0u);
  t.SetEnabled(true);
  const std::uint32_t id = t.TimerID();
  t.SetEnabled(true);
  EXPECT_EQ(t.TimerID(), id) << "setting the current value rebuilds nothing";
  t.OnTimer = nullptr;
  EXPECT_EQ(t.TimerID(), 0u);
}

class HiTimerModes : public ::testing::TestWithParam<TMMCBMode> {};

TEST_P(HiTimerModes, TicksReachTheMainThread) {
  TMMHiTimer t;
  t.SetInterval(5);
  t.SetCallBackMode(GetParam());
  std::atomic<int> ticks{0};
  std::atomic<bool> elsewhere{false};
  t.OnTimer = [&](TObject* sender) {
    EXPECT_EQ(sender, &t);
    if (!IsMainThread()) elsewhere = true;
    ++ticks;
  };
  ASSERT_TRUE(RunUntil([&] { return ticks >= 5; }, kWait));
  t.SetEnabled(false);
  EXPECT_FALSE(elsewhere);
}

INSTANTIATE_TEST_SUITE_P(CallBackModes, HiTimerModes, ::testing::Values(TMMCBMode::cmWindow, TMMCBMode::cmThread),
                         [](const auto& info) { return info.param == TMMCBMode::cmWindow ? "cmWindow" : "cmThread"; });

TEST(HiTimer, WindowTicksQueueAtMostTenWhileTheMainThreadIsBlocked) {
  TMMHiTimer t;
  t.SetInterval(2);
  int ticks = 0;
  t.OnTimer = [&](TObject*) { ++ticks; };
  std::this_thread::sleep_for(200ms);  // about a hundred periods without a message loop
  EXPECT_EQ(PendingMessageCount(0, MM_TIMERTICK, MM_TIMERTICK), 10);
  t.SetEnabled(false);
  EXPECT_EQ(PendingMessageCount(0, MM_TIMERTICK, MM_TIMERTICK), 0) << "a rebuild drops the queued ticks";
  ProcessPendingMessages();
  EXPECT_EQ(ticks, 0);
}

TEST(HiTimer, SynchronisedThreadTicksArrivingDuringATickCollapseIntoOne) {
  TMMHiTimer t;
  t.SetInterval(2);
  t.SetCallBackMode(TMMCBMode::cmThread);
  std::atomic<int> ticks{0};
  t.OnTimer = [&](TObject*) { ++ticks; };
  std::this_thread::sleep_for(200ms);  // the timer thread waits on us with one tick
  const auto start = std::chrono::steady_clock::now();
  ProcessPendingMessages();
  // The waiting tick, the one all the others collapsed into, and the new ones due while
  // we dispatched (a loaded machine may keep us dispatching for several periods).
  const auto periods = (std::chrono::steady_clock::now() - start) / 2ms;
  EXPECT_GE(ticks, 1);
  EXPECT_LE(ticks, 3 + periods);
  t.SetEnabled(false);
}

TEST(HiTimer, DisablingFromInsideASynchronisedTickReturnsAtOnce) {
  TMMHiTimer t;
  t.SetInterval(5);
  t.SetCallBackMode(TMMCBMode::cmThread);
  t.SetWaitForTerminate(true);
  int ticks = 0;
  std::chrono::steady_clock::duration took{};
  t.OnTimer = [&](TObject*) {
    ++ticks;
    const auto start = std::chrono::steady_clock::now();
    t.SetEnabled(false);
    took = std::chrono::steady_clock::now() - start;
  };
  ASSERT_TRUE(RunUntil([&] { return ticks == 1; }, kWait));
  EXPECT_EQ(t.TimerID(), 0u);
  // Waiting for the timer thread here would have run into its 5 s time-out: the
  // thread is blocked in this very tick.
  EXPECT_LT(took, 2500ms);
  std::this_thread::sleep_for(30ms);
  ProcessPendingMessages();
  EXPECT_EQ(ticks, 1) << "no tick after disabling";
}

TEST(HiTimer, UnsynchronisedThreadTicksRunOnTheTimerThread) {
  TMMHiTimer t;
  t.SetInterval(2);
  t.SetCallBackMode(TMMCBMode::cmThread);
  t.SetSynchronize(false);
  t.SetPriority(TThreadPriority::tpHigher);
  std::atomic<int> ticks{0};
  std::atomic<bool> onMain{false};
  t.OnTimer = [&](TObject*) {
    if (IsMainThread()) onMain = true;
    ++ticks;
  };
  for (int i = 0; i < 2000 && ticks < 5; ++i) std::this_thread::sleep_for(5ms);
  t.SetEnabled(false);
  EXPECT_GE(ticks, 5);
  EXPECT_FALSE(onMain);
}

TEST(HiTimer, CallbackModeIsRefusedWithAWarning) {
  test::TAppCapture app;
  TMMHiTimer t;
  t.SetCallBackMode(TMMCBMode::cmCallback);
  EXPECT_EQ(t.CallBackMode(), TMMCBMode::cmWindow);
  ASSERT_EQ(app.Boxes().size(), 1u);
  EXPECT_EQ(app.Boxes()[0],
            "TMMHiTimer|\"CallBacks\" are called at interrupt time !\n\rThis is currently only supported under Windows 95");
}

TEST(HiTimer, AnExceptionInATickGoesToTheApplicationHandler) {
  test::TAppCapture app;
  TMMHiTimer t;
  t.SetInterval(5);
  t.OnTimer = [&](TObject*) { throw EMMError("tick failed"); };
  ASSERT_TRUE(RunUntil([&] { return !app.Exceptions().empty(); }, kWait));
  t.SetEnabled(false);
  EXPECT_EQ(app.Exceptions()[0], "tick failed");
}

TEST(CpuUsage, BusyShareBetweenTwoReadingsOfProcStat) {
  const TCpuTimes a = ParseCpuTimes("cpu  100 0 50 800 50 0 0 0 0 0\ncpu0 1 2 3 4\n");
  ASSERT_TRUE(a.Valid);
  EXPECT_EQ(a.Total, 1000u);
  EXPECT_EQ(a.Busy, 150u);
  const TCpuTimes b = ParseCpuTimes("intr 5\ncpu  160 0 70 900 70 0 0 0 0 0\n");
  ASSERT_TRUE(b.Valid);
  EXPECT_EQ(CpuUsageBetween(a, b), 40);  // 80 busy of 200
  EXPECT_EQ(CpuUsageBetween(b, a), 0) << "never negative";
  EXPECT_EQ(CpuUsageBetween(a, a), 0);
  EXPECT_FALSE(ParseCpuTimes("cpu0 1 2 3 4\n").Valid);
  EXPECT_FALSE(ParseCpuTimes("garbage").Valid);
  // The program's own share: its user and system ticks over the machine's total.
  const std::string stat = "4242 (strataeq cli) S 1 2 3 4 5 6 7 8 9 10 ";
  EXPECT_EQ(ParseProcessCpuTicks(stat + "7 3 0 0 20 0 1"), 10);
  EXPECT_EQ(ParseProcessCpuTicks(stat + "7"), -1) << "cut short";
  EXPECT_EQ(ParseProcessCpuTicks("4242 strataeq S 1"), -1);
  EXPECT_EQ(ProcessCpuShareBetween(a, 10, b, 22), 6);  // 12 ticks of 200
  EXPECT_EQ(ProcessCpuShareBetween(a, -1, b, 22), 0) << "no earlier reading";
  std::ifstream self("/proc/self/stat");
  const std::string own((std::istreambuf_iterator<char>(self)), std::istreambuf_iterator<char>());
  EXPECT_GE(ParseProcessCpuTicks(own), 0) << own;
  const std::int32_t usage = GetCpuUsage();
  EXPECT_GE(usage, 0);
  EXPECT_LE(usage, 100);
}

TEST(Microseconds, FollowTheSteadyClockInWholeNumbers) {
  const double a = GetMicroseconds();
  std::this_thread::sleep_for(2ms);
  const double b = GetMicroseconds();
  EXPECT_GE(b - a, 2000.0);
  EXPECT_EQ(a, static_cast<double>(static_cast<std::int64_t>(a)));
}

}  // namespace
}  // namespace strataeq
