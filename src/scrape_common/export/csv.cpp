// CSV lines as csv.DictWriter writes them with the default dialect into a
// file opened with newline="" and encoding="utf-8": fields joined by ",", a
// field quoted only when it holds ",", '"', CR or LF (its quotes doubled), a
// row of one empty field written as "", every line ended by CR LF.
#include "writers.h"

namespace scrape {
namespace exports {

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

}  // namespace

int write_csv(Table& table, FdWriter& w) {
    std::vector<Cell> header;
    std::vector<Ref> held;
    if (table.header(&header, &held) < 0 || put_line(w, header) < 0) return -1;
    return table.replay([&](const std::vector<Cell>& cells) { return put_line(w, cells); });
}

}  // namespace exports
}  // namespace scrape
