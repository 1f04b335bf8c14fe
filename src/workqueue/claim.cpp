// claim_input, claim_pl_input: the claim of docs/workqueue-protocol.md.
#include "operations.h"
#include "state.h"

#include <unistd.h>

#include <algorithm>
#include <string>

namespace workqueue {

using nx::dict;

const Queue kInput = {[] { return NX_ID(col_input); }, "reset_leases"};
const Queue kPlInput = {[] { return NX_ID(col_input_pdp); }, "reset_pl_leases"};

Ref and_query(PyObject* query, std::initializer_list<PyObject*> more) {
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return parts;
    if (query != Py_None && PyList_Append(parts.get(), query) < 0) return {};
    for (PyObject* m : more)
        if (!m || PyList_Append(parts.get(), m) < 0) return {};
    if (PyList_GET_SIZE(parts.get()) == 0) return Ref::steal(PyDict_New());
    return dict({{NX_STR("$and"), parts.get()}});
}

Ref absent_or(PyObject* field, PyObject* op, PyObject* bound) {
    Ref exists = dict({{NX_STR("$exists"), Py_False}});
    Ref missing = exists ? dict({{field, exists.get()}}) : Ref();
    Ref cmp = dict({{op, bound}});
    Ref cond = cmp ? dict({{field, cmp.get()}}) : Ref();
    Ref alts = missing && cond ? nx::list({missing.get(), cond.get()}) : Ref();
    return alts ? dict({{NX_STR("$or"), alts.get()}}) : Ref();
}

Ref not_done() {
    Ref ne = dict({{NX_STR("$ne"), Py_True}});
    return ne ? dict({{NX_ID(_lease_done), ne.get()}}) : Ref();
}

namespace {

constexpr int kMaxRounds = 3;  // claim attempts per call, when others win rows

// One claim call: its arguments, the collections it works on, and what it
// found on the way.
struct Claim {
    nx::Function* f = nullptr;
    const Queue* q = nullptr;
    Ref col;     // the input collection, reads on the primary
    Ref leases;  // its lease collection, reads on the primary
    Ref queue;   // the input collection's full name, stamped into handles
    PyObject* query = nullptr;
    PyObject* sort = nullptr;  // None, or the order in which candidates are tried
    bool named = false;        // the caller named the collection
    long limit = 0, max_claims = 0;
    double lease = 0, now = 0;
    Ref tried = Ref::steal(PySet_New(nullptr));  // row keys tried in this call
    std::vector<Newest> ended;                   // rows found finished: to repair
    std::vector<Generation> stuck;               // rows found at max_claims: mirror to repair
    std::vector<Generation> closing;             // ... whose last lease ran out: to close
    std::vector<Ref> suspects;                   // first claims of ended rows: re-seeded?
};

bool has_mirror(PyObject* doc) {
    return PyDict_Check(doc) && PyDict_GetItemWithError(doc, NX_ID(_lease_gen)) != nullptr;
}

// A claim of `row` at generation `gen`, with a new token.
int new_claim(const Claim& c, const Ref& row, long gen, long claims, const Ref& doc,
              std::vector<Generation>* out) {
    NX_ASSERT(gen >= 1 && claims >= 1);
    Ref token = random_id();
    if (!token) return -1;
    Generation lease;
    lease.row = row;
    lease.gen = gen;
    lease.claims = claims;
    lease.until = c.now + c.lease;
    lease.step = token;
    lease.token = std::move(token);
    lease.doc = doc;
    out->push_back(std::move(lease));
    return 0;
}

// What a read of the lease store says of a row the claim may take: ended
// (to repair), held by a live lease (left to its holder: the mirror forgot
// it), at max_claims (stuck: its mirror repaired, and a last lease that ran
// out closed), or free: claimed at the generation after the newest.
int decide(Claim& c, const Newest& n, const Ref& doc, std::vector<Generation>* out) {
    if (n.ended()) {
        c.ended.push_back(n);
        return 0;
    }
    const Generation& top = n.top;
    if (top.state == LeaseState::kHeld && top.until >= c.now) return 0;
    if (top.claims >= c.max_claims) {
        if (top.state != LeaseState::kHeld) {
            c.stuck.push_back(top);
            return 0;
        }
        // The last claim's lease ran out: the generation after it, given
        // back under a token of this claim's, ends it, so that the row is
        // stuck for good (its holder can no longer finish it) and leaves the
        // search.
        std::vector<Generation> one;
        if (new_claim(c, top.row, top.gen + 1, top.claims, Ref(), &one) < 0) return -1;
        one[0].state = LeaseState::kReleased;
        one[0].until = c.now;
        c.closing.push_back(std::move(one[0]));
        return 0;
    }
    return new_claim(c, top.row, top.gen + 1, top.claims + 1, doc, out);
}

// Candidates to read for `want` rows: workers that search at the same moment
// read the same first rows, so each reads three times what it wants (plus a
// few for small wants) and tries them in its own random order, or in the
// caller's sort order when it gives one; rows this call tried already come
// back in the search and are skipped, so they are read on top.
long candidates_to_read(long want, Py_ssize_t tried) { return want * 3 + 8 + (long)tried; }

std::mt19937_64& shuffler() {
    ModuleState& s = state();
    if (!s.shuffle || s.shuffle_pid != getpid()) {
        s.shuffle = std::make_unique<std::mt19937_64>(std::random_device{}());
        s.shuffle_pid = getpid();
    }
    return *s.shuffle;
}

// Search: rows that look free by the mirror. A row with no generation in
// its mirror is a first claim (generation 1); any other is a takeover
// candidate, with the mirror's generation as the lower bound of its read.
// Returns the number of rows read.
long search(Claim& c, PyObject* filter, long want, std::vector<Generation>* firsts,
            std::vector<Generation>* takeovers) {
    Ref n = nx::integer(candidates_to_read(want, PySet_GET_SIZE(c.tried.get())));
    Ref find = n ? nx::attr(c.col.get(), NX_ID(find)) : Ref();
    const bool sorted = c.sort != Py_None;
    Ref cursor = !find    ? Ref()
                 : sorted ? nx::call_kw(find.get(), {filter},
                                        {{NX_ID(limit), n.get()},
                                         {NX_ID(batch_size), n.get()},
                                         {NX_ID(sort), c.sort}})
                          : nx::call_kw(find.get(), {filter},
                                        {{NX_ID(limit), n.get()}, {NX_ID(batch_size), n.get()}});
    Ref docs = cursor ? Ref::steal(PySequence_List(cursor.get())) : Ref();
    if (!docs) return -1;
    std::vector<Py_ssize_t> order((size_t)PyList_GET_SIZE(docs.get()));
    for (size_t i = 0; i < order.size(); ++i) order[i] = (Py_ssize_t)i;
    if (!sorted) std::shuffle(order.begin(), order.end(), shuffler());
    for (Py_ssize_t i : order) {
        if ((long)(firsts->size() + takeovers->size()) >= want) break;
        PyObject* doc = PyList_GET_ITEM(docs.get(), i);
        Ref id = nx::item(doc, NX_ID(_id));
        Ref key = id ? row_key(id.get()) : Ref();
        int had = key ? PySet_Contains(c.tried.get(), key.get()) : -1;
        if (had < 0 || (!had && PySet_Add(c.tried.get(), key.get()) < 0)) return -1;
        if (had || !PyDict_Check(doc)) continue;
        long gen = long_field(doc, NX_ID(_lease_gen)), claims = long_field(doc, NX_ID(_claims));
        if (PyErr_Occurred()) return -1;
        Ref d = Ref::borrow(doc);
        if (gen == 0) {
            if (new_claim(c, id, 1, claims + 1, d, firsts) < 0) return -1;
        } else {
            Generation t;
            t.row = std::move(id);
            t.gen = gen;
            t.claims = claims;
            t.doc = std::move(d);
            takeovers->push_back(std::move(t));
        }
    }
    return (long)order.size();
}

// Takeovers are decided by the lease store, never by the mirror: the newest
// generation of each candidate is read (one look-up by _id), and a claim of
// the generation after it is made only where that read says the row is
// free. A row of which nothing is read in the window (its history deleted
// behind the mirror's back) is read whole; a row with no history at all is
// claimed afresh at generation 1.
int read_takeovers(Claim& c, const std::vector<Generation>& candidates,
                   std::vector<Generation>* out) {
    if (candidates.empty()) return 0;
    std::vector<std::pair<Ref, long>> rows;
    rows.reserve(candidates.size());
    for (const Generation& t : candidates) rows.emplace_back(t.row, t.gen);
    Findings found;
    if (read_newest(c.leases.get(), rows, &found) < 0) return -1;
    std::vector<const Generation*> unread;
    for (const Generation& t : candidates) {
        const Newest* n = found.of(t.row.get());
        if (n) {
            if (decide(c, *n, t.doc, out) < 0) return -1;
        } else if (PyErr_Occurred()) {
            return -1;
        } else {
            unread.push_back(&t);
        }
    }
    if (unread.empty()) return 0;
    Ref ids = Ref::steal(PyList_New(0));
    if (!ids) return -1;
    for (const Generation* t : unread)
        if (PyList_Append(ids.get(), t->row.get()) < 0) return -1;
    Ref in = dict({{NX_STR("$in"), ids.get()}});
    Ref filter = in ? dict({{NX_ID(row), in.get()}}) : Ref();
    Ref cursor = filter ? nx::call_method(c.leases.get(), NX_ID(find), {filter.get()}) : Ref();
    Ref docs = cursor ? Ref::steal(PySequence_List(cursor.get())) : Ref();
    Findings whole;
    if (!docs || !whole || whole.note_all(docs.get()) < 0) return -1;
    for (const Generation* t : unread) {
        const Newest* n = whole.of(t->row.get());
        if (!n && PyErr_Occurred()) return -1;
        int r = n ? decide(c, *n, t->doc, out)
                  : new_claim(c, t->row, 1, t->claims + 1, t->doc, out);
        if (r < 0) return -1;
    }
    return 0;
}

// Settling lost races. A lost insert: another worker took the row, or its
// mirror is behind its leases (a writer died between the two). The lease
// store decides, from a fresh read: a free row is tried again at its true
// next generation (a takeover decided by this read); a row held by a live
// lease is left to its holder, since on a server without atomic updates a
// write of ours could undo the holder's own; a row at max_claims gets its
// mirror repaired; an ended one is repaired, unless it was a first claim of
// a row without any mirror: then it may be a re-seeded row (checked below).
int settle_lost_races(Claim& c, const std::vector<Generation>& lost,
                      std::vector<Generation>* retry) {
    if (lost.empty()) return 0;
    std::vector<std::pair<Ref, long>> rows;
    rows.reserve(lost.size());
    for (const Generation& lease : lost) rows.emplace_back(lease.row, lease.gen - 1);
    Findings found;
    if (read_newest(c.leases.get(), rows, &found) < 0) return -1;
    for (const Generation& lease : lost) {
        const Newest* n = found.of(lease.row.get());
        if (!n) {
            if (PyErr_Occurred()) return -1;
            continue;  // nothing stored after all: left to the next search
        }
        if (n->ended() && lease.gen == 1 && lease.doc && !has_mirror(lease.doc.get())) {
            if (PyErr_Occurred()) return -1;
            c.suspects.push_back(lease.row);
            continue;
        }
        if (decide(c, *n, Ref(), retry) < 0) return -1;
    }
    return 0;
}

// Rows that the lease store says ended but whose document has no mirror at
// all: read again on the primary (a stale search could have missed the
// mirror). Still without one, the row was deleted and inserted again (or a
// job's own write replaced it whole): it is re-seeded, and neither worked
// nor written. With one, it is repaired like any ended row.
int sort_suspects(Claim& c, Ref* reseeded) {
    *reseeded = Ref::steal(PyList_New(0));
    if (!*reseeded) return -1;
    if (c.suspects.empty()) return 0;
    Ref ids = Ref::steal(PyList_New(0));
    if (!ids) return -1;
    for (const Ref& r : c.suspects)
        if (PyList_Append(ids.get(), r.get()) < 0) return -1;
    Ref rows = find_ids(c.col.get(), ids.get());
    Ref mirrored = rows ? Ref::steal(PySet_New(nullptr)) : Ref();
    if (!mirrored) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
        PyObject* row = PyList_GET_ITEM(rows.get(), i);
        Ref id = nx::item(row, NX_ID(_id));
        Ref key = id ? row_key(id.get()) : Ref();
        if (!key) return -1;
        bool mirror = has_mirror(row);
        if (PyErr_Occurred()) return -1;
        if ((mirror ? PySet_Add(mirrored.get(), key.get())
                    : PyList_Append(reseeded->get(), id.get())) < 0)
            return -1;
    }
    // The mirrored ones are read once more, as ended rows, to be repaired.
    std::vector<std::pair<Ref, long>> again;
    for (const Ref& r : c.suspects) {
        Ref key = row_key(r.get());
        int m = key ? PySet_Contains(mirrored.get(), key.get()) : -1;
        if (m < 0) return -1;
        if (m) again.emplace_back(r, 0);
    }
    Findings found;
    if (!found || read_newest(c.leases.get(), again, &found) < 0) return -1;
    for (Newest& n : found.all())
        if (n.ended()) c.ended.push_back(n);
    return 0;
}

// A won takeover can still be void: the row finished and its history was
// dropped (see drop_finished_leases), and the insert filled a freed _id.
// The end record, stored before anything was freed, says so; one look-up by
// _id reads it for every won takeover. A void claim hands nothing out (the
// row is repaired). A first claim (generation 1) cannot fill a freed _id, as
// generation 1 is never freed, so the common batch of first claims needs no
// look-up.
int drop_void_claims(Claim& c, std::vector<Generation>* won) {
    Ref ids = Ref::steal(PyList_New(0));
    if (!ids) return -1;
    for (const Generation& lease : *won) {
        if (lease.gen == 1) continue;
        Ref id = lease_id(lease.row.get(), 0);
        if (!id || PyList_Append(ids.get(), id.get()) < 0) return -1;
    }
    if (PyList_GET_SIZE(ids.get()) == 0) return 0;
    Findings found;
    if (read_into(c.leases.get(), ids.get(), &found) < 0) return -1;
    std::vector<Generation> kept;
    for (Generation& lease : *won) {
        const Newest* n = lease.gen == 1 ? nullptr : found.of(lease.row.get());
        if (!n && PyErr_Occurred()) return -1;
        if (n && n->end_stored)
            c.ended.push_back(*n);
        else
            kept.push_back(std::move(lease));
    }
    won->swap(kept);
    return 0;
}

// Repair of rows found ended whose mirror did not say so (a finisher that
// died before its status write, a status write undone by a non-atomic write
// of another, a row finished before the mirror knew "_lease_done"): store
// the end record where it is missing and write the finish's status, only
// into rows that have the mirror. Nothing is claimed.
int finish_again(Claim& c) {
    std::vector<Generation> ends, finishes;
    for (const Newest& n : c.ended) {
        const Generation& t = n.truth();
        if (!t.status) continue;  // an end record of an older writer: nothing to say
        if (!n.end_stored) ends.push_back(t);
        finishes.push_back(t);
    }
    std::vector<bool> stored, closed;
    if (insert_all(c.f, c.leases.get(), ends, end_doc, c.now, &stored) < 0) return -1;
    if (write_mirror(c.col.get(), finishes, std::vector<bool>(finishes.size(), true),
                     MirrorWrite::kRepair) < 0)
        return -1;
    if (insert_all(c.f, c.leases.get(), c.closing, lease_doc, c.now, &closed) < 0 ||
        write_mirror(c.col.get(), c.closing, closed) < 0)
        return -1;
    // A stuck row's mirror: its claim count, and no lease. Its generation is
    // left as it is: a generation is mirrored by its own step only.
    for (const Generation& lease : c.stuck) {
        Ref claims = nx::integer(lease.claims);
        Ref set = claims ? dict({{NX_ID(_claims), claims.get()}}) : Ref();
        Ref unset = dict({{NX_ID(_lease_until), NX_STR("")}});
        Ref update = set && unset
                         ? dict({{NX_STR("$set"), set.get()}, {NX_STR("$unset"), unset.get()}})
                         : Ref();
        Ref filter = dict({{NX_ID(_id), lease.row.get()}});
        if (!update || !filter ||
            !nx::call_method(c.col.get(), NX_ID(update_one), {filter.get(), update.get()}))
            return -1;
    }
    return 0;
}

// Give won claims back at once: the generation after each, released.
int give_back(Claim& c, const std::vector<Generation>& won) {
    std::vector<Generation> back = won;
    for (Generation& lease : back) {
        lease.gen += 1;
        lease.state = LeaseState::kReleased;
        lease.until = c.now;
    }
    std::vector<bool> ok;
    if (insert_all(c.f, c.leases.get(), back, lease_doc, c.now, &ok) < 0) return -1;
    return write_mirror(c.col.get(), back, ok);
}

// Re-read with give-back: a row taken over from an earlier lease is read
// again (on the primary) and given back when it no longer matches the
// query: it was finished just as that lease ran out. A row leased for the
// first time is as the search read it. Appends the handed-out rows,
// stamped, to `result`.
int reread_taken_over(Claim& c, std::vector<Generation>& won, PyObject* result) {
    Ref again = Ref::steal(PyList_New(0));
    if (!again) return -1;
    for (const Generation& lease : won)
        if ((lease.gen > 1 || !lease.doc) && PyList_Append(again.get(), lease.row.get()) < 0)
            return -1;
    Ref rows_by_key = Ref::steal(PyDict_New());
    if (!rows_by_key) return -1;
    if (PyList_GET_SIZE(again.get()) > 0) {
        Ref in = dict({{NX_STR("$in"), again.get()}});
        Ref by_id = in ? dict({{NX_ID(_id), in.get()}}) : Ref();
        Ref reread = by_id ? and_query(c.query, {by_id.get()}) : Ref();
        Ref cursor = reread ? nx::call_method(c.col.get(), NX_ID(find), {reread.get()}) : Ref();
        Ref rows = cursor ? Ref::steal(PySequence_List(cursor.get())) : Ref();
        if (!rows) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
            PyObject* row = PyList_GET_ITEM(rows.get(), i);
            Ref id = nx::item(row, NX_ID(_id));
            Ref key = id ? row_key(id.get()) : Ref();
            if (!key || PyDict_SetItem(rows_by_key.get(), key.get(), row) < 0) return -1;
        }
    }
    std::vector<Generation> gone;
    for (Generation& lease : won) {
        PyObject* row = lease.doc.get();
        if (lease.gen > 1 || !row) {
            Ref key = row_key(lease.row.get());
            row = key ? PyDict_GetItemWithError(rows_by_key.get(), key.get()) : nullptr;
            if (!row) {
                if (PyErr_Occurred()) return -1;
                gone.push_back(lease);
                continue;
            }
        }
        // The caller sees the lease as stored, whatever the mirror shows.
        if (stamp_handle(row, lease, c.queue.get()) < 0 || PyList_Append(result, row) < 0)
            return -1;
    }
    return give_back(c, gone);
}

constexpr char kReseeded[] =
    "%zd row(s) of %s finished before and are back without their lease fields, as rows "
    "deleted and inserted again are: %s%s. Their old lease history marks them finished, so "
    "they are neither handed out nor written. To work them as new rows, call "
    "workqueue.%s(e.ids%s) (e: this error) while no worker holds them.";

// ReseededRowsError, naming the rows and the remedy; its `ids` are the rows.
void raise_reseeded(const Claim& c, PyObject* ids) {
    Ref shown = PyList_GET_SIZE(ids) > 5 ? Ref::steal(PyList_GetSlice(ids, 0, 5))
                                         : Ref::borrow(ids);
    Ref text = shown ? Ref::steal(PyObject_Repr(shown.get())) : Ref();
    const char* rows = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    const char* coll = rows ? PyUnicode_AsUTF8(c.queue.get()) : nullptr;
    if (!coll) return;
    const char* more = PyList_GET_SIZE(ids) > 5 ? " ..." : "";
    Ref message = Ref::steal(PyUnicode_FromFormat(kReseeded, PyList_GET_SIZE(ids), coll, rows, more,
                                                  c.named ? "reset_leases" : c.q->reset_name,
                                                  c.named ? ", collection=<this collection>" : ""));
    Ref error = message ? nx::call(state().reseeded_error, {message.get()}) : Ref();
    if (!error || PyObject_SetAttr(error.get(), NX_ID(ids), ids) < 0) return;
    PyErr_SetObject(state().reseeded_error, error.get());
}

}  // namespace

Ref claim(nx::Function* f, const Queue& q, PyObject* query, PyObject* limit_arg,
          PyObject* lease_arg, PyObject* max_claims_arg, PyObject* collection, PyObject* sort) {
    Claim c;
    c.f = f;
    c.q = &q;
    c.query = query;
    c.sort = sort;
    c.named = collection != Py_None;
    if (check_query(query) < 0 || to_count(limit_arg, "limit", &c.limit) < 0 ||
        to_seconds(lease_arg, "lease", &c.lease) < 0 ||
        to_count(max_claims_arg, "max_claims", &c.max_claims) < 0)
        return {};
    Ref col = queue_collection(f, q.global(), collection);
    c.col = col ? on_primary(f, col.get()) : Ref();
    Ref leases = c.col ? lease_collection(col.get()) : Ref();
    c.leases = leases ? on_primary(f, leases.get()) : Ref();
    c.queue = c.leases ? nx::attr(col.get(), NX_ID(full_name)) : Ref();
    if (!c.queue || !c.tried || server_now(col.get(), &c.now) < 0) return {};

    // Rows that match, did not finish, and whose mirror shows no live lease
    // and fewer claims than max_claims; or a lease that ran out at
    // max_claims (to be closed, or repaired if it finished).
    Ref t_now = Ref::steal(PyFloat_FromDouble(c.now)), t_max = nx::integer(c.max_claims);
    Ref not_held = t_now ? absent_or(NX_ID(_lease_until), NX_STR("$lt"), t_now.get()) : Ref();
    Ref lt_max = t_max ? dict({{NX_STR("$lt"), t_max.get()}}) : Ref();
    Ref exists = dict({{NX_STR("$exists"), Py_True}}),
        absent = dict({{NX_STR("$exists"), Py_False}});
    Ref alts = lt_max && exists && absent
                   ? nx::list({dict({{NX_ID(_claims), absent.get()}}).get(),
                               dict({{NX_ID(_claims), lt_max.get()}}).get(),
                               dict({{NX_ID(_lease_until), exists.get()}}).get()})
                   : Ref();
    Ref not_stuck = alts ? dict({{NX_STR("$or"), alts.get()}}) : Ref();
    Ref open = not_done();
    Ref filter = (not_held && not_stuck && open)
                     ? and_query(query, {open.get(), not_held.get(), not_stuck.get()})
                     : Ref();
    if (!filter) return {};

    std::vector<Generation> won, retry;
    for (int round = 0; round < kMaxRounds && (long)won.size() < c.limit; ++round) {
        std::vector<Generation> gens = std::move(retry), lost, firsts, takeovers;
        retry.clear();
        long want = c.limit - (long)won.size() - (long)gens.size();
        long read = 0;
        if (want > 0) {
            read = search(c, filter.get(), want, &firsts, &takeovers);
            if (read < 0 || read_takeovers(c, takeovers, &gens) < 0) return {};
            for (Generation& lease : firsts) gens.push_back(std::move(lease));
        }
        if (gens.empty()) {
            if (read == 0) break;
            continue;  // the rows read were not free after all: read further
        }
        std::vector<bool> ok;
        if (insert_all(f, c.leases.get(), gens, lease_doc, c.now, &ok) < 0) return {};
        for (size_t i = 0; i < gens.size(); ++i) (ok[i] ? won : lost).push_back(std::move(gens[i]));
        if (settle_lost_races(c, lost, &retry) < 0) return {};
    }
    Ref reseeded;
    if (sort_suspects(c, &reseeded) < 0 || drop_void_claims(c, &won) < 0 || finish_again(c) < 0)
        return {};
    if (PyList_GET_SIZE(reseeded.get()) > 0) {
        if (give_back(c, won) < 0) return {};
        raise_reseeded(c, reseeded.get());
        return {};
    }
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return {};
    if (won.empty()) return result;
    if (write_mirror(c.col.get(), won, std::vector<bool>(won.size(), true)) < 0) return {};
    if (reread_taken_over(c, won, result.get()) < 0) return {};
    return result;
}

}  // namespace workqueue
