// clean_data, the Python-facing record cleaner: the records' keys and lists
// here, the text of each str value by the engine in cleaning/.
#include "subsystems.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "../capi/pystr.h"
#include "clean_html_tables.h"  // made at build time by tools/gen_html_tables.py
#include "cleaning/clean_text.h"
#include "state.h"

namespace scrape {
namespace {

using nx::Ref;

// CLEANR, the pattern of text_cleaner, compiled (without flags) at the start
// of every clean_data call.
const char kCleanrPattern[] = "<.*?>|&([a-z0-9]+|#x[0-9]{1,6}|#x[0-9a-f]{1,6});|[\\t\\n\\r]";

// The native pipeline stands in for re, html and unicodedata (the modules of
// state().cleaning): while the module globals and the functions it replaces
// are still those first seen, it runs; otherwise every step goes through the
// globals as interpreted code would.
PyObject* nfkd_function() { return state().cleaning[2].attr(0); }
PyObject* html_module() { return state().cleaning[1].module(); }

// Do the generated tables hold exactly html.entities.html5, html._invalid_charrefs
// and html._invalid_codepoints of the running interpreter?
int check_tables(bool* match) {
    *match = false;
    Ref entities = nx::import(nullptr, "html.entities", {"html5"});
    Ref html5 = entities ? nx::attr(entities.get(), NX_ID(html5)) : Ref();
    Ref charrefs = html5 ? nx::attr(html_module(), NX_ID(_invalid_charrefs)) : Ref();
    Ref codepoints = charrefs ? nx::attr(html_module(), NX_ID(_invalid_codepoints)) : Ref();
    if (!codepoints) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!PyDict_Check(html5.get()) || !PyDict_Check(charrefs.get()) ||
        PyDict_Size(html5.get()) != clean_tables::kEntityCount ||
        PyDict_Size(charrefs.get()) != clean_tables::kCharrefCount ||
        PyObject_Size(codepoints.get()) != clean_tables::kInvalidCodepointCount)
        return PyErr_Occurred() ? -1 : 0;
    auto same = [](PyObject* value, const std::uint32_t* cps, int len) {
        if (!value || !PyUnicode_Check(value) || PyUnicode_GET_LENGTH(value) != len) return false;
        for (int i = 0; i < len; ++i)
            if (PyUnicode_READ_CHAR(value, i) != cps[i]) return false;
        return true;
    };
    for (const auto& e : clean_tables::kEntities) {
        Ref name = nx::str(std::string_view(e.name, e.name_len));
        if (!name) return -1;
        if (!same(PyDict_GetItem(html5.get(), name.get()), e.value, e.value_len)) return 0;
    }
    for (const auto& c : clean_tables::kCharrefs) {
        Ref num = Ref::steal(PyLong_FromUnsignedLong(c.num));
        if (!num) return -1;
        if (!same(PyDict_GetItem(charrefs.get(), num.get()), c.value, c.value_len)) return 0;
    }
    for (std::uint32_t cp : clean_tables::kInvalidCodepoints) {
        Ref num = Ref::steal(PyLong_FromUnsignedLong(cp));
        if (!num) return -1;
        int in = PySequence_Contains(codepoints.get(), num.get());
        if (in < 0) return -1;
        if (!in) return 0;
    }
    *match = true;
    return 0;
}

// Is the running unicodedata the one the NFKD tables were made from? Its
// version must match, and a sample of decompositions is compared.
int check_unidata(bool* match) {
    *match = false;
    Ref version = nx::attr(state().cleaning[2].module(), NX_ID(unidata_version));
    if (!version) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref expected = nx::str(clean_tables::kUnidataVersion);
    if (!expected) return -1;
    int same = PyObject_RichCompareBool(version.get(), expected.get(), Py_EQ);
    if (same <= 0) return same;
    // Characters with decompositions, marks out of order, Hangul, astral.
    static const char kSample[] =
        "a\u00e9\u00c5\u2122\ufb01\u00bd\u1e0b\u0323\u0307q\u0301\u0327\uac00"
        "\ud4db\u3000\uff21\U0001d400\u2460\ufdfa\u0344\u0f73\u1e9b\u0323";
    Ref sample = nx::str(kSample);
    Ref want = sample ? nx::call(nfkd_function(), {NX_STR("NFKD"), sample.get()}) : Ref();
    if (!want) return -1;
    Ref got_str = Ref::steal(cleaning::nfkd_by_tables(sample.get()));
    if (!got_str) return -1;
    same = PyObject_RichCompareBool(got_str.get(), want.get(), Py_EQ);
    if (same < 0) return -1;
    *match = same == 1;
    return 0;
}

// State of one clean_data call.
struct Cleaner {
    PyObject* g;
    Ref cleanr;  // CLEANR compiled; compiled later when the standard `re` compiles it
    // The functions of the standard modules are looked at once per call, the
    // module globals before every string.
    int functions_standard = -1;

    bool native() {
        nx::StandIn<3>& standin = state().cleaning;
        if (functions_standard < 0) functions_standard = state().tables_match && standin.intact();
        return functions_standard && standin.bound_in(g);
    }

    Ref compiled_cleanr() {
        if (!cleanr) {
            Ref re = nx::global(g, NX_ID(re));
            Ref compile = re ? nx::attr(re.get(), NX_ID(compile)) : Ref();
            cleanr = compile ? nx::call(compile.get(), {NX_STR(kCleanrPattern)}) : Ref();
        }
        return cleanr;
    }

    // re.sub(pattern, repl, text[, flags=re.IGNORECASE]), names read at use.
    Ref re_sub(PyObject* pattern, PyObject* repl, PyObject* text, bool ignorecase) {
        Ref re = nx::global(g, NX_ID(re));
        Ref sub = re ? nx::attr(re.get(), NX_ID(sub)) : Ref();
        if (!sub) return {};
        if (!ignorecase) return nx::call(sub.get(), {pattern, repl, text});
        Ref re2 = nx::global(g, NX_ID(re));
        Ref flag = re2 ? nx::attr(re2.get(), NX_ID(IGNORECASE)) : Ref();
        if (!flag) return {};
        return nx::call_kw(sub.get(), {pattern, repl, text}, {{NX_ID(flags), flag.get()}});
    }

    // text_cleaner(text), step by step through the globals.
    Ref text_cleaner(PyObject* text) {
        Ref b = nx::call_method(text, NX_ID(encode), {NX_STR("utf-8"), NX_STR("ignore")});
        Ref t = b ? nx::call_method(b.get(), NX_ID(decode), {NX_STR("utf-8")}) : Ref();
        if (!t) return {};
        Ref html = nx::global(g, NX_ID(html));
        Ref unescape = html ? nx::attr(html.get(), NX_ID(unescape)) : Ref();
        t = unescape ? nx::call(unescape.get(), {t.get()}) : Ref();
        Ref pattern = t ? compiled_cleanr() : Ref();
        t = pattern ? re_sub(pattern.get(), NX_STR(""), t.get(), false) : Ref();
        t = t ? re_sub(NX_STR("\\s+"), NX_STR(" "), t.get(), false) : Ref();
        t = t ? nx::call_method(t.get(), NX_ID(strip)) : Ref();
        if (!t) return {};
        Ref ud = nx::global(g, NX_ID(unicodedata));
        Ref normalize = ud ? nx::attr(ud.get(), NX_ID(normalize)) : Ref();
        t = normalize ? nx::call(normalize.get(), {NX_STR("NFKD"), t.get()}) : Ref();
        b = t ? nx::call_method(t.get(), NX_ID(encode), {NX_STR("utf_8_sig"), NX_STR("ignore")})
              : Ref();
        return b ? nx::call_method(b.get(), NX_ID(decode), {NX_STR("utf_8_sig")}) : Ref();
    }

    // clean_string(text) for an exact str, through the globals.
    Ref clean_string_generic(PyObject* text) {
        struct Step {
            const char* pattern;
            const char* repl;
            bool ignorecase;
        };
        static const Step kSteps[] = {
            {"&gt;", ">", true},
            {"&lt;", "<", true},
            {"&amp;", "&", true},
            {"&nbsp;", " ", true},
            {"\u0099", "", true},
            {"[\\r\\n\\t]+", " ", true},
            {"<script[^>]*>[\\w\\W]*?</script>", " ", true},
            {"\\* style specs start[^>]*>[\\w\\W]*?style specs end *", " ", true},
            {"<style[^>]*>[\\w\\W]*?</style>", " ", true},
            {"<!--[\\w\\W]*?-->", " ", true},
            {"<[^>]+>", " ", false},
            {"\\s+", " ", false},
        };
        static nx::Id pattern_ids[] = {
            nx::Id(kSteps[0].pattern), nx::Id(kSteps[1].pattern),  nx::Id(kSteps[2].pattern),
            nx::Id(kSteps[3].pattern), nx::Id(kSteps[4].pattern),  nx::Id(kSteps[5].pattern),
            nx::Id(kSteps[6].pattern), nx::Id(kSteps[7].pattern),  nx::Id(kSteps[8].pattern),
            nx::Id(kSteps[9].pattern), nx::Id(kSteps[10].pattern), nx::Id(kSteps[11].pattern)};
        static nx::Id repl_ids[] = {
            nx::Id(kSteps[0].repl), nx::Id(kSteps[1].repl),  nx::Id(kSteps[2].repl),
            nx::Id(kSteps[3].repl), nx::Id(kSteps[4].repl),  nx::Id(kSteps[5].repl),
            nx::Id(kSteps[6].repl), nx::Id(kSteps[7].repl),  nx::Id(kSteps[8].repl),
            nx::Id(kSteps[9].repl), nx::Id(kSteps[10].repl), nx::Id(kSteps[11].repl)};
        if (PyUnicode_GET_LENGTH(text) == 0) return Ref::steal(PyUnicode_New(0, 0));
        Ref t = Ref::borrow(text);
        for (std::size_t i = 0; i < sizeof kSteps / sizeof kSteps[0]; ++i) {
            PyObject* pattern = pattern_ids[i].get();
            PyObject* repl = repl_ids[i].get();
            if (!pattern || !repl) return {};
            t = re_sub(pattern, repl, t.get(), kSteps[i].ignorecase);
            if (!t) return {};
        }
        t = text_cleaner(t.get());
        return t ? nx::call_method(t.get(), NX_ID(strip)) : Ref();
    }

    // clean_string(value) for a str or an instance of a subclass, which is
    // cleaned as the plain string it holds.
    Ref clean_string(PyObject* value) {
        Ref text = PyUnicode_CheckExact(value) ? Ref::borrow(value)
                                               : Ref::steal(PyUnicode_FromObject(value));
        if (!text) return {};
        if (PyUnicode_GET_LENGTH(text.get()) == 0) return Ref::steal(PyUnicode_New(0, 0));
        if (native()) {
            cleaning::Outcome r = cleaning::clean_string(text.get(), nfkd_function(),
                                                         NX_STR("NFKD"), state().native_nfkd);
            if (!r.fallback) return Ref::steal(r.result);
        }
        return clean_string_generic(text.get());
    }
};

// s.strip() for an exact str.
Ref strip_exact(PyObject* s) {
    if (nx::ready(s) < 0) return {};
    const nx::Span kept = nx::strip_span(s);
    return Ref::steal(PyUnicode_Substring(s, kept.start, kept.end));
}

// Do two ready exact strs hold the same text?
bool same_text(PyObject* a, PyObject* b) {
    if (a == b) return true;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)n * PyUnicode_KIND(a)) == 0;
}

}  // namespace

Ref KeyMemo::strip(Py_ssize_t i, PyObject* k) {
    if (nx::ready(k) < 0) return {};
    const bool kept = i < kSlots && PyUnicode_GET_LENGTH(k) <= kMaxLength;
    if (kept && key_[i] && same_text(key_[i].get(), k)) return stripped_[i];
    Ref s = strip_exact(k);
    if (s && kept) {
        key_[i] = Ref::borrow(k);
        stripped_[i] = s;
    }
    return s;
}

namespace {

// The key as stored: k.strip() for a str key, else the key itself; `i` is
// its position in the record.
Ref clean_key(Py_ssize_t i, PyObject* k) {
    if (PyUnicode_CheckExact(k)) return state().keys.strip(i, k);
    if (PyUnicode_Check(k)) return nx::call_method(k, NX_ID(strip));
    return Ref::borrow(k);
}

// `isinstance(item, str) and item.strip()` as a truth value (-1 on error).
int keep_list_item(PyObject* item) {
    if (!PyUnicode_Check(item)) return 0;
    if (PyUnicode_CheckExact(item)) {
        if (nx::ready(item) < 0) return -1;
        return !nx::strip_span(item).empty();
    }
    Ref stripped = nx::call_method(item, NX_ID(strip));
    return stripped ? PyObject_IsTrue(stripped.get()) : -1;
}

// [clean_string(i) for i in value if isinstance(i, str) and i.strip()]
Ref clean_list(Cleaner& c, PyObject* value) {
    Ref out = Ref::steal(PyList_New(0));
    if (!out) return {};
    auto take = [&](PyObject* item) -> int {
        int keep = keep_list_item(item);
        if (keep <= 0) return keep;
        Ref cleaned = c.clean_string(item);
        return cleaned ? PyList_Append(out.get(), cleaned.get()) : -1;
    };
    if (PyList_CheckExact(value)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(value, i));
            if (take(item.get()) < 0) return {};
        }
        return out;
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) return {};
    while (Ref item = Ref::steal(PyIter_Next(it.get())))
        if (take(item.get()) < 0) return {};
    return PyErr_Occurred() ? Ref() : out;
}

// `for i, (k, v) in enumerate(doc.items()): step(i, k, v)`, stopping at the
// first step that fails. An exact dict is read in place, as its items
// iterator reads it: a change of its size, or more keys than it had, met
// before the next item raise what the iterator raises.
template <class Step>
int for_each_item(PyObject* doc, Step step) {
    if (PyDict_CheckExact(doc)) {
        const Py_ssize_t size = PyDict_GET_SIZE(doc);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        for (Py_ssize_t i = 0;; ++i) {
            if (PyDict_GET_SIZE(doc) != size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                return -1;
            }
            if (!PyDict_Next(doc, &pos, &k, &v)) return 0;
            if (i == size) {
                PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                return -1;
            }
            Ref key = Ref::borrow(k);  // the step may change the dict
            if (step(i, key.get(), Ref::borrow(v)) < 0) return -1;
        }
    }
    Ref items = nx::call_method(doc, NX_ID(items));
    Ref it = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
    if (!it) return -1;
    for (Py_ssize_t i = 0; Ref pair = Ref::steal(PyIter_Next(it.get())); ++i) {
        Ref k, v;
        if (nx::unpack(pair.get(), &k, &v) < 0 || step(i, k.get(), std::move(v)) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The result dict, sized at once for the items of a dict.
Ref new_result(PyObject* doc) {
#if PY_VERSION_HEX < 0x030E0000
    if (PyDict_CheckExact(doc)) return Ref::steal(_PyDict_NewPresized(PyDict_GET_SIZE(doc)));
#endif
    return Ref::steal(PyDict_New());
}

#define DOC_PARAMS(P) P(doc, nx::Default::required())
NX_ARGUMENTS(DocArgs, DOC_PARAMS);

PyObject* clean_data_impl(nx::Function* f, const DocArgs& a) {
    PyObject* doc = a.doc;
    Cleaner c{f->globals, Ref(), -1};
    // CLEANR = re.compile(...): compiled now unless the standard `re` is in
    // place, whose compile has no effect beyond its cache.
    Ref re = nx::global(f->globals, NX_ID(re));
    if (!re) return nullptr;
    if (!state().cleaning[0].is(re.get())) {
        if (!c.compiled_cleanr()) return nullptr;
    }
    Ref result = new_result(doc);
    if (!result) return nullptr;
    int done = for_each_item(doc, [&](Py_ssize_t i, PyObject* k, Ref v) {
        Ref key = clean_key(i, k);
        if (!key) return -1;
        if (PyUnicode_Check(v.get()))
            v = c.clean_string(v.get());
        else if (PyList_Check(v.get()))
            v = clean_list(c, v.get());
        return v ? PyDict_SetItem(result.get(), key.get(), v.get()) : -1;
    });
    return done < 0 ? nullptr : result.release();
}

constexpr nx::FuncSpec kCleanData = nx::spec_of<DocArgs, clean_data_impl>(
    "clean_data", R"doc(Return a cleaned copy of a scraped record.

doc -- the record: a dict, or any object whose items() yields
       (key, value) pairs. It is not modified.

The result is a new dict, in the order of doc.items():
  * str keys lose their surrounding white space; when two keys strip
    to the same text, the later value wins. Other keys stay as they are.
  * str values go through the text cleaner (below).
  * list values become a new list of their str items that are not
    blank, each cleaned; other items (numbers, None, dicts, lists) and
    blank strings are dropped.
  * every other value (None, numbers, dates, tuples, nested dicts) is
    kept as the very same object; nested dicts are not descended into.

The text cleaner decodes &gt; &lt; &amp; &nbsp; in any letter case;
removes script and style blocks, HTML comments and every tag; decodes
character references (html.unescape); turns tabs and line breaks into
spaces, except those decoded from references, which are dropped; drops
leftover lower-case entity names such as "&foo;"; turns each run of
white space into one space; strips the ends; and applies NFKD
compatibility normalisation, so ligatures and symbols are spelled out
("\ufb01" gives "fi", "\u2122" gives "TM") and accented letters become
the base letter plus a combining mark. Instances of str subclasses
(such as the text results of lxml) are cleaned as the plain str they
hold.

Errors are not caught: a doc without items() raises AttributeError,
pairs that do not unpack into two raise ValueError.)doc");

}  // namespace

int define_clean_data(PyObject* g) {
    State& st = state();
    if (!st.cleaning.captured()) {
        if (st.cleaning.capture({{"re", "re", {"sub", "compile", "IGNORECASE"}},
                                 {"html", "html", {"unescape"}},
                                 {"unicodedata", "unicodedata", {"normalize"}}}) < 0)
            return -1;
        if (check_tables(&st.tables_match) < 0) return -1;
        if (check_unidata(&st.native_nfkd) < 0) return -1;
    }
    if (nx::define_function(g, kCleanData) < 0) return -1;
    // Which kernels the cleaner runs, for the builds' own checks: a private
    // name, left out of `import *`.
    Ref kernels = Ref::steal(
        Py_BuildValue("(ss)", cleaning::scan_kernels(), cleaning::vector_set()));
    return kernels ? nx::set_global(g, NX_ID(_kernels), kernels.get()) : -1;
}

}  // namespace scrape
