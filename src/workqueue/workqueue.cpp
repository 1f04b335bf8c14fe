// Nexra_publish.workqueue: many workers sharing the input collections of
// Scrape_common through leased claims.
//
// A lease is a document of the collection "<input name>_leases" whose _id is
// {"row": <row _id>, "gen": n}. The newest generation of a row is the truth:
// it is held by its owner until "until", or "released". Taking a row (claim),
// renewing it (extend) and giving it back (release) all insert the next
// generation; whoever inserts it first has it, every other writer gets a
// duplicate key error. Nothing is ever updated in place or deleted there, so
// a decision made on a stale read can only fail to insert.
//
// The underscore fields written into the input rows (_lease_until,
// _lease_gen, _claims) narrow the search for free rows and feed
// queue_progress; no decision about who holds a row rests on them.
#include "../capi/pyfunc.h"
#include "../capi/pymodule.h"

#include <datetime.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using nx::Ref;

constexpr int kMaxRounds = 3;          // claim attempts per call, when others win rows
constexpr double kRateWindow = 60.0;   // seconds of progress samples for the rate
constexpr size_t kMaxSampleKeys = 64;  // distinct (queue, query) progress series kept

// ---------------------------------------------------------------------------
// Small builders
// ---------------------------------------------------------------------------

using Entry = std::pair<PyObject*, PyObject*>;

// A new dict of the given (key, value) entries, in order.
Ref dict(std::initializer_list<Entry> entries) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return d;
    for (const Entry& e : entries)
        if (!e.second || PyDict_SetItem(d.get(), e.first, e.second) < 0) return {};
    return d;
}

Ref list_of(std::initializer_list<PyObject*> items) {
    Ref l = Ref::steal(PyList_New(0));
    if (!l) return l;
    for (PyObject* i : items)
        if (!i || PyList_Append(l.get(), i) < 0) return {};
    return l;
}

Ref real(double v) { return Ref::steal(PyFloat_FromDouble(v)); }

// [{field: {"$exists": False}}, {field: {op: bound}}]
Ref absent_or_alternatives(PyObject* field, PyObject* op, PyObject* bound) {
    Ref exists = dict({{NX_STR("$exists"), Py_False}});
    Ref missing = exists ? dict({{field, exists.get()}}) : Ref();
    Ref cmp = dict({{op, bound}});
    Ref cond = cmp ? dict({{field, cmp.get()}}) : Ref();
    return (missing && cond) ? list_of({missing.get(), cond.get()}) : Ref();
}

// {"$or": [{field: {"$exists": False}}, {field: {op: bound}}]}
Ref absent_or(PyObject* field, PyObject* op, PyObject* bound) {
    Ref alts = absent_or_alternatives(field, op, bound);
    return alts ? dict({{NX_STR("$or"), alts.get()}}) : Ref();
}

// {"$and": [query, *more]}, or the conditions alone when query is None.
Ref and_query(PyObject* query, std::initializer_list<PyObject*> more) {
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return parts;
    if (query != Py_None && PyList_Append(parts.get(), query) < 0) return {};
    for (PyObject* m : more)
        if (!m || PyList_Append(parts.get(), m) < 0) return {};
    if (PyList_GET_SIZE(parts.get()) == 0) return Ref::steal(PyDict_New());
    return dict({{NX_STR("$and"), parts.get()}});
}

// ---------------------------------------------------------------------------
// Worker identity: host, process id and a random part; new after a fork
// ---------------------------------------------------------------------------

pid_t identity_pid = -1;
std::string identity;

const std::string& worker_identity() {
    pid_t pid = getpid();
    if (pid != identity_pid) {
        char host[256] = "localhost";
        if (gethostname(host, sizeof host - 1) != 0) std::snprintf(host, sizeof host, "localhost");
        host[sizeof host - 1] = '\0';
        std::random_device rd;
        char buf[400];
        std::snprintf(buf, sizeof buf, "%s:%ld:%08x%04x", host, (long)pid, (unsigned)rd(),
                      (unsigned)(rd() & 0xffff));
        identity = buf;
        identity_pid = pid;
    }
    return identity;
}

Ref worker_id_str() { return nx::str(worker_identity()); }

// ---------------------------------------------------------------------------
// Collections and the clock
// ---------------------------------------------------------------------------

// Scrape_common.<name>, read from that module at every call.
Ref input_collection(nx::Function* f, PyObject* name) {
    Ref sc = nx::global(f, NX_ID(Scrape_common));
    return sc ? nx::attr(sc.get(), name) : Ref();
}

// col.database[col.name + "_leases"]
Ref lease_collection(PyObject* col) {
    Ref db = nx::attr(col, NX_ID(database));
    Ref name = db ? nx::attr(col, NX_ID(name)) : Ref();
    Ref full = name ? nx::concat({name.get(), NX_STR("_leases")}) : Ref();
    return full ? nx::item(db.get(), full.get()) : Ref();
}

// Days from 1970-01-01 to a proleptic Gregorian date.
long days_from_civil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    long era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = (unsigned)(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (long)doe - 719468;
}

// The database server's clock, in seconds since the epoch: "localTime" of
// the hello command. A server that does not report it leaves the local
// clock to decide.
int server_now(PyObject* col, double* now) {
    Ref db = nx::attr(col, NX_ID(database));
    Ref hello = db ? nx::call_method(db.get(), NX_ID(command), {NX_STR("hello")}) : Ref();
    if (!hello) return -1;
    Ref t = Ref::steal(PyObject_GetItem(hello.get(), NX_STR("localTime")));
    if (t && PyDateTime_Check(t.get())) {
        PyObject* tz = nx::attr(t.get(), NX_ID(tzinfo)).release();
        if (!tz) return -1;
        bool naive = tz == Py_None;
        Py_DECREF(tz);
        if (naive) {  // the driver's default: UTC without a zone
            PyObject* d = t.get();
            long days = days_from_civil(PyDateTime_GET_YEAR(d), PyDateTime_GET_MONTH(d),
                                        PyDateTime_GET_DAY(d));
            *now = days * 86400.0 + PyDateTime_DATE_GET_HOUR(d) * 3600.0 +
                   PyDateTime_DATE_GET_MINUTE(d) * 60.0 + PyDateTime_DATE_GET_SECOND(d) +
                   PyDateTime_DATE_GET_MICROSECOND(d) / 1e6;
            return 0;
        }
        Ref ts = nx::call_method(t.get(), NX_ID(timestamp));
        if (!ts) return -1;
        *now = PyFloat_AsDouble(ts.get());
        return (*now == -1.0 && PyErr_Occurred()) ? -1 : 0;
    }
    if (!t) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
        PyErr_Clear();
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    *now = ts.tv_sec + ts.tv_nsec / 1e9;
    return 0;
}

// ---------------------------------------------------------------------------
// Arguments
// ---------------------------------------------------------------------------

int to_double(PyObject* v, const char* what, double* out) {
    *out = PyFloat_AsDouble(v);
    if (*out == -1.0 && PyErr_Occurred()) return -1;
    if (!std::isfinite(*out) || *out < 0) {
        PyErr_Format(PyExc_ValueError, "%s must be a finite number of seconds >= 0", what);
        return -1;
    }
    return 0;
}

int to_count(PyObject* v, const char* what, long* out) {
    *out = PyLong_AsLong(v);
    if (*out == -1 && PyErr_Occurred()) return -1;
    if (*out < 1) {
        PyErr_Format(PyExc_ValueError, "%s must be at least 1", what);
        return -1;
    }
    return 0;
}

// A document: a dict, or a mapping with keys() (SON, RawBSONDocument).
bool is_document(PyObject* x) { return PyDict_Check(x) || PyObject_HasAttr(x, NX_ID(keys)); }

int check_query(PyObject* query) {
    if (query == Py_None || is_document(query)) return 0;
    PyErr_Format(PyExc_TypeError, "query must be a mapping or None, not %.100s",
                 Py_TYPE(query)->tp_name);
    return -1;
}

// The row _ids of `items`: a mapping gives its "_id", anything else is an _id.
Ref row_ids(PyObject* items) {
    Ref ids = Ref::steal(PyList_New(0));
    Ref it = ids ? Ref::steal(PyObject_GetIter(items)) : Ref();
    if (!it) return {};
    while (Ref x = Ref::steal(PyIter_Next(it.get()))) {
        Ref id = is_document(x.get()) ? nx::item(x.get(), NX_ID(_id)) : x;
        if (!id || PyList_Append(ids.get(), id.get()) < 0) return {};
    }
    return PyErr_Occurred() ? Ref() : ids;
}

// ---------------------------------------------------------------------------
// Lease generations
// ---------------------------------------------------------------------------

// The newest generation of a row, as read.
struct Latest {
    long gen = 0;       // 0: never leased
    long claims = 0;
    bool held = false;  // state "held" (not "released")
    double until = 0;
    Ref owner;
};

// A row _id as a dict key: itself when hashable, else its repr.
Ref row_key(PyObject* id) {
    if (PyObject_Hash(id) != -1) return Ref::borrow(id);
    PyErr_Clear();
    Ref r = Ref::steal(PyObject_Repr(id));
    return r ? Ref::steal(PyTuple_Pack(2, NX_STR("repr"), r.get())) : Ref();
}

long long_field(PyObject* doc, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(doc, name);
    if (!v) return 0;
    long n = PyLong_AsLong(v);
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    return n < 0 ? 0 : n;
}

// The newest generation of each of `ids` (one query): key -> Latest.
int read_latest(PyObject* leases, PyObject* ids, std::map<PyObject*, Latest>* out,
                Ref* keys_holder) {
    Ref in = dict({{NX_STR("$in"), ids}});
    Ref filter = in ? dict({{NX_ID(row), in.get()}}) : Ref();
    Ref cursor = filter ? nx::call_method(leases, NX_ID(find), {filter.get()}) : Ref();
    Ref it = cursor ? Ref::steal(PyObject_GetIter(cursor.get())) : Ref();
    if (!it) return -1;
    // The keys are kept alive by this dict for the life of `out`.
    Ref index = Ref::steal(PyDict_New());
    if (!index) return -1;
    while (Ref doc = Ref::steal(PyIter_Next(it.get()))) {
        if (!PyDict_Check(doc.get())) continue;
        PyObject* row = PyDict_GetItemWithError(doc.get(), NX_ID(row));
        if (!row) {
            if (PyErr_Occurred()) return -1;
            continue;
        }
        Ref key = row_key(row);
        if (!key) return -1;
        PyObject* canon = PyDict_SetDefault(index.get(), key.get(), key.get());
        if (!canon) return -1;
        long gen = long_field(doc.get(), NX_ID(gen));
        Latest& l = (*out)[canon];
        if (gen <= l.gen) continue;
        l.gen = gen;
        l.claims = long_field(doc.get(), NX_ID(claims));
        PyObject* state = PyDict_GetItemWithError(doc.get(), NX_ID(state));
        l.held = state && PyUnicode_Check(state) &&
                 PyUnicode_CompareWithASCIIString(state, "held") == 0;
        PyObject* until = PyDict_GetItemWithError(doc.get(), NX_ID(until));
        l.until = until ? PyFloat_AsDouble(until) : 0;
        if (PyErr_Occurred()) return -1;
        l.owner = Ref::borrow(PyDict_GetItemWithError(doc.get(), NX_ID(owner)));
    }
    if (PyErr_Occurred()) return -1;
    *keys_holder = std::move(index);
    return 0;
}

// A lease generation to insert.
struct Generation {
    Ref row;
    long gen;
    long claims;
    bool held;
    double until;
    Ref doc;  // the caller's document of the row, when there is one
};

// Tell the caller's document its lease: _lease_until, _lease_gen, _claims
// and, while this worker holds it, _lease_owner and _lease_queue (the input
// collection's name), which let extend_lease and release skip reading the
// leases. A document given back loses the last two.
int stamp_lease(PyObject* doc, const Generation& g, PyObject* owner, PyObject* queue) {
    if (!PyDict_Check(doc)) return 0;
    Ref gen = nx::integer(g.gen), claims = nx::integer(g.claims), until = real(g.until);
    if (!gen || !claims || !until || PyDict_SetItem(doc, NX_ID(_lease_gen), gen.get()) < 0 ||
        PyDict_SetItem(doc, NX_ID(_claims), claims.get()) < 0)
        return -1;
    if (g.held)
        return PyDict_SetItem(doc, NX_ID(_lease_until), until.get()) < 0 ||
                       PyDict_SetItem(doc, NX_ID(_lease_owner), owner) < 0 ||
                       PyDict_SetItem(doc, NX_ID(_lease_queue), queue) < 0
                   ? -1
                   : 0;
    for (PyObject* name : {NX_ID(_lease_until), NX_ID(_lease_owner), NX_ID(_lease_queue)})
        if (PyDict_DelItem(doc, name) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
            PyErr_Clear();
        }
    return 0;
}

Ref lease_doc(const Generation& g, PyObject* owner, double now) {
    Ref gen = nx::integer(g.gen), claims = nx::integer(g.claims);
    Ref at = real(now), until = real(g.until);
    Ref id = gen ? dict({{NX_ID(row), g.row.get()}, {NX_ID(gen), gen.get()}}) : Ref();
    if (!id) return {};
    return dict({{NX_ID(_id), id.get()},
                 {NX_ID(row), g.row.get()},
                 {NX_ID(gen), gen.get()},
                 {NX_ID(owner), owner},
                 {NX_ID(state), g.held ? NX_STR("held") : NX_STR("released")},
                 {NX_ID(at), at.get()},
                 {NX_ID(until), until.get()},
                 {NX_ID(claims), claims.get()}});
}

// Insert the generations (one round trip); `won[i]` tells whether the i-th
// was stored. Only duplicate key errors are taken as lost races.
int insert_generations(nx::Function* f, PyObject* leases, const std::vector<Generation>& gens,
                       double now, std::vector<bool>* won) {
    won->assign(gens.size(), true);
    if (gens.empty()) return 0;
    Ref owner = worker_id_str();
    Ref docs = owner ? Ref::steal(PyList_New(0)) : Ref();
    if (!docs) return -1;
    for (const Generation& g : gens) {
        Ref d = lease_doc(g, owner.get(), now);
        if (!d || PyList_Append(docs.get(), d.get()) < 0) return -1;
    }
    Ref insert = nx::attr(leases, NX_ID(insert_many));
    if (!insert) return -1;
    if (nx::call_kw(insert.get(), {docs.get()}, {{NX_ID(ordered), Py_False}})) return 0;

    Ref caught;
    if (nx::except([f] { return nx::global(f, NX_ID(BulkWriteError)); }, &caught) <= 0) return -1;
    Ref details = nx::attr(caught.get(), NX_ID(details));
    Ref errors = details ? nx::item(details.get(), NX_ID(writeErrors)) : Ref();
    Ref it = errors ? Ref::steal(PyObject_GetIter(errors.get())) : Ref();
    if (!it) return -1;
    while (Ref e = Ref::steal(PyIter_Next(it.get()))) {
        Ref code = nx::item(e.get(), NX_ID(code));
        Ref index = code ? nx::item(e.get(), NX_ID(index)) : Ref();
        if (!index) return -1;
        long c = PyLong_AsLong(code.get()), i = PyLong_AsLong(index.get());
        if (PyErr_Occurred()) return -1;
        if (c != 11000 || i < 0 || (size_t)i >= gens.size()) {
            nx::raise_again(std::move(caught));
            return -1;
        }
        (*won)[(size_t)i] = false;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// Mirror the new generations into the rows' underscore fields. Rows whose
// new mirror is the same (a batch of first claims, say) share one update
// command: {"_id": {"$in": rows}} or, for a single row, {"_id": row}. A row
// whose mirror already shows a newer generation is left alone. (One command
// per row would do as well on MongoDB, but the test database stalls on bulk
// writes of many statements.)
int write_hints(nx::Function*, PyObject* col, const std::vector<Generation>& gens,
                const std::vector<bool>& won) {
    struct Group {
        const Generation* first;
        Ref rows;
    };
    std::map<std::tuple<long, long, bool, double>, Group> groups;
    for (size_t i = 0; i < gens.size(); ++i) {
        if (!won[i]) continue;
        const Generation& g = gens[i];
        Group& group = groups[std::make_tuple(g.gen, g.claims, g.held, g.held ? g.until : 0.0)];
        if (!group.rows) {
            group.first = &g;
            group.rows = Ref::steal(PyList_New(0));
            if (!group.rows) return -1;
        }
        if (PyList_Append(group.rows.get(), g.row.get()) < 0) return -1;
    }
    for (auto& entry : groups) {
        const Generation& g = *entry.second.first;
        PyObject* rows = entry.second.rows.get();
        Ref gen = nx::integer(g.gen), claims = nx::integer(g.claims), until = real(g.until);
        bool one = PyList_GET_SIZE(rows) == 1;
        Ref in = one ? Ref::borrow(PyList_GET_ITEM(rows, 0)) : dict({{NX_STR("$in"), rows}});
        // {"_id": ..., "$or": [{"_lease_gen": {"$exists": False}}, {"_lease_gen": {"$lt": gen}}]}
        Ref older = gen ? absent_or_alternatives(NX_ID(_lease_gen), NX_STR("$lt"), gen.get()) : Ref();
        Ref filter = (older && in) ? dict({{NX_ID(_id), in.get()}, {NX_STR("$or"), older.get()}}) : Ref();
        Ref set = g.held ? dict({{NX_ID(_lease_until), until.get()},
                                 {NX_ID(_lease_gen), gen.get()},
                                 {NX_ID(_claims), claims.get()}})
                         : dict({{NX_ID(_lease_gen), gen.get()}, {NX_ID(_claims), claims.get()}});
        Ref update = set ? dict({{NX_STR("$set"), set.get()}}) : Ref();
        if (update && !g.held) {
            Ref unset = dict({{NX_ID(_lease_until), NX_STR("")}});
            if (!unset || PyDict_SetItem(update.get(), NX_STR("$unset"), unset.get()) < 0) return -1;
        }
        if (!filter || !update ||
            !nx::call_method(col, one ? NX_ID(update_one) : NX_ID(update_many),
                             {filter.get(), update.get()}))
            return -1;
    }
    return 0;
}

// The generation that renews (or gives back) a lease of this worker.
Generation successor(PyObject* row, long gen, long claims, bool renew, double now, double lease) {
    return {Ref::borrow(row), gen + 1, claims, renew, renew ? now + lease : now, Ref()};
}

// Renew or give back this worker's leases on rows of one input collection:
// `docs` carry the generation this worker holds (stamped by its claim), so
// the next one is inserted at once; for the `ids`, and for documents whose
// generation is no longer the newest, the leases are read. Returns how many
// were renewed / given back, or -1.
long renew_or_release(nx::Function* f, PyObject* col, const std::vector<PyObject*>& docs,
                      PyObject* ids, bool renew, double lease) {
    Ref leases = lease_collection(col);
    Ref me = worker_id_str();
    Ref queue = me ? nx::attr(col, NX_ID(name)) : Ref();
    Ref done = Ref::steal(PySet_New(nullptr));  // rows dealt with
    Ref unknown = Ref::steal(PyList_New(0));    // rows whose leases are read
    double now;
    if (!leases || !queue || !done || !unknown || server_now(col, &now) < 0) return -1;
    long count = 0;
    auto apply = [&](std::vector<Generation>& gens, bool retry_lost) -> int {
        std::vector<bool> won;
        if (insert_generations(f, leases.get(), gens, now, &won) < 0) return -1;
        for (size_t i = 0; i < gens.size(); ++i) {
            Ref key = row_key(gens[i].row.get());
            if (!key) return -1;
            if (!won[i]) {
                if (retry_lost && PyList_Append(unknown.get(), gens[i].row.get()) < 0) return -1;
                continue;
            }
            ++count;
            if (PySet_Add(done.get(), key.get()) < 0) return -1;
            if (gens[i].doc && stamp_lease(gens[i].doc.get(), gens[i], me.get(), queue.get()) < 0)
                return -1;
        }
        return write_hints(f, col, gens, won);
    };

    std::vector<Generation> known;
    for (PyObject* doc : docs) {
        Ref id = nx::item(doc, NX_ID(_id));
        if (!id) return -1;
        long gen = long_field(doc, NX_ID(_lease_gen)), claims = long_field(doc, NX_ID(_claims));
        if (PyErr_Occurred()) return -1;
        known.push_back(successor(id.get(), gen, claims, renew, now, lease));
        known.back().doc = Ref::borrow(doc);
    }
    if (apply(known, true) < 0) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids); ++i)
        if (PyList_Append(unknown.get(), PyList_GET_ITEM(ids, i)) < 0) return -1;
    if (PyList_GET_SIZE(unknown.get()) == 0) return count;

    std::map<PyObject*, Latest> latest;
    Ref keys;
    if (read_latest(leases.get(), unknown.get(), &latest, &keys) < 0) return -1;
    std::vector<Generation> gens;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(unknown.get()); ++i) {
        PyObject* id = PyList_GET_ITEM(unknown.get(), i);
        Ref key = row_key(id);
        int seen = key ? PySet_Contains(done.get(), key.get()) : -1;
        if (seen < 0 || (!seen && PySet_Add(done.get(), key.get()) < 0)) return -1;
        PyObject* canon = seen ? nullptr : PyDict_GetItemWithError(keys.get(), key.get());
        if (!canon) {
            if (PyErr_Occurred()) return -1;
            continue;
        }
        const Latest& l = latest[canon];
        if (!l.held || !l.owner) continue;
        int mine = PyObject_RichCompareBool(l.owner.get(), me.get(), Py_EQ);
        if (mine < 0) return -1;
        if (mine) gens.push_back(successor(id, l.gen, l.claims, renew, now, lease));
    }
    return apply(gens, false) < 0 ? -1 : count;
}

// ---------------------------------------------------------------------------
// claim_input, claim_pl_input
// ---------------------------------------------------------------------------

Ref claim(nx::Function* f, PyObject* col_name, PyObject* query, PyObject* limit_arg,
          PyObject* lease_arg, PyObject* max_claims_arg) {
    long limit, max_claims;
    double lease, now;
    if (check_query(query) < 0 || to_count(limit_arg, "limit", &limit) < 0 ||
        to_double(lease_arg, "lease", &lease) < 0 ||
        to_count(max_claims_arg, "max_claims", &max_claims) < 0)
        return {};
    Ref col = input_collection(f, col_name);
    Ref leases = col ? lease_collection(col.get()) : Ref();
    if (!leases || server_now(col.get(), &now) < 0) return {};

    // Rows that match, whose mirror shows no live lease and fewer claims
    // than max_claims.
    Ref t_now = real(now), t_max = nx::integer(max_claims);
    Ref not_held = t_now ? absent_or(NX_ID(_lease_until), NX_STR("$lt"), t_now.get()) : Ref();
    Ref not_stuck = t_max ? absent_or(NX_ID(_claims), NX_STR("$lt"), t_max.get()) : Ref();
    Ref filter = (not_held && not_stuck) ? and_query(query, {not_held.get(), not_stuck.get()}) : Ref();
    Ref find = nx::attr(col.get(), NX_ID(find));
    Ref taken = Ref::steal(PySet_New(nullptr));  // rows tried in this call
    if (!filter || !find || !taken) return {};

    static thread_local std::mt19937_64 rng{std::random_device{}()};
    std::vector<Generation> won_gens, retry;
    for (int round = 0; round < kMaxRounds && (long)won_gens.size() < limit; ++round) {
        long want = limit - (long)won_gens.size();
        std::vector<Generation> gens = std::move(retry);
        retry.clear();
        if ((long)gens.size() < want) {
            Ref n = nx::integer(want * 3 + 8 + PySet_GET_SIZE(taken.get()));
            Ref cursor = n ? nx::call_kw(find.get(), {filter.get()},
                                         {{NX_ID(limit), n.get()}, {NX_ID(batch_size), n.get()}})
                           : Ref();
            Ref docs = cursor ? Ref::steal(PySequence_List(cursor.get())) : Ref();
            if (!docs) return {};
            // Workers that read the same candidates try them in different orders.
            std::vector<Py_ssize_t> order((size_t)PyList_GET_SIZE(docs.get()));
            for (size_t i = 0; i < order.size(); ++i) order[i] = (Py_ssize_t)i;
            std::shuffle(order.begin(), order.end(), rng);
            for (Py_ssize_t i : order) {
                if ((long)gens.size() >= want) break;
                PyObject* doc = PyList_GET_ITEM(docs.get(), i);
                Ref id = nx::item(doc, NX_ID(_id));
                Ref key = id ? row_key(id.get()) : Ref();
                int had = key ? PySet_Contains(taken.get(), key.get()) : -1;
                if (had < 0 || (!had && PySet_Add(taken.get(), key.get()) < 0)) return {};
                if (had || !PyDict_Check(doc)) continue;
                // The mirror names the newest generation; the next one is
                // ours if nobody has inserted it yet.
                long gen = long_field(doc, NX_ID(_lease_gen)), claims = long_field(doc, NX_ID(_claims));
                if (PyErr_Occurred()) return {};
                gens.push_back({std::move(id), gen + 1, claims + 1, true, now + lease, Ref::borrow(doc)});
            }
        }
        if (gens.empty()) break;
        std::vector<bool> won;
        if (insert_generations(f, leases.get(), gens, now, &won) < 0) return {};
        Ref lost = Ref::steal(PyList_New(0));
        if (!lost) return {};
        for (size_t i = 0; i < gens.size(); ++i) {
            if (won[i]) won_gens.push_back(std::move(gens[i]));
            else if (PyList_Append(lost.get(), gens[i].row.get()) < 0) return {};
        }
        if (PyList_GET_SIZE(lost.get()) == 0) break;

        // A lost insert: another worker took the row, or its mirror is behind
        // its leases (a writer died between the two). The leases decide:
        // a free row is tried again (its winner writes the mirror). The
        // mirror of a row out of claims is brought up to date here; a row
        // someone holds is left to its holder, since on a server without
        // atomic updates a write of ours could undo the holder's own.
        std::map<PyObject*, Latest> latest;
        Ref keys;
        if (read_latest(leases.get(), lost.get(), &latest, &keys) < 0) return {};
        std::vector<Generation> repairs;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lost.get()); ++i) {
            PyObject* id = PyList_GET_ITEM(lost.get(), i);
            Ref key = row_key(id);
            PyObject* canon = key ? PyDict_GetItemWithError(keys.get(), key.get()) : nullptr;
            if (!canon) {
                if (PyErr_Occurred()) return {};
                continue;
            }
            const Latest& l = latest[canon];
            if (l.held && l.until >= now) continue;
            if (l.claims >= max_claims) {
                repairs.push_back({Ref::borrow(id), l.gen, l.claims, l.held, l.until, Ref()});
                continue;
            }
            retry.push_back({Ref::borrow(id), l.gen + 1, l.claims + 1, true, now + lease, Ref()});
        }
        std::vector<bool> all(repairs.size(), true);
        if (write_hints(f, col.get(), repairs, all) < 0) return {};
    }

    Ref result = Ref::steal(PyList_New(0));
    if (!result || won_gens.empty()) return result;
    std::vector<bool> all(won_gens.size(), true);
    if (write_hints(f, col.get(), won_gens, all) < 0) return {};

    // A row taken over from an earlier lease is read again, and given back
    // when it no longer matches the query: it was finished just as that
    // lease ran out. A row leased for the first time is as the search read it.
    Ref again = Ref::steal(PyList_New(0));
    if (!again) return {};
    for (const Generation& g : won_gens)
        if ((g.gen > 1 || !g.doc) && PyList_Append(again.get(), g.row.get()) < 0) return {};
    Ref found = Ref::steal(PyDict_New());
    if (!found) return {};
    if (PyList_GET_SIZE(again.get()) > 0) {
        Ref in = dict({{NX_STR("$in"), again.get()}});
        Ref by_id = in ? dict({{NX_ID(_id), in.get()}}) : Ref();
        Ref reread = by_id ? and_query(query, {by_id.get()}) : Ref();
        Ref cursor = reread ? nx::call_method(col.get(), NX_ID(find), {reread.get()}) : Ref();
        Ref rows = cursor ? Ref::steal(PySequence_List(cursor.get())) : Ref();
        if (!rows) return {};
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
            PyObject* row = PyList_GET_ITEM(rows.get(), i);
            Ref id = nx::item(row, NX_ID(_id));
            Ref key = id ? row_key(id.get()) : Ref();
            if (!key || PyDict_SetItem(found.get(), key.get(), row) < 0) return {};
        }
    }
    Ref me = worker_id_str();
    Ref queue = me ? nx::attr(col.get(), NX_ID(name)) : Ref();
    if (!queue) return {};
    std::vector<Generation> give_back;
    for (const Generation& g : won_gens) {
        PyObject* row = g.doc.get();
        if (g.gen > 1 || !row) {
            Ref key = row_key(g.row.get());
            row = key ? PyDict_GetItemWithError(found.get(), key.get()) : nullptr;
            if (!row) {
                if (PyErr_Occurred()) return {};
                give_back.push_back(successor(g.row.get(), g.gen, g.claims, false, now, 0));
                continue;
            }
        }
        // The caller sees the lease as stored, whatever the mirror shows.
        if (stamp_lease(row, g, me.get(), queue.get()) < 0 || PyList_Append(result.get(), row) < 0)
            return {};
    }
    if (!give_back.empty()) {
        std::vector<bool> won;
        if (insert_generations(f, leases.get(), give_back, now, &won) < 0) return {};
        if (write_hints(f, col.get(), give_back, won) < 0) return {};
    }
    return result;
}

template <PyObject* (*Collection)()>
PyObject* claim_impl(nx::Function* f, PyObject* const* a) {
    return claim(f, Collection(), a[0], a[1], a[2], a[3]).release();
}

PyObject* col_input_name() { return NX_ID(col_input); }
PyObject* col_input_pdp_name() { return NX_ID(col_input_pdp); }

#define NX_CLAIM_DOC(coll, setting)                                                           \
    "Lease up to `limit` work items of " coll " to this worker and return them.\n"           \
    "\n"                                                                                      \
    "query      -- a filter document; None matches every document\n"                          \
    "limit      -- the most documents to return (at least 1)\n"                               \
    "lease      -- seconds the documents stay leased to this worker\n"                        \
    "max_claims -- a row claimed this many times without being finished is\n"               \
    "              no longer handed out\n"                                                    \
    "\n"                                                                                      \
    "Returns a list of the documents of " coll " (the collection named by the\n"             \
    "setting " setting ", read from Scrape_common at each call) that match\n"                \
    "query and that no live lease holds, now leased to this worker until\n"                  \
    "the server time in their \"_lease_until\" (seconds since the epoch).\n"                 \
    "An empty list means nothing is free right now. Finish an item with\n"                    \
    "update_input (a status the query no longer matches); renew long ones with\n"           \
    "extend_lease, give them back with release. Costs a constant number of\n"                \
    "database round trips whatever the limit. Database errors are raised."

const nx::FuncSpec claim_input_spec = {
    "claim_input", NX_CLAIM_DOC("col_input", "input_table"), 4,
    {"query", "limit", "lease", "max_claims"}, claim_impl<col_input_name>,
};
const nx::FuncSpec claim_pl_input_spec = {
    "claim_pl_input", NX_CLAIM_DOC("col_input_pdp", "pl_input_table"), 4,
    {"query", "limit", "lease", "max_claims"}, claim_impl<col_input_pdp_name>,
};
#undef NX_CLAIM_DOC

// ---------------------------------------------------------------------------
// extend_lease, release
// ---------------------------------------------------------------------------

// Both input collections: an item is renewed or given back wherever this
// worker holds it.
PyObject* renew_release(nx::Function* f, PyObject* items, bool renew, PyObject* lease_arg) {
    double lease = 0;
    if (renew && to_double(lease_arg, "lease", &lease) < 0) return nullptr;
    Ref list = Ref::steal(PySequence_List(items));
    Ref me = list ? worker_id_str() : Ref();
    if (!me) return nullptr;
    // Documents stamped by this worker's claims go to their own queue; any
    // other item is looked for in both.
    std::map<std::string, std::vector<PyObject*>> stamped;
    Ref others = Ref::steal(PyList_New(0));
    if (!others) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* x = PyList_GET_ITEM(list.get(), i);
        if (PyDict_Check(x)) {
            PyObject* owner = PyDict_GetItemWithError(x, NX_ID(_lease_owner));
            PyObject* queue = owner ? PyDict_GetItemWithError(x, NX_ID(_lease_queue)) : nullptr;
            int mine = queue && PyUnicode_Check(queue) && PyDict_GetItemWithError(x, NX_ID(_lease_gen))
                           ? PyObject_RichCompareBool(owner, me.get(), Py_EQ)
                           : 0;
            if (mine < 0 || PyErr_Occurred()) return nullptr;
            if (mine) {
                stamped[PyUnicode_AsUTF8(queue)].push_back(x);
                continue;
            }
        }
        if (PyList_Append(others.get(), x) < 0) return nullptr;
    }
    Ref ids = row_ids(others.get());
    if (!ids) return nullptr;
    long total = 0;
    for (PyObject* name : {col_input_name(), col_input_pdp_name()}) {
        Ref col = input_collection(f, name);
        Ref col_name = col ? nx::attr(col.get(), NX_ID(name)) : Ref();
        const char* c = col_name ? PyUnicode_AsUTF8(col_name.get()) : nullptr;
        if (!c) return nullptr;
        auto it = stamped.find(c);
        std::vector<PyObject*> docs;
        if (it != stamped.end()) docs.swap(it->second);
        if (docs.empty() && PyList_GET_SIZE(ids.get()) == 0) continue;
        long n = renew_or_release(f, col.get(), docs, ids.get(), renew, lease);
        if (n < 0) return nullptr;
        total += n;
    }
    return PyLong_FromLong(total);
}

PyObject* extend_impl(nx::Function* f, PyObject* const* a) {
    return renew_release(f, a[0], true, a[1]);
}

PyObject* release_impl(nx::Function* f, PyObject* const* a) {
    return renew_release(f, a[0], false, nullptr);
}

const nx::FuncSpec extend_lease_spec = {
    "extend_lease",
    R"doc(Renew the leases this worker still holds on `items` and count them.

items -- documents returned by claim_input / claim_pl_input, or their
         "_id" values
lease -- the new lease, in seconds from now (server time)

A lease is renewed when this worker holds its newest generation, even
if it ran out meanwhile, as long as no other worker has taken the row
since; a lease that expired and was taken over by another worker is not
renewed. Returns how many leases were renewed.)doc",
    2, {"items", "lease"}, extend_impl,
};

const nx::FuncSpec release_spec = {
    "release",
    R"doc(Give the rows of `items` back at once, for example on a clean shutdown.

items -- documents returned by claim_input / claim_pl_input, or their
         "_id" values

Only leases this worker still holds are given back; the rows become free
to claim by any worker (their claim count stays). Returns how many were
given back.)doc",
    1, {"items"}, release_impl,
};

// ---------------------------------------------------------------------------
// queue_progress, pl_queue_progress
// ---------------------------------------------------------------------------

struct Sample {
    double t;
    long remaining;
};
std::map<std::string, std::deque<Sample>> samples;

// Items finished per second over the last minute of this process's calls
// for the same queue and query (the fall of the remaining count); NaN when
// there is no earlier call in that minute.
double finishing_rate(const std::string& key, double now, long remaining) {
    if (samples.size() >= kMaxSampleKeys && samples.find(key) == samples.end())
        samples.erase(samples.begin());
    std::deque<Sample>& s = samples[key];
    while (!s.empty() && (s.front().t < now - kRateWindow || s.front().t > now))
        s.pop_front();
    double rate = NAN;
    if (!s.empty() && now > s.front().t)
        rate = std::max(0.0, (s.front().remaining - remaining) / (now - s.front().t));
    s.push_back({now, remaining});
    return rate;
}

int count(PyObject* col, PyObject* filter, long* out) {
    Ref n = filter ? nx::call_method(col, NX_ID(count_documents), {filter}) : Ref();
    if (!n) return -1;
    *out = PyLong_AsLong(n.get());
    return (*out == -1 && PyErr_Occurred()) ? -1 : 0;
}

Ref progress(nx::Function* f, PyObject* col_name, PyObject* query, PyObject* max_claims_arg) {
    long max_claims;
    double now;
    if (check_query(query) < 0 || to_count(max_claims_arg, "max_claims", &max_claims) < 0)
        return {};
    Ref col = input_collection(f, col_name);
    if (!col || server_now(col.get(), &now) < 0) return {};
    Ref t_now = real(now), t_max = nx::integer(max_claims);
    if (!t_now || !t_max) return {};
    Ref gte = dict({{NX_STR("$gte"), t_now.get()}});  // a lease ending now still holds
    Ref held = gte ? dict({{NX_ID(_lease_until), gte.get()}}) : Ref();
    Ref not_held = absent_or(NX_ID(_lease_until), NX_STR("$lt"), t_now.get());
    Ref not_stuck = absent_or(NX_ID(_claims), NX_STR("$lt"), t_max.get());
    Ref at_max = dict({{NX_STR("$gte"), t_max.get()}});
    Ref stuck = at_max ? dict({{NX_ID(_claims), at_max.get()}}) : Ref();
    long n_free, n_leased, n_stuck;
    if (count(col.get(), and_query(query, {held.get()}).get(), &n_leased) < 0 ||
        count(col.get(), and_query(query, {not_held.get(), stuck.get()}).get(), &n_stuck) < 0 ||
        count(col.get(), and_query(query, {not_held.get(), not_stuck.get()}).get(), &n_free) < 0)
        return {};

    // [{"$group": {"_id": "$status", "n": {"$sum": 1}}}]
    Ref one = nx::integer(1);
    Ref sum = one ? dict({{NX_STR("$sum"), one.get()}}) : Ref();
    Ref group = sum ? dict({{NX_ID(_id), NX_STR("$status")}, {NX_ID(n), sum.get()}}) : Ref();
    Ref stage = group ? dict({{NX_STR("$group"), group.get()}}) : Ref();
    Ref pipeline = stage ? list_of({stage.get()}) : Ref();
    Ref cursor = pipeline ? nx::call_method(col.get(), NX_ID(aggregate), {pipeline.get()}) : Ref();
    Ref groups = cursor ? Ref::steal(PySequence_List(cursor.get())) : Ref();
    Ref statuses = groups ? Ref::steal(PyDict_New()) : Ref();
    if (!statuses) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(groups.get()); ++i) {
        PyObject* g = PyList_GET_ITEM(groups.get(), i);
        Ref status = nx::item(g, NX_ID(_id));
        Ref n = status ? nx::item(g, NX_ID(n)) : Ref();
        if (!n || PyObject_SetItem(statuses.get(), status.get(), n.get()) < 0) return {};
    }

    Ref key_repr = Ref::steal(PyObject_Repr(query));
    Ref full = key_repr ? nx::attr(col.get(), NX_ID(full_name)) : Ref();
    const char* q = full ? PyUnicode_AsUTF8(key_repr.get()) : nullptr;
    const char* c = q ? PyUnicode_AsUTF8(full.get()) : nullptr;
    if (!c) return {};
    long remaining = n_free + n_leased;
    double rate = finishing_rate(std::string(c) + "\n" + q + "\n" + std::to_string(max_claims),
                                 now, remaining);
    Ref rate_obj = std::isnan(rate) ? nx::none() : real(rate);
    Ref eta = remaining == 0             ? real(0.0)
              : std::isnan(rate) || rate <= 0 ? nx::none()
                                           : real(remaining / rate);
    Ref free_obj = nx::integer(n_free), leased_obj = nx::integer(n_leased),
        stuck_obj = nx::integer(n_stuck), rem_obj = nx::integer(remaining);
    return dict({{NX_ID(free), free_obj.get()},
                 {NX_ID(leased), leased_obj.get()},
                 {NX_ID(stuck), stuck_obj.get()},
                 {NX_ID(remaining), rem_obj.get()},
                 {NX_ID(statuses), statuses.get()},
                 {NX_ID(finished_per_second), rate_obj.get()},
                 {NX_ID(eta_seconds), eta.get()}});
}

template <PyObject* (*Collection)()>
PyObject* progress_impl(nx::Function* f, PyObject* const* a) {
    return progress(f, Collection(), a[0], a[1]).release();
}

#define NX_PROGRESS_DOC(coll)                                                                 \
    "Where the queue of " coll " stands, for the rows matching `query`.\n"                   \
    "\n"                                                                                      \
    "query      -- the job's filter document; None matches every document\n"                  \
    "max_claims -- the limit the workers claim with\n"                                        \
    "\n"                                                                                      \
    "Returns a dict: \"free\" (rows free to claim), \"leased\" (rows leased now),\n"        \
    "\"stuck\" (rows claimed max_claims times, no longer handed out),\n"                     \
    "\"remaining\" (free + leased), \"statuses\" (every row of the collection\n"            \
    "counted by its status), \"finished_per_second\" (how fast \"remaining\" fell\n"        \
    "over this process's calls of the last minute; None on the first call)\n"               \
    "and \"eta_seconds\" (remaining / that rate; None while unknown)."

const nx::FuncSpec queue_progress_spec = {
    "queue_progress", NX_PROGRESS_DOC("col_input"), 2, {"query", "max_claims"},
    progress_impl<col_input_name>,
};
const nx::FuncSpec pl_queue_progress_spec = {
    "pl_queue_progress", NX_PROGRESS_DOC("col_input_pdp"), 2, {"query", "max_claims"},
    progress_impl<col_input_pdp_name>,
};
#undef NX_PROGRESS_DOC

PyObject* worker_id_impl(nx::Function*, PyObject* const*) { return worker_id_str().release(); }

const nx::FuncSpec worker_id_spec = {
    "worker_id",
    R"doc(This worker's identity, the owner of its leases: "host:pid:random".

Fixed for the life of the process; a forked child gets a new one.)doc",
    0, {}, worker_id_impl,
};

// ---------------------------------------------------------------------------
// Module
// ---------------------------------------------------------------------------

int run_body(PyObject* g) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return -1;
    Ref sc = nx::import(g, "Scrape_common", {"__name__"}, 1);
    if (!sc || nx::set_global(g, NX_ID(Scrape_common), sc.get()) < 0) return -1;
    Ref errors = nx::import(g, "pymongo.errors", {"BulkWriteError"});
    Ref bwe = errors ? nx::attr(errors.get(), NX_ID(BulkWriteError)) : Ref();
    if (!bwe || nx::set_global(g, NX_ID(BulkWriteError), bwe.get()) < 0) return -1;

    Ref one = nx::integer(1), five = nx::integer(5), lease = real(300.0);
    if (!one || !five || !lease) return -1;
    for (const nx::FuncSpec* s : {&claim_input_spec, &claim_pl_input_spec})
        if (nx::define_function(g, *s, {Py_None, one.get(), lease.get(), five.get()}) < 0) return -1;
    if (nx::define_function(g, extend_lease_spec, {lease.get()}) < 0) return -1;
    if (nx::define_function(g, release_spec) < 0) return -1;
    for (const nx::FuncSpec* s : {&queue_progress_spec, &pl_queue_progress_spec})
        if (nx::define_function(g, *s, {Py_None, five.get()}) < 0) return -1;
    return nx::define_function(g, worker_id_spec);
}

nx::RunOnceModule module_def(
    "workqueue", "Many workers on one queue: leased claims on Scrape_common's input collections.",
    run_body);

}  // namespace

NX_MODINIT_FUNC PyInit_workqueue(void) { return module_def.init(); }
