// The work queue's operations, each in the file of its name: claim.cpp
// (claim_input), steps.cpp (extend_lease, release, finish), drop.cpp
// (drop_finished_leases, reset_leases) and progress.cpp (queue_progress).
// module.cpp declares them to the interpreter. Each returns a new reference,
// or nothing with an exception set.
#pragma once

#include "lease_store.h"

namespace workqueue {

// The input collection a call works on unless it names a collection of its
// own (`collection`, None for this one): the name of its Scrape_common global
// and the names of its reset function, for messages.
struct Queue {
    PyObject* (*global)();  // NX_ID(col_input) or NX_ID(col_input_pdp)
    const char* reset_name;
};
extern const Queue kInput, kPlInput;

// `sort`: None, or a pymongo sort spec ordering the candidates the claim tries.
Ref claim(nx::Function* f, const Queue& q, PyObject* query, PyObject* limit, PyObject* lease,
          PyObject* max_claims, PyObject* collection, PyObject* sort);

enum class StepKind { kRenew, kGiveBack, kFinish };
// `collection`: None (handles of col_input or col_input_pdp) or the one
// collection whose handles the call takes.
Ref take_steps(nx::Function* f, PyObject* items, StepKind kind, PyObject* lease, PyObject* status,
               PyObject* collection);

Ref drop_finished(nx::Function* f, const Queue& q, PyObject* collection);
Ref reset_leases(nx::Function* f, const Queue& q, PyObject* ids, PyObject* collection);

Ref progress(nx::Function* f, const Queue& q, PyObject* query, PyObject* max_claims,
             PyObject* collection);

// A filter {"$and": [query, *more]}, or the conditions alone when query is None.
Ref and_query(PyObject* query, std::initializer_list<PyObject*> more);
// {"$or": [{field: {"$exists": False}}, {field: {op: bound}}]}
Ref absent_or(PyObject* field, PyObject* op, PyObject* bound);
// {"_lease_done": {"$ne": True}}: rows that did not finish.
Ref not_done();

}  // namespace workqueue
