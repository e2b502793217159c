// The message loop: order of work, tick semantics of its timers, work from other threads,
// errors. Waits here are bounded generously; nothing asserts how fast anything is.
#include "platform/msgloop/msgloop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kavar::msgloop {
namespace {

using namespace std::chrono_literals;

TEST(MsgLoop, RunsPostedTasksInOrderThenTicksAndReturnsTheQuitCode) {
    Loop loop = Loop::Current();
    std::vector<std::string> seen;
    Timer timer;
    timer.SetInterval(1);
    timer.SetOnTimer([&] {
        seen.push_back("tick");
        timer.SetEnabled(false);
        loop.Quit(7);
    });
    std::this_thread::sleep_for(5ms);
    timer.SetEnabled(true);
    std::this_thread::sleep_for(5ms);  // the tick is due before the tasks run
    loop.Post([&] { seen.push_back("a"); });
    loop.Post([&] { seen.push_back("b"); });
    EXPECT_EQ(loop.Run(), 7);
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "tick"}));
    EXPECT_FALSE(loop.ProcessMessages());  // nothing left
}

TEST(MsgLoop, ALateTickIsDeliveredOnceNotOncePerMissedPeriod) {
    Loop loop = Loop::Current();
    int ticks = 0;
    Timer timer;
    timer.SetOnTimer([&] { ++ticks; });
    timer.SetInterval(5);
    timer.SetEnabled(true);
    std::this_thread::sleep_for(100ms);  // twenty periods pass unserved
    EXPECT_TRUE(loop.ProcessMessages());
    EXPECT_EQ(ticks, 1);
    EXPECT_FALSE(loop.ProcessMessages());
    EXPECT_EQ(ticks, 1);
}

TEST(MsgLoop, ZeroIntervalNeverTicksAndDisablingDropsAPendingTick) {
    Loop loop = Loop::Current();
    int ticks = 0;
    Timer zero;
    zero.SetOnTimer([&] { ++ticks; });
    zero.SetInterval(0);
    zero.SetEnabled(true);
    Timer dropped;
    dropped.SetOnTimer([&] { ++ticks; });
    dropped.SetInterval(1);
    dropped.SetEnabled(true);
    std::this_thread::sleep_for(20ms);
    dropped.SetEnabled(false);
    EXPECT_FALSE(loop.RunFor(50ms));
    EXPECT_EQ(ticks, 0);
}

TEST(MsgLoop, ATickCanArriveInsideALongHandlerThatProcessesMessages) {
    // A long job on a tick (a send cycle) keeps its thread responsive; the ticks that fall
    // inside it reach the handler, which decides to ignore them.
    Loop loop = Loop::Current();
    bool busy = false;
    int started = 0, ignored = 0;
    Timer timer;
    timer.SetInterval(5);
    timer.SetOnTimer([&] {
        if (busy) {
            ++ignored;
            return;
        }
        busy = true;
        ++started;
        for (int i = 0; i < 10; ++i) {
            std::this_thread::sleep_for(10ms);
            loop.ProcessMessages();
        }
        busy = false;
        timer.SetEnabled(false);
        loop.Quit();
    });
    timer.SetEnabled(true);
    loop.Run();
    EXPECT_EQ(started, 1);
    EXPECT_GE(ignored, 1);
}

TEST(MsgLoop, OtherThreadsPostAndArmTimersThatRunOnTheOwnerThread) {
    Loop loop = Loop::Current();
    const auto owner = std::this_thread::get_id();
    std::atomic<bool> wrongThread{false};
    int ticks = 0;
    Timer timer(loop);
    timer.SetOnTimer([&] {
        wrongThread = wrongThread || std::this_thread::get_id() != owner;
        if (++ticks == 3) loop.Quit(3);
    });
    std::thread other([&, loop] {
        // The loop is already blocked waiting: arming must wake it.
        std::this_thread::sleep_for(20ms);
        loop.Post([&] { wrongThread = wrongThread || std::this_thread::get_id() != owner; });
        timer.SetInterval(2);
        timer.SetEnabled(true);
    });
    EXPECT_EQ(loop.Run(), 3);
    other.join();
    EXPECT_FALSE(wrongThread);
}

TEST(MsgLoop, ErrorsGoToTheHandlerAndTheLoopGoesOn) {
    Loop loop = Loop::Current();
    loop.Post([] { throw std::runtime_error("escaped"); });
    EXPECT_THROW(loop.ProcessMessages(), std::runtime_error);

    std::vector<std::string> errors;
    loop.SetErrorHandler([&](std::exception_ptr e) {
        try {
            std::rethrow_exception(e);
        } catch (const std::exception& x) {
            errors.push_back(x.what());
        }
    });
    int ticks = 0;
    Timer timer;
    timer.SetInterval(1);
    timer.SetOnTimer([&] {
        if (++ticks == 2) loop.Quit();
        throw std::runtime_error("tick " + std::to_string(ticks));
    });
    timer.SetEnabled(true);
    loop.Run();
    EXPECT_EQ(errors, (std::vector<std::string>{"tick 1", "tick 2"}));
    loop.SetErrorHandler(nullptr);
}

}  // namespace
}  // namespace kavar::msgloop
