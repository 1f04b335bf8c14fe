// Page fetching: fetch_response, its page-save store and its two fetch routes.
//
// A call checks its arguments, serves the page of the parcel from the store
// when a ".html" or ".json" file of it exists, and otherwise fetches it, either
// directly with `requests` or through the job's request engine, with bounded
// retries. A fetched page is saved to the store, judged by its size and
// returned with the attempt counter; a route that gives up records the failure
// in `log`.
//
// Every module global (os, re, json, requests, time, traceback, datetime,
// HtmlResponse, log, request_engine, MAX_RETRIES, RETRY_DELAY, print, open) is
// looked up at the moment it is used.
#include "../capi/pyfile.h"
#include "common.h"
#include "subsystems.h"

namespace scrape {
namespace {

using nx::Ref;

using nx::Default;

// The parameters of fetch_response, in their order, with their defaults (the
// store's directory is the setting pagesave_path as it was at import).
#define FETCH_RESPONSE_PARAMS(P)                       \
    P(method, Default::of("GET"))                      \
    P(url, Default::none())                            \
    P(headers, Default::none())                        \
    P(data, Default::none())                           \
    P(params, Default::none())                         \
    P(cookies, Default::none())                        \
    P(proxy, Default::none())                          \
    P(feedid, Default::of(""))                         \
    P(parcel_number, Default::none())                  \
    P(proxy_region, Default::none())                   \
    P(verify, Default::none())                         \
    P(session, Default::none())                        \
    P(timeout, Default::none())                        \
    P(pagesave_path, Default::global("pagesave_path")) \
    P(allow_redirects, Default::none())

// The arguments of one call, by name (borrowed).
NX_ARGUMENTS(FetchArgs, FETCH_RESPONSE_PARAMS);

// A parcel_number shorter than this is refused.
constexpr Py_ssize_t kMinParcelLength = 4;

// A saved page is accepted when its file is larger than this many bytes; a
// smaller one is warned about; one of exactly this size is retried silently.
constexpr long kSmallPage = 50;

// The indent of a saved JSON page.
constexpr long kJsonIndent = 4;

// The status of an answer that is saved and judged.
constexpr long kHttpOk = 200;

// The project the request engine is told the requests belong to.
constexpr const char kProjectId[] = "3421";

Ref pair(PyObject* first, PyObject* second) { return Ref::steal(PyTuple_Pack(2, first, second)); }

// Truth of `a <op> b`: 1, 0, or -1 with an exception set.
int compare(PyObject* a, PyObject* b, int op) {
    Ref r = Ref::steal(PyObject_RichCompare(a, b, op));
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

int compare(PyObject* a, long b, int op) {
    Ref n = nx::integer(b);
    if (!n) return -1;
    return compare(a, n.get(), op);
}

// `obj.<a>.<b>` with both attributes looked up now.
Ref attr2(PyObject* obj, PyObject* a, PyObject* b) {
    Ref first = nx::attr(obj, a);
    if (!first) return {};
    return nx::attr(first.get(), b);
}

// `os.path.<name>` through the module global `os`.
Ref os_path(PyObject* g, PyObject* name) {
    Ref os = nx::global(g, NX_ID(os));
    if (!os) return {};
    return attr2(os.get(), NX_ID(path), name);
}

// os.path.join(pagesave_path, name + ext), `name` being the text of the
// parcel_number that names its page files.
Ref page_path(PyObject* g, PyObject* pagesave, PyObject* name_text, PyObject* ext) {
    Ref join = os_path(g, NX_ID(join));
    if (!join) return {};
    Ref name = nx::concat({name_text, ext});
    if (!name) return {};
    return nx::call(join.get(), {pagesave, name.get()});
}

// Truth of os.path.exists(path).
int path_exists(PyObject* g, PyObject* path) {
    Ref exists = os_path(g, NX_ID(exists));
    if (!exists) return -1;
    Ref r = nx::call(exists.get(), {path});
    if (!r) return -1;
    return PyObject_IsTrue(r.get());
}

// HtmlResponse(url=url, body=body, encoding="utf-8"), with `url` and `body`
// given by `get` in that order after the class has been looked up.
template <class Get>
Ref html_response(PyObject* g, Get get) {
    Ref cls = nx::global(g, NX_ID(HtmlResponse));
    if (!cls) return {};
    Ref url, body;
    if (get(&url, &body) < 0) return {};
    return nx::call_kw(
        cls.get(), {},
        {{NX_ID(url), url.get()}, {NX_ID(body), body.get()}, {NX_ID(encoding), NX_STR("utf-8")}});
}

// f.close() keeping whatever exception is pending.
void close_quietly(PyObject* file) {
    nx::cleanup_keeping_error([file] { return bool(nx::call_method(file, NX_ID(close))); });
}

// ---------------------------------------------------------------------------
// Page-save store: reading
// ---------------------------------------------------------------------------

// Serve the saved file of the parcel (named `name`) with extension `ext`.
// 1: *result is the answer of the call; 0: no such file; -1: exception pending.
int serve_saved(PyObject* g, const FetchArgs& a, PyObject* name, PyObject* ext, bool announce,
                Ref* result) {
    auto body = [&]() -> int {
        Ref file_path = page_path(g, a.pagesave_path, name, ext);
        if (!file_path) return -1;
        int exists = path_exists(g, file_path.get());
        if (exists <= 0) return exists;

        Ref open = nx::global(g, NX_ID(open));
        if (!open) return -1;
        Ref file = nx::call_kw(
            open.get(), {file_path.get(), NX_STR("r")},
            {{NX_ID(encoding), NX_STR("utf-8")}, {NX_ID(errors), NX_ID(ignore)}});
        if (!file) return -1;
        Ref cached = nx::call_method(file.get(), NX_ID(read));
        if (!cached ||
            (announce && nx::print_value(g, NX_STR("Page Read HTML file for parcel_number '"),
                                         a.parcel_number, NX_STR("'.")) < 0)) {
            close_quietly(file.get());
            return -1;
        }
        if (!nx::call_method(file.get(), NX_ID(close))) return -1;

        Ref response = html_response(g, [&](Ref* url, Ref* text) {
            *url = Ref::borrow(a.url);
            *text = cached;
            return 0;
        });
        if (!response) return -1;
        Ref zero = nx::integer(0);
        if (!zero) return -1;
        *result = pair(response.get(), zero.get());
        return *result ? 1 : -1;
    };
    int rc = body();
    if (rc >= 0 || !nx::pending_is_exception()) return rc;
    Ref e = nx::fetch_exception();
    *result = pair(Py_None, e.get());
    return *result ? 1 : -1;
}

// ---------------------------------------------------------------------------
// Page-save store: writing
// ---------------------------------------------------------------------------

// Write one page file so that it appears whole or not at all, and stays on
// the disk once written: the text goes to a new file beside `file_path`,
// created exclusively under a name of its own, which is synced, moves over
// `file_path`, and has its directory synced (nx::DurableFile). A failure at
// any step removes the new file and leaves an earlier page as it was.
// With `json_data` the file holds json.dump(json_data, f, ensure_ascii=False,
// indent=4); otherwise the `text` attribute of `answer`.
int write_page(PyObject* g, PyObject* file_path, PyObject* json_data, PyObject* answer) {
    nx::DurableFile page;
    if (page.create(file_path, ".pagesave") < 0) return -1;
    Ref tmp = page.temp_object();
    if (!tmp) return -1;

    auto body = [&]() -> int {
        Ref open = nx::global(g, NX_ID(open));
        if (!open) return -1;
        Ref file = json_data ? nx::call_kw(open.get(), {tmp.get(), NX_STR("w")},
                                           {{NX_ID(encoding), NX_STR("utf-8")}})
                             : nx::call_kw(open.get(), {tmp.get(), NX_STR("w")},
                                           {{NX_ID(encoding), NX_STR("utf-8")},
                                            {NX_ID(errors), NX_ID(ignore)}});
        if (!file) return -1;
        bool written;
        if (json_data) {
            Ref json = nx::global(g, NX_ID(json));
            Ref dump = json ? nx::attr(json.get(), NX_ID(dump)) : Ref();
            Ref indent = dump ? nx::integer(kJsonIndent) : Ref();
            written = indent &&
                      nx::call_kw(dump.get(), {json_data, file.get()},
                                  {{NX_ID(ensure_ascii), Py_False}, {NX_ID(indent), indent.get()}});
        } else {
            Ref write = nx::attr(file.get(), NX_ID(write));
            Ref text = write ? nx::attr(answer, NX_ID(text)) : Ref();
            written = text && nx::call(write.get(), {text.get()});
        }
        if (!written) {
            close_quietly(file.get());
            return -1;
        }
        return nx::call_method(file.get(), NX_ID(close)) ? 0 : -1;
    };
    if (body() < 0) return -1;
    return page.commit();
}

// Save a 200 answer: its decoded JSON to the ".json" file, or, when json()
// raises ValueError, its text to the ".html" file. Sets *file_path to the file
// written. -1 with an exception pending on failure.
int save_page(PyObject* g, const FetchArgs& a, PyObject* name, PyObject* answer, Ref* file_path) {
    Ref json_data = nx::call_method(answer, NX_ID(json));
    if (json_data) {
        *file_path = page_path(g, a.pagesave_path, name, NX_STR(".json"));
        if (!*file_path) return -1;
        return write_page(g, file_path->get(), json_data.get(), answer);
    }
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
    Ref not_json = nx::fetch_exception();
    nx::Handling handling(not_json.get());
    *file_path = page_path(g, a.pagesave_path, name, NX_STR(".html"));
    if (!*file_path) return -1;
    return write_page(g, file_path->get(), nullptr, answer);
}

// ---------------------------------------------------------------------------
// Fetch routes
// ---------------------------------------------------------------------------

// The direct route sends with `requests`; the engine route through the job's
// request_engine.
enum class RouteKind { kDirect, kEngine };

// The state of one route during a call.
struct Route {
    Route(PyObject* globals, const FetchArgs& args, PyObject* page_name, RouteKind route_kind,
          long counter)
        : g(globals), a(args), name(page_name), kind(route_kind), retries(counter) {}

    PyObject* g;
    const FetchArgs& a;
    PyObject* name;  // the parcel's text that names its page files
    RouteKind kind;
    long retries;
    Ref answer;      // the last answer of a request call (r / response)
    Ref last_error;  // the last RequestException an attempt raised
    bool attempted = false;
};

// How an attempt ended: go on with the next one; *result holds the answer of
// the call; or an exception is pending (a RequestException is retried).
enum class Attempt { kNext, kDone, kError };

// retries <= MAX_RETRIES
int may_attempt(Route& rt) {
    Ref retries = nx::integer(rt.retries);
    if (!retries) return -1;
    Ref max = nx::global(rt.g, NX_ID(MAX_RETRIES));
    if (!max) return -1;
    return compare(retries.get(), max.get(), Py_LE);
}

// time.sleep(RETRY_DELAY)
int wait(PyObject* g) {
    Ref time = nx::global(g, NX_ID(time));
    Ref sleep = time ? nx::attr(time.get(), NX_ID(sleep)) : Ref();
    Ref delay = sleep ? nx::global(g, NX_ID(RETRY_DELAY)) : Ref();
    return delay && nx::call(sleep.get(), {delay.get()}) ? 0 : -1;
}

// After an attempt raised: takes the pending exception when it is a
// requests.exceptions.RequestException (1), else leaves an exception pending (-1).
int take_request_exception(PyObject* g, Ref* out) {
    int caught = nx::except(
        [g]() -> Ref {
            Ref requests = nx::global(g, NX_ID(requests));
            if (!requests) return {};
            return attr2(requests.get(), NX_ID(exceptions), NX_ID(RequestException));
        },
        out);
    return caught > 0 ? 1 : -1;
}

// The handler of a RequestException: report it, count it, wait.
int on_request_exception(Route& rt, PyObject* e) {
    nx::Handling handling(e);
    if (nx::print_value(rt.g, NX_STR("Issue Connection reset for parcel_number: "),
                        rt.a.parcel_number, nullptr, e) < 0)
        return -1;
    rt.retries++;
    return wait(rt.g);
}

// A status other than 200: count it and wait.
Attempt retry_later(Route& rt) {
    rt.retries++;
    return wait(rt.g) < 0 ? Attempt::kError : Attempt::kNext;
}

// The route's result (first, retries).
Attempt done(const Route& rt, PyObject* first, Ref* result) {
    Ref n = nx::integer(rt.retries);
    if (!n) return Attempt::kError;
    *result = pair(first, n.get());
    return *result ? Attempt::kDone : Attempt::kError;
}

// Save a 200 answer and judge its size. A small page is tried again on the
// direct route; the engine route returns the engine's answer as it is.
Attempt accept_page(Route& rt, Ref* result) {
    Ref file_path;
    if (save_page(rt.g, rt.a, rt.name, rt.answer.get(), &file_path) < 0) {
        if (!nx::pending_is_exception()) return Attempt::kError;
        Ref e = nx::fetch_exception();
        return done(rt, e.get(), result);
    }
    Ref getsize = os_path(rt.g, NX_ID(getsize));
    Ref size = getsize ? nx::call(getsize.get(), {file_path.get()}) : Ref();
    if (!size) return Attempt::kError;

    int small = compare(size.get(), kSmallPage, Py_LT);
    if (small < 0) return Attempt::kError;
    if (small) {
        if (nx::print_value(rt.g, NX_STR("Warning: "), file_path.get(),
                            NX_STR(" is too small, possible error page.")) < 0)
            return Attempt::kError;
        if (rt.kind == RouteKind::kEngine) return done(rt, rt.answer.get(), result);
    }
    int large = compare(size.get(), kSmallPage, Py_GT);
    if (large < 0) return Attempt::kError;
    if (!large) return Attempt::kNext;

    PyObject* answer = rt.answer.get();
    Ref response = html_response(rt.g, [answer](Ref* url, Ref* text) {
        *url = nx::attr(answer, NX_ID(url));
        if (!*url) return -1;
        *text = nx::attr(answer, NX_ID(text));
        return *text ? 0 : -1;
    });
    if (!response) return Attempt::kError;
    rt.answer = response;
    return done(rt, response.get(), result);
}

// The answer's status: 1 for 200, 0 for any other, -1 on error.
int status_is_200(PyObject* answer) {
    Ref status = nx::attr(answer, NX_ID(status_code));
    if (!status) return -1;
    return compare(status.get(), kHttpOk, Py_EQ);
}

// The end of an attempt of either route: `answer` is what the request call
// returned (empty when it raised, which the caller handles). An answer
// counts as an attempt; a 200 answer is saved and judged, any other status
// waits for the next attempt.
Attempt judge_answer(Route& rt, Ref answer, Ref* result) {
    if (!answer) return Attempt::kError;
    rt.answer = std::move(answer);
    rt.retries++;
    int ok = status_is_200(rt.answer.get());
    if (ok < 0) return Attempt::kError;
    if (!ok) return retry_later(rt);
    return accept_page(rt, result);
}

// request_args of the direct route, in their fixed key order.
Ref direct_request_args(const FetchArgs& a) {
    Ref args = nx::dict({{NX_ID(method), a.method}, {NX_ID(url), a.url}});
    if (!args) return {};
    struct Optional {
        PyObject* key;
        PyObject* value;
        bool truth;  // truth test, or else a test for None
    };
    const Optional optional[] = {
        {NX_ID(headers), a.headers, true},  {NX_ID(data), a.data, true},
        {NX_ID(params), a.params, true},    {NX_ID(cookies), a.cookies, true},
        {NX_ID(verify), a.verify, false},   {NX_ID(proxies), a.proxy, false},
        {NX_ID(timeout), a.timeout, false}, {NX_ID(allow_redirects), a.allow_redirects, false},
    };
    for (const Optional& o : optional) {
        int present = o.truth ? PyObject_IsTrue(o.value) : o.value != Py_None;
        if (present < 0) return {};
        if (present && PyDict_SetItem(args.get(), o.key, o.value) < 0) return {};
    }
    return args;
}

// f(**kwargs)
Ref call_with_keywords(PyObject* callable, PyObject* kwargs) {
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty) return {};
    return Ref::steal(PyObject_Call(callable, empty.get(), kwargs));
}

// One request of the direct route: requests.request(**request_args) when
// `session` is None, requests.Session().request(**request_args) when it is
// True; any other `session` sends nothing, and reading the answer that was
// never assigned fails as it does in interpreted code.
Attempt direct_attempt(Route& rt, Ref* result) {
    Ref request_args = direct_request_args(rt.a);
    if (!request_args) return Attempt::kError;

    PyObject* session = rt.a.session;
    if (session != Py_True && session != Py_None) {
        PyErr_SetString(PyExc_UnboundLocalError, "local variable 'r' referenced before assignment");
        return Attempt::kError;
    }
    Ref requests = nx::global(rt.g, NX_ID(requests));
    Ref sender = !requests || session == Py_None ? requests
                                                 : nx::call_method(requests.get(), NX_ID(Session));
    Ref request = sender ? nx::attr(sender.get(), NX_ID(request)) : Ref();
    return judge_answer(rt, request ? call_with_keywords(request.get(), request_args.get()) : Ref(),
                        result);
}

// One request of the engine route: request_engine.make_qvd_request(**args).
Attempt engine_attempt(Route& rt, Ref* result) {
    const FetchArgs& a = rt.a;
    Ref args = nx::dict({
        {NX_ID(url), a.url},
        {NX_ID(headers), a.headers},
        {NX_ID(request_type), a.method},
        {NX_ID(proxy), a.proxy},
        {NX_ID(payload), a.data},
        {NX_ID(proxy_region), a.proxy_region},
        {NX_ID(projectid), NX_STR(kProjectId)},
        {NX_ID(feedid), a.feedid},
        {NX_ID(cookies), a.cookies},
    });
    if (!args) return Attempt::kError;
    Ref engine = nx::global(rt.g, NX_ID(request_engine));
    Ref make = engine ? nx::attr(engine.get(), NX_ID(make_qvd_request)) : Ref();
    return judge_answer(rt, make ? call_with_keywords(make.get(), args.get()) : Ref(), result);
}

// The "Trace" of a failure record: the traceback of the route's last
// RequestException, or traceback.format_exc() when no attempt raised.
Ref failure_trace(Route& rt) {
    Ref traceback = nx::global(rt.g, NX_ID(traceback));
    if (!traceback) return {};
    if (!rt.last_error) return nx::call_method(traceback.get(), NX_ID(format_exc));
    PyObject* e = rt.last_error.get();
    Ref tb = Ref::steal(PyException_GetTraceback(e));
    Ref lines = nx::call_method(traceback.get(), NX_ID(format_exception),
                                {(PyObject*)Py_TYPE(e), e, tb ? tb.get() : Py_None});
    if (!lines) return {};
    return Ref::steal(PyUnicode_Join(NX_STR(""), lines.get()));
}

// log.insert_one({"parcel_number", "URL", "Retries", "Trace", "Logged_At"})
int record_failure(Route& rt) {
    Ref log = nx::global(rt.g, NX_ID(log));
    Ref insert_one = log ? nx::attr(log.get(), NX_ID(insert_one)) : Ref();
    if (!insert_one) return -1;
    Ref retries = nx::integer(rt.retries);
    if (!retries) return -1;
    Ref trace = failure_trace(rt);
    if (!trace) return -1;
    Ref datetime = nx::global(rt.g, NX_ID(datetime));
    Ref now = datetime ? nx::call_method(datetime.get(), NX_ID(now)) : Ref();
    if (!now) return -1;
    Ref doc = nx::dict({
        {NX_ID(parcel_number), rt.a.parcel_number},
        {NX_ID(URL), rt.a.url},
        {NX_ID(Retries), retries.get()},
        {NX_ID(Trace), trace.get()},
        {NX_ID(Logged_At), now.get()},
    });
    return doc && nx::call(insert_one.get(), {doc.get()}) ? 0 : -1;
}

// Run a route until it returns or its attempts are used up.
// 1: *result is the answer of the call; 0: ended without a response;
// -1: an exception reaches the caller.
int run_route(Route& rt, Ref* result) {
    for (;;) {
        int more = may_attempt(rt);
        if (more < 0) return -1;
        if (!more) break;
        rt.attempted = true;
        Attempt step = rt.kind == RouteKind::kDirect ? direct_attempt(rt, result)
                                                     : engine_attempt(rt, result);
        if (step == Attempt::kDone) return 1;
        if (step == Attempt::kNext) continue;
        Ref e;
        if (take_request_exception(rt.g, &e) < 0) return -1;
        rt.last_error = e;
        if (on_request_exception(rt, e.get()) < 0) return -1;
    }
    // A route that sent nothing has no failure of its own to record.
    if (!rt.attempted) return 0;
    if (record_failure(rt) < 0) return -1;
    if (!rt.answer) return 0;

    // (r if r.status_code else None, retries); any failure here means no response.
    Ref status = nx::attr(rt.answer.get(), NX_ID(status_code));
    int truth = status ? PyObject_IsTrue(status.get()) : -1;
    Ref n = truth >= 0 ? nx::integer(rt.retries) : Ref();
    if (n) *result = pair(truth ? rt.answer.get() : Py_None, n.get());
    if (*result) return 1;
    PyErr_Clear();
    return 0;
}

// ---------------------------------------------------------------------------
// fetch_response
// ---------------------------------------------------------------------------

// The answers for a call that did not pass the acceptance test.
PyObject* report(const FetchArgs& a) {
    if (a.parcel_number == Py_None)
        return pair(NX_STR("Please pass a parcel_number in request"), Py_None).release();
    Py_ssize_t n = PyObject_Size(a.parcel_number);
    if (n < 0) return nullptr;
    if (n >= kMinParcelLength) {
        if (a.url == Py_None) return pair(NX_STR("error: url not provided"), Py_None).release();
        Py_RETURN_NONE;
    }
    return pair(NX_STR("parcel_number is wrong"), Py_None).release();
}

// parcel_number and len(parcel_number) >= kMinParcelLength and url
int accepted(const FetchArgs& a) {
    int t = PyObject_IsTrue(a.parcel_number);
    if (t <= 0) return t;
    Py_ssize_t n = PyObject_Size(a.parcel_number);
    if (n < 0) return -1;
    if (n < kMinParcelLength) return 0;
    return PyObject_IsTrue(a.url);
}

// The character check: 1 when the whole text of parcel_id is made of ASCII
// letters, digits, "_", "-", " " and ".". A final newline is junk too.
int clean_parcel_id(PyObject* g, PyObject* parcel_id) {
    Ref re = nx::global(g, NX_ID(re));
    Ref match = re ? nx::attr(re.get(), NX_ID(match)) : Ref();
    Ref m = match ? nx::call(match.get(), {NX_STR("^[A-Za-z0-9_\\- .]+\\Z"), parcel_id}) : Ref();
    if (!m) return -1;
    return PyObject_IsTrue(m.get());
}

// proxy is None, or a dict with both "http" and "https".
int direct_route_applies(PyObject* proxy) {
    if (proxy == Py_None) return 1;
    int is_dict = PyObject_IsInstance(proxy, (PyObject*)&PyDict_Type);
    if (is_dict <= 0) return is_dict;
    int has = PySequence_Contains(proxy, NX_STR("http"));
    if (has <= 0) return has;
    return PySequence_Contains(proxy, NX_STR("https"));
}

PyObject* fetch_response(nx::Function* f, const FetchArgs& a) {
    PyObject* g = f->globals;
    int ok = accepted(a);
    if (ok < 0) return nullptr;
    if (!ok) return report(a);

    Ref parcel_id = Ref::steal(PyObject_Str(a.parcel_number));
    if (!parcel_id) return nullptr;
    int clean = clean_parcel_id(g, parcel_id.get());
    if (clean < 0) return nullptr;
    if (!clean) {
        Ref text = nx::format_empty(parcel_id.get());
        Ref message = text ? nx::concat({NX_STR("[INVALID] parcel_number '"), text.get(),
                                         NX_STR("' contains junk characters.")})
                           : Ref();
        if (!message) return nullptr;
        return pair(message.get(), NX_STR("0")).release();
    }

    // Another thread or process may create the store at the same moment;
    // that is not an error.
    if (ensure_directory(g, a.pagesave_path) < 0) {
        if (!nx::pending_is_exception()) return nullptr;
        Ref e = nx::fetch_exception();
        return pair(e.get(), NX_STR("0")).release();
    }

    // The page files are named by the very text that passed the check, as an
    // exact str: an object whose format() differs from its str() cannot
    // steer the name past the check.
    Ref name = Ref::steal(PyUnicode_FromObject(parcel_id.get()));
    if (!name) return nullptr;
    Ref result;
    int served = serve_saved(g, a, name.get(), NX_STR(".html"), true, &result);
    if (served == 0) served = serve_saved(g, a, name.get(), NX_STR(".json"), false, &result);
    if (served < 0) return nullptr;
    if (served > 0) return result.release();

    // The direct route first when the proxy allows it; the engine route after
    // it (with the counter it left) or instead of it when the proxy is true.
    long retries = 0;
    for (RouteKind kind : {RouteKind::kDirect, RouteKind::kEngine}) {
        int applies = kind == RouteKind::kDirect ? direct_route_applies(a.proxy)
                                                 : PyObject_IsTrue(a.proxy);
        if (applies < 0) return nullptr;
        if (!applies) continue;
        Route rt(g, a, name.get(), kind, retries);
        int rc = run_route(rt, &result);
        if (rc < 0) return nullptr;
        if (rc > 0) return result.release();
        retries = rt.retries;
    }
    Py_RETURN_NONE;
}

constexpr const char kFetchResponseDoc[] =
    R"doc(Return the page of one work item, from the page-save store or fetched.

method          -- HTTP method
url             -- the page's address (required)
headers, data, cookies
                -- request headers, body and cookies, passed on when true
params, verify, timeout, allow_redirects
                -- passed to requests (direct route only): params when
                   true, the others when not None
proxy           -- None, or a dict with the keys "http" and "https":
                   fetch directly with requests; any other true value:
                   fetch through the job's request_engine
feedid, proxy_region
                -- passed to the request engine (engine route only)
parcel_number   -- the item's identifier (required): at least four
                   characters, only ASCII letters, digits, "_", "-",
                   " " and "."; names the saved files <parcel_number>.html
                   and <parcel_number>.json
session         -- None: send with requests.request; True: through a new
                   requests.Session
pagesave_path   -- the page-save directory, created when missing; by
                   default the setting pagesave_path as it was at import

A saved <parcel_number>.html (or else .json) is served without a
request, as an HtmlResponse of its text with the given url. Otherwise
the page is fetched: directly, with requests, or through
request_engine.make_qvd_request(url=, headers=, request_type=, proxy=,
payload=, proxy_region=, projectid="3421", feedid=, cookies=). Attempts
go on while the attempt counter is at most MAX_RETRIES, with a wait of
RETRY_DELAY seconds after a connection error (RequestException) or a
status other than 200. A 200 answer is saved to the store (a JSON body
as .json, anything else as .html; written to a temporary file, synced to
the disk and then renamed, so a page file is never half written, not even
after a power cut) and accepted when the file is over 50 bytes; under 50
bytes a warning is printed.

Returns a pair, or None:
  (HtmlResponse, 0)         the page was served from the store
  (HtmlResponse, attempts)  the page was fetched, saved and accepted
  (answer, attempts)        the engine's own answer, at once, for a page
                            under 50 bytes
  (answer, attempts)        attempts used up: the last answer, a
                            requests Response or the engine's answer
                            (None when its status_code is false)
  (exception, attempts)     saving the fetched page raised
  (None, exception)         reading a saved page raised
  (exception, "0")          creating the page-save directory raised
  (message, "0")            "[INVALID] parcel_number '...' contains junk
                            characters."
  (message, None)           "Please pass a parcel_number in request",
                            "parcel_number is wrong" (under four
                            characters) or "error: url not provided"
  None                      url false but not None; a false proxy (such
                            as {}); or no attempt got any answer

A route that uses up its attempts inserts one record into log (the
collection "failures_collection") with "parcel_number", "URL", "Retries"
(the counter), "Trace" (the traceback of the last connection error, if any) and
"Logged_At"; no record is written when no attempt was made. Other
exceptions reach the caller, e.g. TypeError for a parcel_number without
len() and UnboundLocalError for a session other than None or True.)doc";

constexpr nx::FuncSpec fetch_response_spec = nx::spec_of<FetchArgs, fetch_response>(
    "fetch_response", kFetchResponseDoc);

}  // namespace

int define_fetch(PyObject* g) { return nx::define_function(g, fetch_response_spec); }

}  // namespace scrape
