// Cells of the export table: the native cell rule on exact str texts, written
// straight into a spooled row as UTF-8, and the rows read back by column.
#include "export_table.h"

namespace scrape {
namespace exportio {

namespace {

void put_varint(std::string* out, uint64_t v) {
    while (v >= 0x80) {
        out->push_back((char)(0x80 | (v & 0x7f)));
        v >>= 7;
    }
    out->push_back((char)v);
}

uint64_t get_varint(const char*& p, const char* end) {
    uint64_t v = 0;
    for (int shift = 0; p < end && shift < 64; shift += 7) {
        unsigned char b = (unsigned char)*p++;
        v |= (uint64_t)(b & 0x7f) << shift;
        if (!(b & 0x80)) break;
    }
    return v;
}

// One code point as UTF-8; lone surrogates as "surrogatepass" writes them.
inline void put_utf8(std::string* out, Py_UCS4 c, unsigned* flags) {
    if (c < 0x80) {
        out->push_back((char)c);
    } else if (c < 0x800) {
        out->push_back((char)(0xC0 | (c >> 6)));
        out->push_back((char)(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        if (c >= 0xD800 && c <= 0xDFFF) *flags |= kSurrogates;
        out->push_back((char)(0xE0 | (c >> 12)));
        out->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (c & 0x3F)));
    } else {
        out->push_back((char)(0xF0 | (c >> 18)));
        out->push_back((char)(0x80 | ((c >> 12) & 0x3F)));
        out->push_back((char)(0x80 | ((c >> 6) & 0x3F)));
        out->push_back((char)(0x80 | (c & 0x3F)));
    }
}

inline bool is_space(Py_UCS4 c) { return Py_UNICODE_ISSPACE(c); }

// The text as UTF-8; with `collapse`, re.sub(r"\s{2,}", " ", text).strip():
// every run of two or more white-space characters becomes one space, single
// ones stay, and white space at both ends goes (the same set for \s and strip).
template <class C>
void encode(const C* s, Py_ssize_t n, bool collapse, std::string* out, unsigned* flags) {
    Py_ssize_t start = 0, end = n;
    if (collapse) {
        while (start < end && is_space(s[start])) start++;
        while (end > start && is_space(s[end - 1])) end--;
    }
    if (sizeof(C) == 1) out->reserve(out->size() + (size_t)(end - start) * 2);
    for (Py_ssize_t i = start; i < end;) {
        Py_UCS4 c = s[i];
        if (collapse && i + 1 < end && is_space(c) && is_space(s[i + 1])) {
            while (i < end && is_space(s[i])) i++;
            out->push_back(' ');
            continue;
        }
        if (sizeof(C) == 1 && c < 0x80) {
            // a stretch of ASCII without a white-space run: copied whole
            Py_ssize_t j = i + 1;
            while (j < end && s[j] < 0x80 &&
                   !(collapse && is_space(s[j]) && j + 1 < end && is_space(s[j + 1])))
                j++;
            out->append((const char*)(s + i), (size_t)(j - i));
            i = j;
            continue;
        }
        put_utf8(out, c, flags);
        i++;
    }
}

}  // namespace

void append_text_cell(std::string* block, Py_ssize_t id, PyObject* text, bool collapse) {
#if PY_VERSION_HEX < 0x030C0000
    // exact str objects from str() are ready; a legacy one is made so
    if (PyUnicode_READY(text) < 0) PyErr_Clear();
#endif
    static std::string scratch;  // under the GIL
    scratch.clear();
    unsigned flags = 0;
    const void* data = PyUnicode_DATA(text);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: encode((const Py_UCS1*)data, n, collapse, &scratch, &flags); break;
        case PyUnicode_2BYTE_KIND: encode((const Py_UCS2*)data, n, collapse, &scratch, &flags); break;
        default: encode((const Py_UCS4*)data, n, collapse, &scratch, &flags); break;
    }
    put_varint(block, ((uint64_t)id << 2) | flags);
    put_varint(block, scratch.size());
    block->append(scratch);
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
    if (rc <= 0) return rc;
    cells->assign((size_t)columns(), Cell());
    const char* p = block->data();
    const char* end = p + block->size();
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
    return 1;
}

Ref cell_str(const Cell& cell) {
    if (cell.flags & kObject) return Ref::borrow(cell.object);
    if (!cell.present) return Ref::borrow(NX_STR(""));
    return Ref::steal(PyUnicode_DecodeUTF8(cell.text.data(), (Py_ssize_t)cell.text.size(),
                                           (cell.flags & kSurrogates) ? "surrogatepass" : "strict"));
}

int check_strict_utf8(std::string_view text) {
    Ref s = Ref::steal(PyUnicode_DecodeUTF8(text.data(), (Py_ssize_t)text.size(), "surrogatepass"));
    Ref b = s ? Ref::steal(PyUnicode_AsUTF8String(s.get())) : Ref();
    return b ? 0 : -1;
}

}  // namespace exportio
}  // namespace scrape
