// The extension module quillkit._quillkit; the package quillkit adds its Python layer on top.
#include <pybind11/pybind11.h>

#include "bindings.hpp"
#include "callbacks.hpp"
#include "quillkit/types.hpp"

PYBIND11_MODULE(_quillkit, m) {
  namespace py = pybind11;
  m.doc() = "quillkit's printer classes, status decoder, pictures and virtual printer.";
  m.attr("__version__") = QUILLKIT_VERSION;
  m.attr("quillkitVersionNumber") = quillkit::quillkitVersionNumber;
  m.attr("quillkitVersionString") = py::str(quillkit::quillkitVersionString);
  quillkit::python::bind_pictures(m);
  quillkit::python::bind_printers(m);
  quillkit::python::bind_virtual_printer(m);
  // Before the interpreter goes, the library's threads stop calling into it: the log sink goes
  // back to the default and any callback still held does nothing from then on.
  py::module_::import("atexit").attr("register")(py::cpp_function([] {
    quillkit::python::restore_log_sink();
    quillkit::python::close_callbacks();
  }));
}
