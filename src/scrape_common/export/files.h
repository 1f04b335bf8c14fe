// File handling of the exports: buffered writes to a descriptor (the GIL
// released while the kernel works), the spool that holds the cell texts of
// a read until the header is known, and the output file that appears whole
// or not at all.
#pragma once

#include "../../capi/pyfile.h"
#include "../../capi/pyref.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace scrape {
namespace exports {

using nx::Ref;

// Unsigned LEB128, the numbers of the spool: a row's length, a cell's tag
// and length. Seven bits a byte, low first; the high bit says more follow.
inline void put_varint(std::string* out, uint64_t v) {
    while (v >= 0x80) {
        out->push_back((char)(0x80 | (v & 0x7f)));
        v >>= 7;
    }
    out->push_back((char)v);
}

// The bytes of the longest number (64 bits).
constexpr size_t kVarintMax = 10;

// The number at p (advanced past it), read no further than `end`.
inline uint64_t get_varint(const char*& p, const char* end) {
    uint64_t v = 0;
    for (int shift = 0; p < end && shift < 64; shift += 7) {
        unsigned char b = (unsigned char)*p++;
        v |= (uint64_t)(b & 0x7f) << shift;
        if (!(b & 0x80)) break;
    }
    return v;
}

// Buffered writer on a file descriptor it does not own.
class FdWriter {
public:
    static constexpr size_t kChunk = 1 << 20;
    void attach(int fd) { fd_ = fd; }
    int put(std::string_view bytes) {
        if (buf_.size() + bytes.size() > kChunk && flush() < 0) return -1;
        if (bytes.size() >= kChunk) return write_all(bytes.data(), bytes.size());
        buf_.append(bytes.data(), bytes.size());
        return 0;
    }
    int put(char c) { return put(std::string_view(&c, 1)); }
    std::string& buffer() { return buf_; }  // append here, then call maybe_flush()
    int maybe_flush() { return buf_.size() >= kChunk ? flush() : 0; }
    int flush();
    uint64_t offset() const { return written_ + buf_.size(); }
    // Write `bytes` at `at` (a part already flushed), for headers patched last.
    int write_at(uint64_t at, std::string_view bytes);

private:
    int write_all(const char* p, size_t n);
    int fd_ = -1;
    uint64_t written_ = 0;
    std::string buf_;
};

// A file without a name, made in `dir` (else in $TMPDIR or /tmp) and
// unlinked at once, so that it vanishes with the process: its descriptor
// (the caller closes it), or -1 with OSError set.
int unnamed_file(const std::string& dir);

// Rows of cell texts, in memory while they are few, then in an unnamed file
// (created in `dir` and unlinked at once, so it vanishes with the process).
class Spool {
public:
    explicit Spool(std::string dir) : dir_(std::move(dir)) {}
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    int add_row(const std::string& block);
    // Switch from writing to reading, from the first row.
    int rewind();
    // 1 with the next row in *block, 0 at the end, -1 with an exception set.
    int next_row(std::string* block);
    uint64_t bytes() const { return total_; }

private:
    int spill();
    int fill(size_t need);
    std::string dir_;
    std::string mem_;
    int fd_ = -1;
    FdWriter out_;
    uint64_t total_ = 0;
    // reading
    std::string rbuf_;
    size_t rpos_ = 0;
    bool eof_ = false;
};

// The output of an export: a new file beside the final path, moved over it
// by commit() and put on the disk (nx::DurableFile); removed when the object
// goes without a commit.
class OutputFile {
public:
    // Create the temporary file for `filepath` (str, bytes or path-like).
    int create(PyObject* filepath);
    // The temporary path as an object of the final path's type (str/bytes).
    Ref temp_object() const { return file_.temp_object(); }
    // Write out what is buffered here, for another writer that reopens the
    // temporary path (the descriptor stays open for commit()'s sync).
    int hand_over() { return out_.flush(); }
    // Flush, then commit the file (sync, move over the final path, sync the
    // directory).
    int commit();
    void abort() { file_.abort(); }
    FdWriter& out() { return out_; }

private:
    nx::DurableFile file_;
    FdWriter out_;
};

// A path object as native bytes; false (no exception) when it is not one.
bool native_path(PyObject* path, std::string* out);

}  // namespace exports
}  // namespace scrape
