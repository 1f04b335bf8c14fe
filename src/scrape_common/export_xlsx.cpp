// The Excel export's sheet, written natively into openpyxl's own package.
//
// openpyxl builds every cell as a Python object, which costs far more than
// the export's own work; so the workbook is saved by openpyxl with its sheet
// still empty (to memory), and the file is that package with the sheet's
// XML written here, row by row from the spool, compressed with the
// interpreter's zlib. Everything but the rows (content types, styles, theme,
// properties, the sheet's title as openpyxl checked and stored it, the
// sheet's own settings) is openpyxl's output unchanged. The cells are as
// openpyxl's lxml cell writer writes string cells: inline strings, with
// xml:space="preserve" where the text has white space at an end, and the
// library's checks: its own cell check (control characters, the 32,767
// character cut) for any text it could act on, and lxml's refusal of lone
// surrogates, U+FFFE and U+FFFF when the file is written. Unlike openpyxl,
// a text that starts with "=" or names an error code stays a text cell.
#include "export_writers.h"

#include <cstring>

namespace scrape {
namespace exportio {

namespace {

// openpyxl as first seen: its Workbook, the cell writer its sheets use (the
// lxml one is what this file stands in for), and the cell class whose check
// is the library's.
struct Openpyxl {
    bool tried = false;
    PyObject* workbook = nullptr;       // kept for the process
    PyObject* lxml_write_cell = nullptr;
    PyObject* sheet_writer = nullptr;   // the module openpyxl.worksheet._writer
    PyObject* write_only_cell = nullptr;
} openpyxl;

int capture_openpyxl() {
    if (openpyxl.tried) return openpyxl.workbook ? 0 : -1;
    openpyxl.tried = true;
    Ref top = Ref::steal(PyImport_ImportModule("openpyxl"));
    Ref cells = top ? Ref::steal(PyImport_ImportModule("openpyxl.cell._writer")) : Ref();
    Ref sheets = cells ? Ref::steal(PyImport_ImportModule("openpyxl.worksheet._writer")) : Ref();
    Ref cell_pkg = sheets ? Ref::steal(PyImport_ImportModule("openpyxl.cell")) : Ref();
    Ref wb = cell_pkg ? nx::attr(top.get(), NX_ID(Workbook)) : Ref();
    Ref lxml = wb ? nx::attr(cells.get(), NX_ID(lxml_write_cell)) : Ref();
    Ref woc = lxml ? nx::attr(cell_pkg.get(), NX_ID(WriteOnlyCell)) : Ref();
    if (!woc) {
        PyErr_Clear();
        return -1;
    }
    openpyxl.lxml_write_cell = lxml.release();
    openpyxl.sheet_writer = sheets.release();
    openpyxl.write_only_cell = woc.release();
    openpyxl.workbook = wb.release();
    return 0;
}

// ---------------------------------------------------------------------------
// The package openpyxl writes: a zip archive read from memory
// ---------------------------------------------------------------------------

uint32_t u16(const unsigned char* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }
uint32_t u32(const unsigned char* p) { return u16(p) | u16(p + 2) << 16; }
void put16(std::string* o, uint32_t v) {
    o->push_back((char)(v & 0xff));
    o->push_back((char)(v >> 8 & 0xff));
}
void put32(std::string* o, uint32_t v) {
    put16(o, v & 0xffff);
    put16(o, v >> 16);
}
void put64(std::string* o, uint64_t v) {
    put32(o, (uint32_t)v);
    put32(o, (uint32_t)(v >> 32));
}

struct Entry {
    std::string name;
    const unsigned char* central;  // its central directory record
    size_t central_size;
    const unsigned char* local;    // its local header and data
    size_t local_size;
};

// The entries of a small archive (no zip64, no comment), in their order.
bool parse_zip(std::string_view zip, std::vector<Entry>* entries) {
    const auto* base = (const unsigned char*)zip.data();
    if (zip.size() < 22) return false;
    const unsigned char* end = base + zip.size() - 22;
    if (u32(end) != 0x06054b50) return false;
    size_t count = u16(end + 10), cd = u32(end + 16), cd_size = u32(end + 12);
    if (cd + cd_size > zip.size() - 22) return false;
    const unsigned char* p = base + cd;
    for (size_t i = 0; i < count; i++) {
        if (p + 46 > base + cd + cd_size || u32(p) != 0x02014b50) return false;
        size_t n = u16(p + 28), x = u16(p + 30), c = u16(p + 32);
        size_t offset = u32(p + 42), csize = u32(p + 20);
        if (p + 46 + n + x + c > base + cd + cd_size || offset + 30 > cd) return false;
        const unsigned char* local = base + offset;
        if (u32(local) != 0x04034b50 || (u16(p + 8) & 8)) return false;
        size_t local_size = 30 + u16(local + 26) + u16(local + 28) + csize;
        if (offset + local_size > cd) return false;
        entries->push_back({std::string((const char*)p + 46, n), p, 46 + n + x + c, local, local_size});
        p += 46 + n + x + c;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The sheet's XML
// ---------------------------------------------------------------------------

std::string column_letters(Py_ssize_t n) {  // get_column_letter(n), n >= 1
    std::string s;
    while (n > 0) {
        n--;
        s.insert(s.begin(), (char)('A' + n % 26));
        n /= 26;
    }
    return s;
}

// The code point that starts at p (valid UTF-8, surrogates included).
Py_UCS4 decode_at(const unsigned char* p, size_t* len) {
    if (p[0] < 0x80) return *len = 1, p[0];
    if (p[0] < 0xE0) return *len = 2, (Py_UCS4)(p[0] & 0x1F) << 6 | (p[1] & 0x3F);
    if (p[0] < 0xF0)
        return *len = 3, (Py_UCS4)(p[0] & 0x0F) << 12 | (Py_UCS4)(p[1] & 0x3F) << 6 | (p[2] & 0x3F);
    return *len = 4, (Py_UCS4)(p[0] & 0x07) << 18 | (Py_UCS4)(p[1] & 0x3F) << 12 |
                     (Py_UCS4)(p[2] & 0x3F) << 6 | (p[3] & 0x3F);
}

// text != text.strip()
bool space_at_an_end(std::string_view t) {
    if (t.empty()) return false;
    const auto* p = (const unsigned char*)t.data();
    size_t len;
    if (Py_UNICODE_ISSPACE(decode_at(p, &len))) return true;
    size_t last = t.size() - 1;
    while (last > 0 && (p[last] & 0xC0) == 0x80) last--;
    return Py_UNICODE_ISSPACE(decode_at(p + last, &len));
}

class SheetWriter {
public:
    SheetWriter(Table& t, PyObject* ws, FdWriter& out) : t_(t), ws_(ws), out_(out) {}

    int open(int level) {
        Ref zlib = Ref::steal(PyImport_ImportModule("zlib"));
        Ref wbits = zlib ? nx::integer(-15) : Ref();
        Ref lvl = wbits ? nx::integer(level) : Ref();
        Ref method = lvl ? nx::attr(zlib.get(), NX_ID(DEFLATED)) : Ref();
        compressor_ = method ? nx::call_method(zlib.get(), NX_ID(compressobj),
                                               {lvl.get(), method.get(), wbits.get()})
                             : Ref();
        compress_ = compressor_ ? nx::attr(compressor_.get(), NX_ID(compress)) : Ref();
        crc32_ = compress_ ? nx::attr(zlib.get(), NX_ID(crc32)) : Ref();
        crc_ = crc32_ ? nx::integer(0) : Ref();
        return crc_ ? 0 : -1;
    }

    std::string& xml() { return xml_; }

    // One row of cells (`present` false: an absent field, written as "").
    int row(Py_ssize_t number, const std::vector<Cell>& cells) {
        char r[24];
        int rn = snprintf(r, sizeof r, "%zd", number);
        xml_ += "<row r=\"";
        xml_.append(r, (size_t)rn);
        xml_ += "\">";
        for (size_t i = 0; i < cells.size(); i++) {
            if (letters_.size() <= i) letters_.push_back(column_letters((Py_ssize_t)i + 1));
            xml_ += "<c r=\"";
            xml_ += letters_[i];
            xml_.append(r, (size_t)rn);
            if (cell(cells[i]) < 0) return -1;
        }
        xml_ += "</row>";
        return xml_.size() >= FdWriter::kChunk ? deflate(false) : 0;
    }

    // Compress what is buffered (all of it, and the end of the stream, when `last`).
    int deflate(bool last) {
        Ref chunk = Ref::steal(PyBytes_FromStringAndSize(xml_.data(), (Py_ssize_t)xml_.size()));
        size_ += xml_.size();
        xml_.clear();
        if (!chunk) return -1;
        crc_ = nx::call(crc32_.get(), {chunk.get(), crc_.get()});
        Ref packed = crc_ ? nx::call(compress_.get(), {chunk.get()}) : Ref();
        if (!packed || put(packed.get()) < 0) return -1;
        if (!last) return 0;
        Ref tail = nx::call_method(compressor_.get(), NX_ID(flush));
        return tail ? put(tail.get()) : -1;
    }

    uint64_t size() const { return size_; }
    uint64_t packed() const { return packed_; }
    uint32_t crc() const { return (uint32_t)PyLong_AsUnsignedLongMask(crc_.get()); }
    // The first failure that lxml would raise on writing the file.
    Ref xml_failure;

private:
    int put(PyObject* bytes) {
        packed_ += (uint64_t)PyBytes_GET_SIZE(bytes);
        return out_.put(std::string_view(PyBytes_AS_STRING(bytes), (size_t)PyBytes_GET_SIZE(bytes)));
    }

    // The library's own check (Cell.check_string through a write-only cell)
    // for a text it could refuse or cut; the text it keeps in *kept.
    int library_check(const Cell& c, Ref* kept) {
        Ref text = cell_str(c);
        Ref cell = text ? nx::call_kw(openpyxl.write_only_cell, {ws_}, {{NX_ID(value), text.get()}})
                        : Ref();
        Ref value = cell ? nx::attr(cell.get(), NX_ID(value)) : Ref();
        if (!value) return -1;
        if (!PyUnicode_Check(value.get())) {
            PyErr_SetString(PyExc_TypeError, "cell text expected from the workbook library");
            return -1;
        }
        *kept = Ref::steal(PyUnicode_AsEncodedString(value.get(), "utf-8", "surrogatepass"));
        return *kept ? 0 : -1;
    }

    int cell(const Cell& c) {
        std::string_view text = c.text;
        bool lxml_refuses = (c.flags & kSurrogates) != 0;
        Ref kept;
        if (check_controls(text) || longer_than_limit(text)) {
            if (library_check(c, &kept) < 0) return -1;
            text = std::string_view(PyBytes_AS_STRING(kept.get()), (size_t)PyBytes_GET_SIZE(kept.get()));
        }
        if (text.empty()) {
            xml_ += "\" t=\"inlineStr\"/>";
            return 0;
        }
        if (!xml_failure) {
            if (lxml_refuses && check_strict_utf8(text) < 0 && !keep_failure()) return -1;
            for (size_t i = 0; !xml_failure && i + 2 < text.size(); i++)
                if ((unsigned char)text[i] == 0xEF && (unsigned char)text[i + 1] == 0xBF &&
                    ((unsigned char)text[i + 2] == 0xBE || (unsigned char)text[i + 2] == 0xBF)) {
                    PyErr_SetString(PyExc_ValueError,
                                    "All strings must be XML compatible: Unicode or ASCII, no NULL "
                                    "bytes or control characters");
                    keep_failure();
                }
        }
        xml_ += space_at_an_end(text) ? "\" t=\"inlineStr\"><is><t xml:space=\"preserve\">"
                                      : "\" t=\"inlineStr\"><is><t>";
        size_t run = 0;
        for (size_t i = 0; i < text.size(); i++) {
            const char* esc;
            switch (text[i]) {
                case '&': esc = "&amp;"; break;
                case '<': esc = "&lt;"; break;
                case '>': esc = "&gt;"; break;
                case '\r': esc = "&#13;"; break;
                default: continue;
            }
            xml_.append(text.data() + run, i - run);
            xml_ += esc;
            run = i + 1;
        }
        xml_.append(text.data() + run, text.size() - run);
        xml_ += "</t></is></c>";
        return 0;
    }

    // More characters than openpyxl keeps (32,767)?
    static bool longer_than_limit(std::string_view t) {
        if (t.size() <= 32767) return false;
        size_t chars = 0;
        for (unsigned char ch : t) chars += (ch & 0xC0) != 0x80;
        return chars > 32767;
    }

    // A control character that openpyxl refuses?
    static bool check_controls(std::string_view t) {
        for (unsigned char ch : t)
            if (ch < 0x20 && ch != '\t' && ch != '\n' && ch != '\r') return true;
        return false;
    }

    bool keep_failure() {
        if (!nx::pending_is_exception()) return false;
        xml_failure = nx::fetch_exception();
        return true;
    }

    Table& t_;
    PyObject* ws_;
    FdWriter& out_;
    std::string xml_;
    std::vector<std::string> letters_;
    Ref compressor_, compress_, crc32_, crc_;
    uint64_t size_ = 0, packed_ = 0;
};

// The central directory record of an entry, moved to `offset`; for the
// sheet, with its new CRC and sizes (and zip64 sizes/offset where needed).
void central_record(std::string* cd, const Entry& e, uint64_t offset, bool sheet, uint32_t crc,
                    uint64_t packed, uint64_t size) {
    const unsigned char* c = e.central;
    if (!sheet) {
        packed = u32(c + 20);
        size = u32(c + 24);
        crc = u32(c + 16);
    }
    std::string zip64;
    if (size >= 0xFFFFFFFFu) put64(&zip64, size);
    if (packed >= 0xFFFFFFFFu) put64(&zip64, packed);
    if (offset >= 0xFFFFFFFFu) put64(&zip64, offset);
    put32(cd, 0x02014b50);
    put16(cd, u16(c + 4));
    put16(cd, zip64.empty() ? u16(c + 6) : 45);
    cd->append((const char*)c + 8, 6);  // flags, method, time
    put16(cd, u16(c + 14));             // date
    put32(cd, crc);
    put32(cd, packed >= 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)packed);
    put32(cd, size >= 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)size);
    put16(cd, (uint32_t)e.name.size());
    put16(cd, zip64.empty() ? 0 : (uint32_t)zip64.size() + 4);
    put16(cd, 0);                       // comment
    cd->append((const char*)c + 34, 8);  // disk, internal and external attributes
    put32(cd, offset >= 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)offset);
    cd->append(e.name);
    if (!zip64.empty()) {
        put16(cd, 1);
        put16(cd, (uint32_t)zip64.size());
        cd->append(zip64);
    }
}

void end_records(std::string* tail, uint64_t cd_offset, uint64_t cd_size, size_t count) {
    bool zip64 = cd_offset >= 0xFFFFFFFFu || count >= 0xFFFF;
    if (zip64) {
        uint64_t at = cd_offset + cd_size;
        put32(tail, 0x06064b50);
        put64(tail, 44);
        put16(tail, 45);
        put16(tail, 45);
        put32(tail, 0);
        put32(tail, 0);
        put64(tail, count);
        put64(tail, count);
        put64(tail, cd_size);
        put64(tail, cd_offset);
        put32(tail, 0x07064b50);
        put32(tail, 0);
        put64(tail, at);
        put32(tail, 1);
    }
    put32(tail, 0x06054b50);
    put32(tail, 0);
    put16(tail, count >= 0xFFFF ? 0xFFFF : (uint32_t)count);
    put16(tail, count >= 0xFFFF ? 0xFFFF : (uint32_t)count);
    put32(tail, cd_size >= 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)cd_size);
    put32(tail, zip64 ? 0xFFFFFFFFu : (uint32_t)cd_offset);
    put16(tail, 0);
}

constexpr const char* kSheet = "xl/worksheets/sheet1.xml";

// The template sheet's XML around its rows: `head` up to and including
// "<sheetData>" with the dimension set, `tail` from "</sheetData>".
bool split_sheet(std::string_view xml, const std::string& dimension, std::string* head,
                 std::string* tail) {
    const std::string_view dim = "<dimension ref=\"A1:A1\"/>";
    size_t d = xml.find(dim);
    size_t open = xml.find("<sheetData></sheetData>"), skip = 23;
    if (open == std::string_view::npos) {
        open = xml.find("<sheetData/>");
        skip = 12;
    }
    if (d == std::string_view::npos || open == std::string_view::npos || d > open) return false;
    *head = std::string(xml.substr(0, d)) + "<dimension ref=\"" + dimension + "\"/>" +
            std::string(xml.substr(d + dim.size(), open - d - dim.size())) + "<sheetData>";
    *tail = "</sheetData>" + std::string(xml.substr(open + skip));
    return true;
}

}  // namespace

WorkbookKind workbook_kind(PyObject* workbook_class) {
    if (capture_openpyxl() < 0 || workbook_class != openpyxl.workbook) return kOtherWorkbook;
    Ref in_use = nx::attr(openpyxl.sheet_writer, NX_ID(write_cell));
    if (!in_use) PyErr_Clear();
    return in_use.get() == openpyxl.lxml_write_cell ? kNativeSheet : kOpenpyxl;
}

int write_xlsx(Table& table, PyObject* wb, PyObject* ws, OutputFile& file) {
    // openpyxl's package with the sheet empty
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    Ref buffer = io ? nx::call_method(io.get(), NX_ID(BytesIO)) : Ref();
    Ref saved = buffer ? nx::call_method(wb, NX_ID(save), {buffer.get()}) : Ref();
    Ref package = saved ? nx::call_method(buffer.get(), NX_ID(getvalue)) : Ref();
    if (!package) return -1;
    std::string_view zip(PyBytes_AS_STRING(package.get()), (size_t)PyBytes_GET_SIZE(package.get()));
    std::vector<Entry> entries;
    const Entry* sheet = nullptr;
    if (parse_zip(zip, &entries))
        for (const Entry& e : entries)
            if (e.name == kSheet && u16(e.central + 10) == 8) sheet = &e;
    Ref zlib = Ref::steal(PyImport_ImportModule("zlib"));
    Ref wbits = zlib ? nx::integer(-15) : Ref();
    if (!wbits) return -1;
    Ref xml;
    if (sheet) {
        const unsigned char* l = sheet->local;
        size_t data = 30 + u16(l + 26) + u16(l + 28);
        Ref raw = Ref::steal(PyBytes_FromStringAndSize((const char*)l + data,
                                                       (Py_ssize_t)(sheet->local_size - data)));
        xml = raw ? nx::call_method(zlib.get(), NX_ID(decompress), {raw.get(), wbits.get()}) : Ref();
        if (!xml) return -1;
    }
    Py_ssize_t columns = table.columns();
    std::string dimension = columns ? "A1:" + column_letters(columns) + std::to_string(table.rows + 1)
                                    : "A1:A1";
    std::string head, tail;
    if (!sheet || !split_sheet(std::string_view(PyBytes_AS_STRING(xml.get()),
                                                 (size_t)PyBytes_GET_SIZE(xml.get())),
                               dimension, &head, &tail)) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected workbook package from openpyxl");
        return -1;
    }

    FdWriter& out = file.out();
    std::string cd;
    for (const Entry& e : entries) {
        uint64_t offset = out.offset();
        if (&e != sheet) {
            if (out.put(std::string_view((const char*)e.local, e.local_size)) < 0) return -1;
            central_record(&cd, e, offset, false, 0, 0, 0);
            continue;
        }
        // The local header: sizes and CRC are filled in once the rows are
        // written; with zip64 sizes when the sheet may reach 4 GB.
        uint64_t bound = table.spool.bytes() * 6 + (uint64_t)(table.rows + 1) * (uint64_t)(columns * 80 + 40) +
                         head.size() + tail.size();
        bool zip64 = bound + bound / 64 + 4096 >= 0xFFFFFFFFu;
        const unsigned char* l = e.local;
        std::string local;
        put32(&local, 0x04034b50);
        put16(&local, zip64 ? 45 : u16(l + 4));
        local.append((const char*)l + 6, 8);  // flags, method, time, date
        put32(&local, 0);
        put32(&local, zip64 ? 0xFFFFFFFFu : 0);
        put32(&local, zip64 ? 0xFFFFFFFFu : 0);
        put16(&local, (uint32_t)e.name.size());
        put16(&local, zip64 ? 20 : 0);
        local += e.name;
        if (zip64) {
            put16(&local, 1);
            put16(&local, 16);
            put64(&local, 0);
            put64(&local, 0);
        }
        if (out.put(local) < 0) return -1;

        SheetWriter w(table, ws, out);
        if (w.open(-1) < 0) return -1;
        w.xml() += head;
        std::vector<Cell> cells((size_t)columns);
        std::vector<Ref> names;
        for (Py_ssize_t i = 0; i < columns; i++) {
            Ref b = Ref::steal(PyUnicode_AsEncodedString(PyList_GET_ITEM(table.field_order.get(), i),
                                                         "utf-8", "surrogatepass"));
            if (!b) return -1;
            Cell& c = cells[(size_t)i];
            c.text = std::string_view(PyBytes_AS_STRING(b.get()), (size_t)PyBytes_GET_SIZE(b.get()));
            c.present = true;
            if (c.text.find('\xED') != std::string_view::npos) c.flags |= kSurrogates;
            names.push_back(std::move(b));
        }
        if (columns && w.row(1, cells) < 0) return -1;
        if (table.spool.rewind() < 0) return -1;
        std::string block;
        int rc;
        for (Py_ssize_t number = 2; (rc = table.next_row(&block, &cells)) > 0; number++)
            if (columns && w.row(number, cells) < 0) return -1;  // no cells, no row
        if (rc < 0) return -1;
        if (table.cell_failure) {
            nx::raise_again(std::move(table.cell_failure));
            return -1;
        }
        if (w.xml_failure) {
            nx::raise_again(std::move(w.xml_failure));
            return -1;
        }
        w.xml() += tail;
        if (w.deflate(true) < 0 || out.flush() < 0) return -1;
        std::string fields;
        put32(&fields, w.crc());
        if (zip64) {
            put32(&fields, 0xFFFFFFFFu);
            put32(&fields, 0xFFFFFFFFu);
            put16(&fields, (uint32_t)e.name.size());
            put16(&fields, 20);
            fields += e.name;
            put16(&fields, 1);
            put16(&fields, 16);
            put64(&fields, w.size());
            put64(&fields, w.packed());
        } else {
            put32(&fields, (uint32_t)w.packed());
            put32(&fields, (uint32_t)w.size());
        }
        if (out.write_at(offset + 14, fields) < 0) return -1;
        central_record(&cd, e, offset, true, w.crc(), w.packed(), w.size());
    }
    uint64_t cd_offset = out.offset();
    std::string end;
    end_records(&end, cd_offset, cd.size(), entries.size());
    if (out.put(cd) < 0 || out.put(end) < 0) return -1;
    return out.flush();
}

}  // namespace exportio
}  // namespace scrape
