// Files on disk from native code: see pyfile.h.
#include "pyfile.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

namespace nx {

namespace {

// Each temporary file's serial within this process.
std::atomic<unsigned long> temp_serial{0};

// 64 random bits, read once per process: two processes of one id on two
// hosts that share a directory still pick different names.
uint64_t process_token() {
    static uint64_t token = 0;
    static bool made = false;
    if (made) return token;
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    bool got = fd >= 0 && ::read(fd, &token, sizeof token) == (ssize_t)sizeof token;
    if (fd >= 0) ::close(fd);
    if (!got) {
        // No random source: the clock and the address space, mixed.
        struct timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        token = ((uint64_t)ts.tv_sec * 1000000007u) ^ (uint64_t)ts.tv_nsec ^
                ((uint64_t)(uintptr_t)&token << 16) ^ (uint64_t)getpid();
    }
    made = true;
    return token;
}

// The tries of create() before it gives up on finding a free name.
constexpr int kNameTries = 100;

// fsync(fd), on macOS F_FULLFSYNC first. With `directory`, the errors that
// mean "this file system does not sync directories" are no failure.
int sync_fd(int fd, bool directory) {
#ifdef __APPLE__
    int full = io_call([fd] { return ::fcntl(fd, F_FULLFSYNC); });
    if (full == 0) return 0;
    if (full == -2) return -1;
    // F_FULLFSYNC is refused where the file system has no such flush: fsync.
#endif
    int r = io_call([fd] { return ::fsync(fd); });
    if (r == 0) return 0;
    if (r == -2) return -1;
    if (directory && (errno == EINVAL || errno == EBADF || errno == ENOTSUP)) return 0;
    return raise_errno(errno);
}

}  // namespace

Ref path_object(const std::string& path, bool as_bytes) {
    if (as_bytes)
        return Ref::steal(PyBytes_FromStringAndSize(path.data(), (Py_ssize_t)path.size()));
    return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), (Py_ssize_t)path.size()));
}

int native_path(PyObject* path, std::string* native, bool* as_bytes) {
    Ref fs = Ref::steal(PyOS_FSPath(path));
    if (!fs) return -1;
    *as_bytes = PyBytes_Check(fs.get());
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(fs.get(), &converted)) return -1;
    Ref held = Ref::steal(converted);
    native->assign(PyBytes_AS_STRING(converted), (size_t)PyBytes_GET_SIZE(converted));
    return 0;
}

int write_all(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t r = io_call([&] { return ::write(fd, p, n); });
        if (r == -2) return -1;
        if (r < 0) return raise_errno(errno);
        p += r;
        n -= (size_t)r;
    }
    return 0;
}

int raise_errno(int err) {
    errno = err;
    PyErr_SetFromErrno(PyExc_OSError);
    return -1;
}

int sync_file(int fd) { return sync_fd(fd, false); }

int sync_directory(const std::string& dir) {
    int fd = io_call([&] { return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd == -2) return -1;
    if (fd < 0) return errno == EACCES ? 0 : raise_errno(errno);
    int rc = sync_fd(fd, true);
    ::close(fd);
    return rc;
}

std::string dirname_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

int DurableFile::create(PyObject* final_path, const char* prefix) {
    abort();
    final_object_ = Ref::borrow(final_path);
    if (native_path(final_path, &final_, &as_bytes_) < 0) return -1;
    std::string dir = dirname_of(final_);
    uint64_t token = process_token();
    for (int tries = 0;; tries++) {
        char name[96];
        snprintf(name, sizeof name, "/%s-%ld-%016llx-%lu.tmp", prefix, (long)getpid(),
                 (unsigned long long)token, ++temp_serial);
        temp_ = dir + name;
        int fd = io_call(
            [&] { return ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); });
        if (fd >= 0) {
            fd_ = fd;
            return 0;
        }
        int err = errno;
        temp_.clear();
        if (fd == -2) return -1;
        if (err != EEXIST || tries + 1 >= kNameTries) {
            errno = err;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, final_path);
            return -1;
        }
    }
}

Ref DurableFile::temp_object() const { return path_object(temp_, as_bytes_); }

int DurableFile::commit() {
    if (sync_file(fd_) < 0) {
        abort();
        return -1;
    }
    int closed = ::close(fd_);
    fd_ = -1;
    if (closed < 0 && errno != EINTR) {
        raise_errno(errno);
        abort();
        return -1;
    }
    int moved = io_call([&] { return ::rename(temp_.c_str(), final_.c_str()); });
    if (moved < 0) {
        if (moved == -1) {
            int err = errno;
            Ref tmp = temp_object();
            errno = err;
            PyErr_SetFromErrnoWithFilenameObjects(
                PyExc_OSError, tmp ? tmp.get() : final_object_.get(), final_object_.get());
        }
        abort();
        return -1;
    }
    temp_.clear();
    return sync_directory(dirname_of(final_));
}

void DurableFile::abort() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
}

}  // namespace nx
