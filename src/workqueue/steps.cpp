// extend_lease, release, finish: the fenced steps of a claim, as in the
// protocol (docs/workqueue-protocol.md, "Renew and give back", "Finish").
//
// Each step inserts the generation after its handle's: a duplicate means
// that someone else stored it first, unless it carries this handle's claim
// token and this very attempt's step id (an earlier try of the same call
// whose answer was lost). The step id of a handle's next generation is kept
// for that handle object, in this process, until the call gets a definite
// answer, so a retry with the same object is the same attempt and a copy of
// the handle is not.
#include "operations.h"
#include "state.h"

#include <pythread.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <set>

namespace workqueue {

namespace {

using nx::dict;

const char* step_name(StepKind k) {
    return k == StepKind::kRenew ? "extend_lease" : k == StepKind::kGiveBack ? "release" : "finish";
}

LeaseState state_of(StepKind k) {
    return k == StepKind::kRenew    ? LeaseState::kHeld
           : k == StepKind::kFinish ? LeaseState::kFinished
                                    : LeaseState::kReleased;
}

// What a call learnt of a handle.
enum class Outcome {
    kUnknown,  // no definite answer yet: its step id is kept
    kMine,     // this attempt's generation is stored (not yet written to the row)
    kDone,     // ... and the row and the handle have it: the caller is told
    kLost,     // another claim or step has the row: nothing was written
    kRefused,  // this claim ended the row another way: told nothing, step id kept
};

struct Handle {
    PyObject* doc;   // the caller's document, kept alive by the call's item list
    Generation cur;  // the generation the handle holds: row, gen, claims, token
    Ref step;        // the step id of the generation after it
    Outcome outcome = Outcome::kUnknown;
    Generation made;  // with mine and done: the generation this step stands on
};

// ---------------------------------------------------------------------------
// Pending step ids, by handle object
// ---------------------------------------------------------------------------

constexpr size_t kMaxPending = 100000;  // abandoned handles whose last call raised

std::unordered_map<PyObject*, PendingStep>& pending() {
    ModuleState& s = state();
    if (s.pending_pid != getpid()) {  // a forked child's handles are copies
        s.pending.clear();
        s.pending_pid = getpid();
    }
    return s.pending;
}

// Wait while a call of another thread is in flight on one of `docs`; a call
// of this thread on one of them (a signal handler's, say) is an error.
int wait_until_free(const std::vector<PyObject*>& docs, StepKind kind) {
    unsigned long me = PyThread_get_thread_ident();
    for (;;) {
        bool busy = false;
        auto& map = pending();
        for (PyObject* d : docs) {
            auto it = map.find(d);
            if (it == map.end() || !it->second.in_flight) continue;
            if (it->second.thread == me) {
                PyErr_Format(PyExc_RuntimeError,
                             "%s: a handle is in a step of this thread already (called from a "
                             "signal handler or a callback of that step?)",
                             step_name(kind));
                return -1;
            }
            busy = true;
        }
        if (!busy) return 0;
        PyThreadState* saved = PyEval_SaveThread();
        usleep(1000);
        PyEval_RestoreThread(saved);
        if (PyErr_CheckSignals() < 0) return -1;
    }
}

void evict_oldest() {
    auto& map = pending();
    if (map.size() <= kMaxPending) return;
    std::vector<std::pair<uint64_t, PyObject*>> idle;
    for (auto& e : map)
        if (!e.second.in_flight) idle.emplace_back(e.second.order, e.first);
    std::sort(idle.begin(), idle.end());
    for (size_t i = 0; i < idle.size() / 2; ++i) map.erase(idle[i].second);
}

// The handles of one call, marked in flight for its length; at the end the
// step ids of handles with a definite answer are forgotten.
class InFlight {
public:
    explicit InFlight(std::deque<Handle>& hs) : handles_(hs) {}
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

    // Mark every handle, then draw the step ids that are missing (drawing
    // may let other threads run, which then see the marks).
    int begin() {
        unsigned long me = PyThread_get_thread_ident();
        auto& map = pending();
        for (Handle& h : handles_) {
            PendingStep& e = map[h.doc];
            int same = e.token ? PyObject_RichCompareBool(e.token.get(), h.cur.token.get(), Py_EQ)
                               : 0;
            if (same < 0) return -1;
            if (!e.doc) e.doc = Ref::borrow(h.doc);
            if (!same || e.gen != h.cur.gen) {
                e.token = h.cur.token;
                e.gen = h.cur.gen;
                e.step = Ref();
            }
            e.in_flight = true;
            e.thread = me;
            e.order = ++state().pending_order;
            marked_ = true;
        }
        for (Handle& h : handles_)
            if (renew_step(h) < 0) return -1;
        evict_oldest();
        return 0;
    }

    // The handle now holds `lease` (a renewal of an earlier attempt, adopted):
    // its next step gets a step id of its own.
    int advance(Handle& h, const Generation& lease) {
        PendingStep& e = pending()[h.doc];
        h.cur.gen = lease.gen;
        h.cur.claims = lease.claims;
        e.gen = lease.gen;
        e.step = Ref();
        return renew_step(h);
    }

    ~InFlight() {
        if (!marked_) return;
        auto& map = pending();
        for (Handle& h : handles_) {
            auto it = map.find(h.doc);
            if (it == map.end()) continue;
            if (h.outcome == Outcome::kDone || h.outcome == Outcome::kLost)
                map.erase(it);
            else
                it->second.in_flight = false;
        }
    }

private:
    int renew_step(Handle& h) {
        PendingStep& e = pending()[h.doc];
        if (!e.step && !(e.step = random_id())) return -1;
        h.step = e.step;
        return 0;
    }

    std::deque<Handle>& handles_;
    bool marked_ = false;
};

// ---------------------------------------------------------------------------
// Reading the handles
// ---------------------------------------------------------------------------

// The queues a step call takes handles of: col_input and col_input_pdp, or
// the one collection the caller named.
struct StepQueues {
    Ref cols[2], names[2];
    int count = 0;
    bool named = false;
};

// The handle of a claim: a document returned by claim_input or
// claim_pl_input, bound to the collection it came from (database and name).
// Without its claim's generation and token there is no fence, so anything
// else is refused. *queue: its index in `qs`; *live: not spent (given back
// or finished).
int read_handle(StepKind kind, Py_ssize_t i, PyObject* x, const StepQueues& qs, int* queue,
                bool* live, Handle* h) {
    PyObject *token = nullptr, *gen = nullptr, *q = nullptr, *id = nullptr;
    if (PyDict_Check(x)) {
        token = PyDict_GetItemWithError(x, NX_ID(_lease_token));
        gen = token ? PyDict_GetItemWithError(x, NX_ID(_lease_gen)) : nullptr;
        q = gen ? PyDict_GetItemWithError(x, NX_ID(_lease_queue)) : nullptr;
        id = q ? PyDict_GetItemWithError(x, NX_ID(_id)) : nullptr;
        if (PyErr_Occurred()) return -1;
    }
    if (!id || !PyUnicode_Check(token) || !PyLong_Check(gen) || !PyUnicode_Check(q)) {
        PyErr_Format(PyExc_TypeError,
                     "%s: item %zd (%.100s) is not a document returned by claim_input or "
                     "claim_pl_input: without its claim's generation there is no fence",
                     step_name(kind), i, Py_TYPE(x)->tp_name);
        return -1;
    }
    *queue = -1;
    for (int k = 0; k < qs.count; ++k) {
        int same = PyObject_RichCompareBool(q, qs.names[k].get(), Py_EQ);
        if (same < 0) return -1;
        if (same) *queue = k;
    }
    if (*queue < 0) {
        if (qs.named)
            PyErr_Format(PyExc_ValueError,
                         "%s: item %zd was claimed from the collection %R, not from the "
                         "collection given (%R)",
                         step_name(kind), i, q, qs.names[0].get());
        else
            PyErr_Format(PyExc_ValueError,
                         "%s: item %zd was claimed from the collection %R, which is neither "
                         "col_input (%R) nor col_input_pdp (%R) now",
                         step_name(kind), i, q, qs.names[0].get(), qs.names[1].get());
        return -1;
    }
    h->doc = x;
    *live = PyDict_GetItemWithError(x, NX_ID(_lease_until)) != nullptr;
    if (PyErr_Occurred()) return -1;
    h->cur.row = Ref::borrow(id);
    h->cur.gen = long_field(x, NX_ID(_lease_gen));
    h->cur.claims = long_field(x, NX_ID(_claims));
    h->cur.token = Ref::borrow(token);
    return PyErr_Occurred() ? -1 : 0;
}

// ---------------------------------------------------------------------------
// The steps of one queue's handles
// ---------------------------------------------------------------------------

int same_text(const Ref& a, const Ref& b) {
    if (!a || !b) return 0;
    return PyObject_RichCompareBool(a.get(), b.get(), Py_EQ);
}

// Does `lease` (a generation or an end record read) carry this handle's token
// and step id?
int this_attempt(const Generation& lease, const Handle& h) {
    int t = same_text(lease.token, h.cur.token);
    return t <= 0 ? t : same_text(lease.step, h.step);
}

struct Steps {
    nx::Function* f;
    PyObject* col;
    PyObject* queue;  // the collection's full name, stamped into handles
    Ref leases;
    StepKind kind;
    double lease = 0, now = 0;
    PyObject* status = nullptr;
    InFlight* flight = nullptr;
};

// The generation that the step of `h` inserts.
Generation next_of(const Steps& s, const Handle& h) {
    Generation lease = h.cur;
    lease.gen += 1;
    lease.state = state_of(s.kind);
    lease.until = s.kind == StepKind::kRenew ? s.now + s.lease : s.now;
    lease.step = h.step;
    if (s.kind == StepKind::kFinish) lease.status = Ref::borrow(s.status);
    return lease;
}

// A finish whose generation is this attempt's: its end record must name it.
// Store the end records of `gens` (for the handles `hs`); where one is there
// already, it decides: this finish's if it names its generation, token and
// step id, else another's, and this insert only filled an _id that the drop
// freed (the row ended before).
int settle_finishes(Steps& s, const std::vector<Handle*>& hs, const std::vector<Generation>& gens) {
    NX_ASSERT(hs.size() == gens.size());
    std::vector<bool> stored;
    if (insert_all(s.f, s.leases.get(), gens, end_doc, s.now, &stored) < 0) return -1;
    Ref ids = Ref::steal(PyList_New(0));
    if (!ids) return -1;
    for (size_t i = 0; i < gens.size(); ++i) {
        Ref id = stored[i] ? Ref() : lease_id(gens[i].row.get(), 0);
        if (!stored[i] && (!id || PyList_Append(ids.get(), id.get()) < 0)) return -1;
    }
    Findings found;
    if (read_into(s.leases.get(), ids.get(), &found) < 0) return -1;
    for (size_t i = 0; i < gens.size(); ++i) {
        Handle& h = *hs[i];
        int mine = 1;
        if (!stored[i]) {
            const Newest* n = found.of(gens[i].row.get());
            if (!n && PyErr_Occurred()) return -1;
            mine = n && n->end_stored && n->end.gen == gens[i].gen ? this_attempt(n->end, h) : 0;
            if (mine < 0) return -1;
        }
        h.outcome = mine ? Outcome::kMine : Outcome::kLost;
        if (mine) h.made = gens[i];
    }
    return 0;
}

// After the inserts of one round: decide each handle's outcome, from the end
// records and the generations read (g+1, g+2 and the end record of each
// row). Handles whose stored generation is an earlier attempt's
// renewal, while this call gives back or finishes, are adopted: they go on
// at the generation after it, in `again`.
int decide_round(Steps& s, std::vector<Handle*>& todo, const std::vector<Generation>& gens,
                 const std::vector<bool>& won, std::vector<Handle*>* again) {
    NX_ASSERT(todo.size() == gens.size() && gens.size() == won.size());
    bool finishing = s.kind == StepKind::kFinish;
    // A won finish goes straight to its end record; every other handle needs
    // a read: the end record, and the generation it lost.
    std::vector<Handle*> to_end;
    std::vector<Generation> ends;
    Ref ids = Ref::steal(PyList_New(0));
    if (!ids) return -1;
    for (size_t i = 0; i < todo.size(); ++i) {
        if (finishing && won[i]) {
            to_end.push_back(todo[i]);
            ends.push_back(gens[i]);
            continue;
        }
        // A lost insert reads its generation and the one after it: a stored
        // earlier attempt that another claim has followed since is lost too.
        for (long gen : {0L, won[i] ? -1L : gens[i].gen, won[i] ? -1L : gens[i].gen + 1}) {
            if (gen < 0) continue;
            Ref id = lease_id(gens[i].row.get(), gen);
            if (!id || PyList_Append(ids.get(), id.get()) < 0) return -1;
        }
    }
    Findings found;
    if (read_into(s.leases.get(), ids.get(), &found) < 0) return -1;
    for (size_t i = 0; i < todo.size(); ++i) {
        if (finishing && won[i]) continue;
        Handle& h = *todo[i];
        const Generation& lease = gens[i];
        const Newest* n = found.of(lease.row.get());
        if (!n && PyErr_Occurred()) return -1;
        if (n && n->end_stored) {
            // The row ended: by this attempt's finish, or by anything else.
            int mine = n->end.gen == lease.gen ? this_attempt(n->end, h) : 0;
            if (mine < 0) return -1;
            if (mine && finishing) {
                h.outcome = Outcome::kMine;
                h.made = n->end;
            } else {
                h.outcome = mine ? Outcome::kRefused : Outcome::kLost;
            }
            continue;
        }
        if (won[i]) {  // a renewal or give-back, and the row did not end
            h.outcome = Outcome::kMine;
            h.made = lease;
            continue;
        }
        // Only the generation itself is read and the one after; a row followed
        // since (top past it) is another claim's now, whoever stored this one.
        const Generation* stored = n && n->top.gen == lease.gen ? &n->top : nullptr;
        int mine = stored ? this_attempt(*stored, h) : 0;
        if (mine < 0) return -1;
        if (!mine) {
            h.outcome = Outcome::kLost;
        } else if (stored->state == lease.state) {  // an earlier attempt stored this very step
            if (finishing) {
                to_end.push_back(&h);
                ends.push_back(*stored);
            } else {
                h.outcome = Outcome::kMine;
                h.made = *stored;
            }
        } else if (stored->state == LeaseState::kHeld) {  // an earlier renewal: go on after it
            if (write_mirror(s.col, {*stored}, {true}) < 0 ||
                stamp_handle(h.doc, *stored, s.queue) < 0 || s.flight->advance(h, *stored) < 0)
                return -1;
            again->push_back(&h);
        } else {
            h.outcome = Outcome::kRefused;  // given back or finished by an earlier attempt
        }
    }
    return settle_finishes(s, to_end, ends);
}

// The steps of the live handles of one queue.
int step_queue(Steps& s, std::vector<Handle*> todo) {
    Ref leases = lease_collection(s.col);
    s.leases = leases ? on_primary(s.f, leases.get()) : Ref();
    if (!s.leases || server_now(s.col, &s.now) < 0) return -1;
    std::vector<Handle*> all = todo;
    for (int round = 0; round < 2 && !todo.empty(); ++round) {
        std::vector<Generation> gens;
        gens.reserve(todo.size());
        for (Handle* h : todo) gens.push_back(next_of(s, *h));
        std::vector<bool> won;
        if (insert_all(s.f, s.leases.get(), gens, lease_doc, s.now, &won) < 0) return -1;
        std::vector<Handle*> again;
        if (decide_round(s, todo, gens, won, &again) < 0) return -1;
        todo.swap(again);
    }
    // Write the rows, then tell the handles: a finish's status write may
    // fail, and the items then stay retryable. Rows of the same new mirror
    // (and status) share one write.
    std::vector<Generation> made;
    std::vector<Handle*> of;
    // (At most two rounds: a handle adopted twice stays without an answer.)
    for (Handle* h : all)
        if (h->outcome == Outcome::kMine) {
            made.push_back(h->made);
            of.push_back(h);
        }
    if (write_mirror(s.col, made, std::vector<bool>(made.size(), true)) < 0) return -1;
    for (size_t i = 0; i < made.size(); ++i) {
        if (stamp_handle(of[i]->doc, made[i], s.queue) < 0) return -1;
        of[i]->outcome = Outcome::kDone;
    }
    return 0;
}

}  // namespace

Ref take_steps(nx::Function* f, PyObject* items, StepKind kind, PyObject* lease_arg,
               PyObject* status_arg, PyObject* collection) {
    double lease = 0;
    if (kind == StepKind::kRenew && to_seconds(lease_arg, "lease", &lease) < 0) return {};
    Ref status = kind == StepKind::kFinish ? nx::format_empty(status_arg) : Ref();
    if (kind == StepKind::kFinish && !status) return {};
    Ref list = Ref::steal(PySequence_List(items));
    if (!list) return {};
    StepQueues qs;
    qs.named = collection != Py_None;
    qs.count = qs.named ? 1 : 2;
    for (int k = 0; k < qs.count; ++k) {
        qs.cols[k] = queue_collection(f, (k ? kPlInput : kInput).global(), collection);
        qs.names[k] = qs.cols[k] ? nx::attr(qs.cols[k].get(), NX_ID(full_name)) : Ref();
        if (!qs.names[k]) return {};
    }
    std::vector<PyObject*> docs;
    docs.reserve((size_t)PyList_GET_SIZE(list.get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
        docs.push_back(PyList_GET_ITEM(list.get(), i));
    if (wait_until_free(docs, kind) < 0) return {};

    // Every item is checked before anything is written. A handle given twice
    // takes one step; a spent one none.
    std::deque<Handle> handles;
    std::vector<std::pair<Handle*, int>> live;
    std::set<PyObject*> seen;
    for (size_t i = 0; i < docs.size(); ++i) {
        Handle h;
        int q;
        bool is_live;
        if (read_handle(kind, (Py_ssize_t)i, docs[i], qs, &q, &is_live, &h) < 0) return {};
        if (!is_live || !seen.insert(docs[i]).second) continue;
        handles.push_back(std::move(h));
        live.emplace_back(&handles.back(), q);
    }
    InFlight flight(handles);
    if (flight.begin() < 0) return {};
    for (int k = 0; k < qs.count; ++k) {
        std::vector<Handle*> of_queue;
        for (auto& hq : live)
            if (hq.second == k) of_queue.push_back(hq.first);
        if (of_queue.empty()) continue;
        Steps s{f, qs.cols[k].get(), qs.names[k].get(), Ref(), kind};
        s.lease = lease;
        s.status = status.get();
        s.flight = &flight;
        if (step_queue(s, of_queue) < 0) return {};
    }
    std::set<PyObject*> done;
    for (Handle& h : handles)
        if (h.outcome == Outcome::kDone) done.insert(h.doc);
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return {};
    for (PyObject* x : docs)
        if (done.count(x) && PyList_Append(result.get(), x) < 0) return {};
    return result;
}

}  // namespace workqueue
