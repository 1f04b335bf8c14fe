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
#include "writers.h"

#include <cstring>

namespace scrape {
namespace exports {

namespace {

// openpyxl as first seen (openpyxl_state()), once; false without it.
bool capture_openpyxl() {
    Openpyxl& o = openpyxl_state();
    if (o.tried) return o.usable;
    o.tried = true;
    o.usable = o.top.capture("openpyxl", {"Workbook"}) == 0 &&
               o.cell_writers.capture("openpyxl.cell._writer", {"lxml_write_cell"}) == 0 &&
               o.sheet_writer.capture("openpyxl.worksheet._writer", {}) == 0 &&
               o.cells.capture("openpyxl.cell", {"WriteOnlyCell"}) == 0;
    if (!o.usable) PyErr_Clear();
    return o.usable;
}

// ---------------------------------------------------------------------------
// The package openpyxl writes: a zip archive read from memory
// ---------------------------------------------------------------------------

// The records of a zip archive that this file reads and writes: their
// signatures, the size of their fixed part, and the offsets of their fields.
namespace zip {

constexpr uint32_t kLocalSignature = 0x04034b50;     // local header, before each entry's data
constexpr uint32_t kCentralSignature = 0x02014b50;   // central directory record of an entry
constexpr uint32_t kEndSignature = 0x06054b50;       // end of central directory
constexpr uint32_t kZip64EndSignature = 0x06064b50;  // zip64 end of central directory
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;

// Local header: signature, version needed, flags, method, time, date, CRC,
// packed size, size, name length, extra length; then name and extra.
constexpr size_t kLocalFixed = 30;
constexpr size_t kLocalVersion = 4;
constexpr size_t kLocalFlags = 6;  // flags, method, time and date: 8 bytes
constexpr size_t kLocalCrc = 14;   // CRC, packed size, size: what is known after the data
constexpr size_t kLocalNameLength = 26;
constexpr size_t kLocalExtraLength = 28;

// Central directory record: signature, version made by, version needed,
// flags, method, time, date, CRC, packed size, size, name, extra and comment
// lengths, disk, internal and external attributes, local header offset.
constexpr size_t kCentralFixed = 46;
constexpr size_t kCentralMadeBy = 4;
constexpr size_t kCentralVersion = 6;
constexpr size_t kCentralFlags = 8;  // flags, method, time and date: 8 bytes
constexpr size_t kCentralMethod = 10;
constexpr size_t kCentralCrc = 16;
constexpr size_t kCentralPacked = 20;
constexpr size_t kCentralSize = 24;
constexpr size_t kCentralNameLength = 28;
constexpr size_t kCentralExtraLength = 30;
constexpr size_t kCentralCommentLength = 32;
constexpr size_t kCentralDisk = 34;  // disk, internal and external attributes: 8 bytes
constexpr size_t kCentralOffset = 42;

// End of central directory: signature, disk numbers, entries on this disk,
// entries, directory size, directory offset, comment length.
constexpr size_t kEndFixed = 22;
constexpr size_t kEndEntries = 10;
constexpr size_t kEndDirectorySize = 12;
constexpr size_t kEndDirectoryOffset = 16;
// The zip64 end record's own size field counts what follows that field.
constexpr uint64_t kZip64EndRest = 44;

constexpr uint32_t kFlagDataDescriptor = 8;  // sizes after the data: not read here
constexpr uint32_t kMethodDeflate = 8;
constexpr uint32_t kZip64Version = 45;    // version needed to read zip64 fields
constexpr uint32_t kZip64ExtraId = 1;     // the extra field of zip64 sizes and offset
constexpr uint32_t kMax16 = 0xFFFF;       // a full 16-bit field: the zip64 record holds it
constexpr uint64_t kMax32 = 0xFFFFFFFFu;  // a full 32-bit field: the zip64 extra field holds it

}  // namespace zip

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
// A 32-bit size or offset field: the value, or all ones when the zip64 extra
// field holds it.
void put32_or_max(std::string* o, uint64_t v) {
    put32(o, v >= zip::kMax32 ? (uint32_t)zip::kMax32 : (uint32_t)v);
}

struct Entry {
    std::string name;
    const unsigned char* central;  // its central directory record
    size_t central_size;
    const unsigned char* local;  // its local header and data
    size_t local_size;

    // Where the data starts in the local part.
    size_t data_start() const {
        return zip::kLocalFixed + u16(local + zip::kLocalNameLength) +
               u16(local + zip::kLocalExtraLength);
    }
};

// The entries of a small archive (no zip64, no comment), in their order.
bool parse_zip(std::string_view archive, std::vector<Entry>* entries) {
    using namespace zip;
    const auto* base = (const unsigned char*)archive.data();
    if (archive.size() < kEndFixed) return false;
    const unsigned char* end = base + archive.size() - kEndFixed;
    if (u32(end) != kEndSignature) return false;
    size_t count = u16(end + kEndEntries), cd = u32(end + kEndDirectoryOffset),
           cd_size = u32(end + kEndDirectorySize);
    if (cd + cd_size > archive.size() - kEndFixed) return false;
    const unsigned char* p = base + cd;
    for (size_t i = 0; i < count; i++) {
        if (p + kCentralFixed > base + cd + cd_size || u32(p) != kCentralSignature) return false;
        size_t n = u16(p + kCentralNameLength), x = u16(p + kCentralExtraLength),
               c = u16(p + kCentralCommentLength);
        size_t offset = u32(p + kCentralOffset), packed = u32(p + kCentralPacked);
        size_t record = kCentralFixed + n + x + c;
        if (p + record > base + cd + cd_size || offset + kLocalFixed > cd) return false;
        const unsigned char* local = base + offset;
        if (u32(local) != kLocalSignature || (u16(p + kCentralFlags) & kFlagDataDescriptor))
            return false;
        Entry e{std::string((const char*)p + kCentralFixed, n), p, record, local, 0};
        e.local_size = e.data_start() + packed;
        if (offset + e.local_size > cd) return false;
        entries->push_back(std::move(e));
        p += record;
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

// More characters than openpyxl keeps (32,767)?
bool longer_than_limit(std::string_view t) {
    if (t.size() <= 32767) return false;
    size_t chars = 0;
    for (unsigned char ch : t) chars += (ch & 0xC0) != 0x80;
    return chars > 32767;
}

// A control character that openpyxl refuses?
bool check_controls(std::string_view t) {
    for (unsigned char ch : t)
        if (ch < 0x20 && ch != '\t' && ch != '\n' && ch != '\r') return true;
    return false;
}

// May the library's cell check refuse or cut the text?
bool library_may_act(std::string_view t) { return check_controls(t) || longer_than_limit(t); }

// The library's own check (Cell.check_string through a write-only cell of
// sheet `ws`) for a text it could refuse or cut; the text it keeps in *kept.
int library_check(PyObject* ws, const Cell& c, Ref* kept) {
    Ref text = cell_str(c);
    Ref cell = text ? nx::call_kw(openpyxl_state().write_only_cell(), {ws},
                                  {{NX_ID(value), text.get()}})
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

// What lxml refuses when the file is written: lone surrogates (`surrogates`:
// the text may hold some), U+FFFE and U+FFFF. 0, or -1 with its error set.
int check_xml_text(std::string_view text, bool surrogates) {
    if (surrogates && check_strict_utf8(text) < 0) return -1;
    for (size_t i = 0; i + 2 < text.size(); i++)
        if ((unsigned char)text[i] == 0xEF && (unsigned char)text[i + 1] == 0xBF &&
            ((unsigned char)text[i + 2] == 0xBE || (unsigned char)text[i + 2] == 0xBF)) {
            PyErr_SetString(PyExc_ValueError,
                            "All strings must be XML compatible: Unicode or ASCII, no NULL "
                            "bytes or control characters");
            return -1;
        }
    return 0;
}

class SheetWriter {
public:
    SheetWriter(PyObject* ws, FdWriter& out) : ws_(ws), out_(out) {}

    // A raw deflate stream (`zlib`'s, with `raw_bits`) at the default level,
    // and its CRC from 0.
    int open(PyObject* zlib, PyObject* raw_bits) {
        Ref level = nx::integer(-1);
        Ref method = level ? nx::attr(zlib, NX_ID(DEFLATED)) : Ref();
        compressor_ = method ? nx::call_method(zlib, NX_ID(compressobj),
                                               {level.get(), method.get(), raw_bits})
                             : Ref();
        compress_ = compressor_ ? nx::attr(compressor_.get(), NX_ID(compress)) : Ref();
        crc32_ = compress_ ? nx::attr(zlib, NX_ID(crc32)) : Ref();
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
        return out_.put(
            std::string_view(PyBytes_AS_STRING(bytes), (size_t)PyBytes_GET_SIZE(bytes)));
    }

    int cell(const Cell& c) {
        std::string_view text = c.text;
        Ref kept;
        if (library_may_act(text)) {
            if (library_check(ws_, c, &kept) < 0) return -1;
            text = std::string_view(PyBytes_AS_STRING(kept.get()),
                                    (size_t)PyBytes_GET_SIZE(kept.get()));
        }
        if (text.empty()) {
            xml_ += "\" t=\"inlineStr\"/>";
            return 0;
        }
        if (!xml_failure && check_xml_text(text, (c.flags & kSurrogates) != 0) < 0 &&
            !keep_failure(&xml_failure))
            return -1;
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
    using namespace zip;
    const unsigned char* c = e.central;
    if (!sheet) {
        packed = u32(c + kCentralPacked);
        size = u32(c + kCentralSize);
        crc = u32(c + kCentralCrc);
    }
    std::string zip64;
    if (size >= kMax32) put64(&zip64, size);
    if (packed >= kMax32) put64(&zip64, packed);
    if (offset >= kMax32) put64(&zip64, offset);
    put32(cd, kCentralSignature);
    put16(cd, u16(c + kCentralMadeBy));
    put16(cd, zip64.empty() ? u16(c + kCentralVersion) : kZip64Version);
    cd->append((const char*)c + kCentralFlags, 8);  // flags, method, time, date
    put32(cd, crc);
    put32_or_max(cd, packed);
    put32_or_max(cd, size);
    put16(cd, (uint32_t)e.name.size());
    put16(cd, zip64.empty() ? 0 : (uint32_t)zip64.size() + 4);
    put16(cd, 0);                                  // comment length
    cd->append((const char*)c + kCentralDisk, 8);  // disk, internal and external attributes
    put32_or_max(cd, offset);
    cd->append(e.name);
    if (!zip64.empty()) {
        put16(cd, kZip64ExtraId);
        put16(cd, (uint32_t)zip64.size());
        cd->append(zip64);
    }
}

// The records after the central directory: the zip64 end record and its
// locator when the offset or the count needs them, then the end record.
void end_records(std::string* tail, uint64_t cd_offset, uint64_t cd_size, size_t count) {
    using namespace zip;
    bool zip64 = cd_offset >= kMax32 || count >= kMax16;
    if (zip64) {
        uint64_t at = cd_offset + cd_size;
        put32(tail, kZip64EndSignature);
        put64(tail, kZip64EndRest);
        put16(tail, kZip64Version);  // made by
        put16(tail, kZip64Version);  // needed
        put32(tail, 0);              // this disk
        put32(tail, 0);              // the directory's disk
        put64(tail, count);          // entries on this disk
        put64(tail, count);          // entries
        put64(tail, cd_size);
        put64(tail, cd_offset);
        put32(tail, kZip64LocatorSignature);
        put32(tail, 0);   // the zip64 end record's disk
        put64(tail, at);  // its offset
        put32(tail, 1);   // disks
    }
    put32(tail, kEndSignature);
    put32(tail, 0);  // disk numbers
    put16(tail, count >= kMax16 ? kMax16 : (uint32_t)count);
    put16(tail, count >= kMax16 ? kMax16 : (uint32_t)count);
    put32_or_max(tail, cd_size);
    put32(tail, zip64 ? (uint32_t)kMax32 : (uint32_t)cd_offset);
    put16(tail, 0);  // comment length
}

constexpr const char* kSheet = "xl/worksheets/sheet1.xml";

// zlib's window bits for a raw deflate stream, without zlib's own header and
// check: the form a zip entry holds.
constexpr long kRawDeflate = -15;

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

// The template: openpyxl's package of the workbook with its sheet still
// empty, its entries, and the sheet's XML around the rows.
struct Template {
    Ref package;  // the bytes the entries point into
    std::vector<Entry> entries;
    const Entry* sheet = nullptr;
    std::string head, tail;
};

int load_template(PyObject* wb, const Table& table, PyObject* zlib, PyObject* raw_bits,
                  Template* t) {
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    Ref buffer = io ? nx::call_method(io.get(), NX_ID(BytesIO)) : Ref();
    Ref saved = buffer ? nx::call_method(wb, NX_ID(save), {buffer.get()}) : Ref();
    t->package = saved ? nx::call_method(buffer.get(), NX_ID(getvalue)) : Ref();
    if (!t->package) return -1;
    std::string_view archive(PyBytes_AS_STRING(t->package.get()),
                             (size_t)PyBytes_GET_SIZE(t->package.get()));
    if (parse_zip(archive, &t->entries))
        for (const Entry& e : t->entries)
            if (e.name == kSheet && u16(e.central + zip::kCentralMethod) == zip::kMethodDeflate)
                t->sheet = &e;
    Ref xml;
    if (t->sheet) {
        const Entry& e = *t->sheet;
        size_t data = e.data_start();
        Ref raw = Ref::steal(PyBytes_FromStringAndSize((const char*)e.local + data,
                                                       (Py_ssize_t)(e.local_size - data)));
        xml = raw ? nx::call_method(zlib, NX_ID(decompress), {raw.get(), raw_bits}) : Ref();
        if (!xml) return -1;
    }
    Py_ssize_t columns = table.columns();
    std::string dimension = columns
                                ? "A1:" + column_letters(columns) + std::to_string(table.rows + 1)
                                : "A1:A1";
    if (!t->sheet || !split_sheet(std::string_view(PyBytes_AS_STRING(xml.get()),
                                                   (size_t)PyBytes_GET_SIZE(xml.get())),
                                  dimension, &t->head, &t->tail)) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected workbook package from openpyxl");
        return -1;
    }
    return 0;
}

// May the sheet's XML, or its deflated form, reach 4 GiB? Its local header
// goes out before the rows, so room for zip64 sizes is chosen up front, on
// a bound of what the rows can become:
//   * a byte of text becomes at most 5 bytes of XML ("&amp;", "&#13;"); the
//     spool holds every cell text, with its tag and length, and the header
//     names are counted apart; 6 a byte covers both;
//   * a row adds at most 40 bytes ("<row r=\"2147483647\">" ... "</row>"),
//     a cell at most 80 (its reference, the inline-string tags with
//     xml:space="preserve", and the closing tags), present or not;
//   * deflate grows what it cannot compress by a few bytes a 16 KiB block
//     (zlib's deflateBound: about 0.03 %): 1/64 more and 4 KiB for the
//     stream's end cover it many times.
bool sheet_may_reach_4gib(const Table& table, const Template& t, const std::vector<Cell>& header) {
    uint64_t text = table.spool.bytes();
    for (const Cell& c : header) text += c.text.size();
    uint64_t bound = text * 6 + (uint64_t)(table.rows + 1) * (uint64_t)(table.columns() * 80 + 40) +
                     t.head.size() + t.tail.size();
    return bound + bound / 64 + 4096 >= zip::kMax32;
}

// The sheet's local header, its CRC and sizes still zero: they are known
// once the rows are written (header_patch). With `zip64`, the 32-bit sizes
// say "in the extra field", which is reserved with zeros.
std::string local_header(const Entry& e, bool zip64) {
    using namespace zip;
    const unsigned char* l = e.local;
    std::string h;
    put32(&h, kLocalSignature);
    put16(&h, zip64 ? kZip64Version : u16(l + kLocalVersion));
    h.append((const char*)l + kLocalFlags, 8);  // flags, method, time, date
    put32(&h, 0);                               // CRC
    put32(&h, zip64 ? (uint32_t)kMax32 : 0);    // packed size
    put32(&h, zip64 ? (uint32_t)kMax32 : 0);    // size
    put16(&h, (uint32_t)e.name.size());
    put16(&h, zip64 ? 20 : 0);  // the zip64 extra field: id, length, two sizes
    h += e.name;
    if (zip64) {
        put16(&h, kZip64ExtraId);
        put16(&h, 16);
        put64(&h, 0);  // size
        put64(&h, 0);  // packed size
    }
    return h;
}

// What the sheet's local header gets at kLocalCrc once the rows are written:
// the CRC and the sizes (in the zip64 extra field, when it has one).
std::string header_patch(const Entry& e, bool zip64, uint32_t crc, uint64_t packed, uint64_t size) {
    using namespace zip;
    std::string fields;
    put32(&fields, crc);
    if (!zip64) {
        put32(&fields, (uint32_t)packed);
        put32(&fields, (uint32_t)size);
        return fields;
    }
    // From the sizes to the extra field, as local_header wrote it.
    put32(&fields, (uint32_t)kMax32);
    put32(&fields, (uint32_t)kMax32);
    put16(&fields, (uint32_t)e.name.size());
    put16(&fields, 20);
    fields += e.name;
    put16(&fields, kZip64ExtraId);
    put16(&fields, 16);
    put64(&fields, size);
    put64(&fields, packed);
    return fields;
}

// The sheet entry: its local header, the rows deflated (the header row, then
// the spooled rows; no row at all without columns), then the header patched.
// Adds the entry's central record to *cd.
int write_sheet(Table& table, PyObject* ws, const Template& t, PyObject* zlib, PyObject* raw_bits,
                FdWriter& out, std::string* cd) {
    const Entry& e = *t.sheet;
    std::vector<Cell> header;
    std::vector<Ref> held;
    if (table.header(&header, &held) < 0) return -1;
    bool zip64 = sheet_may_reach_4gib(table, t, header);
    uint64_t offset = out.offset();
    if (out.put(local_header(e, zip64)) < 0) return -1;

    SheetWriter w(ws, out);
    if (w.open(zlib, raw_bits) < 0) return -1;
    w.xml() += t.head;
    bool rows = table.columns() > 0;
    Py_ssize_t number = 1;
    if (rows && w.row(number, header) < 0) return -1;
    if (table.replay([&](const std::vector<Cell>& cells) {
            ++number;
            return rows ? w.row(number, cells) : 0;
        }) < 0)
        return -1;
    if (w.xml_failure) {
        nx::raise_again(std::move(w.xml_failure));
        return -1;
    }
    w.xml() += t.tail;
    if (w.deflate(true) < 0 || out.flush() < 0) return -1;
    if (out.write_at(offset + zip::kLocalCrc,
                     header_patch(e, zip64, w.crc(), w.packed(), w.size())) < 0)
        return -1;
    central_record(cd, e, offset, true, w.crc(), w.packed(), w.size());
    return 0;
}

}  // namespace

WorkbookKind workbook_kind(PyObject* workbook_class) {
    if (!capture_openpyxl() || workbook_class != openpyxl_state().workbook()) return kOtherWorkbook;
    Ref in_use = nx::attr(openpyxl_state().sheet_writer.module(), NX_ID(write_cell));
    if (!in_use) PyErr_Clear();
    return in_use.get() == openpyxl_state().lxml_write_cell() ? kNativeSheet : kOpenpyxl;
}

int write_xlsx(Table& table, PyObject* wb, PyObject* ws, FdWriter& out) {
    Ref zlib = Ref::steal(PyImport_ImportModule("zlib"));
    Ref raw_bits = zlib ? nx::integer(kRawDeflate) : Ref();
    Template t;
    if (!raw_bits || load_template(wb, table, zlib.get(), raw_bits.get(), &t) < 0) return -1;

    // The entries in their order, each moved to where it now starts: the
    // sheet written here, the others as openpyxl wrote them.
    std::string cd;
    for (const Entry& e : t.entries) {
        if (&e == t.sheet) {
            if (write_sheet(table, ws, t, zlib.get(), raw_bits.get(), out, &cd) < 0) return -1;
            continue;
        }
        uint64_t offset = out.offset();
        if (out.put(std::string_view((const char*)e.local, e.local_size)) < 0) return -1;
        central_record(&cd, e, offset, false, 0, 0, 0);
    }
    uint64_t cd_offset = out.offset();
    std::string end;
    end_records(&end, cd_offset, cd.size(), t.entries.size());
    if (out.put(cd) < 0 || out.put(end) < 0) return -1;
    return out.flush();
}

}  // namespace exports
}  // namespace scrape

namespace scrape {
namespace exports {

int check_sheet_cell(PyObject* ws, const Cell& cell) {
    Ref kept;
    if (library_may_act(cell.text) && library_check(ws, cell, &kept) < 0) return -1;
    std::string_view text = kept ? std::string_view(PyBytes_AS_STRING(kept.get()),
                                                    (size_t)PyBytes_GET_SIZE(kept.get()))
                                 : cell.text;
    return check_xml_text(text, (cell.flags & kSurrogates) != 0);
}

}  // namespace exports
}  // namespace scrape
