// Nexra_publish.workqueue: many workers sharing the input collections of
// Scrape_common through leased claims. The protocol is written down in
// docs/workqueue-protocol.md; lease_store.* holds its documents and reads,
// claim.cpp, steps.cpp and drop.cpp its operations, progress.cpp the
// counts. This file declares the functions to the interpreter.
#include "../capi/pymodule.h"
#include "../capi/pystate.h"
#include "operations.h"
#include "state.h"

#include <unistd.h>

#include <cstdio>
#include <random>

namespace workqueue {

ModuleState& state() { return nx::module_state<ModuleState>(); }

Ref worker_id_str() {
    ModuleState& s = state();
    pid_t pid = getpid();
    if (pid != s.identity_pid) {
        char host[256] = "localhost";
        if (gethostname(host, sizeof host - 1) != 0) std::snprintf(host, sizeof host, "localhost");
        host[sizeof host - 1] = '\0';
        std::random_device rd;
        char buf[400];
        std::snprintf(buf, sizeof buf, "%s:%ld:%08x%04x", host, (long)pid, (unsigned)rd(),
                      (unsigned)(rd() & 0xffff));
        s.identity = buf;
        s.identity_pid = pid;
    }
    return nx::str(s.identity);
}

namespace {

using nx::Default;

// Every call takes the keyword `collection`: a pymongo Collection that is the
// queue instead of the input collection.
#define COLLECTION_PARAM(P) P(collection, Default::none().keyword())
#define NX_COLLECTION_DOC(coll) \
    "collection -- keyword only: a pymongo Collection that is the queue\n"   \
    "              instead of " coll " (None)\n"

#define CLAIM_PARAMS(P)          \
    P(query, Default::none())    \
    P(limit, Default::of(1))     \
    P(lease, Default::of(300.0)) \
    P(max_claims, Default::of(5)) COLLECTION_PARAM(P) P(sort, Default::none().keyword())
NX_ARGUMENTS(ClaimArgs, CLAIM_PARAMS);

template <const Queue& Q>
PyObject* claim_impl(nx::Function* f, const ClaimArgs& a) {
    return claim(f, Q, a.query, a.limit, a.lease, a.max_claims, a.collection, a.sort).release();
}

#define NX_CLAIM_DOC(coll, setting) \
    "Lease up to `limit` work items of " coll                                       \
    " to this worker and return them.\n"                                            \
    "\n"                                                                            \
    "query      -- a filter document; None matches every document\n"                \
    "limit      -- the most documents to return (at least 1)\n"                     \
    "lease      -- seconds the documents stay leased to this worker\n"              \
    "max_claims -- a row claimed this many times without being finished is\n"       \
    "              no longer handed out\n" NX_COLLECTION_DOC(coll)                  \
    "sort       -- keyword only: a pymongo sort spec ([(field, direction), ...])\n" \
    "              for the order in which free rows are tried; None: a random\n"    \
    "              order, which spreads workers over the queue\n"                   \
    "\n"                                                                            \
    "Returns a list of the documents of " coll                                      \
    " (the collection named by the\n"                                               \
    "setting " setting                                                              \
    ", read from Scrape_common at each call) that match\n"                          \
    "query, did not finish and that no live lease holds, now leased until the\n"    \
    "server time in their \"_lease_until\" (seconds since the epoch). Each\n"       \
    "document is the handle of its lease (\"_lease_gen\", \"_lease_token\",\n"      \
    "\"_lease_queue\"): pass it to finish when the item is done, to extend_lease\n" \
    "to renew it and to release to give it back. A finished row is never\n"         \
    "handed out again, whatever the query. An empty list means nothing is\n"        \
    "free right now. Costs a constant number of database round trips whatever\n"    \
    "the limit; reads go to the primary. Database errors are raised, and an\n"      \
    "insert whose outcome is unknown (a write concern error) hands nothing\n"       \
    "out. A row that finished before and was deleted and inserted again raises\n"   \
    "ReseededRowsError, which names the rows and the remedy."

constexpr nx::FuncSpec claim_input_spec = nx::spec_of<ClaimArgs, claim_impl<kInput>>(
    "claim_input", NX_CLAIM_DOC("col_input", "input_table"));
constexpr nx::FuncSpec claim_pl_input_spec = nx::spec_of<ClaimArgs, claim_impl<kPlInput>>(
    "claim_pl_input", NX_CLAIM_DOC("col_input_pdp", "pl_input_table"));
#undef NX_CLAIM_DOC

#define EXTEND_PARAMS(P) \
    P(items, Default::required()) P(lease, Default::of(300.0)) COLLECTION_PARAM(P)
NX_ARGUMENTS(ExtendArgs, EXTEND_PARAMS);
#define RELEASE_PARAMS(P) P(items, Default::required()) COLLECTION_PARAM(P)
NX_ARGUMENTS(ReleaseArgs, RELEASE_PARAMS);
#define FINISH_PARAMS(P) \
    P(items, Default::required()) P(status, Default::of("done")) COLLECTION_PARAM(P)
NX_ARGUMENTS(FinishArgs, FINISH_PARAMS);

PyObject* extend_impl(nx::Function* f, const ExtendArgs& a) {
    return take_steps(f, a.items, StepKind::kRenew, a.lease, nullptr, a.collection).release();
}

PyObject* release_impl(nx::Function* f, const ReleaseArgs& a) {
    return take_steps(f, a.items, StepKind::kGiveBack, nullptr, nullptr, a.collection).release();
}

PyObject* finish_impl(nx::Function* f, const FinishArgs& a) {
    return take_steps(f, a.items, StepKind::kFinish, nullptr, a.status, a.collection).release();
}

// The steps' parameter `collection`: the handles are of that queue.
#define NX_STEP_COLLECTION_DOC \
    "collection -- keyword only: the pymongo Collection the items were claimed\n" \
    "              from with collection=; None: col_input or col_input_pdp\n"

#define NX_FENCE_DOC \
    "An item is lost when its claim's lease is no longer the row's newest\n"      \
    "generation: it ran out and another claim took the row, whoever made it\n"    \
    "(another thread of this process included). Nothing is written for a lost\n"  \
    "item. A handle that was given back or finished takes no further step;\n"     \
    "neither does a copy of it (dict(h), a pickle, a fork's child) once the\n"    \
    "original took that step. A call that raises after writing (a lost reply)\n"  \
    "can be repeated with the same items: it is the same attempt, and returns\n"  \
    "each item whose step it had stored. Items that are not documents returned\n" \
    "by claim_input / claim_pl_input raise TypeError."

constexpr nx::FuncSpec extend_lease_spec = nx::spec_of<ExtendArgs, extend_impl>(
    "extend_lease",
    "Renew the leases of `items` and return the items renewed.\n"
    "\n"
    "items -- documents returned by claim_input / claim_pl_input\n"
    "lease -- the new lease, in seconds from now (server time)\n" NX_STEP_COLLECTION_DOC
    "\n"
    "A lease is renewed while its claim is the row's newest generation, even\n"
    "if it ran out meanwhile. Each renewed document is stamped with its new\n"
    "lease and stays its handle. Returns the renewed items (the same objects,\n"
    "in order).\n" NX_FENCE_DOC);

constexpr nx::FuncSpec release_spec = nx::spec_of<ReleaseArgs, release_impl>(
    "release",
    "Give the rows of `items` back at once, for example on a clean shutdown.\n"
    "\n"
    "items -- documents returned by claim_input / claim_pl_input\n" NX_STEP_COLLECTION_DOC
    "\n"
    "The rows become free to claim by any worker (their claim count stays).\n"
    "Returns the items given back (the same objects, in order).\n" NX_FENCE_DOC);

constexpr nx::FuncSpec finish_spec = nx::spec_of<FinishArgs, finish_impl>(
    "finish",
    "Commit `items`: mark them finished, once, and set their status.\n"
    "\n"
    "items  -- documents returned by claim_input / claim_pl_input\n"
    "status -- the rows' new status, stored as text (f\"{status}\")\n" NX_STEP_COLLECTION_DOC
    "\n"
    "For each item whose claim is still its row's newest generation, a\n"
    "finish is stored in the lease collection (whoever stores it first wins,\n"
    "so a row is finished once), then the row's status is set as\n"
    "Scrape_common.update_input(\"_id\", row_id, status) would. A finished row\n"
    "is never claimed again. Returns the items finished (the same objects, in\n"
    "order): each row is returned to one caller only.\n" NX_FENCE_DOC
    "\n"
    "Unlike update_input, database errors are raised. An item is returned only\n"
    "once its status is written; when a call raises, calling finish again with\n"
    "the same items completes what the first call stored, and returns nothing\n"
    "only for items that another claim holds or finished.");
#undef NX_FENCE_DOC
#undef NX_STEP_COLLECTION_DOC

#define DROP_PARAMS(P) COLLECTION_PARAM(P)
NX_ARGUMENTS(DropArgs, DROP_PARAMS);

template <const Queue& Q>
PyObject* drop_impl(nx::Function* f, const DropArgs& a) {
    return drop_finished(f, Q, a.collection).release();
}

#define NX_DROP_DOC(coll) \
    "Free the lease documents of the finished rows of " coll                      \
    ".\n"                                                                         \
    "\n" NX_COLLECTION_DOC(coll) "\n"                                             \
    "Each finished row keeps its first lease and a small end record; its other\n" \
    "lease documents are deleted, so the lease collection of a long job stays\n"  \
    "bounded. Safe while workers run: a step of a stale handle, a copy or a\n"    \
    "claim that lands in a freed generation is refused by the end record,\n"      \
    "stored first. Scans the lease collection. Returns how many documents were\n" \
    "deleted."

constexpr nx::FuncSpec drop_finished_leases_spec = nx::spec_of<DropArgs, drop_impl<kInput>>(
    "drop_finished_leases", NX_DROP_DOC("col_input"));
constexpr nx::FuncSpec drop_finished_pl_leases_spec = nx::spec_of<DropArgs, drop_impl<kPlInput>>(
    "drop_finished_pl_leases", NX_DROP_DOC("col_input_pdp"));
#undef NX_DROP_DOC

#define RESET_PARAMS(P) P(ids, Default::none()) COLLECTION_PARAM(P)
NX_ARGUMENTS(ResetArgs, RESET_PARAMS);

template <const Queue& Q>
PyObject* reset_impl(nx::Function* f, const ResetArgs& a) {
    return reset_leases(f, Q, a.ids, a.collection).release();
}

#define NX_RESET_DOC(coll) \
    "Forget the lease history of rows of " coll                                       \
    ", so that they are new rows.\n"                                                  \
    "\n"                                                                              \
    "ids        -- a list of row _ids, or None for every row\n" NX_COLLECTION_DOC(coll) \
    "\n"                                                                              \
    "Deletes the rows' lease documents and their mirror fields (\"_lease_until\",\n"  \
    "\"_lease_gen\", \"_claims\", \"_lease_done\"). Finished rows are then claimed\n" \
    "again if the query matches them: this is the remedy for rows deleted and\n"      \
    "inserted again (ReseededRowsError) and the way to work finished rows\n"          \
    "again. Run it while no worker holds those rows: a holder loses its fence.\n"     \
    "Returns how many lease documents were deleted."

constexpr nx::FuncSpec reset_leases_spec = nx::spec_of<ResetArgs, reset_impl<kInput>>(
    "reset_leases", NX_RESET_DOC("col_input"));
constexpr nx::FuncSpec reset_pl_leases_spec = nx::spec_of<ResetArgs, reset_impl<kPlInput>>(
    "reset_pl_leases", NX_RESET_DOC("col_input_pdp"));
#undef NX_RESET_DOC

#define PROGRESS_PARAMS(P) \
    P(query, Default::none()) P(max_claims, Default::of(5)) COLLECTION_PARAM(P)
NX_ARGUMENTS(ProgressArgs, PROGRESS_PARAMS);

template <const Queue& Q>
PyObject* progress_impl(nx::Function* f, const ProgressArgs& a) {
    return progress(f, Q, a.query, a.max_claims, a.collection).release();
}

#define NX_PROGRESS_DOC(coll) \
    "Where the queue of " coll                                                       \
    " stands, for the rows matching `query`.\n"                                      \
    "\n"                                                                             \
    "query      -- the job's filter document; None matches every document\n"         \
    "max_claims -- the limit the workers claim with\n"                               \
    "\n"                                                                             \
    "Returns a dict: \"free\" (rows free to claim), \"leased\" (rows leased now),\n" \
    "\"stuck\" (rows claimed max_claims times, no longer handed out),\n"             \
    "\"remaining\" (free + leased; a finished row is never free, whatever the\n"     \
    "query), \"finished\" (every row of the collection finished through the\n"       \
    "queue), \"statuses\" (every row of the collection counted by its status),\n"    \
    "\"finished_per_second\" (how fast\n"                                            \
    "\"remaining\" fell over this process's calls of the last minute; None on\n"     \
    "the first call) and \"eta_seconds\" (remaining / that rate; None while\n"       \
    "unknown). Reads go to the primary."

constexpr nx::FuncSpec queue_progress_spec = nx::spec_of<ProgressArgs, progress_impl<kInput>>(
    "queue_progress", NX_PROGRESS_DOC("col_input"));
constexpr nx::FuncSpec pl_queue_progress_spec = nx::spec_of<ProgressArgs, progress_impl<kPlInput>>(
    "pl_queue_progress", NX_PROGRESS_DOC("col_input_pdp"));
#undef NX_PROGRESS_DOC
#undef NX_COLLECTION_DOC

PyObject* worker_id_impl(nx::Function*, const nx::NoArgs&) { return worker_id_str().release(); }

constexpr nx::FuncSpec worker_id_spec = nx::spec_of<nx::NoArgs, worker_id_impl>(
    "worker_id",
    R"doc(This worker's identity, the owner of its leases: "host:pid:random".

Fixed for the life of the process; a forked child gets a new one. No
decision rests on it: claims and steps are told apart by random tokens.)doc");

const char kReseededDoc[] =
    "A claim met rows that finished before and are back without their lease\n"
    "fields, as rows deleted and inserted again are. They are neither handed\n"
    "out nor written; `ids` lists them. reset_leases(ids) (reset_pl_leases for\n"
    "the pl queue), run while no worker holds them, makes them new rows.";

int run_body(PyObject* g) {
    if (init_clock() < 0) return -1;
    ModuleState& s = state();
    Ref sc = nx::import(g, "Scrape_common", {"__name__"}, 1);
    if (!sc || nx::set_global(g, NX_ID(Scrape_common), sc.get()) < 0) return -1;
    Ref errors = nx::import(g, "pymongo.errors", {"BulkWriteError"});
    Ref bwe = errors ? nx::attr(errors.get(), NX_ID(BulkWriteError)) : Ref();
    if (!bwe || nx::set_global(g, NX_ID(BulkWriteError), bwe.get()) < 0) return -1;
    Ref collection = nx::import(g, "pymongo.collection", {"Collection"});
    Ref type = collection ? nx::attr(collection.get(), NX_ID(Collection)) : Ref();
    if (!type || nx::set_global(g, NX_ID(_Collection), type.get()) < 0) return -1;
    Ref pymongo = nx::import(g, "pymongo", {"ReadPreference"});
    Ref prefs = pymongo ? nx::attr(pymongo.get(), NX_ID(ReadPreference)) : Ref();
    Ref primary = prefs ? nx::attr(prefs.get(), NX_ID(PRIMARY)) : Ref();
    if (!primary || nx::set_global(g, NX_ID(_primary), primary.get()) < 0) return -1;
    Ref os = nx::import(g, "os", {"urandom"});
    Ref urandom = os ? nx::attr(os.get(), NX_ID(urandom)) : Ref();
    if (!urandom) return -1;
    s.urandom = urandom.release();  // kept for the life of the process
    // Lease documents that drop_finished_leases holds at once.
    Ref drop_batch_size = nx::integer(1000);
    if (!drop_batch_size || nx::set_global(g, NX_ID(_drop_batch), drop_batch_size.get()) < 0)
        return -1;
    PyObject* reseeded = PyErr_NewExceptionWithDoc("Nexra_publish.workqueue.ReseededRowsError",
                                                   kReseededDoc, PyExc_RuntimeError, nullptr);
    if (!reseeded || nx::set_global(g, NX_ID(ReseededRowsError), reseeded) < 0) return -1;
    s.reseeded_error = reseeded;  // kept for the life of the process

    for (const nx::FuncSpec* spec :
         {&claim_input_spec, &claim_pl_input_spec, &extend_lease_spec, &release_spec, &finish_spec,
          &drop_finished_leases_spec, &drop_finished_pl_leases_spec, &reset_leases_spec,
          &reset_pl_leases_spec, &queue_progress_spec, &pl_queue_progress_spec, &worker_id_spec})
        if (nx::define_function(g, *spec) < 0) return -1;

    // The worker loop over these functions, written in Python.
    Ref loop = nx::import(g, "Nexra_publish._work", {"work", "Item"});
    Ref work = loop ? nx::attr(loop.get(), NX_ID(work)) : Ref();
    Ref item = work ? nx::attr(loop.get(), NX_ID(Item)) : Ref();
    return item && nx::set_global(g, NX_ID(work), work.get()) == 0 &&
                   nx::set_global(g, NX_ID(Item), item.get()) == 0
               ? 0
               : -1;
}

nx::RunOnceModule module_def(
    "workqueue", "Many workers on one queue: leased claims on Scrape_common's input collections.",
    run_body);

}  // namespace
}  // namespace workqueue

NX_MODINIT_FUNC PyInit_workqueue(void) { return workqueue::module_def.init(); }
