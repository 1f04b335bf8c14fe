// drop_finished_leases and reset_leases: upkeep of the lease collection.
//
// The drop frees the lease generations of finished rows; each keeps two
// documents: its end record, and its generation 1, so that a first claim
// always meets a duplicate. Why this is safe while workers run
// (docs/workqueue-protocol.md, I5): the end record is stored before any _id
// of its row is freed and is never deleted; every won insert of a generation
// after the first is checked against it afterwards (a takeover claim reads
// it, a renewal or give-back reads it, a finish stores its own and compares
// step ids). An insert into a freed _id can only come after the freeing, so
// after the end record, so its check sees the record. The end record copies
// the finish's step id, so the finisher's retry still knows it for its own.
//
// The finished rows are taken from the lease collection as a stream, a batch
// of `_drop_batch` lease documents at a time, so memory does not grow with
// the job's history. A row met in two batches is dropped twice, which
// deletes nothing the second time.
#include "operations.h"
#include "state.h"

namespace workqueue {

namespace {

using nx::dict;

// The lease documents whose "row" is among `rows`, matched again by exact key
// (the server may take True for 1 in $in): their _ids, those of generations
// above `above` only.
Ref ids_of_rows(PyObject* leases, PyObject* rows, Findings* exact, long above) {
    Ref in = dict({{NX_STR("$in"), rows}});
    Ref filter = in ? dict({{NX_ID(row), in.get()}}) : Ref();
    if (filter && above >= 0) {
        Ref bound = nx::integer(above);
        Ref gt = bound ? dict({{NX_STR("$gt"), bound.get()}}) : Ref();
        if (!gt || PyDict_SetItem(filter.get(), NX_ID(gen), gt.get()) < 0) return {};
    }
    Ref cursor = filter ? nx::call_method(leases, NX_ID(find), {filter.get()}) : Ref();
    Ref docs = cursor ? Ref::steal(PySequence_List(cursor.get())) : Ref();
    Ref ids = docs ? Ref::steal(PyList_New(0)) : Ref();
    if (!ids) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(docs.get()); ++i) {
        PyObject* d = PyList_GET_ITEM(docs.get(), i);
        Ref row = nx::item(d, NX_ID(row));
        if (!row) return {};
        if (!exact->of(row.get())) {
            if (PyErr_Occurred()) return {};
            continue;
        }
        Ref id = nx::item(d, NX_ID(_id));
        if (!id || PyList_Append(ids.get(), id.get()) < 0) return {};
    }
    return ids;
}

// delete_many({"_id": {"$in": ids}}); adds the count to *deleted.
int delete_ids(PyObject* leases, PyObject* ids, long* deleted) {
    if (PyList_GET_SIZE(ids) == 0) return 0;
    Ref in = dict({{NX_STR("$in"), ids}});
    Ref by_id = in ? dict({{NX_ID(_id), in.get()}}) : Ref();
    Ref res = by_id ? nx::call_method(leases, NX_ID(delete_many), {by_id.get()}) : Ref();
    Ref count = res ? nx::attr(res.get(), NX_ID(deleted_count)) : Ref();
    long n = count ? PyLong_AsLong(count.get()) : -1;
    if (n < 0) return PyErr_Occurred() ? -1 : 0;
    *deleted += n;
    return 0;
}

// One batch of finished lease documents: store the end records missing
// among them (copied from the finish, step id included), then delete their
// rows' generations after the first.
int drop_batch(nx::Function* f, PyObject* leases, PyObject* docs, double now, long* deleted) {
    Findings finished;
    if (!finished || finished.note_all(docs) < 0) return -1;
    std::vector<Generation> ends;
    Ref rows = Ref::steal(PyList_New(0));
    if (!rows) return -1;
    for (Newest& n : finished.all()) {
        if (!n.end_stored) ends.push_back(n.truth());
        if (PyList_Append(rows.get(), n.truth().row.get()) < 0) return -1;
    }
    // A duplicate is an end record stored meanwhile: the row ended either way.
    std::vector<bool> stored;
    if (insert_all(f, leases, ends, end_doc, now, &stored) < 0) return -1;
    if (PyList_GET_SIZE(rows.get()) == 0) return 0;
    Ref ids = ids_of_rows(leases, rows.get(), &finished, 1);
    return ids ? delete_ids(leases, ids.get(), deleted) : -1;
}

}  // namespace

Ref drop_finished(nx::Function* f, const Queue& q, PyObject* collection) {
    Ref col = queue_collection(f, q.global(), collection);
    Ref leases_raw = col ? lease_collection(col.get()) : Ref();
    Ref leases = leases_raw ? on_primary(f, leases_raw.get()) : Ref();
    Ref batch_arg = leases ? nx::global(f, NX_ID(_drop_batch)) : Ref();
    long batch;
    double now;
    if (!batch_arg || to_count(batch_arg.get(), "_drop_batch", &batch) < 0 ||
        server_now(col.get(), &now) < 0)
        return {};

    // The finished rows: their finish generations and end records (a scan;
    // this is upkeep, not a step of the work). Rows dropped before are taken
    // again, so a generation that a refused insert left in a freed _id (a
    // stale renewal, say) goes at the next drop.
    Ref filter = dict({{NX_ID(state), NX_STR("finished")}});
    Ref size = nx::integer(batch);
    Ref find = filter && size ? nx::attr(leases.get(), NX_ID(find)) : Ref();
    Ref cursor = find ? nx::call_kw(find.get(), {filter.get()}, {{NX_ID(batch_size), size.get()}})
                      : Ref();
    Ref it = cursor ? Ref::steal(PyObject_GetIter(cursor.get())) : Ref();
    if (!it) return {};
    long deleted = 0;
    for (bool more = true; more;) {
        Ref docs = Ref::steal(PyList_New(0));
        if (!docs) return {};
        while (PyList_GET_SIZE(docs.get()) < batch) {
            Ref d = Ref::steal(PyIter_Next(it.get()));
            if (!d) {
                more = false;
                break;
            }
            if (PyList_Append(docs.get(), d.get()) < 0) return {};
        }
        if (PyErr_Occurred() || drop_batch(f, leases.get(), docs.get(), now, &deleted) < 0)
            return {};
    }
    return nx::integer(deleted);
}

// Forget the lease history of rows (all rows when `ids` is None): their
// lease documents and their mirror fields. Upkeep for a stopped queue.
Ref reset_leases(nx::Function* f, const Queue& q, PyObject* ids, PyObject* collection) {
    Ref col = queue_collection(f, q.global(), collection);
    Ref leases = col ? lease_collection(col.get()) : Ref();
    if (!leases) return {};
    Ref unset = dict({{NX_ID(_lease_until), NX_STR("")},
                      {NX_ID(_lease_gen), NX_STR("")},
                      {NX_ID(_claims), NX_STR("")},
                      {NX_ID(_lease_done), NX_STR("")}});
    Ref update = unset ? dict({{NX_STR("$unset"), unset.get()}}) : Ref();
    if (!update) return {};
    long deleted = 0;
    if (ids == Py_None) {
        Ref all = Ref::steal(PyDict_New());
        Ref res = all ? nx::call_method(leases.get(), NX_ID(delete_many), {all.get()}) : Ref();
        Ref count = res ? nx::attr(res.get(), NX_ID(deleted_count)) : Ref();
        deleted = count ? PyLong_AsLong(count.get()) : -1;
        if (deleted < 0 ||
            !nx::call_method(col.get(), NX_ID(update_many), {all.get(), update.get()}))
            return {};
        return nx::integer(deleted);
    }
    Ref rows = Ref::steal(PySequence_List(ids));
    if (!rows) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "ids must be a list of row _ids or None, not %.100s",
                         Py_TYPE(ids)->tp_name);
        }
        return {};
    }
    if (PyList_GET_SIZE(rows.get()) == 0) return nx::integer(0);
    Findings exact;
    if (!exact) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i)
        if (!exact.of(PyList_GET_ITEM(rows.get(), i), true)) return {};
    Ref lease_ids = ids_of_rows(leases.get(), rows.get(), &exact, -1);
    if (!lease_ids || delete_ids(leases.get(), lease_ids.get(), &deleted) < 0) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        Ref one = dict({{NX_ID(_id), PyList_GET_ITEM(rows.get(), i)}});
        if (!one || !nx::call_method(col.get(), NX_ID(update_one), {one.get(), update.get()}))
            return {};
    }
    return nx::integer(deleted);
}

}  // namespace workqueue
