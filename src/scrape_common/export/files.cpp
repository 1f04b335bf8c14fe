// File handling of the exports: see files.h.
#include "files.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace scrape {
namespace exports {

namespace {

// Spilled rows reach the file in chunks of this size; below it they stay in memory.
constexpr size_t kSpoolMemory = 4 << 20;

std::atomic<unsigned long> temp_serial{0};

// One system call without the GIL; EINTR gives the interpreter its signals.
template <class Call>
ssize_t io_call(Call call) {
    for (;;) {
        ssize_t r;
        Py_BEGIN_ALLOW_THREADS r = call();
        Py_END_ALLOW_THREADS if (r >= 0 || errno != EINTR) return r;
        if (PyErr_CheckSignals() < 0) return -2;
    }
}

int raise_errno(int err) {
    errno = err;
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
}

}  // namespace

// ---------------------------------------------------------------------------

int FdWriter::write_all(const char* p, size_t n) {
    while (n > 0) {
        ssize_t r = io_call([&] { return ::write(fd_, p, n); });
        if (r == -2) return -1;
        if (r < 0) return raise_errno(errno);
        p += r;
        n -= (size_t)r;
        written_ += (uint64_t)r;
    }
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

int Spool::spill() {
    // Beside the output when that directory takes it, else the system's.
    const char* tmp = getenv("TMPDIR");
    for (const std::string& dir : {dir_, std::string(tmp && *tmp ? tmp : "/tmp")}) {
        std::string pattern = dir + "/.export-spool-XXXXXX";
        int fd = mkostemp(&pattern[0], O_CLOEXEC);
        if (fd < 0) continue;
        ::unlink(pattern.c_str());
        fd_ = fd;
        out_.attach(fd);
        return 0;
    }
    return raise_errno(errno);
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

std::string dirname_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

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
    filepath_ = Ref::borrow(filepath);
    Ref fs = Ref::steal(PyOS_FSPath(filepath));
    if (!fs) return -1;
    as_bytes_ = PyBytes_Check(fs.get());
    if (!native_path(fs.get(), &final_)) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return -1;
    }
    std::string dir = dirname_of(final_);
    for (;;) {
        char name[64];
        snprintf(name, sizeof name, "/.export-%ld-%lu.tmp", (long)getpid(), ++temp_serial);
        temp_ = dir + name;
        fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) break;
        if (errno != EEXIST) {
            int err = errno;
            temp_.clear();
            errno = err;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filepath);
            return -1;
        }
    }
    out_.attach(fd_);
    return 0;
}

Ref OutputFile::temp_object() const {
    if (as_bytes_)
        return Ref::steal(PyBytes_FromStringAndSize(temp_.data(), (Py_ssize_t)temp_.size()));
    return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(temp_.data(), (Py_ssize_t)temp_.size()));
}

int OutputFile::close_fd() {
    if (fd_ < 0) return 0;
    int rc = out_.flush();
    if (::close(fd_) < 0 && rc == 0) rc = raise_errno(errno);
    fd_ = -1;
    return rc;
}

int OutputFile::commit() {
    if (close_fd() < 0) return -1;
    if (::rename(temp_.c_str(), final_.c_str()) < 0) {
        Ref tmp = temp_object();
        PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, tmp ? tmp.get() : filepath_.get(),
                                              filepath_.get());
        return -1;
    }
    temp_.clear();
    return 0;
}

void OutputFile::abort() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

}  // namespace exports
}  // namespace scrape
