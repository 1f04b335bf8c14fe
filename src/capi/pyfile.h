// Files on disk from native code: system calls without the interpreter lock,
// their errors as the interpreter's OSError, and the file that replaces
// another whole or not at all, and survives a crash of the machine once its
// commit has returned.
#pragma once

#include "pyref.h"

#include <cerrno>
#include <string>

#include <sys/types.h>

namespace nx {

// One system call without the GIL; on EINTR the interpreter's signal handlers
// run, then the call is made again. The call's result (-1 with errno set on
// failure), or -2 when a signal handler raised.
template <class Call>
auto io_call(Call call) -> decltype(call()) {
    for (;;) {
        decltype(call()) r;
        Py_BEGIN_ALLOW_THREADS r = call();
        Py_END_ALLOW_THREADS if (r >= 0 || errno != EINTR) return r;
        if (PyErr_CheckSignals() < 0) return -2;
    }
}

// OSError (or the subclass that the interpreter picks) for `err`; -1.
int raise_errno(int err);

// The contents of the file open at `fd` on the disk itself: fsync, or on
// macOS F_FULLFSYNC, which also empties the drive's cache. 0, or -1 with
// OSError set.
int sync_file(int fd);

// The directory entries of `dir` on the disk (after a rename in it). A file
// system that cannot sync a directory, or a directory this process may write
// but not read, is not an error. 0, or -1 with OSError set.
int sync_directory(const std::string& dir);

// The directory part of a native path ("." when there is none).
std::string dirname_of(const std::string& path);

// The native form of `path` (str, bytes or path-like) in *native, as the
// interpreter's os functions take it; *as_bytes tells whether it was bytes.
// 0, or -1 with an exception set.
int native_path(PyObject* path, std::string* native, bool* as_bytes);

// A native path as an object of the kind a caller gave (str or bytes).
Ref path_object(const std::string& path, bool as_bytes);

// All `n` bytes at `p` written to `fd`, each write(2) without the GIL. 0, or
// -1 with OSError set.
int write_all(int fd, const char* p, size_t n);

// A file written beside its final path and moved over it by commit():
//  * create() makes it in the final path's directory under a name that no
//    other writer picks, on this host or another sharing the directory (the
//    process id and a random token per process, a serial per file), with
//    O_EXCL, trying a new name when one exists;
//  * commit() puts its data on the disk, moves it over the final path and
//    puts the directory on the disk too;
//  * a file that is not committed is removed (abort(), or the destructor),
//    and an earlier file of the final path stays as it was.
// Another writer may open the temporary path and write it (commit() still
// syncs it through the descriptor kept here, which sees that writer's data
// and its write-back errors).
class DurableFile {
public:
    DurableFile() = default;
    ~DurableFile() { abort(); }
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;

    // Create the temporary file for `final_path` (str, bytes or path-like);
    // its name begins with `prefix` (".export", say). 0, or -1 with an
    // exception set.
    int create(PyObject* final_path, const char* prefix);
    int fd() const { return fd_; }
    // The temporary path as an object of the final path's kind (str or bytes).
    Ref temp_object() const;
    // Sync the data, close, rename over the final path, sync the directory.
    // A failure before the rename removes the temporary file. 0, or -1 with
    // OSError set (naming the temporary and the final path for a rename).
    int commit();
    void abort();

private:
    Ref final_object_;
    std::string final_, temp_;
    bool as_bytes_ = false;
    int fd_ = -1;
};

}  // namespace nx
