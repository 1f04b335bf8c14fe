// queue_progress, pl_queue_progress: where a queue stands, counted on the
// primary from the rows' mirror fields.
#include "operations.h"
#include "state.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace workqueue {

namespace {

using nx::dict;

constexpr double kRateWindow = 60.0;   // seconds of progress samples for the rate
constexpr size_t kMaxSampleKeys = 64;  // distinct (queue, query) progress series kept

// Items finished per second over the last minute of this process's calls
// for the same queue and query (the fall of the remaining count); NaN when
// there is no earlier call in that minute.
double finishing_rate(const std::string& key, double now, long remaining) {
    auto& samples = state().samples;
    if (samples.size() >= kMaxSampleKeys && samples.find(key) == samples.end())
        samples.erase(samples.begin());
    auto& s = samples[key];
    while (!s.empty() && (s.front().t < now - kRateWindow || s.front().t > now)) s.pop_front();
    double rate = NAN;
    if (!s.empty() && now > s.front().t)
        rate = std::max(0.0, (s.front().remaining - remaining) / (now - s.front().t));
    s.push_back({now, remaining});
    return rate;
}

int count(PyObject* col, const Ref& filter, long* out) {
    Ref n = filter ? nx::call_method(col, NX_ID(count_documents), {filter.get()}) : Ref();
    if (!n) return -1;
    *out = PyLong_AsLong(n.get());
    return (*out == -1 && PyErr_Occurred()) ? -1 : 0;
}

// Every row of the collection by its status: [{"$group": {"_id": "$status",
// "n": {"$sum": 1}}}].
Ref by_status(PyObject* col) {
    Ref one = nx::integer(1);
    Ref sum = one ? dict({{NX_STR("$sum"), one.get()}}) : Ref();
    Ref group = sum ? dict({{NX_ID(_id), NX_STR("$status")}, {NX_ID(n), sum.get()}}) : Ref();
    Ref stage = group ? dict({{NX_STR("$group"), group.get()}}) : Ref();
    Ref pipeline = stage ? nx::list({stage.get()}) : Ref();
    Ref cursor = pipeline ? nx::call_method(col, NX_ID(aggregate), {pipeline.get()}) : Ref();
    Ref groups = cursor ? Ref::steal(PySequence_List(cursor.get())) : Ref();
    Ref statuses = groups ? Ref::steal(PyDict_New()) : Ref();
    if (!statuses) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(groups.get()); ++i) {
        PyObject* group_doc = PyList_GET_ITEM(groups.get(), i);
        Ref status = nx::item(group_doc, NX_ID(_id));
        Ref n = status ? nx::item(group_doc, NX_ID(n)) : Ref();
        if (!n || PyObject_SetItem(statuses.get(), status.get(), n.get()) < 0) return {};
    }
    return statuses;
}

}  // namespace

Ref progress(nx::Function* f, const Queue& q, PyObject* query, PyObject* max_claims_arg,
             PyObject* collection) {
    long max_claims;
    double now;
    if (check_query(query) < 0 || to_count(max_claims_arg, "max_claims", &max_claims) < 0)
        return {};
    Ref raw = queue_collection(f, q.global(), collection);
    Ref col = raw ? on_primary(f, raw.get()) : Ref();
    if (!col || server_now(raw.get(), &now) < 0) return {};
    Ref t_now = Ref::steal(PyFloat_FromDouble(now)), t_max = nx::integer(max_claims);
    if (!t_now || !t_max) return {};
    Ref gte = dict({{NX_STR("$gte"), t_now.get()}});  // a lease ending now still holds
    Ref held = gte ? dict({{NX_ID(_lease_until), gte.get()}}) : Ref();
    Ref not_held = absent_or(NX_ID(_lease_until), NX_STR("$lt"), t_now.get());
    Ref not_stuck = absent_or(NX_ID(_claims), NX_STR("$lt"), t_max.get());
    Ref at_max = dict({{NX_STR("$gte"), t_max.get()}});
    Ref stuck = at_max ? dict({{NX_ID(_claims), at_max.get()}}) : Ref();
    Ref open = not_done();
    Ref done = dict({{NX_ID(_lease_done), Py_True}});
    if (!held || !not_held || !not_stuck || !stuck || !open || !done) return {};
    long n_free, n_leased, n_stuck, n_finished;
    PyObject* c = col.get();
    if (count(c, and_query(query, {open.get(), held.get()}), &n_leased) < 0 ||
        count(c, and_query(query, {open.get(), not_held.get(), stuck.get()}), &n_stuck) < 0 ||
        count(c, and_query(query, {open.get(), not_held.get(), not_stuck.get()}), &n_free) < 0 ||
        count(c, done, &n_finished) < 0)
        return {};
    Ref statuses = by_status(c);
    if (!statuses) return {};

    Ref key_repr = Ref::steal(PyObject_Repr(query));
    Ref full = key_repr ? nx::attr(c, NX_ID(full_name)) : Ref();
    const char* qtext = full ? PyUnicode_AsUTF8(key_repr.get()) : nullptr;
    const char* ctext = qtext ? PyUnicode_AsUTF8(full.get()) : nullptr;
    if (!ctext) return {};
    long remaining = n_free + n_leased;
    double rate = finishing_rate(
        std::string(ctext) + "\n" + qtext + "\n" + std::to_string(max_claims), now, remaining);
    Ref rate_obj = std::isnan(rate) ? nx::none() : Ref::steal(PyFloat_FromDouble(rate));
    Ref eta = remaining == 0                  ? Ref::steal(PyFloat_FromDouble(0.0))
              : std::isnan(rate) || rate <= 0 ? nx::none()
                                              : Ref::steal(PyFloat_FromDouble(remaining / rate));
    Ref free_obj = nx::integer(n_free), leased_obj = nx::integer(n_leased),
        stuck_obj = nx::integer(n_stuck), rem_obj = nx::integer(remaining),
        fin_obj = nx::integer(n_finished);
    return dict({{NX_ID(free), free_obj.get()},
                 {NX_ID(leased), leased_obj.get()},
                 {NX_ID(stuck), stuck_obj.get()},
                 {NX_ID(remaining), rem_obj.get()},
                 {NX_ID(finished), fin_obj.get()},
                 {NX_ID(statuses), statuses.get()},
                 {NX_ID(finished_per_second), rate_obj.get()},
                 {NX_ID(eta_seconds), eta.get()}});
}

}  // namespace workqueue
