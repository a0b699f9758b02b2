#include "engine/ordered_probes.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace sentrel {

namespace {

// What the workers and the committing thread share; only touched under `mutex`.
struct ProbeBoard {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> order;  // the indexes in the order probes start
    std::vector<char> started, done;
    int end = 0;            // no probe at or after this index runs
    int next = 0;           // the place in `order` of the next probe to start
    bool stopping = false;  // no probe starts any more
    std::exception_ptr failure;
};

void Work(ProbeBoard& board, const OrderedProbeSteps& steps) {
    for (;;) {
        int index;
        {
            std::lock_guard lock(board.mutex);
            if (!board.stopping && steps.stop()) {
                board.stopping = true;
                board.changed.notify_all();
            }
            while (board.next < static_cast<int>(board.order.size()) &&
                   board.order[static_cast<std::size_t>(board.next)] >= board.end) {
                ++board.next;
            }
            if (board.stopping || board.next >= static_cast<int>(board.order.size())) {
                return;
            }
            index = board.order[static_cast<std::size_t>(board.next++)];
            board.started[static_cast<std::size_t>(index)] = 1;
        }
        bool present = false;
        std::exception_ptr failure;
        try {
            present = steps.probe(index);
        } catch (...) {
            failure = std::current_exception();
        }
        std::lock_guard lock(board.mutex);
        if (failure || !present) {
            board.end = std::min(board.end, index);
            if (failure && !board.failure) {
                board.failure = failure;
                board.stopping = true;
            }
        } else {
            board.done[static_cast<std::size_t>(index)] = 1;
        }
        board.changed.notify_all();
    }
}

}  // namespace

void RunOrderedProbes(int count, int parallel, const OrderedProbeSteps& steps) {
    ProbeBoard board;
    board.end = std::max(count, 0);
    board.started.assign(static_cast<std::size_t>(board.end), 0);
    board.done = board.started;
    for (const bool first : {true, false}) {
        for (int i = 0; i < board.end; ++i) {
            if ((steps.early && steps.early(i)) == first) {
                board.order.push_back(i);
            }
        }
    }
    std::vector<std::thread> workers;
    // However the run ends, no worker outlives it.
    struct Joiner {
        ProbeBoard& board;
        std::vector<std::thread>& workers;
        ~Joiner() {
            {
                std::lock_guard lock(board.mutex);
                board.stopping = true;
            }
            for (std::thread& worker : workers) {
                worker.join();
            }
        }
    } joiner{board, workers};
    const int threads = std::clamp(parallel, 1, std::max(count, 1));
    for (int i = 0; i < threads; ++i) {
        workers.emplace_back([&board, &steps] { Work(board, steps); });
    }
    std::unique_lock lock(board.mutex);
    for (int committed = 0;; ++committed) {
        if (committed < board.end) {
            lock.unlock();
            steps.firstPending(committed);
            lock.lock();
        }
        // Wait until this index is done, or it is known that it never will be.
        board.changed.wait(lock, [&] {
            const auto at = static_cast<std::size_t>(committed);
            return committed >= board.end || board.done[at] ||
                   (board.stopping && !board.started[at]);
        });
        if (committed >= board.end || !board.done[static_cast<std::size_t>(committed)]) {
            break;
        }
        lock.unlock();
        steps.commit(committed);
        lock.lock();
    }
    if (board.failure) {
        const std::exception_ptr failure = board.failure;
        lock.unlock();
        std::rethrow_exception(failure);
    }
}

}  // namespace sentrel
