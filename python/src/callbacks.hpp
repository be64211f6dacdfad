// Python callables that the library calls, possibly from its own threads (reader threads, the
// BLE event loop, the virtual printer's connections).
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <utility>

namespace quillkit::python {

namespace py = pybind11;

// While alive, the interpreter is known to accept calls from any thread: false once
// close_callbacks has begun. Every entry into Python from a library thread holds one.
class CallbackEntry {
 public:
  CallbackEntry();
  ~CallbackEntry();
  CallbackEntry(const CallbackEntry&) = delete;
  CallbackEntry& operator=(const CallbackEntry&) = delete;
  explicit operator bool() const { return entered_; }

 private:
  bool entered_;
};

// Called at interpreter exit (registered with atexit, lock held): afterwards no library thread
// enters Python. It waits, with the lock released, up to a few seconds for calls in progress.
void close_callbacks();

// A Python callable for the library. Copies of the shared pointer that wraps it cost no lock;
// each call takes the interpreter lock, and so does the release of the callable, on whatever
// thread the last copy goes. After close_callbacks, calls do nothing and the callable is left to
// the interpreter's own shutdown.
class Callback {
 public:
  explicit Callback(py::object fn) : fn_(std::move(fn)) {}
  ~Callback() {
    CallbackEntry entry;
    if (!entry) {
      fn_.release();
      return;
    }
    py::gil_scoped_acquire acquire;
    fn_ = py::object();
  }
  Callback(const Callback&) = delete;
  Callback& operator=(const Callback&) = delete;

  // Calls fn(args...), converting each argument with the lock held. An exception it raises is
  // reported through sys.unraisablehook with `where` as its context and goes no further: the
  // library's threads cannot take it.
  template <class... A>
  void operator()(const char* where, A&&... args) const {
    CallbackEntry entry;
    if (!entry) return;
    py::gil_scoped_acquire acquire;
    try {
      fn_(std::forward<A>(args)...);
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable(where);
    } catch (const std::exception& e) {
      PyErr_SetString(PyExc_RuntimeError, e.what());
      PyErr_WriteUnraisable(py::str(where).ptr());
    }
  }

 private:
  py::object fn_;
};

}  // namespace quillkit::python
