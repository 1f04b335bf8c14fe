// File handling of the exports: see files.h.
#include "files.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace scrape {
namespace exports {

namespace {

// Spilled rows reach the file in chunks of this size; below it they stay in memory.
constexpr size_t kSpoolMemory = 4 << 20;

using nx::io_call;
using nx::raise_errno;

}  // namespace

// ---------------------------------------------------------------------------

int FdWriter::write_all(const char* p, size_t n) {
    if (nx::write_all(fd_, p, n) < 0) return -1;
    written_ += (uint64_t)n;
    return 0;
}

int FdWriter::flush() {
    if (buf_.empty()) return 0;
    int rc = write_all(buf_.data(), buf_.size());
    buf_.clear();
    return rc;
}

int FdWriter::write_at(uint64_t at, std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t r = io_call([&] {
            return ::pwrite(fd_, bytes.data() + done, bytes.size() - done, (off_t)(at + done));
        });
        if (r == -2) return -1;
        if (r < 0) return raise_errno(errno);
        done += (size_t)r;
    }
    return 0;
}

// ---------------------------------------------------------------------------

Spool::~Spool() {
    if (fd_ >= 0) ::close(fd_);
}

int unnamed_file(const std::string& dir) {
    // In `dir` when that directory takes it, else in the system's.
    const char* tmp = getenv("TMPDIR");
    for (const std::string& d : {dir, std::string(tmp && *tmp ? tmp : "/tmp")}) {
        if (d.empty()) continue;
        std::string pattern = d + "/.export-spool-XXXXXX";
        int fd = mkostemp(&pattern[0], O_CLOEXEC);
        if (fd < 0) continue;
        ::unlink(pattern.c_str());
        return fd;
    }
    return raise_errno(errno);
}

int Spool::spill() {
    int fd = unnamed_file(dir_);
    if (fd < 0) return -1;
    fd_ = fd;
    out_.attach(fd);
    return 0;
}

int Spool::add_row(const std::string& block) {
    put_varint(&mem_, block.size());
    mem_ += block;
    total_ += block.size();
    if (mem_.size() < kSpoolMemory) return 0;
    if (fd_ < 0 && spill() < 0) return -1;
    int rc = out_.put(mem_);
    mem_.clear();
    return rc < 0 ? -1 : out_.flush();
}

int Spool::rewind() {
    rpos_ = 0;
    eof_ = false;
    if (fd_ < 0) {
        rbuf_.swap(mem_);
        eof_ = true;
        return 0;
    }
    if (out_.put(mem_) < 0 || out_.flush() < 0) return -1;
    mem_.clear();
    mem_.shrink_to_fit();
    if (::lseek(fd_, 0, SEEK_SET) < 0) return raise_errno(errno);
    return 0;
}

// Make `need` bytes readable from rpos_ (fewer only at the end).
int Spool::fill(size_t need) {
    if (rbuf_.size() - rpos_ >= need || eof_) return 0;
    rbuf_.erase(0, rpos_);
    rpos_ = 0;
    while (rbuf_.size() < need && !eof_) {
        size_t have = rbuf_.size(), want = std::max(need - have, FdWriter::kChunk);
        rbuf_.resize(have + want);
        ssize_t r = io_call([&] { return ::read(fd_, &rbuf_[have], want); });
        if (r == -2) return -1;
        if (r < 0) return raise_errno(errno);
        rbuf_.resize(have + (size_t)r);
        if (r == 0) eof_ = true;
    }
    return 0;
}

int Spool::next_row(std::string* block) {
    if (fill(kVarintMax) < 0) return -1;
    if (rpos_ == rbuf_.size()) return 0;
    const char* p = rbuf_.data() + rpos_;
    uint64_t len = get_varint(p, rbuf_.data() + rbuf_.size());
    rpos_ = (size_t)(p - rbuf_.data());
    if (fill(len) < 0) return -1;
    if (rbuf_.size() - rpos_ < len) {
        PyErr_SetString(PyExc_OSError, "export spool file ended early");
        return -1;
    }
    block->assign(rbuf_, rpos_, len);
    rpos_ += len;
    return 1;
}

// ---------------------------------------------------------------------------

bool native_path(PyObject* path, std::string* out) {
    Ref fs = Ref::steal(PyOS_FSPath(path));
    if (fs && PyUnicode_Check(fs.get())) fs = Ref::steal(PyUnicode_EncodeFSDefault(fs.get()));
    if (!fs || !PyBytes_Check(fs.get())) {
        PyErr_Clear();
        return false;
    }
    out->assign(PyBytes_AS_STRING(fs.get()), (size_t)PyBytes_GET_SIZE(fs.get()));
    return out->find('\0') == std::string::npos;
}

int OutputFile::create(PyObject* filepath) {
    if (file_.create(filepath, ".export") < 0) return -1;
    out_.attach(file_.fd());
    return 0;
}

int OutputFile::commit() {
    if (out_.flush() < 0) {
        file_.abort();
        return -1;
    }
    return file_.commit();
}

}  // namespace exports
}  // namespace scrape
