// The virtual printer, its answers and labels, and the servers that put it on a TCP port or a
// pseudo-terminal.
#include "quillkit/virtual_printer.hpp"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "bindings.hpp"
#include "callbacks.hpp"
#include "convert.hpp"
#include "quillkit/virtual_pty.hpp"
#include "virtual/png_io.hpp"

namespace quillkit::python {
namespace {

using namespace pybind11::literals;
using VP = VirtualPrinter;
using std::chrono::milliseconds;

// Durations cross as seconds (float), as the library's waits do: 0 to 24 hours.
constexpr double kMaxSeconds = 24 * 3600;

milliseconds to_duration(double seconds, const char* what) {
  if (!(seconds >= 0 && seconds <= kMaxSeconds)) {
    throw py::value_error(std::string(what) + ": 0 to 86400 seconds");
  }
  return milliseconds(std::llround(seconds * 1000));
}

double to_seconds(milliseconds duration) { return static_cast<double>(duration.count()) / 1000; }

// A text field (answers are sent exactly as given, so they cross as surrogateescaped text).
template <class C>
void def_text(py::class_<C>& cls, const char* name, std::string C::*field) {
  cls.def_property(
      name, [field](const C& c) { return to_str(c.*field); },
      [field](C& c, Text text) { c.*field = std::string(text.view); });
}

template <class C>
void def_seconds(py::class_<C>& cls, const char* name, milliseconds C::*field) {
  cls.def_property(
      name, [field](const C& c) { return to_seconds(c.*field); },
      [field, name](C& c, double seconds) { c.*field = to_duration(seconds, name); });
}

void bind_values(py::module_& m) {
  py::class_<VirtualAnswers> answers(m, "VirtualAnswers",
                                     "The virtual printer's answers, each sent exactly as given.");
  answers.def(py::init<>()).def_readwrite("status", &VirtualAnswers::status);
  for (const auto& [name, field] : {std::pair{"model_name", &VirtualAnswers::model_name},
                                    {"code_page", &VirtualAnswers::code_page},
                                    {"mileage", &VirtualAnswers::mileage},
                                    {"memory", &VirtualAnswers::memory},
                                    {"serial_number", &VirtualAnswers::serial_number}}) {
    def_text(answers, name, field);
  }
  answers
      .def_property(
          "status_trailer", [](const VirtualAnswers& a) { return to_bytes(a.status_trailer); },
          [](VirtualAnswers& a, ByteView data) {
            a.status_trailer.assign(data.span.begin(), data.span.end());
          })
      .def_readwrite("battery", &VirtualAnswers::battery);

  py::class_<VirtualAnswerTiming> timing(m, "VirtualAnswerTiming",
                                         "How each answer is delivered: a delay, then pieces.");
  timing.def(py::init<>()).def_readwrite("piece_size", &VirtualAnswerTiming::piece_size);
  def_seconds(timing, "delay", &VirtualAnswerTiming::delay);
  def_seconds(timing, "piece_gap", &VirtualAnswerTiming::piece_gap);

  py::class_<VirtualLabel>(m, "VirtualLabel", "A printed label: one byte per dot, 1 is ink.")
      .def_readonly("width", &VirtualLabel::width)
      .def_readonly("height", &VirtualLabel::height)
      .def_readonly("number", &VirtualLabel::number)
      .def_property_readonly("dots", [](const VirtualLabel& l) { return to_bytes(l.dots); })
      .def_property_readonly("png_path",
                             [](const VirtualLabel& l) -> std::optional<std::filesystem::path> {
                               if (l.png_path.empty()) return std::nullopt;
                               return l.png_path;
                             })
      .def("ink", &VirtualLabel::ink, "x"_a, "y"_a)
      .def(
          "png",
          [](const VirtualLabel& label) {
            Bytes out;
            bool ok;
            {
              py::gil_scoped_release release;
              ok = vp::encode_png(label.width, label.height, label.dots, out);
            }
            if (!ok) throw py::value_error("the label is empty");
            return to_bytes(out);
          },
          "The label as a 1-bit grey PNG (ink black).")
      .def("__repr__", [](const VirtualLabel& l) {
        return py::str("VirtualLabel(number={}, width={}, height={})")
            .format(l.number, l.width, l.height);
      });

  py::class_<VirtualLabelSetup>(m, "VirtualLabelSetup", "The settings the printer was sent.")
      .def_readonly("dpi", &VirtualLabelSetup::dpi)
      .def_readonly("width_dots", &VirtualLabelSetup::width_dots)
      .def_readonly("height_dots", &VirtualLabelSetup::height_dots)
      .def_readonly("black_line", &VirtualLabelSetup::black_line)
      .def_readonly("gap_dots", &VirtualLabelSetup::gap_dots)
      .def_readonly("gap_offset_dots", &VirtualLabelSetup::gap_offset_dots)
      .def_readonly("speed", &VirtualLabelSetup::speed)
      .def_readonly("density", &VirtualLabelSetup::density)
      .def_readonly("direction", &VirtualLabelSetup::direction)
      .def_readonly("mirror", &VirtualLabelSetup::mirror)
      .def_readonly("reference_x", &VirtualLabelSetup::reference_x)
      .def_readonly("reference_y", &VirtualLabelSetup::reference_y)
      .def_readonly("offset_dots", &VirtualLabelSetup::offset_dots)
      .def_readonly("tear", &VirtualLabelSetup::tear)
      .def_readonly("form_feeds", &VirtualLabelSetup::form_feeds)
      .def_property_readonly("diagnostic_interface", [](const VirtualLabelSetup& s) {
        return to_str(s.diagnostic_interface);
      });

  py::class_<VirtualFile>(m, "VirtualFile", "A file stored in the printer.")
      .def_property_readonly("name", [](const VirtualFile& f) { return to_str(f.name); })
      .def_property_readonly("data", [](const VirtualFile& f) { return to_bytes(f.data); })
      .def("__repr__", [](const VirtualFile& f) {
        return py::str("VirtualFile(name={!r}, {} bytes)").format(to_str(f.name), f.data.size());
      });

  m.def("save_label_png", &save_label_png, "label"_a, "path"_a,
        py::call_guard<py::gil_scoped_release>(),
        "Writes a label as a 1-bit grey PNG; False when the file cannot be written.");
  m.def("load_label_png", &load_label_png, "path"_a, py::call_guard<py::gil_scoped_release>(),
        "Reads a grey, RGB or palette PNG of at most 8 bits, dark pixels as ink; None when the "
        "file is missing or not such a PNG.");
}

// A Python callable for the printer's callbacks, or an empty function for None.
template <class... A>
std::function<void(A...)> callback(const py::object& fn, const char* where) {
  if (fn.is_none()) return {};
  if (PyCallable_Check(fn.ptr()) == 0) {
    throw py::type_error(std::string(where) + ": a callable or None is required");
  }
  return [cb = std::make_shared<Callback>(fn), where](A... args) { (*cb)(where, args...); };
}

Holder<VP> make_printer(int dpi, std::optional<VirtualAnswers> answers,
                        std::optional<VirtualAnswerTiming> timing, std::filesystem::path output_dir,
                        std::filesystem::path files_dir, std::size_t labels_kept,
                        std::uint64_t output_max_labels, std::uint64_t output_max_bytes,
                        const py::object& on_label, const py::object& on_log) {
  VirtualPrinterConfig config;
  config.dpi = dpi;
  if (answers) config.answers = std::move(*answers);
  if (timing) config.timing = *timing;
  config.output_dir = std::move(output_dir);
  config.files_dir = std::move(files_dir);
  config.labels_kept = labels_kept;
  config.output_max_labels = output_max_labels;
  config.output_max_bytes = output_max_bytes;
  config.on_label = callback<const VirtualLabel&>(on_label, "VirtualPrinter on_label");
  auto on_line = callback<Text>(on_log, "VirtualPrinter on_log");
  if (on_line) config.on_log = [on_line](std::string_view line) { on_line(Text{line}); };
  py::gil_scoped_release release;
  return Holder<VP>(new VP(std::move(config)));
}

// A wait of the printer for a count, with its bound given in seconds.
auto bounded_wait(bool (VP::*wait)(std::uint64_t, milliseconds) const, const char* name) {
  return [wait, name](const VP& self, std::uint64_t count, double timeout) {
    const auto bound = to_duration(timeout, name);
    py::gil_scoped_release release;
    return (self.*wait)(count, bound);
  };
}

void bind_printer(py::module_& m) {
  const VirtualPrinterConfig defaults;
  py::class_<VP, Holder<VP>>(m, "VirtualPrinter",
                             "A software label printer: renders labels, answers queries.")
      .def(py::init(&make_printer), py::kw_only(), "dpi"_a = defaults.dpi, "answers"_a = py::none(),
           "timing"_a = py::none(), "output_dir"_a = std::filesystem::path(),
           "files_dir"_a = std::filesystem::path(), "labels_kept"_a = defaults.labels_kept,
           "output_max_labels"_a = defaults.output_max_labels,
           "output_max_bytes"_a = defaults.output_max_bytes, "on_label"_a = py::none(),
           "on_log"_a = py::none())
      .def("feed", unlocked(py::overload_cast<std::span<const std::uint8_t>>(&VP::feed)), "data"_a)
      .def("feed", unlocked(py::overload_cast<std::string_view>(&VP::feed)), "data"_a)
      .def("set_answers", unlocked(&VP::set_answers), "answers"_a)
      .def("answers", unlocked(&VP::answers))
      .def("set_status", unlocked(&VP::set_status), "status"_a)
      .def("set_timing", unlocked(&VP::set_timing), "timing"_a)
      .def("timing", unlocked(&VP::timing))
      .def("setup", unlocked(&VP::setup))
      .def("canvas", unlocked(&VP::canvas))
      .def("labels", unlocked(&VP::labels))
      .def("label_count", unlocked(&VP::label_count))
      .def("wait_for_labels", bounded_wait(&VP::wait_for_labels, "wait_for_labels"), "count"_a,
           "timeout"_a = 5.0)
      .def("files", unlocked(&VP::files))
      .def(
          "file",
          [](const VP& self, Text name) -> py::object {
            std::optional<Bytes> data;
            {
              py::gil_scoped_release release;
              data = self.file(name);
            }
            if (!data) return py::none();
            return to_bytes(*data);
          },
          "name"_a)
      .def("bytes_received", unlocked(&VP::bytes_received))
      .def("transcript", unlocked(&VP::transcript))
      .def("wait_for_bytes", bounded_wait(&VP::wait_for_bytes, "wait_for_bytes"), "count"_a,
           "timeout"_a = 5.0)
      .def("log_lines", unlocked(&VP::log_lines))
      .def("log", unlocked(&VP::log), "line"_a);
}

Holder<VirtualPrinterServer> make_server(VP& printer, const std::string& host, std::uint16_t port,
                                         std::size_t max_connections, double idle_timeout) {
  VirtualServerOptions options;
  options.host = host;
  options.port = port;
  options.max_connections = max_connections;
  options.idle_timeout = to_duration(idle_timeout, "idle_timeout");
  py::gil_scoped_release release;
  return Holder<VirtualPrinterServer>(new VirtualPrinterServer(printer, std::move(options)));
}

Holder<VirtualPrinterPty> make_pty(VP& printer) {
  py::gil_scoped_release release;
  return Holder<VirtualPrinterPty>(new VirtualPrinterPty(printer));
}

void bind_servers(py::module_& m) {
  const VirtualServerOptions defaults;
  using Server = VirtualPrinterServer;
  // Each server keeps its printer alive.
  py::class_<Server, Holder<Server>>(m, "VirtualPrinterServer",
                                     "A TCP server in front of a virtual printer.")
      .def(py::init(&make_server), py::keep_alive<1, 2>(), "printer"_a, py::kw_only(),
           "host"_a = defaults.host, "port"_a = defaults.port,
           "max_connections"_a = defaults.max_connections,
           "idle_timeout"_a = to_seconds(defaults.idle_timeout))
      .def("start", unlocked(&Server::start))
      .def("stop", unlocked(&Server::stop))
      .def("port", unlocked(&Server::port))
      .def("error", unlocked(&Server::error))
      .def("open_connections", unlocked(&Server::open_connections))
      .def("accepted_connections", unlocked(&Server::accepted_connections));

  py::class_<VirtualPrinterPty, Holder<VirtualPrinterPty>>(
      m, "VirtualPrinterPty", "A virtual printer on a pseudo-terminal, for the Bluetooth class.")
      .def(py::init(&make_pty), py::keep_alive<1, 2>(), "printer"_a)
      .def("start", unlocked(&VirtualPrinterPty::start))
      .def("stop", unlocked(&VirtualPrinterPty::stop))
      .def("path", unlocked(&VirtualPrinterPty::path))
      .def("error", unlocked(&VirtualPrinterPty::error));
}

}  // namespace

void bind_virtual_printer(py::module_& m) {
  bind_values(m);
  bind_printer(m);
  bind_servers(m);
}

}  // namespace quillkit::python
