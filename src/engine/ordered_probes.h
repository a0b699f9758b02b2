// Probes of a pass run on several threads at once and committed in table order.
#pragma once

#include <functional>

namespace sentrel {

struct OrderedProbeSteps {
    // Probes node `index` on a worker thread; false when there is no node there
    // any more (the pass ends before it).
    std::function<bool(int index)> probe;
    // Applies what probe(index) found, on the calling thread, once it and every
    // probe before it are done.
    std::function<void(int index)> commit;
    // Told on the calling thread whenever a new node becomes the first not yet
    // committed.
    std::function<void(int index)> firstPending;
    // Asked before each probe starts: true stops starting new ones.
    std::function<bool()> stop;
    // Asked once for each node before any probe starts: true starts the node
    // before those that say false (in table order among themselves). A node that
    // failed last time likely waits out its whole time-out, which then overlaps
    // the others' probes instead of trailing them. Empty: table order.
    std::function<bool(int index)> early;
};

// Runs steps.probe for 0 .. count - 1, the early ones first, each group in table
// order, at most `parallel` at once, on threads started here and joined before it returns, and
// steps.commit in index order on the calling thread, which sleeps in between. Once
// steps.stop says so no probe starts; those in flight end by their own deadlines
// and are committed. An exception from a probe or a commit ends the run (after
// the probes in flight) and is passed on.
void RunOrderedProbes(int count, int parallel, const OrderedProbeSteps& steps);

}  // namespace sentrel
