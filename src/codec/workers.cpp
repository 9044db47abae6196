// The thread team: helpers sleep on a condition variable between jobs and
// take a job's tasks from a shared counter, as the caller's thread does.
#include "codec/workers.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace pelko {

struct Workers::State {
    std::mutex m;
    std::condition_variable wake, done;
    uint64_t generation = 0;          // bumped for every job
    std::atomic<uint64_t> posted{0};  // the same, read without the lock
    static constexpr int kSpins = 200;
    bool stop = false;
    const std::function<void(unsigned)>* task = nullptr;
    unsigned tasks = 0;
    std::atomic<unsigned> next{0};
    unsigned busy = 0;  // helpers still inside the current job
    std::vector<std::thread> threads;

    void take() {
        for (unsigned i; (i = next.fetch_add(1, std::memory_order_relaxed)) < tasks;) (*task)(i);
    }

    void helper() {
        uint64_t seen = 0;
        for (;;) {
            // Jobs often come back to back (a decoder's rounds): a short
            // spin catches the next one without the wake-up's latency.
            for (int i = 0; i < kSpins && posted.load(std::memory_order_acquire) == seen; ++i)
                std::this_thread::yield();
            {
                std::unique_lock lock(m);
                wake.wait(lock, [&] { return stop || generation != seen; });
                if (stop) return;
                seen = generation;
            }
            take();
            std::lock_guard lock(m);
            if (--busy == 0) done.notify_one();
        }
    }
};

Workers::Workers(unsigned threads) : state_(std::make_unique<State>()) {
    for (unsigned i = 1; i < threads; ++i) {
        try {
            state_->threads.emplace_back([s = state_.get()] { s->helper(); });
        } catch (...) {
            break;  // a smaller team does the same work
        }
    }
    helpers_ = static_cast<unsigned>(state_->threads.size());
}

Workers::~Workers() {
    {
        std::lock_guard lock(state_->m);
        state_->stop = true;
    }
    state_->wake.notify_all();
    for (auto& t : state_->threads) t.join();
}

void Workers::run(unsigned tasks, const std::function<void(unsigned)>& task) {
    State& s = *state_;
    if (helpers_ == 0 || tasks <= 1) {
        for (unsigned i = 0; i < tasks; ++i) task(i);
        return;
    }
    {
        std::lock_guard lock(s.m);
        s.task = &task;
        s.tasks = tasks;
        s.next.store(0, std::memory_order_relaxed);
        s.busy = helpers_;
        ++s.generation;
        s.posted.store(s.generation, std::memory_order_release);
    }
    s.wake.notify_all();
    s.take();
    std::unique_lock lock(s.m);
    s.done.wait(lock, [&] { return s.busy == 0; });
    s.task = nullptr;
}

unsigned threadCount(const char* setting) {
    unsigned n = 0;
    if (setting && *setting) {
        char* end = nullptr;
        const unsigned long v = std::strtoul(setting, &end, 10);
        if (*end == 0 && v >= 1) n = static_cast<unsigned>(std::min<unsigned long>(v, kMaxThreads));
    }
    if (n == 0) n = std::max(1u, std::thread::hardware_concurrency());
    return std::min(n, kMaxThreads);
}

}  // namespace pelko
