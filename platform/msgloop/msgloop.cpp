#include "platform/msgloop/msgloop.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

namespace kavar::msgloop {

using Clock = std::chrono::steady_clock;

namespace detail {

struct TimerCore {
    // All fields are guarded by the owning loop's mutex.
    unsigned interval = 1000;
    bool enabled = false;
    bool pending = false;
    Clock::time_point deadline{};
    std::shared_ptr<const std::function<void()>> handler;

    bool Armed() const { return enabled && interval > 0; }
    void Restart(Clock::time_point now) {
        pending = false;
        deadline = now + std::chrono::milliseconds(interval);
    }
};

struct LoopCore {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> tasks;
    std::vector<std::shared_ptr<TimerCore>> timers;  // in creation order
    bool quit = false;
    int exitCode = 0;
    std::shared_ptr<const std::function<void(std::exception_ptr)>> errorHandler;

    // Marks due timers as pending (once, however late) and schedules their next period.
    void MarkDue(Clock::time_point now) {
        for (auto& timer : timers) {
            if (timer->Armed() && !timer->pending && now >= timer->deadline) {
                timer->pending = true;
                timer->deadline = now + std::chrono::milliseconds(timer->interval);
            }
        }
    }

    bool AnyPending() const {
        return std::any_of(timers.begin(), timers.end(),
                           [](const auto& t) { return t->Armed() && t->pending; });
    }

    std::optional<Clock::time_point> NextDeadline() const {
        std::optional<Clock::time_point> next;
        for (const auto& timer : timers) {
            if (timer->Armed() && (!next || timer->deadline < *next)) next = timer->deadline;
        }
        return next;
    }

    void Invoke(const std::function<void()>& work) {
        try {
            work();
        } catch (...) {
            std::shared_ptr<const std::function<void(std::exception_ptr)>> handler;
            {
                std::lock_guard lock(mutex);
                handler = errorHandler;
            }
            if (!handler) throw;
            (*handler)(std::current_exception());
        }
    }

    bool ProcessPending() {
        bool handled = false;
        size_t count;
        {
            std::lock_guard lock(mutex);
            count = tasks.size();
        }
        // Only what was queued on entry: a task that posts again cannot keep us here.
        for (size_t i = 0; i < count; ++i) {
            std::function<void()> task;
            {
                std::lock_guard lock(mutex);
                if (tasks.empty()) break;
                task = std::move(tasks.front());
                tasks.pop_front();
            }
            handled = true;
            Invoke(task);
        }
        std::set<const TimerCore*> ticked;
        for (;;) {
            std::shared_ptr<const std::function<void()>> handler;
            {
                std::lock_guard lock(mutex);
                MarkDue(Clock::now());
                for (auto& timer : timers) {
                    if (timer->Armed() && timer->pending && ticked.count(timer.get()) == 0) {
                        timer->pending = false;
                        ticked.insert(timer.get());
                        handler = timer->handler;
                        if (!handler) continue;
                        break;
                    }
                }
            }
            if (!handler) break;
            handled = true;
            Invoke(*handler);
        }
        return handled;
    }

    // Waits for work until the deadline; returns false when the deadline has passed.
    bool WaitForWork(std::optional<Clock::time_point> until) {
        std::unique_lock lock(mutex);
        for (;;) {
            if (quit || !tasks.empty()) return true;
            const auto now = Clock::now();
            MarkDue(now);
            if (AnyPending()) return true;
            if (until && now >= *until) return false;
            auto next = NextDeadline();
            if (until && (!next || *until < *next)) next = until;
            if (next) {
                wake.wait_until(lock, *next);
            } else {
                wake.wait(lock);
            }
        }
    }

    bool TakeQuit(int* code) {
        std::lock_guard lock(mutex);
        if (!quit) return false;
        quit = false;
        if (code) *code = exitCode;
        return true;
    }
};

}  // namespace detail

namespace {
thread_local std::shared_ptr<detail::LoopCore> tLoop;
}

Loop Loop::Current() {
    if (!tLoop) tLoop = std::make_shared<detail::LoopCore>();
    return Loop(tLoop);
}

void Loop::Post(std::function<void()> task) const {
    {
        std::lock_guard lock(core_->mutex);
        core_->tasks.push_back(std::move(task));
    }
    core_->wake.notify_all();
}

void Loop::Quit(int exitCode) const {
    {
        std::lock_guard lock(core_->mutex);
        core_->quit = true;
        core_->exitCode = exitCode;
    }
    core_->wake.notify_all();
}

bool Loop::ProcessMessages() const { return core_->ProcessPending(); }

int Loop::Run() const {
    int code = 0;
    for (;;) {
        core_->ProcessPending();
        if (core_->TakeQuit(&code)) return code;
        core_->WaitForWork(std::nullopt);
    }
}

bool Loop::RunFor(std::chrono::milliseconds duration) const {
    const auto until = Clock::now() + duration;
    for (;;) {
        core_->ProcessPending();
        if (core_->TakeQuit(nullptr)) return true;
        if (!core_->WaitForWork(until)) return false;
    }
}

void Loop::SetErrorHandler(std::function<void(std::exception_ptr)> handler) const {
    auto shared =
        handler
            ? std::make_shared<const std::function<void(std::exception_ptr)>>(std::move(handler))
            : nullptr;
    std::lock_guard lock(core_->mutex);
    core_->errorHandler = std::move(shared);
}

Timer::Timer(Loop loop) : loop_(std::move(loop)), core_(std::make_shared<detail::TimerCore>()) {
    std::lock_guard lock(loop_.core_->mutex);
    loop_.core_->timers.push_back(core_);
}

Timer::~Timer() {
    auto& loop = *loop_.core_;
    std::lock_guard lock(loop.mutex);
    loop.timers.erase(std::remove(loop.timers.begin(), loop.timers.end(), core_),
                      loop.timers.end());
}

void Timer::SetOnTimer(std::function<void()> handler) {
    auto shared =
        handler ? std::make_shared<const std::function<void()>>(std::move(handler)) : nullptr;
    std::lock_guard lock(loop_.core_->mutex);
    core_->handler = std::move(shared);
}

void Timer::SetInterval(unsigned milliseconds) {
    {
        std::lock_guard lock(loop_.core_->mutex);
        if (core_->interval == milliseconds) return;
        core_->interval = milliseconds;
        core_->Restart(Clock::now());
    }
    loop_.core_->wake.notify_all();
}

unsigned Timer::Interval() const {
    std::lock_guard lock(loop_.core_->mutex);
    return core_->interval;
}

void Timer::SetEnabled(bool enabled) {
    {
        std::lock_guard lock(loop_.core_->mutex);
        if (core_->enabled == enabled) return;
        core_->enabled = enabled;
        core_->Restart(Clock::now());
    }
    loop_.core_->wake.notify_all();
}

bool Timer::Enabled() const {
    std::lock_guard lock(loop_.core_->mutex);
    return core_->enabled;
}

}  // namespace kavar::msgloop
