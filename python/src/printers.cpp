// The printer classes, their plain types and the log sink.
#include <pybind11/operators.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "bindings.hpp"
#include "callbacks.hpp"
#include "convert.hpp"
#include "quillkit/quillkit.hpp"

namespace quillkit::python {
namespace {

using namespace pybind11::literals;
using P = Printer;

// An operation in a plain form and a form with one wait in seconds, both bound under one name.
template <class R>
struct WaitPair {
  const char* name;
  R (P::*plain)();
  R (P::*waited)(double);
};

constexpr WaitPair<std::string> kQueries[] = {
    {"printer_codepage", &P::printer_codepage, &P::printer_codepage},
    {"printer_mileage", &P::printer_mileage, &P::printer_mileage},
    {"printer_memory", &P::printer_memory, &P::printer_memory},
    {"printer_files", &P::printer_files, &P::printer_files},
    {"printer_modelname", &P::printer_modelname, &P::printer_modelname},
    {"printer_serialnumber", &P::printer_serialnumber, &P::printer_serialnumber},
    {"printer_status", &P::printer_status, &P::printer_status},
};

struct Sender {
  const char* name;
  Result (P::*plain)(std::string_view);
  Result (P::*waited)(std::string_view, double);
};

constexpr Sender kSenders[] = {
    {"sendcommand", &P::sendcommand, &P::sendcommand},
    {"sendcommand_utf8", &P::sendcommand_utf8, &P::sendcommand_utf8},
    {"sendcommand_big5", &P::sendcommand_big5, &P::sendcommand_big5},
    {"sendcommand_gb2312", &P::sendcommand_gb2312, &P::sendcommand_gb2312},
};

using FontText = Result (P::*)(std::string_view, std::string_view, std::string_view,
                               std::string_view, std::string_view, std::string_view,
                               std::string_view);
constexpr std::pair<const char*, FontText> kFontTexts[] = {
    {"printerfont", &P::printerfont},
    {"printerfont_GB2312", &P::printerfont_GB2312},
    {"printerfont_Big5", &P::printerfont_Big5},
};

// Largest image made from Python: the host-font drawing's own limits.
constexpr std::size_t kMaxImageSide = 32767;
constexpr std::size_t kMaxImagePixels = std::size_t{1} << 26;

Image make_image(std::size_t width, std::size_t height, const py::object& rgba) {
  if (width > kMaxImageSide || height > kMaxImageSide || width * height > kMaxImagePixels) {
    throw py::value_error("Image: at most 32767 pixels a side and 2**26 pixels in all");
  }
  if (rgba.is_none()) {
    py::gil_scoped_release release;
    return Image(width, height);
  }
  return with_bytes(rgba, "Image: rgba", [&](std::span<const std::uint8_t> bytes) {
    if (bytes.size() != width * height * 4) {
      throw py::value_error("Image: rgba must hold width * height * 4 bytes");
    }
    Image image;
    image.width = width;
    image.height = height;
    image.rgba.assign(bytes.begin(), bytes.end());
    return image;
  });
}

// The downloads, each path given as str or os.PathLike. With a progress callable, it is called
// on this thread for each report; the first exception it raises ends the reports and is raised
// once the transfer is done (the transfer itself cannot be stopped halfway).
Result download(P& self, const std::filesystem::path& path, Text name) {
  py::gil_scoped_release release;
  return self.downloadpcx(path.native(), name);
}

Result download_reporting(P& self, const std::filesystem::path& path, Text name,
                          const py::function& progress) {
  std::optional<py::error_already_set> failure;
  Result result;
  {
    py::gil_scoped_release release;
    result = self.downloadpcx(path.native(), name, [&](std::size_t sent, std::size_t total) {
      py::gil_scoped_acquire acquire;
      if (failure) return;
      try {
        progress(sent, total);
      } catch (py::error_already_set& e) {
        failure.emplace(std::move(e));
      }
    });
  }
  if (failure) throw std::move(*failure);
  return result;
}

// The Python sink the library holds now, kept here too (under the interpreter lock) so that
// the library never lets go of the last reference while it holds its own lock.
std::shared_ptr<Callback>& current_sink() {
  static auto* sink = new std::shared_ptr<Callback>;
  return *sink;
}

void set_sink(const py::object& sink) {
  std::shared_ptr<Callback> next;
  std::function<void(LogChannel, std::string_view)> fn;
  if (!sink.is_none()) {
    if (PyCallable_Check(sink.ptr()) == 0) {
      throw py::type_error("set_log_sink: a callable or None is required");
    }
    next = std::make_shared<Callback>(sink);
    fn = [next](LogChannel channel, std::string_view line) {
      (*next)("quillkit log sink", channel, Text{line});
    };
  }
  const auto previous = std::exchange(current_sink(), std::move(next));
  py::gil_scoped_release release;
  quillkit::set_log_sink(std::move(fn));
}

void bind_shared_operations(py::class_<P, Holder<P>>& cls) {
  cls.def("stream_Status", unlocked(py::overload_cast<>(&P::stream_Status)))
      .def("stream_Status", unlocked(py::overload_cast<unsigned>(&P::stream_Status)), "times"_a)
      .def("wait_until_sent", unlocked(&P::wait_until_sent), "max_seconds"_a);
  for (const auto& s : kSenders) {
    cls.def(s.name, unlocked(s.plain), "text"_a)
        .def(s.name, unlocked(s.waited), "text"_a, "timeout"_a);
  }
  cls.def("sendBinaryData",
          unlocked(py::overload_cast<std::span<const std::uint8_t>>(&P::sendBinaryData)), "data"_a);

  cls.def("setup", unlocked(&P::setup), "width"_a, "height"_a, "speed"_a, "density"_a, "sensor"_a,
          "vertical"_a, "offset"_a)
      .def("clearBuffer", unlocked(&P::clearBuffer))
      .def("formfeed", unlocked(&P::formfeed))
      .def("nobackfeed", unlocked(&P::nobackfeed))
      .def("printlabel", unlocked(&P::printlabel), "quantity"_a, "copies"_a)
      .def("barcode", unlocked(&P::barcode), "x"_a, "y"_a, "barcodeType"_a, "height"_a,
           "readable"_a, "rotation"_a, "narrow"_a, "wide"_a, "code"_a);
  for (const auto& [name, fn] : kFontTexts) {
    cls.def(name, unlocked(fn), "x"_a, "y"_a, "fontName"_a, "rotation"_a, "magnificationRateX"_a,
            "magnificationRateY"_a, "content"_a);
  }
  cls.def("downloadpcx", &download, "path"_a, "name"_a)
      .def("downloadpcx", &download_reporting, "path"_a, "name"_a, "progress"_a);

  cls.def("fnFindFontWithName", unlocked(&P::fnFindFontWithName), "name"_a, "bold"_a, "italic"_a)
      .def("fnDrawString", unlocked(&P::fnDrawString), "text"_a, "fontName"_a, "fontSize"_a,
           "withUnderline"_a, "rotation"_a)
      .def("fnRotateImage", unlocked(&P::fnRotateImage), "image"_a, "degree"_a)
      .def("radians", unlocked(&P::radians), "degree"_a)
      .def("fnBitsFromImage", unlocked(&P::fnBitsFromImage), "image"_a)
      .def("sendbitmap", unlocked(&P::sendbitmap), "x"_a, "y"_a, "picture"_a,
           "mode"_a = BitmapMode::overwrite)
      .def("printpicture", unlocked(&P::printpicture), "picture"_a, "stock"_a = LabelStock{},
           "copies"_a = 1)
      .def("windowsfont", unlocked(&P::windowsfont), "x"_a, "y"_a, "height"_a, "rotation"_a,
           "style"_a, "withUnderline"_a, "fontName"_a, "content"_a);

  for (const auto& q : kQueries) {
    cls.def(q.name, unlocked(q.plain)).def(q.name, unlocked(q.waited), "delay"_a);
  }
  cls.def("printer_status_byte", unlocked(py::overload_cast<>(&P::printer_status_byte)))
      .def("printer_status_byte", unlocked(py::overload_cast<double>(&P::printer_status_byte)),
           "delay"_a)
      .def("smartbattery_status", unlocked(&P::smartbattery_status), "index"_a);
}

// The data sender and the query round trip under a class's own names.
template <class C, class Plain, class Waited>
void bind_data_sender(py::class_<C, P, Holder<C>>& cls, const char* name, Plain plain,
                      Waited waited) {
  cls.def(name, unlocked(plain), "data"_a).def(name, unlocked(waited), "data"_a, "delay"_a);
}

template <class C>
void bind_round_trip(py::class_<C, P, Holder<C>>& cls) {
  using Plain = std::string (C::*)(std::string_view);
  using Waited = std::string (C::*)(std::string_view, double);
  cls.def("sendcommand_getstring", unlocked(static_cast<Plain>(&C::sendcommand_getstring)),
          "command"_a)
      .def("sendcommand_getstring", unlocked(static_cast<Waited>(&C::sendcommand_getstring)),
           "command"_a, "delay"_a);
}

using Data = std::span<const std::uint8_t>;

void bind_wifi(py::module_& m) {
  py::class_<WiFi, P, Holder<WiFi>> cls(m, "WiFi", "A printer reached over TCP.");
  cls.attr("kDefaultPort") = WiFi::kDefaultPort;
  cls.def(py::init(&make_unlocked<WiFi>))
      .def("openport", unlocked(&WiFi::openport), "host"_a, "portnumber"_a = WiFi::kDefaultPort)
      .def("closeport", unlocked(&WiFi::closeport), "delay"_a);
  bind_data_sender(cls, "sendcommandWithData",
                   static_cast<Result (WiFi::*)(Data)>(&WiFi::sendcommandWithData),
                   static_cast<Result (WiFi::*)(Data, double)>(&WiFi::sendcommandWithData));
  bind_round_trip(cls);
}

void bind_bluetooth(py::module_& m) {
  bind_record<BluetoothDevice>(m, "BluetoothDevice", "A paired device as the platform lists it.",
                               field("address", &BluetoothDevice::address),
                               field("name", &BluetoothDevice::name),
                               field("uuids", &BluetoothDevice::uuids));

  py::class_<Bluetooth, P, Holder<Bluetooth>> cls(
      m, "Bluetooth", "A printer reached over a classic Bluetooth serial link.");
  cls.attr("kProtocolString") = to_str(Bluetooth::kProtocolString);
  cls.def(py::init(&make_unlocked<Bluetooth>))
      .def("accessories", unlocked(&Bluetooth::accessories))
      .def("openport_mfi", unlocked(py::overload_cast<>(&Bluetooth::openport_mfi)))
      .def("openport_mfi", unlocked(py::overload_cast<std::string_view>(&Bluetooth::openport_mfi)),
           "device"_a)
      .def("openport_status", unlocked(&Bluetooth::openport_status))
      .def("closeport", unlocked(py::overload_cast<>(&Bluetooth::closeport)))
      .def("closeport", unlocked(py::overload_cast<double>(&Bluetooth::closeport)), "delay"_a);
  bind_data_sender(
      cls, "sendCommandWithData",
      static_cast<Result (Bluetooth::*)(Data)>(&Bluetooth::sendCommandWithData),
      static_cast<Result (Bluetooth::*)(Data, double)>(&Bluetooth::sendCommandWithData));
  bind_round_trip(cls);
}

void bind_ble(py::module_& m) {
  bind_record<BLEPeripheral>(
      m, "BLEPeripheral", "A peripheral found by a BLE search.",
      field("name", &BLEPeripheral::name), field("address", &BLEPeripheral::address),
      field("identifier", &BLEPeripheral::identifier), field("uuids", &BLEPeripheral::uuids));

  py::class_<BLE, P, Holder<BLE>> cls(m, "BLE", "A printer reached over Bluetooth Low Energy.");
  cls.def(py::init(&make_unlocked<BLE>));
  for (const auto& [name, value] : {std::pair{"SERVICE_UUID", BLE::SERVICE_UUID},
                                    {"AIRPATCH_CHARACTERISTIC", BLE::AIRPATCH_CHARACTERISTIC},
                                    {"RX_CHARACTERISTIC", BLE::RX_CHARACTERISTIC},
                                    {"TX_CHARACTERISTIC", BLE::TX_CHARACTERISTIC}}) {
    cls.attr(name) = to_str(value);
  }
  cls.attr("kOpenBound") = BLE::kOpenBound;
  cls.attr("kDefaultWriteChunk") = BLE::kDefaultWriteChunk;
  cls.attr("kMaxWriteChunk") = BLE::kMaxWriteChunk;
  cls.def("searchBLEDevice", unlocked(&BLE::searchBLEDevice), "seconds"_a)
      .def("BLE_StartScan", unlocked(&BLE::BLE_StartScan))
      .def("BLE_StopScan", unlocked(&BLE::BLE_StopScan))
      .def("BLE_Connect", unlocked(&BLE::BLE_Connect), "peripheral"_a)
      .def("BLE_Disconnect", unlocked(&BLE::BLE_Disconnect))
      .def("openport_ble", unlocked(py::overload_cast<const BLEPeripheral&>(&BLE::openport_ble)),
           "peripheral"_a)
      .def("openport_ble",
           unlocked(py::overload_cast<const BLEPeripheral&, double>(&BLE::openport_ble)),
           "peripheral"_a, "delay"_a)
      .def("openport_status", unlocked(&BLE::openport_status))
      .def("closeport", unlocked(py::overload_cast<>(&BLE::closeport)))
      .def("closeport", unlocked(py::overload_cast<double>(&BLE::closeport)), "delay"_a)
      .def("BLE_WriteData", unlocked(&BLE::BLE_WriteData), "data"_a)
      .def("BLE_OutStream", unlocked(&BLE::BLE_OutStream), "data"_a)
      .def("set_write_chunk", unlocked(&BLE::set_write_chunk), "bytes"_a);
  bind_data_sender(cls, "sendCommandWithData",
                   static_cast<Result (BLE::*)(Data)>(&BLE::sendCommandWithData),
                   static_cast<Result (BLE::*)(Data, double)>(&BLE::sendCommandWithData));
}

void bind_plain_types(py::module_& m) {
  py::enum_<LogChannel>(m, "LogChannel", "Where a diagnostic line would go by default.")
      .value("console", LogChannel::console)
      .value("system", LogChannel::system);
  // Compared with stream_Status()'s plain int results as they are.
  py::enum_<StreamStatus>(m, "StreamStatus", py::arithmetic(),
                          "The link states stream_Status() reports when the link can be used.")
      .value("kStreamNotOpen", kStreamNotOpen)
      .value("kStreamOpening", kStreamOpening)
      .value("kStreamOpen", kStreamOpen)
      .value("kStreamReading", kStreamReading)
      .value("kStreamWriting", kStreamWriting)
      .value("kStreamAtEnd", kStreamAtEnd)
      .value("kStreamClosed", kStreamClosed)
      .value("kStreamError", kStreamError);

  py::class_<Image>(m, "Image",
                    "An RGBA raster, 4 bytes a pixel, rows from the top; one pixel is one dot.")
      .def(py::init(&make_image), "width"_a = 0, "height"_a = 0, "rgba"_a = py::none())
      .def_readwrite("width", &Image::width)
      .def_readwrite("height", &Image::height)
      .def_property(
          "rgba", [](const Image& image) { return to_bytes(image.rgba); },
          [](Image& image, ByteView data) {
            image.rgba.assign(data.span.begin(), data.span.end());
          })
      .def("empty", &Image::empty)
      .def("__repr__", [](const Image& image) {
        return py::str("Image(width={}, height={}, {} bytes)")
            .format(image.width, image.height, image.rgba.size());
      });

  py::class_<PrinterState> state(m, "PrinterState", "The conditions a status byte reports.");
  state.def(py::init<>())
      .def_readwrite("byte", &PrinterState::byte)
      .def("ready", &PrinterState::ready)
      .def("conditions", &PrinterState::conditions)
      .def("text", &PrinterState::text)
      .def(py::self == py::self)
      .def("__repr__",
           [](const PrinterState& s) { return py::str("PrinterState({!r})").format(s.text()); });
  for (const auto& [name, field] : {std::pair{"head_opened", &PrinterState::head_opened},
                                    {"paper_jam", &PrinterState::paper_jam},
                                    {"out_of_paper", &PrinterState::out_of_paper},
                                    {"out_of_ribbon", &PrinterState::out_of_ribbon},
                                    {"paused", &PrinterState::paused},
                                    {"printing", &PrinterState::printing},
                                    {"cover_opened", &PrinterState::cover_opened},
                                    {"other_error", &PrinterState::other_error}}) {
    state.def_readwrite(name, field);
  }
  m.def("decode_status", &decode_status, "byte"_a, "Decodes a status byte (0 to 255).");
  m.def(
      "same_uuid", [](Text a, Text b) { return same_uuid(a, b); }, "a"_a, "b"_a,
      "Whether two UUID texts name the same UUID, whatever their letter case.");
}

}  // namespace

void bind_printers(py::module_& m) {
  bind_plain_types(m);
  py::class_<P, Holder<P>> printer(m, "Printer",
                                   "The operations every printer class offers; made only "
                                   "through WiFi, Bluetooth or BLE.");
  bind_shared_operations(printer);
  bind_wifi(m);
  bind_bluetooth(m);
  bind_ble(m);
  m.def("set_log_sink", &set_sink, "sink"_a,
        "Sends the library's diagnostic lines to sink(channel, line), from whatever thread "
        "logs; None restores the default (standard output and syslog).");
}

void restore_log_sink() {
  {
    py::gil_scoped_release release;
    quillkit::set_log_sink(nullptr);
  }
  current_sink().reset();
}

}  // namespace quillkit::python
