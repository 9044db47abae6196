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
    bool stop = false;
    // The current job, guarded by `m`: its number, its task and its count.
    uint32_t job = 0;
    const std::function<void(unsigned)>* task = nullptr;
    unsigned tasks = 0;
    // The job's number in the high half above the index of the next task
    // to take, so that a helper that wakes late never takes a task of a
    // later job; and how many tasks are done.
    std::atomic<uint64_t> next{0};
    std::atomic<unsigned> finished{0};
    std::vector<std::thread> threads;

    // Takes tasks of job `j` until none is left. The caller waits for the
    // tasks, not for the helpers: a helper the system has not run yet
    // holds nobody up, since the others take its share.
    void take(uint32_t j, const std::function<void(unsigned)>& fn, unsigned n) {
        for (;;) {
            uint64_t v = next.load(std::memory_order_acquire);
            do {
                if ((v >> 32) != j || uint32_t(v) >= n) return;
            } while (!next.compare_exchange_weak(v, v + 1, std::memory_order_acq_rel));
            fn(static_cast<unsigned>(uint32_t(v)));
            if (finished.fetch_add(1, std::memory_order_acq_rel) + 1 == n) {
                std::lock_guard lock(m);
                done.notify_one();
            }
        }
    }

    void helper() {
        uint32_t seen = 0;
        for (;;) {
            // Asleep at once: a helper that polled for the next job would
            // take a core that another process, on a busy machine, needs.
            const std::function<void(unsigned)>* fn;
            unsigned n;
            {
                std::unique_lock lock(m);
                wake.wait(lock, [&] { return stop || job != seen; });
                if (stop) return;
                seen = job;
                fn = task;
                n = tasks;
            }
            take(seen, *fn, n);
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
    uint32_t j;
    {
        std::lock_guard lock(s.m);
        j = ++s.job;
        s.task = &task;
        s.tasks = tasks;
        s.finished.store(0, std::memory_order_relaxed);
        s.next.store(uint64_t{j} << 32, std::memory_order_release);
    }
    s.wake.notify_all();
    s.take(j, task, tasks);
    if (s.finished.load(std::memory_order_acquire) != tasks) {
        std::unique_lock lock(s.m);
        s.done.wait(lock, [&] { return s.finished.load(std::memory_order_acquire) == tasks; });
    }
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
