// The parts of the extension module, each binding one family of the library.
#pragma once

#include <pybind11/pybind11.h>

namespace quillkit::python {

// Pictures: their rasters and options, loading and conversion (before the printers, whose
// picture operations take them).
void bind_pictures(pybind11::module_& m);
// The printer classes, their plain types, the status decoder and set_log_sink.
void bind_printers(pybind11::module_& m);
// Gives the library its default log sink back and lets go of the Python one (at exit).
void restore_log_sink();
// The virtual printer and its TCP and pseudo-terminal servers.
void bind_virtual_printer(pybind11::module_& m);

}  // namespace quillkit::python
