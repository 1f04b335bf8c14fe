// Cells of the export table: the native cell rule on exact str texts, written
// straight into a spooled row as UTF-8, and the rows read back by column.
#include "../../capi/pystr.h"
#include "table.h"

namespace scrape {
namespace exports {

namespace {

// One code point as UTF-8; lone surrogates as "surrogatepass" writes them.
inline char* put_utf8(char* o, Py_UCS4 c, unsigned* flags) {
    if (c < 0x80) {
        *o++ = (char)c;
    } else if (c < 0x800) {
        *o++ = (char)(0xC0 | (c >> 6));
        *o++ = (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        if (c >= 0xD800 && c <= 0xDFFF) *flags |= kSurrogates;
        *o++ = (char)(0xE0 | (c >> 12));
        *o++ = (char)(0x80 | ((c >> 6) & 0x3F));
        *o++ = (char)(0x80 | (c & 0x3F));
    } else {
        *o++ = (char)(0xF0 | (c >> 18));
        *o++ = (char)(0x80 | ((c >> 12) & 0x3F));
        *o++ = (char)(0x80 | ((c >> 6) & 0x3F));
        *o++ = (char)(0x80 | (c & 0x3F));
    }
    return o;
}

inline bool is_space(Py_UCS4 c) { return Py_UNICODE_ISSPACE(c); }

// The text as UTF-8 into `out` (room for 4 bytes a character); with
// `collapse`, re.sub(r"\s{2,}", " ", text).strip(): every run of two or more
// white-space characters becomes one space, single ones stay, and white
// space at both ends goes (\s and strip() know the same set). Returns the end.
template <class C>
char* encode(const C* s, Py_ssize_t n, bool collapse, char* o, unsigned* flags) {
    Py_ssize_t start = 0, end = n;
    if (collapse) {
        while (start < end && is_space(s[start])) start++;
        while (end > start && is_space(s[end - 1])) end--;
    }
    for (Py_ssize_t i = start; i < end;) {
        Py_UCS4 c = s[i];
        if (collapse && i + 1 < end && is_space(c) && is_space(s[i + 1])) {
            while (i < end && is_space(s[i])) i++;
            *o++ = ' ';
            continue;
        }
        o = put_utf8(o, c, flags);
        i++;
    }
    return o;
}

// ASCII white space as \s and str.strip() know it.
constexpr bool ascii_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
}

// The cell rule on ASCII text straight into the row: the text itself, or
// its stripped part, when it holds no run of white space (the usual case).
bool append_ascii_cell(std::string* block, uint64_t tag, const char* s, Py_ssize_t n,
                       bool collapse) {
    Py_ssize_t start = 0, end = n;
    if (collapse) {
        while (start < end && ascii_space((unsigned char)s[start])) start++;
        while (end > start && ascii_space((unsigned char)s[end - 1])) end--;
        for (Py_ssize_t i = start + 1; i < end; i++)
            if (ascii_space((unsigned char)s[i]) && ascii_space((unsigned char)s[i - 1]))
                return false;
    }
    put_varint(block, tag);
    put_varint(block, (uint64_t)(end - start));
    block->append(s + start, (size_t)(end - start));
    return true;
}

}  // namespace

int append_text_cell(std::string* block, Py_ssize_t id, PyObject* text, bool collapse) {
    if (nx::ready(text) < 0) return -1;
    if (PyUnicode_IS_ASCII(text) &&
        append_ascii_cell(block, (uint64_t)id << 2, (const char*)PyUnicode_1BYTE_DATA(text),
                          PyUnicode_GET_LENGTH(text), collapse))
        return 0;
    static std::string scratch;  // under the GIL
    unsigned flags = 0;
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (scratch.size() < (size_t)n * 4) scratch.resize((size_t)n * 4);
    char* o = &scratch[0];
    char* end;
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            end = encode((const Py_UCS1*)data, n, collapse, o, &flags);
            break;
        case PyUnicode_2BYTE_KIND:
            end = encode((const Py_UCS2*)data, n, collapse, o, &flags);
            break;
        default: end = encode((const Py_UCS4*)data, n, collapse, o, &flags); break;
    }
    put_varint(block, ((uint64_t)id << 2) | flags);
    put_varint(block, (uint64_t)(end - o));
    block->append(o, (size_t)(end - o));
    return 0;
}

int append_object_cell(Table& table, std::string* block, Py_ssize_t id, PyObject* value) {
    if (!table.objects && !(table.objects = Ref::steal(PyList_New(0)))) return -1;
    Py_ssize_t index = PyList_GET_SIZE(table.objects.get());
    if (PyList_Append(table.objects.get(), value) < 0) return -1;
    put_varint(block, ((uint64_t)id << 2) | kObject);
    put_varint(block, (uint64_t)index);
    return 0;
}

int Table::next_row(std::string* block, std::vector<Cell>* cells) {
    int rc = spool.next_row(block);
    if (rc > 0) decode(*block, cells);
    return rc;
}

void Table::decode(const std::string& block, std::vector<Cell>* cells) const {
    cells->assign((size_t)columns(), Cell());
    const char* p = block.data();
    const char* end = p + block.size();
    while (p < end) {
        uint64_t tag = get_varint(p, end);
        uint64_t id = tag >> 2;
        Cell cell;
        cell.flags = (unsigned)(tag & 3);
        cell.present = true;
        uint64_t len = get_varint(p, end);
        if (cell.flags & kObject) {
            cell.object = PyList_GET_ITEM(objects.get(), (Py_ssize_t)len);
        } else {
            cell.text = std::string_view(p, (size_t)len);
            p += len;
        }
        Py_ssize_t col = id < column_of.size() ? column_of[id] : -1;
        if (col >= 0) (*cells)[(size_t)col] = cell;
    }
}

namespace {

// A new column of the rows from mappings: its number is its place.
int add_column(Table& t, PyObject* name) {
    Py_ssize_t id = (Py_ssize_t)t.column_of.size();
    Ref number = Ref::steal(PyLong_FromSsize_t(id));
    if (!number || PyDict_SetItem(t.names.get(), name, number.get()) < 0 ||
        PyList_Append(t.field_order.get(), name) < 0)
        return -1;
    t.column_of.push_back(id);
    return 0;
}

// A field name as an exact str (a str subclass's text).
Ref field_name(PyObject* key) {
    if (PyUnicode_CheckExact(key)) return Ref::borrow(key);
    if (PyUnicode_Check(key)) return Ref::steal(PyUnicode_FromObject(key));
    PyErr_Format(PyExc_TypeError, "field names must be str, not %.200s", Py_TYPE(key)->tp_name);
    return {};
}

}  // namespace

int Table::start_rows(PyObject* fixed_names) {
    names = Ref::steal(PyDict_New());
    field_order = Ref::steal(PyList_New(0));
    if (!names || !field_order) return -1;
    if (!fixed_names) return 0;
    fixed = true;
    Ref seq = Ref::steal(PySequence_Fast(fixed_names, "fields must be a sequence of str"));
    if (!seq) return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); i++) {
        Ref name = field_name(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (!name) return -1;
        int known = PyDict_Contains(names.get(), name.get());
        if (known < 0) return -1;
        if (known) {
            PyErr_Format(PyExc_ValueError, "fields gives the name %R twice", name.get());
            return -1;
        }
        if (add_column(*this, name.get()) < 0) return -1;
    }
    return 0;
}

int Table::mapping_block(PyObject* row, std::string* block) {
    block->clear();
    if (!PyDict_Check(row)) {
        Ref items = nx::attr(row, NX_ID(items));
        if (!items) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "a row must be a mapping (a dict, say), not %.200s",
                         Py_TYPE(row)->tp_name);
            return -1;
        }
    }
    return for_each_entry(row, true, [&](PyObject* key, PyObject* value) -> int {
        Ref name = field_name(key);
        if (!name) return -1;
        PyObject* number = PyDict_GetItemWithError(names.get(), name.get());
        Py_ssize_t id;
        if (number) {
            id = PyLong_AsSsize_t(number);
        } else if (PyErr_Occurred()) {
            return -1;
        } else if (fixed) {
            return 0;
        } else {
            id = (Py_ssize_t)column_of.size();
            if (add_column(*this, name.get()) < 0) return -1;
        }
        Ref text = Ref::steal(PyObject_Str(value));
        if (text && !PyUnicode_CheckExact(text.get()))
            text = Ref::steal(PyUnicode_FromObject(text.get()));
        return text ? append_text_cell(block, id, text.get(), true) : -1;
    });
}

int Table::drop_columns_from(Py_ssize_t count) {
    for (Py_ssize_t i = columns(); i-- > count;) {
        if (PyDict_DelItem(names.get(), PyList_GET_ITEM(field_order.get(), i)) < 0) return -1;
        column_of.pop_back();
    }
    return PyList_SetSlice(field_order.get(), count, columns(), nullptr);
}

int Table::header(std::vector<Cell>* cells, std::vector<Ref>* held) const {
    cells->assign((size_t)columns(), Cell());
    held->clear();
    for (size_t i = 0; i < cells->size(); i++) {
        Ref b = Ref::steal(PyUnicode_AsEncodedString(
            PyList_GET_ITEM(field_order.get(), (Py_ssize_t)i), "utf-8", "surrogatepass"));
        if (!b) return -1;
        Cell& c = (*cells)[i];
        c.text = std::string_view(PyBytes_AS_STRING(b.get()), (size_t)PyBytes_GET_SIZE(b.get()));
        c.present = true;
        // A surrogate's three bytes begin ED A0..ED BF; no other character's do.
        for (size_t k = 0; k + 1 < c.text.size(); k++)
            if ((unsigned char)c.text[k] == 0xED && (unsigned char)c.text[k + 1] >= 0xA0)
                c.flags |= kSurrogates;
        held->push_back(std::move(b));
    }
    return 0;
}

bool keep_failure(Ref* kept) {
    if (!nx::pending_is_exception()) return false;
    Ref e = nx::fetch_exception();
    if (!*kept) *kept = std::move(e);
    return true;
}

Ref cell_str(const Cell& cell) {
    if (cell.flags & kObject) return Ref::borrow(cell.object);
    if (!cell.present) return Ref::borrow(NX_STR(""));
    return Ref::steal(
        PyUnicode_DecodeUTF8(cell.text.data(), (Py_ssize_t)cell.text.size(),
                             (cell.flags & kSurrogates) ? "surrogatepass" : "strict"));
}

int check_strict_utf8(std::string_view text) {
    Ref s = Ref::steal(PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t)text.size(), "surrogatepass"));
    Ref b = s ? Ref::steal(PyUnicode_AsUTF8String(s.get())) : Ref();
    return b ? 0 : -1;
}

}  // namespace exports
}  // namespace scrape
