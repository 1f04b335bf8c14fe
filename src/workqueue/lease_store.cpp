// The lease store: see lease_store.h and docs/workqueue-protocol.md.
#include "lease_store.h"

#include "state.h"

#include <datetime.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <tuple>

namespace workqueue {

using nx::dict;

// ---------------------------------------------------------------------------
// Collections, the clock, arguments
// ---------------------------------------------------------------------------

Ref input_collection(nx::Function* f, PyObject* name) {
    Ref sc = nx::global(f, NX_ID(Scrape_common));
    return sc ? nx::attr(sc.get(), name) : Ref();
}

Ref queue_collection(nx::Function* f, PyObject* name, PyObject* collection) {
    if (collection == Py_None) return input_collection(f, name);
    Ref type = nx::global(f, NX_ID(_Collection));
    int is = type ? PyObject_IsInstance(collection, type.get()) : -1;
    if (is < 0) return {};
    if (!is) {
        PyErr_Format(PyExc_TypeError,
                     "collection must be a pymongo Collection (the queue's rows) or None "
                     "(col_input), not %.100s",
                     Py_TYPE(collection)->tp_name);
        return {};
    }
    return Ref::borrow(collection);
}

Ref lease_collection(PyObject* col) {
    Ref db = nx::attr(col, NX_ID(database));
    Ref name = db ? nx::attr(col, NX_ID(name)) : Ref();
    Ref full = name ? nx::concat({name.get(), NX_STR("_leases")}) : Ref();
    return full ? nx::item(db.get(), full.get()) : Ref();
}

Ref on_primary(nx::Function* f, PyObject* col) {
    Ref primary = nx::global(f, NX_ID(_primary));
    Ref with = primary ? nx::attr(col, NX_ID(with_options)) : Ref();
    return with ? nx::call_kw(with.get(), {}, {{NX_ID(read_preference), primary.get()}}) : Ref();
}

namespace {

// Days from 1970-01-01 to a proleptic Gregorian date.
long days_from_civil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    long era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = (unsigned)(y - era * 400);
    unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (long)doe - 719468;
}

}  // namespace

int init_clock() {
    PyDateTime_IMPORT;
    return PyDateTimeAPI ? 0 : -1;
}

int server_now(PyObject* col, double* now) {
    Ref db = nx::attr(col, NX_ID(database));
    Ref hello = db ? nx::call_method(db.get(), NX_ID(command), {NX_STR("hello")}) : Ref();
    if (!hello) return -1;
    Ref t = Ref::steal(PyObject_GetItem(hello.get(), NX_STR("localTime")));
    if (t && PyDateTime_Check(t.get())) {
        Ref tz = nx::attr(t.get(), NX_ID(tzinfo));
        if (!tz) return -1;
        if (tz.get() == Py_None) {  // the driver's default: UTC without a zone
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

int to_seconds(PyObject* v, const char* what, double* out) {
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

int check_query(PyObject* query) {
    if (query == Py_None || PyDict_Check(query) || PyObject_HasAttr(query, NX_ID(keys))) return 0;
    PyErr_Format(PyExc_TypeError, "query must be a mapping or None, not %.100s",
                 Py_TYPE(query)->tp_name);
    return -1;
}

long long_field(PyObject* doc, PyObject* name) {
    PyObject* v = PyDict_Check(doc) ? PyDict_GetItemWithError(doc, name) : nullptr;
    if (!v) return 0;
    long n = PyLong_AsLong(v);
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    return n < 0 ? 0 : n;
}

Ref row_key(PyObject* id) {
    PyObject* type = (PyObject*)Py_TYPE(id);
    if (!PyTuple_Check(id) && !PyFrozenSet_Check(id)) {
        if (PyObject_Hash(id) != -1) return Ref::steal(PyTuple_Pack(2, type, id));
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return {};
        PyErr_Clear();
    }
    // A container (unhashable, or a tuple whose members could be equal
    // across types) is keyed by its repr, which spells the types out.
    Ref r = Ref::steal(PyObject_Repr(id));
    return r ? Ref::steal(PyTuple_Pack(2, type, r.get())) : Ref();
}

Ref random_id() {
    Ref n = nx::integer(16);
    Ref bytes = n ? nx::call(state().urandom, {n.get()}) : Ref();
    if (!bytes) return {};
    if (!PyBytes_Check(bytes.get()) || PyBytes_GET_SIZE(bytes.get()) != 16) {
        PyErr_SetString(PyExc_RuntimeError, "os.urandom(16) did not give 16 bytes");
        return {};
    }
    static const char digits[] = "0123456789abcdef";
    const unsigned char* b = (const unsigned char*)PyBytes_AS_STRING(bytes.get());
    char hex[32];
    for (size_t i = 0; i < 16; ++i) {
        hex[2 * i] = digits[b[i] >> 4];
        hex[2 * i + 1] = digits[b[i] & 15];
    }
    return Ref::steal(PyUnicode_FromStringAndSize(hex, 32));
}

// ---------------------------------------------------------------------------
// Lease documents
// ---------------------------------------------------------------------------

namespace {

const char* state_name(LeaseState s) {
    return s == LeaseState::kHeld ? "held" : s == LeaseState::kReleased ? "released" : "finished";
}

LeaseState state_of(PyObject* doc) {
    PyObject* s = PyDict_GetItemWithError(doc, NX_ID(state));
    if (!s || !PyUnicode_Check(s)) return LeaseState::kReleased;
    if (PyUnicode_CompareWithASCIIString(s, "held") == 0) return LeaseState::kHeld;
    if (PyUnicode_CompareWithASCIIString(s, "finished") == 0) return LeaseState::kFinished;
    return LeaseState::kReleased;
}

constexpr long kDuplicateKey = 11000;  // the server's code for a duplicate _id
constexpr long kProbe = 4;             // generations read past the lower bound in one look-up

}  // namespace

Ref lease_id(PyObject* row, long gen) {
    Ref lease = nx::integer(gen);
    return lease ? dict({{NX_ID(row), row}, {NX_ID(gen), lease.get()}}) : Ref();
}

Ref lease_doc(const Generation& lease, PyObject* owner, double now) {
    Ref id = lease_id(lease.row.get(), lease.gen);
    Ref gen = nx::integer(lease.gen), claims = nx::integer(lease.claims);
    Ref at = Ref::steal(PyFloat_FromDouble(now)),
        until = Ref::steal(PyFloat_FromDouble(lease.until));
    Ref d = id ? dict({{NX_ID(_id), id.get()},
                       {NX_ID(row), lease.row.get()},
                       {NX_ID(gen), gen.get()},
                       {NX_ID(owner), owner},
                       {NX_ID(state), nx::str(state_name(lease.state)).get()},
                       {NX_ID(at), at.get()},
                       {NX_ID(until), until.get()},
                       {NX_ID(claims), claims.get()},
                       {NX_ID(token), lease.token.get()},
                       {NX_ID(step), lease.step.get()}})
               : Ref();
    if (d && lease.status && PyDict_SetItem(d.get(), NX_ID(status), lease.status.get()) < 0)
        return {};
    return d;
}

Ref end_doc(const Generation& lease, PyObject* owner, double now) {
    NX_ASSERT(lease.state == LeaseState::kFinished);
    Generation end = lease;
    end.gen = 0;
    end.state = LeaseState::kFinished;
    end.until = now;
    Ref d = lease_doc(end, owner, now);
    Ref final_gen = d ? nx::integer(lease.gen) : Ref();
    if (!final_gen || PyDict_SetItem(d.get(), NX_ID(final), final_gen.get()) < 0) return {};
    return d;
}

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

int insert_all(nx::Function* f, PyObject* leases, const std::vector<Generation>& gens, MakeDoc make,
               double now, std::vector<bool>* won) {
    Ref owner = worker_id_str();
    Ref docs = owner ? Ref::steal(PyList_New(0)) : Ref();
    if (!docs) return -1;
    for (const Generation& lease : gens) {
        Ref d = make(lease, owner.get(), now);
        if (!d || PyList_Append(docs.get(), d.get()) < 0) return -1;
    }
    return insert_docs(f, leases, docs.get(), won);
}

Ref find_ids(PyObject* col, PyObject* ids) {
    Ref in = dict({{NX_STR("$in"), ids}});
    Ref filter = in ? dict({{NX_ID(_id), in.get()}}) : Ref();
    Ref cursor = filter ? nx::call_method(col, NX_ID(find), {filter.get()}) : Ref();
    return cursor ? Ref::steal(PySequence_List(cursor.get())) : Ref();
}

// ---------------------------------------------------------------------------
// What the lease documents say of a row
// ---------------------------------------------------------------------------

Findings::Findings() : index_(Ref::steal(PyDict_New())) {}

Newest* Findings::of(PyObject* row, bool create) {
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

int Findings::note(PyObject* d) {
    PyObject* row = PyDict_Check(d) ? PyDict_GetItemWithError(d, NX_ID(row)) : nullptr;
    if (!row) return PyErr_Occurred() ? -1 : 0;
    Newest* n = of(row, true);
    if (!n) return -1;
    Generation lease;
    lease.row = Ref::borrow(row);
    lease.gen = long_field(d, NX_ID(gen));
    lease.claims = long_field(d, NX_ID(claims));
    lease.state = state_of(d);
    PyObject* until = PyDict_GetItemWithError(d, NX_ID(until));
    lease.until = until ? PyFloat_AsDouble(until) : 0;
    lease.token = Ref::borrow(PyDict_GetItemWithError(d, NX_ID(token)));
    lease.step = Ref::borrow(PyDict_GetItemWithError(d, NX_ID(step)));
    lease.status = Ref::borrow(PyDict_GetItemWithError(d, NX_ID(status)));
    if (PyErr_Occurred()) return -1;
    if (lease.gen == 0) {  // the end record stands for the finish it names
        lease.gen = long_field(d, NX_ID(final));
        lease.state = LeaseState::kFinished;
        n->end = std::move(lease);
        n->end_stored = true;
        return PyErr_Occurred() ? -1 : 0;
    }
    if (lease.state == LeaseState::kFinished && (!n->finish_read || lease.gen > n->finish.gen)) {
        n->finish = lease;
        n->finish_read = true;
    }
    if (!n->top.row || lease.gen > n->top.gen) n->top = std::move(lease);
    return 0;
}

int Findings::note_all(PyObject* docs) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(docs); ++i)
        if (note(PyList_GET_ITEM(docs, i)) < 0) return -1;
    return 0;
}

int read_into(PyObject* leases, PyObject* ids, Findings* found) {
    if (!*found) return -1;
    if (PyList_GET_SIZE(ids) == 0) return 0;
    Ref docs = find_ids(leases, ids);
    return docs ? found->note_all(docs.get()) : -1;
}

int read_newest(PyObject* leases, std::vector<std::pair<Ref, long>> rows, Findings* out) {
    while (!rows.empty()) {
        Ref ids = Ref::steal(PyList_New(0));
        if (!ids) return -1;
        for (auto& r : rows)
            for (long gen = std::max(r.second, 1L) - 1; gen <= r.second + kProbe; ++gen) {
                // the end record first, then the lower bound's generation and
                // those after it
                Ref id = lease_id(r.first.get(), gen < r.second ? 0 : gen);
                if (!id || PyList_Append(ids.get(), id.get()) < 0) return -1;
            }
        if (read_into(leases, ids.get(), out) < 0) return -1;
        std::vector<std::pair<Ref, long>> further;
        for (auto& r : rows) {
            const Newest* n = out->of(r.first.get());
            if (!n && PyErr_Occurred()) return -1;
            if (n && !n->ended() && n->top.gen == r.second + kProbe)
                further.emplace_back(r.first, n->top.gen);
        }
        rows.swap(further);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The mirror and the handles
// ---------------------------------------------------------------------------

// Rows whose new mirror is the same (a batch of first claims, or of finishes
// with one status, say) share one update command: {"_id": {"$in": rows}},
// or {"_id": row} for one. A row whose mirror already shows a newer
// generation is left alone. A finish is written whatever the mirror shows,
// its status with it, and its errors are raised; a repair only into a row
// that has the mirror (a re-seeded row has none), one row at a time, since
// each has a status of its own. (One command per row would do on MongoDB,
// but the test database stalls on bulk writes of many statements, and reads
// the whole collection for each update.)
int write_mirror(PyObject* col, const std::vector<Generation>& gens, const std::vector<bool>& won,
                 MirrorWrite how) {
    struct Group {
        const Generation* first;
        Ref rows;
    };
    NX_ASSERT(gens.size() == won.size());
    std::map<std::tuple<long, long, int, double, size_t, std::string>, Group> groups;
    for (size_t i = 0; i < gens.size(); ++i) {
        if (!won[i]) continue;
        const Generation& lease = gens[i];
        bool held = lease.state == LeaseState::kHeld,
             finished = lease.state == LeaseState::kFinished;
        size_t own = finished && how == MirrorWrite::kRepair ? i + 1 : 0;
        std::string status;
        if (finished && lease.status) {
            const char* text = PyUnicode_AsUTF8(lease.status.get());
            if (!text) return -1;
            status = text;
        }
        Group& group = groups[std::make_tuple(lease.gen, lease.claims, (int)lease.state,
                                              held ? lease.until : 0.0, own, status)];
        if (!group.rows) {
            group.first = &lease;
            group.rows = Ref::steal(PyList_New(0));
            if (!group.rows) return -1;
        }
        if (PyList_Append(group.rows.get(), lease.row.get()) < 0) return -1;
    }
    for (auto& entry : groups) {
        const Generation& lease = *entry.second.first;
        PyObject* rows = entry.second.rows.get();
        bool held = lease.state == LeaseState::kHeld,
             finished = lease.state == LeaseState::kFinished;
        Ref gen = nx::integer(lease.gen), claims = nx::integer(lease.claims);
        Ref until = Ref::steal(PyFloat_FromDouble(lease.until));
        bool one = PyList_GET_SIZE(rows) == 1;
        Ref in = one ? Ref::borrow(PyList_GET_ITEM(rows, 0)) : dict({{NX_STR("$in"), rows}});
        Ref filter = in ? dict({{NX_ID(_id), in.get()}}) : Ref();
        if (!filter || !gen || !claims || !until) return -1;
        if (!finished) {
            // {"$or": [{"_lease_gen": {"$exists": False}}, {"_lease_gen": {"$lt": gen}}]}
            Ref absent = dict({{NX_STR("$exists"), Py_False}});
            Ref lt = dict({{NX_STR("$lt"), gen.get()}});
            Ref a = absent ? dict({{NX_ID(_lease_gen), absent.get()}}) : Ref();
            Ref b = lt ? dict({{NX_ID(_lease_gen), lt.get()}}) : Ref();
            Ref alts = a && b ? nx::list({a.get(), b.get()}) : Ref();
            if (!alts || PyDict_SetItem(filter.get(), NX_STR("$or"), alts.get()) < 0) return -1;
        } else if (how == MirrorWrite::kRepair) {
            Ref exists = dict({{NX_STR("$exists"), Py_True}});
            if (!exists || PyDict_SetItem(filter.get(), NX_ID(_lease_gen), exists.get()) < 0)
                return -1;
        }
        Ref set = dict({{NX_ID(_lease_gen), gen.get()}, {NX_ID(_claims), claims.get()}});
        if (!set || (held && PyDict_SetItem(set.get(), NX_ID(_lease_until), until.get()) < 0))
            return -1;
        if (finished && (PyDict_SetItem(set.get(), NX_ID(status), lease.status.get()) < 0 ||
                         PyDict_SetItem(set.get(), NX_ID(_lease_done), Py_True) < 0))
            return -1;
        Ref update = dict({{NX_STR("$set"), set.get()}});
        if (update && !held) {
            Ref unset = dict({{NX_ID(_lease_until), NX_STR("")}});
            if (!unset || PyDict_SetItem(update.get(), NX_STR("$unset"), unset.get()) < 0)
                return -1;
        }
        if (!update || !nx::call_method(col, one ? NX_ID(update_one) : NX_ID(update_many),
                                        {filter.get(), update.get()}))
            return -1;
    }
    return 0;
}

int stamp_handle(PyObject* doc, const Generation& lease, PyObject* queue) {
    if (!PyDict_Check(doc)) return 0;
    Ref gen = nx::integer(lease.gen), claims = nx::integer(lease.claims);
    Ref until = Ref::steal(PyFloat_FromDouble(lease.until));
    if (!gen || !claims || !until || PyDict_SetItem(doc, NX_ID(_lease_gen), gen.get()) < 0 ||
        PyDict_SetItem(doc, NX_ID(_claims), claims.get()) < 0 ||
        PyDict_SetItem(doc, NX_ID(_lease_token), lease.token.get()) < 0 ||
        PyDict_SetItem(doc, NX_ID(_lease_queue), queue) < 0)
        return -1;
    if (lease.state == LeaseState::kHeld)
        return PyDict_SetItem(doc, NX_ID(_lease_until), until.get());
    if (PyDict_DelItem(doc, NX_ID(_lease_until)) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
        PyErr_Clear();
    }
    return 0;
}

}  // namespace workqueue
