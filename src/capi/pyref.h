// Owning and borrowed references, interned names, global lookups and calls.
//
// Conventions used throughout the extension modules:
//   * `Ref` owns one reference; an empty Ref returned from a function means
//     "an exception is pending" (the interpreter's usual error convention).
//   * Raw `PyObject*` parameters are always borrowed.
//   * `int` results are 0 on success and -1 with an exception set.
//   * `g` names a module's globals (its dict) and nothing else.
//   * Enumerators are spelled as constants, kName (`enum class Attempt {
//     kNext, kDone, kError }`), and an enum's name says what it tells, so
//     that two enums of one module never share a name.
//   * Namespaces follow the source tree: `nx` for this layer (src/capi), one
//     per module with more than one source unit (`scrape` for
//     src/scrape_common), and in it one per directory (`scrape::cleaning`,
//     `scrape::simd`, `scrape::hashing`, `scrape::exports`, as `export` is a
//     keyword); a unit may nest one more for its own parts
//     (`cleaning::scan`, `hashing::md5`). What a unit keeps to itself is in
//     an unnamed namespace; a module of one source unit keeps all in one.
// The other pieces of the layer: pyfunc.h (functions, parameters declared
// once), pymodule.h (a module body run once), pystate.h (module state in one
// struct), standin.h (native code standing in for standard modules),
// pystr.h (reading str objects), invariant.h (NX_ASSERT).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <utility>

#if PY_VERSION_HEX < 0x03080000
#error "CPython 3.8 or newer is required"
#endif

namespace nx {

// An owned reference (or nothing).
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    // Take over a new reference (the result of most C API calls).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Add a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return steal(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hand the reference over to the caller (for returning to the interpreter).
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    PyObject* p_ = nullptr;
};

// A str made once and kept for the life of the process (like _Py_IDENTIFIER).
// The modules live in one interpreter only, so a static cache is sound.
struct Id {
    const char* text;
    PyObject* obj = nullptr;
    explicit constexpr Id(const char* t) : text(t) {}
    PyObject* get() {
        if (!obj) obj = PyUnicode_InternFromString(text);
        return obj;
    }
};

// NX_ID(foo) yields a borrowed, interned "foo" (nullptr only on memory error).
#define NX_ID(name)                 \
    ([]() -> PyObject* {            \
        static ::nx::Id id_(#name); \
        return id_.get();           \
    }())
// NX_STR("text") yields a borrowed, interned str for any literal (UTF-8).
#define NX_STR(literal)               \
    ([]() -> PyObject* {              \
        static ::nx::Id id_(literal); \
        return id_.get();             \
    }())

inline Ref str(std::string_view utf8) {
    return Ref::steal(PyUnicode_DecodeUTF8(utf8.data(), (Py_ssize_t)utf8.size(), "strict"));
}

// Concatenation of str objects (borrowed), as "".join would give it.
Ref concat(std::initializer_list<PyObject*> parts);

inline Ref integer(long v) { return Ref::steal(PyLong_FromLong(v)); }

inline Ref none() { return Ref::borrow(Py_None); }

// A new dict of the given (key, value) entries, in order: dict({{k, v}, ...}).
// A null value stands for a failed step before it, whose exception is
// pending: the result is then empty too.
using Entry = std::pair<PyObject*, PyObject*>;
Ref dict(std::initializer_list<Entry> entries);

// A new list of the given items, in order; a null item stands for a failed
// step before it, as with dict().
Ref list(std::initializer_list<PyObject*> items);

// The start of a static type object: its header, name, instance size and
// deallocator; the caller sets the rest before PyType_Ready.
inline PyTypeObject static_type(const char* name, Py_ssize_t size, destructor dealloc) {
    PyTypeObject t{};
    PyVarObject head[1] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    t.ob_base = head[0];
    t.tp_name = name;
    t.tp_basicsize = size;
    t.tp_dealloc = dealloc;
    return t;
}

// A module global read at the moment of use: the module's dict first, then the
// interpreter's builtins; a missing name raises NameError as interpreted code does.
Ref global(PyObject* globals, PyObject* name);
inline Ref global(PyObject* globals, const char* name) {
    Ref n = Ref::steal(PyUnicode_InternFromString(name));
    if (!n) return n;
    return global(globals, n.get());
}

// Bind a module global.
inline int set_global(PyObject* globals, PyObject* name, PyObject* value) {
    return PyDict_SetItem(globals, name, value);
}

// Positional call: call(f, {a, b}).
Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {});

// Call with keywords: call_kw(f, {pos...}, {{name, value}, ...}).
using KwArg = std::pair<PyObject*, PyObject*>;
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> args,
            std::initializer_list<KwArg> kwargs);

// obj.name(*args): attribute lookup followed by a call.
Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {});

// getattr(obj, name)
inline Ref attr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// obj[key]
inline Ref item(PyObject* obj, PyObject* key) { return Ref::steal(PyObject_GetItem(obj, key)); }

// The global `print` called with the given objects (default sep and end).
int print(PyObject* globals, std::initializer_list<PyObject*> args);
// print(text) for a UTF-8 literal.
int print_text(PyObject* globals, std::string_view utf8);
// print(f"{prefix}{value}{suffix}", extra): `print` is looked up before the
// line is built, as a call evaluates its callee first. `prefix` and `suffix`
// are str; `suffix` and `extra` may be nullptr (left out).
int print_value(PyObject* globals, PyObject* prefix, PyObject* value, PyObject* suffix = nullptr,
                PyObject* extra = nullptr);

// `first, second = pair` with the interpreter's errors: a non-iterable,
// too few or too many items raise the TypeError or ValueError that unpacking
// raises; an iterator is read no further than the third item.
int unpack(PyObject* pair, Ref* first, Ref* second);

// `import name` through the interpreter's import machinery, resolved relative
// to `globals` (level 0 = absolute). With a non-empty fromlist the module
// itself (not the top-level package) is returned, as `from x.y import z` does.
Ref import(PyObject* globals, const char* name, std::initializer_list<const char*> fromlist = {},
           int level = 0);

// The text an f-string field gives: format(value, "").
inline Ref format_empty(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
    return Ref::steal(PyObject_Format(value, nullptr));
}

// True when an exception derived from Exception is pending (and only then).
inline bool pending_is_exception() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

// The pending exception as one object (its traceback attached); clears it.
Ref fetch_exception();

// Clean-up after a failure: `cleanup()` (true on success) runs with the
// pending exception set aside; a failure of the clean-up itself is dropped
// and the first exception stays pending.
template <class Cleanup>
void cleanup_keeping_error(Cleanup cleanup) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!cleanup()) PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

// Raise `exc` (an exception instance) again, with its own traceback.
inline void raise_again(Ref exc) {
    PyObject* value = exc.release();
    PyObject* type = (PyObject*)Py_TYPE(value);
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
}

// While alive, `exc` is the exception being handled, as inside an except
// block: exceptions raised meanwhile take it as their __context__, and
// sys.exc_info() reports it. The previous state comes back at the end.
class Handling {
public:
    explicit Handling(PyObject* exc) {
        PyErr_GetExcInfo(&type_, &value_, &tb_);
        PyObject* type = (PyObject*)Py_TYPE(exc);
        Py_INCREF(type);
        Py_INCREF(exc);
        PyErr_SetExcInfo(type, exc, PyException_GetTraceback(exc));
    }
    ~Handling() { PyErr_SetExcInfo(type_, value_, tb_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

// `except <class>:` for the pending exception, the class given by `lookup`
// (called while the exception is being handled, so that a failing look-up
// chains to it). 1: it matches and is taken into *caught; 0: it does not and
// is pending again; -1: the look-up failed, its own exception pending.
template <class Lookup>
int except(Lookup lookup, Ref* caught) {
    Ref exc = fetch_exception();
    Ref cls;
    {
        Handling handling(exc.get());
        cls = lookup();
    }
    if (!cls) return -1;
    if (!PyErr_GivenExceptionMatches(exc.get(), cls.get())) {
        raise_again(std::move(exc));
        return 0;
    }
    *caught = std::move(exc);
    return 1;
}

// `with manager as entered: body(entered)`: __exit__ sees the body's
// exception (with its traceback) and may swallow it.
template <class Body>
int with_block(PyObject* manager, Body body) {
    Ref enter = attr(manager, NX_ID(__enter__));
    Ref exit = enter ? attr(manager, NX_ID(__exit__)) : Ref();
    Ref entered = exit ? call(enter.get(), {}) : Ref();
    if (!entered) return -1;
    if (body(entered.get()) == 0) return call(exit.get(), {Py_None, Py_None, Py_None}) ? 0 : -1;

    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Ref t = Ref::steal(type), v = Ref::steal(value), b = Ref::steal(tb);
    Ref r = call(exit.get(), {t.get(), v.get(), b ? b.get() : Py_None});
    if (!r) {
        // A failure of __exit__ itself happened while handling the body's.
        PyObject *t2, *v2, *b2;
        PyErr_Fetch(&t2, &v2, &b2);
        PyErr_NormalizeException(&t2, &v2, &b2);
        if (v2 && v2 != v.get()) PyException_SetContext(v2, v.release());
        PyErr_Restore(t2, v2, b2);
        return -1;
    }
    int swallow = PyObject_IsTrue(r.get());
    if (swallow != 0) return swallow < 0 ? -1 : 0;
    PyErr_Restore(t.release(), v.release(), b.release());
    return -1;
}

}  // namespace nx
