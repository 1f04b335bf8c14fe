// CSV lines as csv.DictWriter writes them with the default dialect into a
// file opened with newline="" and encoding="utf-8": fields joined by ",", a
// field quoted only when it holds ",", '"', CR or LF (its quotes doubled), a
// row of one empty field written as "", every line ended by CR LF.
#include "export_writers.h"

namespace scrape {
namespace exportio {

namespace {

struct QuoteTable {
    bool special[256] = {};
    constexpr QuoteTable() {
        special[(unsigned char)','] = special[(unsigned char)'"'] = true;
        special[(unsigned char)'\r'] = special[(unsigned char)'\n'] = true;
    }
};
constexpr QuoteTable kQuote;

bool needs_quotes(std::string_view text) {
    for (unsigned char c : text)
        if (kQuote.special[c]) return true;
    return false;
}

void put_field(std::string* out, std::string_view text) {
    if (!needs_quotes(text)) {
        out->append(text.data(), text.size());
        return;
    }
    out->push_back('"');
    for (char c : text) {
        if (c == '"') out->push_back('"');
        out->push_back(c);
    }
    out->push_back('"');
}

// One line into the writer's buffer. A line with lone surrogates fails as the
// text file's UTF-8 encoder fails on it (the error names the line's text).
int put_line(FdWriter& w, const std::vector<Cell>& cells) {
    std::string& buf = w.buffer();
    size_t start = buf.size();
    bool surrogates = false;
    for (size_t i = 0; i < cells.size(); i++) {
        if (i) buf.push_back(',');
        put_field(&buf, cells[i].text);
        surrogates |= (cells[i].flags & kSurrogates) != 0;
    }
    if (cells.size() == 1 && cells[0].text.empty()) buf += "\"\"";
    buf += "\r\n";
    if (surrogates && check_strict_utf8(std::string_view(buf).substr(start)) < 0) {
        buf.resize(start);
        return -1;
    }
    return w.maybe_flush();
}

// The header: the column names, as writeheader() writes them.
int put_header(FdWriter& w, PyObject* names) {
    std::vector<Ref> bytes;
    std::vector<Cell> cells((size_t)PyList_GET_SIZE(names));
    for (size_t i = 0; i < cells.size(); i++) {
        Ref b = Ref::steal(PyUnicode_AsEncodedString(PyList_GET_ITEM(names, (Py_ssize_t)i), "utf-8",
                                                     "surrogatepass"));
        if (!b) return -1;
        cells[i].text = std::string_view(PyBytes_AS_STRING(b.get()), (size_t)PyBytes_GET_SIZE(b.get()));
        for (unsigned char c : cells[i].text)
            if (c == 0xED) cells[i].flags |= kSurrogates;  // may be one: the encoder decides
        bytes.push_back(std::move(b));
    }
    return put_line(w, cells);
}

}  // namespace

int write_csv(Table& table, OutputFile& out) {
    FdWriter& w = out.out();
    if (put_header(w, table.field_order.get()) < 0 || table.spool.rewind() < 0) return -1;
    std::string block;
    std::vector<Cell> cells;
    int rc;
    while ((rc = table.next_row(&block, &cells)) > 0)
        if (put_line(w, cells) < 0) return -1;
    return rc;
}

}  // namespace exportio
}  // namespace scrape
