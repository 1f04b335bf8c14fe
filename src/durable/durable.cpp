// Nexra_publish.durable: files that replace another whole or not at all and
// stay on the disk once written, for the Python layer (the Scrapy cache
// storage). The write path is the page-save store's: nx::DurableFile.
#include "../capi/pyfile.h"
#include "../capi/pyfunc.h"
#include "../capi/pymodule.h"

#include <cerrno>
#include <string>

#include <sys/stat.h>

namespace durable {
namespace {

using nx::Ref;

// Write one bytes-like object to the file open at `fd`. 0, or -1 with an
// exception set (TypeError for an object without the buffer interface).
int write_chunk(int fd, PyObject* chunk) {
    Py_buffer view;
    if (PyObject_GetBuffer(chunk, &view, PyBUF_SIMPLE) < 0) return -1;
    // The exported buffer cannot be resized while the GIL is released.
    int rc = nx::write_all(fd, static_cast<const char*>(view.buf), (size_t)view.len);
    PyBuffer_Release(&view);
    return rc;
}

// The data argument of write_file: one bytes-like object, or an iterable of
// them written one after the other. A str is refused: its bytes depend on an
// encoding that the caller must choose.
int write_data(int fd, PyObject* data) {
    if (PyObject_CheckBuffer(data)) return write_chunk(fd, data);
    if (PyUnicode_Check(data)) {
        PyErr_SetString(PyExc_TypeError,
                        "write_file() needs bytes or an iterable of bytes, not str");
        return -1;
    }
    Ref chunks = Ref::steal(PyObject_GetIter(data));
    if (!chunks) return -1;
    while (Ref chunk = Ref::steal(PyIter_Next(chunks.get())))
        if (write_chunk(fd, chunk.get()) < 0) return -1;
    return PyErr_Occurred() ? -1 : 0;
}

#define WRITE_FILE_PARAMS(P) P(path, nx::Default::required()) P(data, nx::Default::required())
NX_ARGUMENTS(WriteFileArgs, WRITE_FILE_PARAMS);

PyObject* write_file(nx::Function*, const WriteFileArgs& a) {
    nx::DurableFile file;
    if (file.create(a.path, ".durable") < 0 || write_data(file.fd(), a.data) < 0 ||
        file.commit() < 0)
        return nullptr;  // (the destructor removes the temporary file)
    Py_RETURN_NONE;
}

constexpr nx::FuncSpec write_file_spec = nx::spec_of<WriteFileArgs, write_file>(
    "write_file",
    "Write `data` (bytes-like, or an iterable of bytes-like chunks) to the\n"
    "file `path`, replacing it whole or not at all.\n"
    "\n"
    "The data goes to a new file in the same directory, which is synced to\n"
    "the disk, renamed over `path`, and the directory synced too, before the\n"
    "call returns: a reader sees the earlier file or the new one, never a part,\n"
    "and a crash of the machine after the return keeps the new one. On any\n"
    "failure (a missing directory, `path` a directory, a full disk, an error\n"
    "raised by the iterable) the new file is removed, the earlier file stays as\n"
    "it was, and the error is raised (OSError for the file system's).\n"
    "The directory is not created: see makedirs.");

// mkdir of `dir` and of its missing parents, each new directory's entry synced
// in its parent. 0, or -1 with OSError set.
int make_directory(const std::string& dir, bool as_bytes) {
    for (bool parent_made = false;;) {
        int r = nx::io_call([&] { return ::mkdir(dir.c_str(), 0777); });
        if (r == 0) return nx::sync_directory(nx::dirname_of(dir));
        if (r == -2) return -1;
        int err = errno;
        std::string parent = nx::dirname_of(dir);
        if (err == ENOENT && !parent_made && parent != dir) {
            if (make_directory(parent, as_bytes) < 0) return -1;
            parent_made = true;
            continue;
        }
        struct stat st{};
        if (err == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            // Made by another writer just now, which may not have synced it yet.
            return nx::sync_directory(parent);
        Ref shown = nx::path_object(dir, as_bytes);
        if (!shown) return -1;
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, shown.get());
        return -1;
    }
}

#define MAKEDIRS_PARAMS(P) P(path, nx::Default::required())
NX_ARGUMENTS(MakedirsArgs, MAKEDIRS_PARAMS);

PyObject* makedirs(nx::Function*, const MakedirsArgs& a) {
    std::string dir;
    bool as_bytes = false;
    if (nx::native_path(a.path, &dir, &as_bytes) < 0) return nullptr;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    struct stat st{};
    int found = nx::io_call([&] { return ::stat(dir.c_str(), &st); });
    if (found == -2) return nullptr;
    if (found == 0 && S_ISDIR(st.st_mode)) Py_RETURN_NONE;
    if (make_directory(dir, as_bytes) < 0) return nullptr;
    Py_RETURN_NONE;
}

constexpr nx::FuncSpec makedirs_spec = nx::spec_of<MakedirsArgs, makedirs>(
    "makedirs",
    "Make the directory `path` and its missing parents, as os.makedirs with\n"
    "exist_ok=True does, and put each new directory's entry on the disk (its\n"
    "parent synced), so that files written into it by write_file survive a\n"
    "crash of the machine. An existing directory is left as it is; a path\n"
    "that exists and is not a directory raises FileExistsError.");

int run_body(PyObject* g) {
    for (const nx::FuncSpec* spec : {&write_file_spec, &makedirs_spec})
        if (nx::define_function(g, *spec) < 0) return -1;
    return 0;
}

nx::RunOnceModule module_def("durable",
                             "Files written whole or not at all, and durable once written.",
                             run_body);

}  // namespace
}  // namespace durable

NX_MODINIT_FUNC PyInit_durable(void) { return durable::module_def.init(); }
