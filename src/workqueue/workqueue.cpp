// Nexra_publish.workqueue: many workers sharing the input collections of
// Scrape_common through leased claims.
//
// A lease is a document of the collection "<input name>_leases" whose _id is
// {"row": <row _id>, "gen": n}. The newest generation of a row is the truth:
// it is "held" until "until", "released" or "finished". Taking a row (claim),
// renewing it (extend_lease), giving it back (release) and committing it
// (finish) all insert the next generation; whoever inserts it first has it,
// every other writer gets a duplicate key error. That is the fence: the
// generation a claim made, carried by the document it returned, is valid
// only while no later generation exists, so a holder whose lease was taken
// over cannot renew, give back or finish it, whatever process it runs in.
// Nothing is updated in place, so a decision made on a stale read can only
// fail to insert. A finished row also gets an end record (generation 0),
// which outlives drop_finished_leases.
//
// The mirror: fields written into the input rows (_lease_until, _lease_gen,
// _claims) narrow the search for free rows and feed queue_progress; no
// decision about who holds a row rests on them.
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
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

using nx::dict;
using nx::Ref;

constexpr double kRateWindow = 60.0;   // seconds of progress samples for the rate
constexpr size_t kMaxSampleKeys = 64;  // distinct (queue, query) progress series kept

// ---------------------------------------------------------------------------
// Small builders
// ---------------------------------------------------------------------------

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

PyObject* col_input_name() { return NX_ID(col_input); }
PyObject* col_input_pdp_name() { return NX_ID(col_input_pdp); }

// ---------------------------------------------------------------------------
// Row keys and lease _ids
// ---------------------------------------------------------------------------

// A row _id as a key of this module's maps: (type, value). Python calls True,
// 1 and 1.0 equal, but they are different _ids, so different rows; the type
// keeps them apart. A container (unhashable, or a tuple whose members could
// be equal across types) is keyed by its repr, which spells the types out.
Ref row_key(PyObject* id) {
    PyObject* type = (PyObject*)Py_TYPE(id);
    if (!PyTuple_Check(id) && !PyFrozenSet_Check(id)) {
        if (PyObject_Hash(id) != -1) return Ref::steal(PyTuple_Pack(2, type, id));
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return {};
        PyErr_Clear();
    }
    Ref r = Ref::steal(PyObject_Repr(id));
    return r ? Ref::steal(PyTuple_Pack(2, type, r.get())) : Ref();
}

// The _id of a row's generation: {"row": row, "gen": gen}. Generation 0 is
// never a lease: it is the row's end record (see finish below).
Ref lease_id(PyObject* row, long gen) {
    Ref g = nx::integer(gen);
    return g ? dict({{NX_ID(row), row}, {NX_ID(gen), g.get()}}) : Ref();
}

// `col` whose reads go to the primary whatever the client or the collection
// prefers: every read here decides who holds a row, and a lagging secondary
// would show a finished row as still pending.
Ref on_primary(nx::Function* f, PyObject* col) {
    Ref primary = nx::global(f, NX_ID(_primary));
    Ref with = primary ? nx::attr(col, NX_ID(with_options)) : Ref();
    return with ? nx::call_kw(with.get(), {}, {{NX_ID(read_preference), primary.get()}}) : Ref();
}

long long_field(PyObject* doc, PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(doc, name);
    if (!v) return 0;
    long n = PyLong_AsLong(v);
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    return n < 0 ? 0 : n;
}

// ---------------------------------------------------------------------------
// Lease generations
// ---------------------------------------------------------------------------

enum class State { held, released, finished };

const char* state_name(State s) {
    return s == State::held ? "held" : s == State::released ? "released" : "finished";
}

// A lease generation, to insert or as read. `token` names the claim that
// made it: a claim's renewals and its give-back or finish carry its token.
struct Generation {
    Ref row;
    long gen = 0;
    long claims = 0;
    State state = State::held;
    double until = 0;
    Ref token;
    Ref doc;     // the caller's document of the row, when there is one
    Ref status;  // a finish: the row's status text
};

// A claim's token: 128 random bits as hex.
Ref new_token() {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    char buf[40];
    std::snprintf(buf, sizeof buf, "%016llx%016llx", (unsigned long long)rng(),
                  (unsigned long long)rng());
    return nx::str(buf);
}

Ref lease_doc(const Generation& g, PyObject* owner, double now) {
    Ref id = lease_id(g.row.get(), g.gen);
    Ref gen = nx::integer(g.gen), claims = nx::integer(g.claims);
    Ref at = real(now), until = real(g.until);
    Ref d = id ? dict({{NX_ID(_id), id.get()},
                       {NX_ID(row), g.row.get()},
                       {NX_ID(gen), gen.get()},
                       {NX_ID(owner), owner},
                       {NX_ID(state), nx::str(state_name(g.state)).get()},
                       {NX_ID(at), at.get()},
                       {NX_ID(until), until.get()},
                       {NX_ID(claims), claims.get()},
                       {NX_ID(token), g.token.get()}})
               : Ref();
    if (d && g.status && PyDict_SetItem(d.get(), NX_ID(status), g.status.get()) < 0) return {};
    return d;
}

// The end record of a row finished by `g`: generation 0, naming the finish
// ("final") and its status. It is never deleted.
Ref end_doc(const Generation& g, PyObject* owner, double now) {
    Generation end = {g.row, 0, g.claims, State::finished, now, g.token, Ref(), g.status};
    Ref d = lease_doc(end, owner, now);
    Ref final_gen = d ? nx::integer(g.gen) : Ref();
    if (!final_gen || PyDict_SetItem(d.get(), NX_ID(final), final_gen.get()) < 0) return {};
    return d;
}

constexpr long kDuplicateKey = 11000;  // the server's code for a duplicate _id

// Insert `docs` (one round trip, unordered); `won[i]` tells whether the i-th
// was stored. Only a duplicate key error is a lost race. An insert whose
// outcome is not known is never taken as won: write concern errors (a
// w: "majority" time-out, say, whose write a failover may roll back) and
// network errors are raised, with nothing handed out.
int insert_docs(nx::Function* f, PyObject* leases, PyObject* docs, std::vector<bool>* won) {
    won->assign((size_t)PyList_GET_SIZE(docs), true);
    if (won->empty()) return 0;
    Ref insert = nx::attr(leases, NX_ID(insert_many));
    if (!insert) return -1;
    if (nx::call_kw(insert.get(), {docs}, {{NX_ID(ordered), Py_False}})) return 0;

    Ref caught;
    if (nx::except([f] { return nx::global(f, NX_ID(BulkWriteError)); }, &caught) <= 0) return -1;
    Ref details = nx::attr(caught.get(), NX_ID(details));
    if (!details) return -1;
    PyObject* concern = PyDict_Check(details.get())
                            ? PyDict_GetItemWithError(details.get(), NX_ID(writeConcernErrors))
                            : nullptr;
    if (PyErr_Occurred()) return -1;
    int unsure = concern ? PyObject_IsTrue(concern) : 0;
    if (unsure != 0) {
        if (unsure > 0) nx::raise_again(std::move(caught));
        return -1;
    }
    Ref errors = nx::item(details.get(), NX_ID(writeErrors));
    Ref it = errors ? Ref::steal(PyObject_GetIter(errors.get())) : Ref();
    if (!it) return -1;
    while (Ref e = Ref::steal(PyIter_Next(it.get()))) {
        Ref code = nx::item(e.get(), NX_ID(code));
        Ref index = code ? nx::item(e.get(), NX_ID(index)) : Ref();
        if (!index) return -1;
        long c = PyLong_AsLong(code.get()), i = PyLong_AsLong(index.get());
        if (PyErr_Occurred()) return -1;
        if (c != kDuplicateKey || i < 0 || (size_t)i >= won->size()) {
            nx::raise_again(std::move(caught));
            return -1;
        }
        (*won)[(size_t)i] = false;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The documents `make` (lease_doc, end_doc) builds of `gens`, as a list.
Ref docs_of(const std::vector<Generation>& gens, Ref (*make)(const Generation&, PyObject*, double),
            double now) {
    Ref owner = worker_id_str();
    Ref docs = owner ? Ref::steal(PyList_New(0)) : Ref();
    if (!docs) return {};
    for (const Generation& g : gens) {
        Ref d = make(g, owner.get(), now);
        if (!d || PyList_Append(docs.get(), d.get()) < 0) return {};
    }
    return docs;
}

int insert_generations(nx::Function* f, PyObject* leases, const std::vector<Generation>& gens,
                       double now, std::vector<bool>* won) {
    Ref docs = docs_of(gens, lease_doc, now);
    return docs ? insert_docs(f, leases, docs.get(), won) : -1;
}

// find({"_id": {"$in": ids}}) as a list.
Ref find_ids(PyObject* col, PyObject* ids) {
    Ref in = dict({{NX_STR("$in"), ids}});
    Ref filter = in ? dict({{NX_ID(_id), in.get()}}) : Ref();
    Ref cursor = filter ? nx::call_method(col, NX_ID(find), {filter.get()}) : Ref();
    return cursor ? Ref::steal(PySequence_List(cursor.get())) : Ref();
}

// ---------------------------------------------------------------------------
// The newest generation of a row
// ---------------------------------------------------------------------------

// What a look-up found of a row: its newest generation and whether it ended.
struct Newest {
    Generation g;        // gen 0: never leased
    bool ended = false;  // finished: by an end record or a finish generation
    bool end_stored = false;
};

// Lease documents read, folded into one Newest per row (by exact key).
class Findings {
public:
    // The finding of `row`; nullptr, without an error, when nothing was read.
    Newest* of(PyObject* row, bool create = false) {
        Ref key = row_key(row);
        if (!key) return nullptr;
        PyObject* at = PyDict_GetItemWithError(index_.get(), key.get());
        if (at) return &rows_[(size_t)PyLong_AsSsize_t(at)];
        if (PyErr_Occurred() || !create) return nullptr;
        Ref pos = Ref::steal(PyLong_FromSize_t(rows_.size()));
        if (!pos || PyDict_SetItem(index_.get(), key.get(), pos.get()) < 0) return nullptr;
        rows_.emplace_back();
        return &rows_.back();
    }

    // Fold in a lease document. An end record stands for the finish it names.
    int note(PyObject* d) {
        PyObject* row = PyDict_Check(d) ? PyDict_GetItemWithError(d, NX_ID(row)) : nullptr;
        if (!row) return PyErr_Occurred() ? -1 : 0;
        Newest* n = of(row, true);
        if (!n) return -1;
        long gen = long_field(d, NX_ID(gen));
        PyObject* state = PyDict_GetItemWithError(d, NX_ID(state));
        State s = !state || !PyUnicode_Check(state)                          ? State::released
                  : PyUnicode_CompareWithASCIIString(state, "held") == 0     ? State::held
                  : PyUnicode_CompareWithASCIIString(state, "finished") == 0 ? State::finished
                                                                             : State::released;
        if (gen == 0) {
            n->end_stored = true;
            gen = long_field(d, NX_ID(final));
        }
        if (s == State::finished) n->ended = true;
        if (gen <= n->g.gen && n->g.row) return PyErr_Occurred() ? -1 : 0;
        PyObject* until = PyDict_GetItemWithError(d, NX_ID(until));
        n->g.row = Ref::borrow(row);
        n->g.gen = gen;
        n->g.claims = long_field(d, NX_ID(claims));
        n->g.state = s;
        n->g.until = until ? PyFloat_AsDouble(until) : 0;
        n->g.token = Ref::borrow(PyDict_GetItemWithError(d, NX_ID(token)));
        n->g.status = Ref::borrow(PyDict_GetItemWithError(d, NX_ID(status)));
        return PyErr_Occurred() ? -1 : 0;
    }

    int note_all(PyObject* docs) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(docs); ++i)
            if (note(PyList_GET_ITEM(docs, i)) < 0) return -1;
        return 0;
    }

    std::deque<Newest>& all() { return rows_; }

    Ref index_ = Ref::steal(PyDict_New());  // row_key -> position in rows_

private:
    std::deque<Newest> rows_;
};

constexpr long kProbe = 4;  // generations read past the mirror's in one look-up

// The newest generation of rows, each from a lower bound (the generation its
// mirror names, which is never ahead of the truth: only a won generation is
// ever mirrored). One look-up by _id reads the end record and generations
// lower..lower+kProbe of every row, so its cost does not grow with a row's
// history; a row whose window is all taken (its mirror far behind) is read
// again from the window's end.
int read_newest(PyObject* leases, std::vector<std::pair<Ref, long>> rows, Findings* out) {
    if (!out->index_) return -1;
    while (!rows.empty()) {
        Ref ids = Ref::steal(PyList_New(0));
        if (!ids) return -1;
        for (auto& r : rows)
            for (long gen = std::max(r.second, 1L) - 1; gen <= r.second + kProbe; ++gen) {
                // gen 0 is the end record; then the lower bound's own
                // generation and those after it
                Ref id = lease_id(r.first.get(), gen < r.second ? 0 : gen);
                if (!id || PyList_Append(ids.get(), id.get()) < 0) return -1;
            }
        Ref docs = find_ids(leases, ids.get());
        if (!docs || out->note_all(docs.get()) < 0) return -1;
        std::vector<std::pair<Ref, long>> further;
        for (auto& r : rows) {
            const Newest* n = out->of(r.first.get());
            if (!n && PyErr_Occurred()) return -1;
            if (n && !n->ended && n->g.gen == r.second + kProbe)
                further.emplace_back(r.first, n->g.gen);
        }
        rows.swap(further);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The mirror: lease fields kept in the input rows
// ---------------------------------------------------------------------------

// Mirror won generations into their rows' _lease_until, _lease_gen and
// _claims, which narrow the search for free rows and feed queue_progress;
// no decision about who holds a row rests on them. Rows whose new mirror is
// the same (a batch of first claims, say) share one update command:
// {"_id": {"$in": rows}} or, for a single row, {"_id": row}. A row whose
// mirror already shows a newer generation is left alone. (One command per
// row would do as well on MongoDB, but the test database stalls on bulk
// writes of many statements.) A finish writes its row's status with the
// mirror, one row at a time, and its errors are raised.
int write_mirror(PyObject* col, const std::vector<Generation>& gens, const std::vector<bool>& won) {
    struct Group {
        const Generation* first;
        Ref rows;
    };
    std::map<std::tuple<long, long, int, double, size_t>, Group> groups;
    for (size_t i = 0; i < gens.size(); ++i) {
        if (!won[i]) continue;
        const Generation& g = gens[i];
        bool held = g.state == State::held;
        size_t own = g.state == State::finished ? i + 1 : 0;  // a finish is grouped alone
        Group& group =
            groups[std::make_tuple(g.gen, g.claims, (int)g.state, held ? g.until : 0.0, own)];
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
        bool held = g.state == State::held, finished = g.state == State::finished;
        Ref gen = nx::integer(g.gen), claims = nx::integer(g.claims), until = real(g.until);
        bool one = PyList_GET_SIZE(rows) == 1;
        Ref in = one ? Ref::borrow(PyList_GET_ITEM(rows, 0)) : dict({{NX_STR("$in"), rows}});
        // {"_id": ..., "$or": [{"_lease_gen": {"$exists": False}}, {"_lease_gen": {"$lt": gen}}]}
        // A finish is written whatever the mirror shows: its status must land.
        Ref older = gen ? absent_or_alternatives(NX_ID(_lease_gen), NX_STR("$lt"), gen.get())
                        : Ref();
        Ref filter = !in || !older ? Ref()
                     : finished    ? dict({{NX_ID(_id), in.get()}})
                                   : dict({{NX_ID(_id), in.get()}, {NX_STR("$or"), older.get()}});
        Ref set = held ? dict({{NX_ID(_lease_until), until.get()},
                               {NX_ID(_lease_gen), gen.get()},
                               {NX_ID(_claims), claims.get()}})
                       : dict({{NX_ID(_lease_gen), gen.get()}, {NX_ID(_claims), claims.get()}});
        if (set && finished && PyDict_SetItem(set.get(), NX_ID(status), g.status.get()) < 0)
            return -1;
        Ref update = set ? dict({{NX_STR("$set"), set.get()}}) : Ref();
        if (update && !held) {
            Ref unset = dict({{NX_ID(_lease_until), NX_STR("")}});
            if (!unset || PyDict_SetItem(update.get(), NX_STR("$unset"), unset.get()) < 0)
                return -1;
        }
        if (!filter || !update ||
            !nx::call_method(col, one ? NX_ID(update_one) : NX_ID(update_many),
                             {filter.get(), update.get()}))
            return -1;
    }
    return 0;
}

// Tell the caller's document (the handle) its lease: _lease_gen, _claims,
// _lease_token (the claim), _lease_queue (the input collection's name) and,
// while held, _lease_until. A handle given back or finished loses
// _lease_until and with it the right to any further step.
int stamp_handle(PyObject* doc, const Generation& g, PyObject* queue) {
    if (!PyDict_Check(doc)) return 0;
    Ref gen = nx::integer(g.gen), claims = nx::integer(g.claims), until = real(g.until);
    if (!gen || !claims || !until || PyDict_SetItem(doc, NX_ID(_lease_gen), gen.get()) < 0 ||
        PyDict_SetItem(doc, NX_ID(_claims), claims.get()) < 0 ||
        PyDict_SetItem(doc, NX_ID(_lease_token), g.token.get()) < 0 ||
        PyDict_SetItem(doc, NX_ID(_lease_queue), queue) < 0)
        return -1;
    if (g.state == State::held) return PyDict_SetItem(doc, NX_ID(_lease_until), until.get());
    if (PyDict_DelItem(doc, NX_ID(_lease_until)) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
        PyErr_Clear();
    }
    return 0;
}

// Rows found finished whose status may have been undone (the test
// database's updates are not atomic, and a mirror write can overwrite a
// status written at the same instant): store the end record where the
// finisher did not live to, and write the status again. Nothing is claimed.
int finish_again(nx::Function* f, PyObject* col, PyObject* leases, const std::vector<Newest>& ended,
                 double now) {
    std::vector<Generation> ends, finishes;
    for (const Newest& n : ended) {
        if (!n.g.status) continue;  // an end record of an older writer: nothing to say
        if (!n.end_stored) ends.push_back(n.g);
        finishes.push_back(n.g);
        finishes.back().state = State::finished;
    }
    Ref docs = docs_of(ends, end_doc, now);
    std::vector<bool> won;
    if (!docs || insert_docs(f, leases, docs.get(), &won) < 0) return -1;
    return write_mirror(col, finishes, std::vector<bool>(finishes.size(), true));
}

// ---------------------------------------------------------------------------
// claim_input, claim_pl_input
// ---------------------------------------------------------------------------

constexpr int kMaxRounds = 3;  // claim attempts per call, when others win rows

// One claim call: its arguments and the collections it works on.
struct Claim {
    nx::Function* f = nullptr;
    Ref col = {};     // the input collection, reads on the primary
    Ref leases = {};  // its lease collection, reads on the primary
    Ref queue = {};   // the input collection's name, stamped into handles
    PyObject* query = nullptr;
    long limit = 0, max_claims = 0;
    double lease = 0, now = 0;
    Ref tried = Ref::steal(PySet_New(nullptr));  // row keys tried in this call
};

// Candidates to read for `want` rows: workers that search at the same moment
// read the same first rows, so each reads three times what it wants (plus a
// few for small wants) and tries them in its own random order; rows this
// call tried already come back in the search and are skipped, so they are
// read on top.
long candidates_to_read(long want, Py_ssize_t tried) { return want * 3 + 8 + (long)tried; }

// Search: free-looking rows (the mirror shows no live lease and fewer than
// max_claims claims), each to be claimed by inserting the generation after
// the one its mirror names.
int search(Claim& c, PyObject* filter, long want, std::vector<Generation>* out) {
    Ref n = nx::integer(candidates_to_read(want, PySet_GET_SIZE(c.tried.get())));
    Ref find = n ? nx::attr(c.col.get(), NX_ID(find)) : Ref();
    Ref cursor = find ? nx::call_kw(find.get(), {filter},
                                    {{NX_ID(limit), n.get()}, {NX_ID(batch_size), n.get()}})
                      : Ref();
    Ref docs = cursor ? Ref::steal(PySequence_List(cursor.get())) : Ref();
    if (!docs) return -1;
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    std::vector<Py_ssize_t> order((size_t)PyList_GET_SIZE(docs.get()));
    for (size_t i = 0; i < order.size(); ++i) order[i] = (Py_ssize_t)i;
    std::shuffle(order.begin(), order.end(), rng);
    for (Py_ssize_t i : order) {
        if ((long)out->size() >= want) break;
        PyObject* doc = PyList_GET_ITEM(docs.get(), i);
        Ref id = nx::item(doc, NX_ID(_id));
        Ref key = id ? row_key(id.get()) : Ref();
        int had = key ? PySet_Contains(c.tried.get(), key.get()) : -1;
        if (had < 0 || (!had && PySet_Add(c.tried.get(), key.get()) < 0)) return -1;
        if (had || !PyDict_Check(doc)) continue;
        long gen = long_field(doc, NX_ID(_lease_gen)), claims = long_field(doc, NX_ID(_claims));
        Ref token = new_token();
        if (PyErr_Occurred() || !token) return -1;
        out->push_back({std::move(id), gen + 1, claims + 1, State::held, c.now + c.lease,
                        std::move(token), Ref::borrow(doc), Ref()});
    }
    return 0;
}

// Inserts: the claims' generations in one round trip; the won ones join
// `won`, the lost ones go to `lost`.
int insert_claims(Claim& c, std::vector<Generation>& gens, std::vector<Generation>* won,
                  std::vector<Generation>* lost) {
    std::vector<bool> ok;
    if (insert_generations(c.f, c.leases.get(), gens, c.now, &ok) < 0) return -1;
    for (size_t i = 0; i < gens.size(); ++i) (ok[i] ? won : lost)->push_back(std::move(gens[i]));
    return 0;
}

// Settling lost races. A lost insert: another worker took the row, or its
// mirror is behind its leases (a writer died between the two). The leases
// decide: a free row is tried again at its true next generation (its winner
// writes the mirror); the mirror of a row out of claims is brought up to
// date here; a finished row gets its status again; a row someone holds is
// left to its holder, since on a server without atomic updates a write of
// ours could undo the holder's own.
int settle_lost_races(Claim& c, std::vector<Generation>& lost, std::vector<Generation>* retry) {
    if (lost.empty()) return 0;
    std::vector<std::pair<Ref, long>> rows;
    rows.reserve(lost.size());
    for (const Generation& g : lost) rows.emplace_back(g.row, g.gen - 1);
    Findings found;
    if (read_newest(c.leases.get(), rows, &found) < 0) return -1;
    std::vector<Generation> repairs;
    std::vector<Newest> ended;
    for (const Generation& g : lost) {
        const Newest* n = found.of(g.row.get());
        if (!n) {
            if (PyErr_Occurred()) return -1;
            continue;  // nothing stored after all: left to the next search
        }
        if (n->ended) {
            ended.push_back(*n);
            continue;
        }
        const Generation& l = n->g;
        if (l.state == State::held && l.until >= c.now) continue;
        if (l.claims >= c.max_claims) {
            repairs.push_back(l);
            continue;
        }
        Ref token = new_token();
        if (!token) return -1;
        retry->push_back({g.row, l.gen + 1, l.claims + 1, State::held, c.now + c.lease,
                          std::move(token), Ref(), Ref()});
    }
    if (write_mirror(c.col.get(), repairs, std::vector<bool>(repairs.size(), true)) < 0) return -1;
    return finish_again(c.f, c.col.get(), c.leases.get(), ended, c.now);
}

// A won claim can still be void: its row was finished, and either the
// finish is the generation it followed (the finish's status write was
// undone, so the row looked pending) or the row's history was dropped (see
// drop_finished_leases) and the insert filled a freed _id. The end record or
// the finish says so; one look-up by _id reads both for every row. A void
// claim hands nothing out: the row gets its status again. A first claim
// (generation 1) follows nothing and cannot fill a freed _id, as generation 1
// is never freed, so the common batch of first claims needs no look-up.
int drop_void_claims(Claim& c, std::vector<Generation>* won) {
    Ref ids = Ref::steal(PyList_New(0));
    if (!ids) return -1;
    for (const Generation& g : *won)
        for (long gen : {0L, g.gen - 1}) {
            if (g.gen == 1) break;
            Ref id = lease_id(g.row.get(), gen);
            if (!id || PyList_Append(ids.get(), id.get()) < 0) return -1;
        }
    if (PyList_GET_SIZE(ids.get()) == 0) return 0;
    Findings found;
    Ref docs = find_ids(c.leases.get(), ids.get());
    if (!docs || !found.index_ || found.note_all(docs.get()) < 0) return -1;
    std::vector<Newest> ended;
    std::vector<Generation> kept;
    for (Generation& g : *won) {
        const Newest* n = found.of(g.row.get());
        if (!n && PyErr_Occurred()) return -1;
        if (n && n->ended)
            ended.push_back(*n);
        else
            kept.push_back(std::move(g));
    }
    won->swap(kept);
    return finish_again(c.f, c.col.get(), c.leases.get(), ended, c.now);
}

// Re-read with give-back: a row taken over from an earlier lease is read
// again (on the primary) and given back when it no longer matches the
// query: it was finished just as that lease ran out. A row leased for the
// first time is as the search read it. Appends the handed-out rows,
// stamped, to `result`.
int reread_taken_over(Claim& c, std::vector<Generation>& won, PyObject* result) {
    Ref again = Ref::steal(PyList_New(0));
    if (!again) return -1;
    for (const Generation& g : won)
        if ((g.gen > 1 || !g.doc) && PyList_Append(again.get(), g.row.get()) < 0) return -1;
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
    std::vector<Generation> give_back;
    for (Generation& g : won) {
        PyObject* row = g.doc.get();
        if (g.gen > 1 || !row) {
            Ref key = row_key(g.row.get());
            row = key ? PyDict_GetItemWithError(rows_by_key.get(), key.get()) : nullptr;
            if (!row) {
                if (PyErr_Occurred()) return -1;
                give_back.push_back(g);
                give_back.back().gen = g.gen + 1;
                give_back.back().state = State::released;
                give_back.back().until = c.now;
                continue;
            }
        }
        // The caller sees the lease as stored, whatever the mirror shows.
        if (stamp_handle(row, g, c.queue.get()) < 0 || PyList_Append(result, row) < 0) return -1;
    }
    std::vector<bool> ok;
    if (insert_generations(c.f, c.leases.get(), give_back, c.now, &ok) < 0) return -1;
    return write_mirror(c.col.get(), give_back, ok);
}

Ref claim(nx::Function* f, PyObject* col_name, PyObject* query, PyObject* limit_arg,
          PyObject* lease_arg, PyObject* max_claims_arg) {
    Claim c{f};
    c.query = query;
    if (check_query(query) < 0 || to_count(limit_arg, "limit", &c.limit) < 0 ||
        to_double(lease_arg, "lease", &c.lease) < 0 ||
        to_count(max_claims_arg, "max_claims", &c.max_claims) < 0)
        return {};
    Ref col = input_collection(f, col_name);
    c.col = col ? on_primary(f, col.get()) : Ref();
    Ref leases = c.col ? lease_collection(col.get()) : Ref();
    c.leases = leases ? on_primary(f, leases.get()) : Ref();
    c.queue = c.leases ? nx::attr(col.get(), NX_ID(name)) : Ref();
    if (!c.queue || !c.tried || server_now(col.get(), &c.now) < 0) return {};

    // Rows that match, whose mirror shows no live lease and fewer claims
    // than max_claims.
    Ref t_now = real(c.now), t_max = nx::integer(c.max_claims);
    Ref not_held = t_now ? absent_or(NX_ID(_lease_until), NX_STR("$lt"), t_now.get()) : Ref();
    Ref not_stuck = t_max ? absent_or(NX_ID(_claims), NX_STR("$lt"), t_max.get()) : Ref();
    Ref filter = (not_held && not_stuck) ? and_query(query, {not_held.get(), not_stuck.get()})
                                         : Ref();
    if (!filter) return {};

    std::vector<Generation> won, retry;
    for (int round = 0; round < kMaxRounds && (long)won.size() < c.limit; ++round) {
        long want = c.limit - (long)won.size();
        std::vector<Generation> gens = std::move(retry), lost;
        retry.clear();
        if ((long)gens.size() < want && search(c, filter.get(), want, &gens) < 0) return {};
        if (gens.empty()) break;
        if (insert_claims(c, gens, &won, &lost) < 0) return {};
        if (lost.empty()) break;
        if (settle_lost_races(c, lost, &retry) < 0) return {};
    }
    Ref result = Ref::steal(PyList_New(0));
    if (!result || drop_void_claims(c, &won) < 0) return {};
    if (won.empty()) return result;
    if (write_mirror(c.col.get(), won, std::vector<bool>(won.size(), true)) < 0) return {};
    if (reread_taken_over(c, won, result.get()) < 0) return {};
    return result;
}

// ---------------------------------------------------------------------------
// extend_lease, release, finish: steps of a claim, fenced by its generation
// ---------------------------------------------------------------------------

enum class Step { renew, give_back, finish };

const char* step_name(Step s) {
    return s == Step::renew ? "extend_lease" : s == Step::give_back ? "release" : "finish";
}

// A handle of a claim: the document it returned, with the generation the
// claim (or its last renewal) stored.
struct Handle {
    PyObject* doc;    // borrowed from the caller's list
    Generation next;  // the step's generation: the handle's gen + 1
    bool live;        // still held as the handle says (not given back, not finished)
};

// The handle of a claim: a document returned by claim_input or
// claim_pl_input. Without its claim's generation and token there is no
// fence, so anything else is refused. *queue is 0 (col_input) or 1
// (col_input_pdp).
int read_handle(Step step, Py_ssize_t i, PyObject* x, PyObject* const names[2], int* queue,
                Handle* h) {
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
                     step_name(step), i, Py_TYPE(x)->tp_name);
        return -1;
    }
    *queue = -1;
    for (int k = 0; k < 2; ++k) {
        int same = PyObject_RichCompareBool(q, names[k], Py_EQ);
        if (same < 0) return -1;
        if (same) *queue = k;
    }
    if (*queue < 0) {
        PyErr_Format(PyExc_ValueError,
                     "%s: item %zd was claimed from the collection %R, which is neither "
                     "col_input nor col_input_pdp now",
                     step_name(step), i, q);
        return -1;
    }
    h->doc = x;
    h->live = PyDict_GetItemWithError(x, NX_ID(_lease_until)) != nullptr;
    if (PyErr_Occurred()) return -1;
    h->next.row = Ref::borrow(id);
    h->next.gen = long_field(x, NX_ID(_lease_gen)) + 1;
    h->next.claims = long_field(x, NX_ID(_claims));
    h->next.token = Ref::borrow(token);
    h->next.doc = Ref::borrow(x);
    return PyErr_Occurred() ? -1 : 0;
}

// The step for the live handles of one queue. Each inserts the generation
// after its handle's: a duplicate means another claim (of any worker, this
// process included) took the row since, and the lease is lost. A won insert
// can still fill an _id that drop_finished_leases freed; the row's end
// record, stored before anything was freed, says so: a finish stores its own
// end record (and loses to one already there), a renewal or give-back reads
// it. `kept` gets the handles the step succeeded for.
int take_step(nx::Function* f, PyObject* col, std::vector<Handle*>& handles, Step step,
              double lease, PyObject* status, std::set<PyObject*>* kept) {
    Ref leases_raw = lease_collection(col);
    Ref leases = leases_raw ? on_primary(f, leases_raw.get()) : Ref();
    Ref queue = leases ? nx::attr(col, NX_ID(name)) : Ref();
    double now;
    if (!queue || server_now(col, &now) < 0) return -1;
    std::vector<Generation> gens;
    for (Handle* h : handles) {
        gens.push_back(h->next);
        Generation& g = gens.back();
        g.state = step == Step::renew    ? State::held
                  : step == Step::finish ? State::finished
                                         : State::released;
        g.until = step == Step::renew ? now + lease : now;
        if (step == Step::finish) g.status = Ref::borrow(status);
    }
    std::vector<bool> won;
    if (insert_generations(f, leases.get(), gens, now, &won) < 0) return -1;

    Ref owner = worker_id_str();
    Ref ends = owner ? Ref::steal(PyList_New(0)) : Ref();
    if (!ends) return -1;
    std::vector<size_t> at;  // gens index of each end record (finish) or end id (others)
    for (size_t i = 0; i < gens.size(); ++i) {
        if (!won[i]) continue;
        Ref d = step == Step::finish ? end_doc(gens[i], owner.get(), now)
                                     : lease_id(gens[i].row.get(), 0);
        if (!d || PyList_Append(ends.get(), d.get()) < 0) return -1;
        at.push_back(i);
    }
    if (step == Step::finish) {
        std::vector<bool> stored;
        if (insert_docs(f, leases.get(), ends.get(), &stored) < 0) return -1;
        // An end record already there may still be this finish's own,
        // stored by a claim or drop_finished_leases that met the finish
        // before its end record: it names this generation and token.
        Ref again = Ref::steal(PyList_New(0));
        if (!again) return -1;
        for (size_t k = 0; k < at.size(); ++k) {
            if (stored[k]) continue;
            won[at[k]] = false;
            Ref id = lease_id(gens[at[k]].row.get(), 0);
            if (!id || PyList_Append(again.get(), id.get()) < 0) return -1;
        }
        Findings found;
        Ref docs = PyList_GET_SIZE(again.get()) ? find_ids(leases.get(), again.get()) : again;
        if (!docs || !found.index_ || found.note_all(docs.get()) < 0) return -1;
        for (size_t k = 0; k < at.size(); ++k) {
            if (stored[k]) continue;
            const Generation& g = gens[at[k]];
            const Newest* n = found.of(g.row.get());
            if (!n && PyErr_Occurred()) return -1;
            int same = n && n->g.gen == g.gen && n->g.token
                           ? PyObject_RichCompareBool(n->g.token.get(), g.token.get(), Py_EQ)
                           : 0;
            if (same < 0) return -1;
            won[at[k]] = same == 1;
        }
    } else if (!at.empty()) {
        Findings found;
        Ref docs = find_ids(leases.get(), ends.get());
        if (!docs || !found.index_ || found.note_all(docs.get()) < 0) return -1;
        for (size_t i : at) {
            const Newest* n = found.of(gens[i].row.get());
            if (!n && PyErr_Occurred()) return -1;
            if (n && n->end_stored) won[i] = false;
        }
    }
    for (size_t i = 0; i < gens.size(); ++i) {
        if (!won[i]) continue;
        if (stamp_handle(handles[i]->doc, gens[i], queue.get()) < 0) return -1;
        kept->insert(handles[i]->doc);
    }
    return write_mirror(col, gens, won);
}

// extend_lease / release / finish: the items whose step succeeded, in order.
PyObject* fenced(nx::Function* f, PyObject* items, Step step, PyObject* lease_arg,
                 PyObject* status_arg) {
    double lease = 0;
    if (step == Step::renew && to_double(lease_arg, "lease", &lease) < 0) return nullptr;
    Ref status = step == Step::finish ? nx::format_empty(status_arg) : Ref();
    if (step == Step::finish && !status) return nullptr;
    Ref list = Ref::steal(PySequence_List(items));
    if (!list) return nullptr;
    Ref cols[2], names[2];
    for (int k = 0; k < 2; ++k) {
        cols[k] = input_collection(f, k ? col_input_pdp_name() : col_input_name());
        names[k] = cols[k] ? nx::attr(cols[k].get(), NX_ID(name)) : Ref();
        if (!names[k]) return nullptr;
    }
    // Every item is checked before anything is written. A handle given twice
    // takes one step.
    std::deque<Handle> handles;
    std::vector<Handle*> by_queue[2];
    std::set<PyObject*> seen;
    PyObject* const raw_names[2] = {names[0].get(), names[1].get()};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* x = PyList_GET_ITEM(list.get(), i);
        int q;
        handles.emplace_back();
        if (read_handle(step, i, x, raw_names, &q, &handles.back()) < 0) return nullptr;
        if (handles.back().live && seen.insert(x).second) by_queue[q].push_back(&handles.back());
    }
    std::set<PyObject*> kept;
    for (int k = 0; k < 2; ++k)
        if (!by_queue[k].empty() &&
            take_step(f, cols[k].get(), by_queue[k], step, lease, status.get(), &kept) < 0)
            return nullptr;
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* x = PyList_GET_ITEM(list.get(), i);
        if (kept.count(x) && PyList_Append(result.get(), x) < 0) return nullptr;
    }
    return result.release();
}

// ---------------------------------------------------------------------------
// drop_finished_leases, drop_finished_pl_leases
// ---------------------------------------------------------------------------

// Free the lease generations of finished rows; returns how many documents
// were deleted. Each finished row keeps two documents: its end record, and
// its generation 1, so that a first claim always meets a duplicate.
//
// Why this is safe. Every decision here is an insert of a generation _id,
// won by whoever inserts it first; freeing a row's generation _ids lets a
// later insert of one of them succeed (a renewal by a stale handle, or a
// claim that followed an old mirror). Such an insert never counts as a step
// of a live lease. Generation 1 is kept, so a first claim, which nothing
// checks, loses as before and reads the row's newest generation, which
// takes the end record for the finish. The row's end record is stored below
// before any _id of the row is freed, and it is never deleted; every won
// insert is checked against it afterwards: a claim reads it with the
// generation it followed (drop_void_claims), a renewal or give-back reads it
// (take_step), a finish stores its own and loses to one already there. An
// insert into a freed _id can only come after the freeing, so after the end
// record, so its check sees the record. Look-ups of a row's newest
// generation read the end record too and take it for the finish. Workers
// may run meanwhile.
//
// The finished rows are taken from the lease collection as a stream, a
// batch of `_drop_batch` lease documents at a time, so memory does not grow
// with the job's history. A row met in two batches is dropped twice, which
// deletes nothing the second time.

// One batch of finished lease documents: store the end records missing
// among them, then delete their rows' generations after the first.
int drop_batch(nx::Function* f, PyObject* leases, PyObject* docs, double now, long* deleted) {
    Findings finished;
    if (!finished.index_ || finished.note_all(docs) < 0) return -1;
    Ref owner = worker_id_str();
    Ref ends = owner ? Ref::steal(PyList_New(0)) : Ref();
    Ref rows = ends ? Ref::steal(PyList_New(0)) : Ref();
    if (!rows) return -1;
    for (Newest& n : finished.all()) {
        if (!n.end_stored) {
            Ref d = end_doc(n.g, owner.get(), now);
            if (!d || PyList_Append(ends.get(), d.get()) < 0) return -1;
        }
        if (PyList_Append(rows.get(), n.g.row.get()) < 0) return -1;
    }
    // A duplicate is an end record stored meanwhile: the row ended either way.
    std::vector<bool> stored;
    if (insert_docs(f, leases, ends.get(), &stored) < 0) return -1;
    if (PyList_GET_SIZE(rows.get()) == 0) return 0;

    // Their generations after the first, matched again by exact key: the server
    // may take True for 1 in $in.
    Ref in = dict({{NX_STR("$in"), rows.get()}});
    Ref one = nx::integer(1);
    Ref gt = one ? dict({{NX_STR("$gt"), one.get()}}) : Ref();
    Ref of_rows = in && gt ? dict({{NX_ID(row), in.get()}, {NX_ID(gen), gt.get()}}) : Ref();
    Ref gens = of_rows ? nx::call_method(leases, NX_ID(find), {of_rows.get()}) : Ref();
    Ref gen_docs = gens ? Ref::steal(PySequence_List(gens.get())) : Ref();
    Ref ids = gen_docs ? Ref::steal(PyList_New(0)) : Ref();
    if (!ids) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(gen_docs.get()); ++i) {
        PyObject* d = PyList_GET_ITEM(gen_docs.get(), i);
        Ref row = nx::item(d, NX_ID(row));
        if (!row) return -1;
        if (!finished.of(row.get())) {
            if (PyErr_Occurred()) return -1;
            continue;
        }
        Ref id = nx::item(d, NX_ID(_id));
        if (!id || PyList_Append(ids.get(), id.get()) < 0) return -1;
    }
    if (PyList_GET_SIZE(ids.get()) == 0) return 0;
    Ref id_in = dict({{NX_STR("$in"), ids.get()}});
    Ref by_id = id_in ? dict({{NX_ID(_id), id_in.get()}}) : Ref();
    Ref res = by_id ? nx::call_method(leases, NX_ID(delete_many), {by_id.get()}) : Ref();
    Ref count = res ? nx::attr(res.get(), NX_ID(deleted_count)) : Ref();
    long n = count ? PyLong_AsLong(count.get()) : -1;
    if (n < 0) return PyErr_Occurred() ? -1 : 0;
    *deleted += n;
    return 0;
}

Ref drop_finished(nx::Function* f, PyObject* col_name) {
    Ref col = input_collection(f, col_name);
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

template <PyObject* (*Collection)()>
PyObject* claim_impl(nx::Function* f, PyObject* const* a) {
    return claim(f, Collection(), a[0], a[1], a[2], a[3]).release();
}

#define NX_CLAIM_DOC(coll, setting)                                                    \
    "Lease up to `limit` work items of " coll                                          \
    " to this worker and return them.\n"                                               \
    "\n"                                                                               \
    "query      -- a filter document; None matches every document\n"                   \
    "limit      -- the most documents to return (at least 1)\n"                        \
    "lease      -- seconds the documents stay leased to this worker\n"                 \
    "max_claims -- a row claimed this many times without being finished is\n"          \
    "              no longer handed out\n"                                             \
    "\n"                                                                               \
    "Returns a list of the documents of " coll                                         \
    " (the collection named by the\n"                                                  \
    "setting " setting                                                                 \
    ", read from Scrape_common at each call) that match\n"                             \
    "query and that no live lease holds, now leased until the server time in\n"        \
    "their \"_lease_until\" (seconds since the epoch). Each document is the\n"         \
    "handle of its lease (\"_lease_gen\", \"_lease_token\", \"_lease_queue\"): pass\n" \
    "it to finish when the item is done, to extend_lease to renew it and to\n"         \
    "release to give it back. A row whose newest lease is a finish is never\n"         \
    "handed out again. An empty list means nothing is free right now. Costs\n"         \
    "a constant number of database round trips whatever the limit; reads go\n"         \
    "to the primary. Database errors are raised, and an insert whose outcome\n"        \
    "is unknown (a write concern error) hands nothing out."

const nx::FuncSpec claim_input_spec = {
    "claim_input",
    NX_CLAIM_DOC("col_input", "input_table"),
    4,
    {"query", "limit", "lease", "max_claims"},
    claim_impl<col_input_name>,
};
const nx::FuncSpec claim_pl_input_spec = {
    "claim_pl_input",
    NX_CLAIM_DOC("col_input_pdp", "pl_input_table"),
    4,
    {"query", "limit", "lease", "max_claims"},
    claim_impl<col_input_pdp_name>,
};
#undef NX_CLAIM_DOC

PyObject* extend_impl(nx::Function* f, PyObject* const* a) {
    return fenced(f, a[0], Step::renew, a[1], nullptr);
}

PyObject* release_impl(nx::Function* f, PyObject* const* a) {
    return fenced(f, a[0], Step::give_back, nullptr, nullptr);
}

PyObject* finish_impl(nx::Function* f, PyObject* const* a) {
    return fenced(f, a[0], Step::finish, nullptr, a[1]);
}

#define NX_FENCE_DOC                                                             \
    "An item is lost when its claim's lease is no longer the row's newest\n"     \
    "generation: it ran out and another claim took the row, whoever made it\n"   \
    "(another thread of this process included), or the item was given back or\n" \
    "finished already. Nothing is written for a lost item. Items that are not\n" \
    "documents returned by claim_input / claim_pl_input raise TypeError."

const nx::FuncSpec extend_lease_spec = {
    "extend_lease",
    "Renew the leases of `items` and return the items renewed.\n"
    "\n"
    "items -- documents returned by claim_input / claim_pl_input\n"
    "lease -- the new lease, in seconds from now (server time)\n"
    "\n"
    "A lease is renewed while its claim is the row's newest generation, even\n"
    "if it ran out meanwhile. Each renewed document is stamped with its new\n"
    "lease and stays its handle. Returns the renewed items (the same objects,\n"
    "in order).\n" NX_FENCE_DOC,
    2,
    {"items", "lease"},
    extend_impl,
};

const nx::FuncSpec release_spec = {
    "release",
    "Give the rows of `items` back at once, for example on a clean shutdown.\n"
    "\n"
    "items -- documents returned by claim_input / claim_pl_input\n"
    "\n"
    "The rows become free to claim by any worker (their claim count stays).\n"
    "Returns the items given back (the same objects, in order).\n" NX_FENCE_DOC,
    1,
    {"items"},
    release_impl,
};

const nx::FuncSpec finish_spec = {
    "finish",
    "Commit `items`: mark them finished, once, and set their status.\n"
    "\n"
    "items  -- documents returned by claim_input / claim_pl_input\n"
    "status -- the rows' new status, stored as text (f\"{status}\")\n"
    "\n"
    "For each item whose claim is still its row's newest generation, a\n"
    "finish is stored in the lease collection (whoever stores it first wins,\n"
    "so a row is finished once), then the row's status is set as\n"
    "Scrape_common.update_input(\"_id\", row_id, status) would. A finished row\n"
    "is never claimed again. Returns the items finished (the same objects, in\n"
    "order).\n" NX_FENCE_DOC
    "\n"
    "Unlike update_input, database errors are raised. An error of the status\n"
    "write comes after the finish is stored: the row counts as finished and a\n"
    "later claim that meets it writes its status again.",
    2,
    {"items", "status"},
    finish_impl,
};
#undef NX_FENCE_DOC

template <PyObject* (*Collection)()>
PyObject* drop_impl(nx::Function* f, PyObject* const*) {
    return drop_finished(f, Collection()).release();
}

#define NX_DROP_DOC(coll)                                                         \
    "Free the lease documents of the finished rows of " coll                      \
    ".\n"                                                                         \
    "\n"                                                                          \
    "Each finished row keeps its first lease and a small end record; its other\n" \
    "lease documents are deleted, so the lease collection of a long job stays\n"  \
    "bounded. Safe while workers run: a step of a stale handle or claim that\n"   \
    "lands in a freed generation is refused by the end record, stored first.\n"   \
    "Scans the lease collection. Returns how many documents were deleted."

const nx::FuncSpec drop_finished_leases_spec = {
    "drop_finished_leases", NX_DROP_DOC("col_input"), 0, {}, drop_impl<col_input_name>,
};
const nx::FuncSpec drop_finished_pl_leases_spec = {
    "drop_finished_pl_leases", NX_DROP_DOC("col_input_pdp"), 0, {}, drop_impl<col_input_pdp_name>,
};
#undef NX_DROP_DOC

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
    while (!s.empty() && (s.front().t < now - kRateWindow || s.front().t > now)) s.pop_front();
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
    double rate = finishing_rate(std::string(c) + "\n" + q + "\n" + std::to_string(max_claims), now,
                                 remaining);
    Ref rate_obj = std::isnan(rate) ? nx::none() : real(rate);
    Ref eta = remaining == 0                  ? real(0.0)
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

#define NX_PROGRESS_DOC(coll)                                                        \
    "Where the queue of " coll                                                       \
    " stands, for the rows matching `query`.\n"                                      \
    "\n"                                                                             \
    "query      -- the job's filter document; None matches every document\n"         \
    "max_claims -- the limit the workers claim with\n"                               \
    "\n"                                                                             \
    "Returns a dict: \"free\" (rows free to claim), \"leased\" (rows leased now),\n" \
    "\"stuck\" (rows claimed max_claims times, no longer handed out),\n"             \
    "\"remaining\" (free + leased), \"statuses\" (every row of the collection\n"     \
    "counted by its status), \"finished_per_second\" (how fast \"remaining\" fell\n" \
    "over this process's calls of the last minute; None on the first call)\n"        \
    "and \"eta_seconds\" (remaining / that rate; None while unknown)."

const nx::FuncSpec queue_progress_spec = {
    "queue_progress",        NX_PROGRESS_DOC("col_input"),  2,
    {"query", "max_claims"}, progress_impl<col_input_name>,
};
const nx::FuncSpec pl_queue_progress_spec = {
    "pl_queue_progress",     NX_PROGRESS_DOC("col_input_pdp"),  2,
    {"query", "max_claims"}, progress_impl<col_input_pdp_name>,
};
#undef NX_PROGRESS_DOC

PyObject* worker_id_impl(nx::Function*, PyObject* const*) { return worker_id_str().release(); }

const nx::FuncSpec worker_id_spec = {
    "worker_id",
    R"doc(This worker's identity, the owner of its leases: "host:pid:random".

Fixed for the life of the process; a forked child gets a new one.)doc",
    0,
    {},
    worker_id_impl,
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
    Ref pymongo = nx::import(g, "pymongo", {"ReadPreference"});
    Ref prefs = pymongo ? nx::attr(pymongo.get(), NX_ID(ReadPreference)) : Ref();
    Ref primary = prefs ? nx::attr(prefs.get(), NX_ID(PRIMARY)) : Ref();
    if (!primary || nx::set_global(g, NX_ID(_primary), primary.get()) < 0) return -1;
    // Lease documents that drop_finished_leases holds at once.
    Ref drop_batch_size = nx::integer(1000);
    if (!drop_batch_size || nx::set_global(g, NX_ID(_drop_batch), drop_batch_size.get()) < 0)
        return -1;

    Ref one = nx::integer(1), five = nx::integer(5), lease = real(300.0);
    if (!one || !five || !lease) return -1;
    for (const nx::FuncSpec* s : {&claim_input_spec, &claim_pl_input_spec})
        if (nx::define_function(g, *s, {Py_None, one.get(), lease.get(), five.get()}) < 0)
            return -1;
    if (nx::define_function(g, extend_lease_spec, {lease.get()}) < 0) return -1;
    if (nx::define_function(g, release_spec) < 0) return -1;
    Ref done = nx::str("done");
    if (!done || nx::define_function(g, finish_spec, {done.get()}) < 0) return -1;
    for (const nx::FuncSpec* s : {&drop_finished_leases_spec, &drop_finished_pl_leases_spec})
        if (nx::define_function(g, *s) < 0) return -1;
    for (const nx::FuncSpec* s : {&queue_progress_spec, &pl_queue_progress_spec})
        if (nx::define_function(g, *s, {Py_None, five.get()}) < 0) return -1;
    return nx::define_function(g, worker_id_spec);
}

nx::RunOnceModule module_def(
    "workqueue", "Many workers on one queue: leased claims on Scrape_common's input collections.",
    run_body);

}  // namespace

NX_MODINIT_FUNC PyInit_workqueue(void) { return module_def.init(); }
