// A per-thread message loop with timers, for the programs that have no window system.
//
// Each thread has one queue. Other threads post tasks to it; timers that belong to it tick
// on it. Timers behave like window timers: a tick is a flag, not a queued item, so a loop
// that falls behind sees one pending tick, never a backlog; an interval of 0 never ticks;
// posted tasks go before ticks. Handlers may call ProcessMessages() again (a long job that
// keeps its thread responsive), so a tick can arrive inside the handler of an earlier one.
// Waiting blocks on a condition variable until the next timer deadline: an idle loop costs
// nothing.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <memory>

namespace kavar::msgloop {

namespace detail {
struct LoopCore;
struct TimerCore;
}  // namespace detail

// A handle to one thread's loop; copies refer to the same loop and stay valid after the
// thread has ended (posting to it then does nothing useful, but is safe).
class Loop {
  public:
    // The calling thread's loop, created on first use.
    static Loop Current();

    // Thread-safe: queues a task to run on the loop's thread.
    void Post(std::function<void()> task) const;
    // Thread-safe: makes Run return (after the tasks already queued) with this code.
    void Quit(int exitCode = 0) const;

    // On the loop's thread only. Handles what is pending now (queued tasks, then due
    // ticks) without waiting. Returns whether anything was handled.
    bool ProcessMessages() const;
    // Handles messages, waiting for them, until Quit. Returns Quit's code and clears the
    // quit request so the loop can run again.
    int Run() const;
    // Handles messages until the time is up or Quit is requested (then true).
    bool RunFor(std::chrono::milliseconds duration) const;

    // Where an exception escaping a task or a tick goes. Without a handler it leaves
    // ProcessMessages/Run to the caller.
    void SetErrorHandler(std::function<void(std::exception_ptr)> handler) const;

    bool operator==(const Loop& other) const { return core_ == other.core_; }

  private:
    friend class Timer;
    explicit Loop(std::shared_ptr<detail::LoopCore> core) : core_(std::move(core)) {}
    std::shared_ptr<detail::LoopCore> core_;
};

// A timer whose ticks run on its loop's thread. Its settings may be changed from any
// thread (a service thread arming the main thread's timer). Changing the interval or
// enabling restarts the period; disabling drops a pending tick. Destroy it on its loop's
// thread or when that loop no longer runs.
class Timer {
  public:
    explicit Timer(Loop loop = Loop::Current());
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void SetOnTimer(std::function<void()> handler);
    void SetInterval(unsigned milliseconds);
    unsigned Interval() const;
    void SetEnabled(bool enabled);
    bool Enabled() const;

  private:
    Loop loop_;
    std::shared_ptr<detail::TimerCore> core_;
};

}  // namespace kavar::msgloop
