// `quill demo`: the library end to end against a virtual printer started in this process.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "cli/common.hpp"
#include "quillkit/quillkit.hpp"
#include "quillkit/virtual_printer.hpp"

namespace quill {
namespace {

constexpr auto kLabelWait = std::chrono::seconds(10);

struct DemoOptions {
  std::filesystem::path png = "quill-demo.png";
  int dpi = 203;
};

// Positions are laid out for 203 dpi and scaled to the printer's resolution.
struct Layout {
  double scale;
  std::string at(int dots) const { return std::to_string(dots_at(dots)); }
  int dots_at(int dots) const { return static_cast<int>(std::lround(dots * scale)); }
};

// The sample label: a 60 x 40 mm label with a gap of 2 mm, a title in a resident font, a
// Code 128 barcode, host-font text (one line turned by 90 degrees) and Chinese text, both in a
// resident font (GB 18030 bytes) and drawn with a CJK host font.
void compose(quillkit::Printer& p, const Layout& l) {
  p.setup("60", "40", "4", "8", "0", "2", "0");
  p.clearBuffer();
  p.printerfont(l.at(16), l.at(12), "4", "0", "1", "1", "QUILLKIT DEMO");
  p.barcode(l.at(16), l.at(56), "128", l.at(72), "1", "0", l.at(2), l.at(2), "QUILLKIT-0001");
  p.windowsfont(l.dots_at(16), l.dots_at(174), l.dots_at(24), 0, 2, 0, "DejaVu Sans",
                "Host font: DejaVu Sans Bold");
  p.printerfont_GB2312(l.at(16), l.at(214), "TSS24.BF2", "0", "1", "1",
                       "打印机字体：中文 GB 18030");
  p.windowsfont(l.dots_at(16), l.dots_at(254), l.dots_at(36), 0, 0, 0, "WenQuanYi Micro Hei",
                "你好，标签打印机");
  p.windowsfont(l.dots_at(446), l.dots_at(16), l.dots_at(24), 90, 0, 0, "DejaVu Sans",
                "turned 90 degrees");
  p.printlabel(1, 1);
}

std::string printable(const std::string& answer) {
  std::string out;
  for (char c : answer) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out.empty() ? "(no answer)" : out;
}

int run_demo(const DemoOptions& options) {
  quillkit::VirtualPrinterConfig config;
  config.dpi = options.dpi;
  config.on_log = [](std::string_view line) {
    diagnostic("virtual printer: " + std::string(line));
  };
  quillkit::VirtualPrinter virtual_printer(config);
  quillkit::VirtualLabel label;
  std::string model, serial;
  quillkit::Result status = -1;
  const int code = with_library_printer(virtual_printer, [&](quillkit::Printer& printer) {
    compose(printer, Layout{options.dpi / 203.0});
    if (!virtual_printer.wait_for_labels(1, kLabelWait)) {
      return fail("the virtual printer printed no label (run with --verbose to see its log)");
    }
    label = virtual_printer.labels().back();
    model = printer.printer_modelname();
    serial = printer.printer_serialnumber();
    status = printer.printer_status_byte();
    return kExitOk;
  });
  if (code != kExitOk) return code;

  std::error_code ec;
  const std::filesystem::path png = std::filesystem::absolute(options.png, ec);
  if (png.has_parent_path()) std::filesystem::create_directories(png.parent_path(), ec);
  if (!quillkit::save_label_png(label, png)) return fail("cannot write " + png.string());

  std::printf("label: %s (%d x %d dots, 60 x 40 mm at %d dpi)\n", png.string().c_str(), label.width,
              label.height, options.dpi);
  std::printf("model name: %s\n", printable(model).c_str());
  std::printf("serial number: %s\n", printable(serial).c_str());
  if (status >= 0 && status <= 255) {
    std::printf("status: %s (status byte 0x%02x)\n",
                quillkit::decode_status(static_cast<std::uint8_t>(status)).text().c_str(),
                static_cast<unsigned>(status));
  } else {
    std::printf("status: (no answer)\n");
  }
  if (model == "-1" || serial == "-1" || status < 0) {
    return fail("the virtual printer did not answer every query");
  }
  return kExitOk;
}

}  // namespace

int with_library_printer(quillkit::VirtualPrinter& virtual_printer,
                         const std::function<int(quillkit::Printer&)>& work) {
  quillkit::VirtualPrinterServer server(virtual_printer);
  if (!server.start()) return fail("cannot start the virtual printer: " + server.error());
  diagnostic("virtual printer listening on 127.0.0.1:" + std::to_string(server.port()));
  const auto owned = make_printer<quillkit::WiFi>();
  quillkit::WiFi& printer = *owned;
  if (printer.openport("127.0.0.1", server.port()) != 1) {
    return fail("cannot connect to the virtual printer on 127.0.0.1:" +
                std::to_string(server.port()));
  }
  const int code = work(printer);
  printer.closeport(0);
  return code;
}

void setup_demo(CommandLine& line) {
  auto [command, options] = add_subcommand(
      line, "demo", "Print a sample label on a virtual printer started here, save it as PNG",
      run_demo);
  command->add_option("--png", options->png, "Where to write the label image")
      ->capture_default_str();
  command->add_option("--dpi", options->dpi, "Resolution of the virtual printer")
      ->check(CLI::IsMember({203, 300}))
      ->capture_default_str();
}

}  // namespace quill
