// The workqueue module's state, all of it in one place. The module runs in
// one interpreter per process (nx::RunOnceModule refuses others), so the
// state is one object reached through state(); what must not survive a
// fork() says so and is renewed in the child.
#pragma once

#include "lease_store.h"

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>

namespace workqueue {

// A handle's step whose outcome its caller was not told (the call raised):
// the step id it used for the generation after `gen`, kept so that a retry
// with the same handle object is known for the same attempt. A copy of the
// handle is another object and has none.
struct PendingStep {
    Ref doc;    // the handle object, kept alive while its step is pending
    Ref token;  // its claim
    long gen = 0;
    Ref step;
    bool in_flight = false;    // a call on the handle is running
    unsigned long thread = 0;  // ... in this thread
    uint64_t order = 0;        // age, for eviction
};

struct ProgressSample {
    double t;
    long remaining;
};

struct ModuleState {
    // worker_id(): host:pid:random, made again in a forked child.
    pid_t identity_pid = -1;
    std::string identity;

    // Borrowed from the module's import for the life of the process.
    PyObject* urandom = nullptr;         // os.urandom
    PyObject* reseeded_error = nullptr;  // ReseededRowsError

    // Pending steps by handle object; cleared in a forked child, whose
    // handles are copies.
    pid_t pending_pid = -1;
    uint64_t pending_order = 0;
    std::unordered_map<PyObject*, PendingStep> pending;

    // The order in which a claim tries its candidates; reseeded after fork.
    pid_t shuffle_pid = -1;
    std::unique_ptr<std::mt19937_64> shuffle;  // made, seeded, at first use in each process

    // queue_progress's recent readings per (queue, query, max_claims).
    std::map<std::string, std::deque<ProgressSample>> samples;
};

ModuleState& state();

// This worker's identity, for people: "host:pid:random".
Ref worker_id_str();

}  // namespace workqueue
