// A team of threads that share one job at a time: the codec cuts a large
// piece into tasks, and the container overlaps its reading, coding and
// writing, on the same team.
#pragma once

#include <functional>
#include <memory>

namespace pelko {

class Workers {
public:
    // A team of `threads` threads in all, the caller's included; 1 (or 0)
    // starts none. When the system refuses a thread the team is smaller.
    explicit Workers(unsigned threads);
    ~Workers();
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // Threads in the team, the caller's included.
    unsigned size() const { return helpers_ + 1; }

    // Runs task(0) .. task(tasks - 1), each once, spread over the team, and
    // returns when all are done. The caller's thread takes tasks too. A task
    // must not throw, nor call run on the same team.
    void run(unsigned tasks, const std::function<void(unsigned)>& task);

private:
    struct State;
    std::unique_ptr<State> state_;
    unsigned helpers_ = 0;
};

// The team size a run uses: PELKO_THREADS when it is set to a number from 1
// up, else the hardware's thread count; at most kMaxThreads either way.
constexpr unsigned kMaxThreads = 8;
unsigned threadCount(const char* setting);

}  // namespace pelko
