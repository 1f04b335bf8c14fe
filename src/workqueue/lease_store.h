// The lease store of the work queue: the documents of "<input>_leases", how
// they are inserted and read, the newest generation of a row, and the mirror
// of it kept in the input rows. docs/workqueue-protocol.md is the protocol
// these pieces make up; the operations (claim.cpp, steps.cpp, drop.cpp) and
// progress.cpp are written in their terms.
#pragma once

#include "../capi/invariant.h"
#include "../capi/pyfunc.h"

#include <deque>
#include <utility>
#include <vector>

namespace workqueue {

using nx::Ref;

// ---------------------------------------------------------------------------
// Collections, the clock, arguments
// ---------------------------------------------------------------------------

// Scrape_common.<name> (col_input or col_input_pdp), read at every call.
Ref input_collection(nx::Function* f, PyObject* name);

// The queue of a call: `collection` (a pymongo Collection the caller named;
// anything else is a TypeError), or Scrape_common.<name> when it is None.
Ref queue_collection(nx::Function* f, PyObject* name, PyObject* collection);

// col.database[col.name + "_leases"].
Ref lease_collection(PyObject* col);

// `col` whose reads go to the primary whatever the client or the collection
// prefers: every read of the queue decides something.
Ref on_primary(nx::Function* f, PyObject* col);

// Once, at the module's import: the datetime API that server_now reads.
int init_clock();

// The database server's clock in seconds since the epoch ("localTime" of
// hello); the local clock when the server does not report one.
int server_now(PyObject* col, double* now);

int to_seconds(PyObject* v, const char* what, double* out);  // finite, >= 0
int to_count(PyObject* v, const char* what, long* out);      // >= 1
int check_query(PyObject* query);                            // None or a mapping

long long_field(PyObject* doc, PyObject* name);  // a non-negative int field, else 0

// A row _id as a key of this module's maps: (type, value), so that True, 1
// and 1.0, equal in Python, stay different rows.
Ref row_key(PyObject* id);

// 128 bits from the operating system's randomness, as 32 hex digits: claim
// tokens and step ids, unique across processes, threads and fork().
Ref random_id();

// ---------------------------------------------------------------------------
// Lease documents
// ---------------------------------------------------------------------------

enum class LeaseState { kHeld, kReleased, kFinished };

// A lease generation, to insert or as read.
struct Generation {
    Ref row;
    long gen = 0;
    long claims = 0;
    LeaseState state = LeaseState::kHeld;
    double until = 0;
    Ref token;   // the claim it belongs to
    Ref step;    // the call attempt that made it
    Ref doc;     // the caller's document of the row, when there is one
    Ref status;  // a finish: the row's status text
};

// {"row": row, "gen": gen}; generation 0 is the row's end record.
Ref lease_id(PyObject* row, long gen);

Ref lease_doc(const Generation& g, PyObject* owner, double now);
// The end record of the finish `g`: generation 0 naming it ("final").
Ref end_doc(const Generation& g, PyObject* owner, double now);

// One unordered insert of `docs`; won[i]: the i-th was stored. Only a
// duplicate key error is a lost race; an insert whose outcome is unknown
// (write concern errors, network errors) raises.
int insert_docs(nx::Function* f, PyObject* leases, PyObject* docs, std::vector<bool>* won);

using MakeDoc = Ref (*)(const Generation&, PyObject*, double);
// insert_docs of make(g) for every generation.
int insert_all(nx::Function* f, PyObject* leases, const std::vector<Generation>& gens, MakeDoc make,
               double now, std::vector<bool>* won);

// find({"_id": {"$in": ids}}) as a list.
Ref find_ids(PyObject* col, PyObject* ids);

// ---------------------------------------------------------------------------
// What the lease documents say of a row
// ---------------------------------------------------------------------------

struct Newest {
    Generation top;     // the highest generation read (gen 0: none)
    Generation end;     // the end record, when end_stored
    Generation finish;  // a finish generation read, when finish_read
    bool end_stored = false;
    bool finish_read = false;

    // Ended: an end record, or a finish read without one.
    bool ended() const { return end_stored || finish_read; }
    // The truth: the end record's finish, else the finish read, else the
    // highest generation.
    const Generation& truth() const { return end_stored ? end : finish_read ? finish : top; }
};

// Lease documents read, folded into one Newest per row (by exact key).
class Findings {
public:
    Findings();
    // False when the index could not be made (an exception is pending).
    explicit operator bool() const { return (bool)index_; }

    // The finding of `row`; nullptr, without an error, when nothing was read
    // of it (with `create`, a new empty one).
    Newest* of(PyObject* row, bool create = false);
    int note(PyObject* doc);
    int note_all(PyObject* docs);
    std::deque<Newest>& all() { return rows_; }

private:
    Ref index_;  // row_key -> position in rows_
    std::deque<Newest> rows_;
};

// Read the lease documents `ids` into `found` (one look-up).
int read_into(PyObject* leases, PyObject* ids, Findings* found);

// The newest generation of rows, each from a lower bound (the generation
// its mirror names, never ahead of the truth): the end record and a window
// of generations, one look-up for all rows; a row whose window is all taken
// is read on from the window's end.
int read_newest(PyObject* leases, std::vector<std::pair<Ref, long>> rows, Findings* out);

// ---------------------------------------------------------------------------
// The mirror in the input rows, and the handles
// ---------------------------------------------------------------------------

enum class MirrorWrite {
    kStep,    // a step's own generation
    kRepair,  // a finish written again from the lease store: never onto a re-seeded row
};

// Mirror the won generations into their rows (_lease_until, _lease_gen,
// _claims, _lease_done; a finish also its status).
int write_mirror(PyObject* col, const std::vector<Generation>& gens, const std::vector<bool>& won,
                 MirrorWrite how = MirrorWrite::kStep);

// Stamp the caller's document with its lease: _lease_gen, _claims,
// _lease_token, _lease_queue and, while held, _lease_until.
int stamp_handle(PyObject* doc, const Generation& g, PyObject* queue);

}  // namespace workqueue
