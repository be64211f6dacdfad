#include "printer-app/driver.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "printer-app/jobs.hpp"
#include "printer-app/label.hpp"
#include "printer-app/status.hpp"

namespace quill_printer {
namespace {

// The stocks offered by name, then the range of custom sizes.
constexpr auto kMedia = std::to_array<const char*>({
    "om_30x20-label_30x20mm",
    "om_40x30-label_40x30mm",
    "om_50x25-label_50x25mm",
    "om_50x30-label_50x30mm",
    "om_58x40-label_58x40mm",
    "om_60x40-label_60x40mm",
    "om_70x50-label_70x50mm",
    "om_100x50-label_100x50mm",
    "om_100x100-label_100x100mm",
    "om_100x150-label_100x150mm",
    "na_index-4x6_4x6in",
    "roll_max_108x400mm",
    "roll_min_15x10mm",
});
constexpr const char* kDefaultMedia = "na_index-4x6_4x6in";

std::array<pappl_pr_driver_t, 2> driver_table = {{
    {"quill_203dpi", "quillkit label printer, 203 dpi", "MFG:quillkit;CMD:quillkit-label;",
     nullptr},
    {"quill_300dpi", "quillkit label printer, 300 dpi", "MFG:quillkit;CMD:quillkit-label;",
     nullptr},
}};

void delete_printer(pappl_printer_t* printer, pappl_pr_driver_data_t*) { forget_status(printer); }

// Sounds the printer's buzzer, when no job holds the link.
void identify(pappl_printer_t* printer, pappl_identify_actions_t, const char*) {
  pappl_device_t* device = papplPrinterOpenDevice(printer);
  if (device == nullptr) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_WARN, "Cannot identify the printer: its link is busy.");
    return;
  }
  papplDevicePuts(device, "SOUND 5,100\r\n");
  papplPrinterCloseDevice(printer);
}

// Writes a test label in the printer's own commands: its name, resolution and stock as text,
// a Code 128 and a frame, on the loaded stock.
const char* test_page(pappl_printer_t* printer, char* buffer, std::size_t size) try {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  const LabelSettings s =
      label_settings(data.media_ready[0], data.x_default, data.darkness_configured,
                     data.speed_default, printer_gap_mm(printer));
  // A frame 1.5 mm in, text 3 mm in, the barcode with a quiet zone of 10 of its modules.
  const int w = s.width_dots(), h = s.length_dots(), m = s.dpi / 8, f = m / 2;
  const auto at = [](int x, int y) { return std::to_string(x) + "," + std::to_string(y); };
  std::string name = papplPrinterGetName(printer);
  std::replace(name.begin(), name.end(), '"', '\'');  // the text is a quoted field
  const std::string text =
      label_setup(s) + "BOX " + at(f, f) + "," + at(w - f, h - f) + ",3\r\n" + "TEXT " + at(m, m) +
      ",\"2\",0,1,1,\"Test label\"\r\n" + "TEXT " + at(m, m + 30) + ",\"1\",0,1,1,\"" + name + " " +
      std::to_string(s.dpi) + " dpi " + data.media_ready[0].size_name + "\"\r\n" + "BARCODE " +
      at(m + 20, m + 60) + ",\"128\"," + std::to_string(std::clamp(h - 2 * m - 100, 16, 100)) +
      ",1,0,2,2,\"QUILL\"\r\nPRINT 1,1\r\n";
  const int fd = papplPrinterOpenFile(printer, buffer, size, nullptr, "testpage", "prn", "w");
  if (fd < 0) return nullptr;
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return written ? buffer : nullptr;
} catch (const std::exception&) {
  return nullptr;
}

pappl_media_col_t media_col(const char* name, const char* source) {
  pappl_media_col_t col{};
  if (const pwg_media_t* pwg = pwgMediaForPWG(name)) {
    col.size_width = pwg->width;
    col.size_length = pwg->length;
  }
  std::snprintf(col.size_name, sizeof col.size_name, "%s", name);
  std::snprintf(col.source, sizeof col.source, "%s", source);
  std::snprintf(col.type, sizeof col.type, "%s", "labels");
  col.tracking = PAPPL_MEDIA_TRACKING_GAP;
  return col;
}

}  // namespace

std::span<pappl_pr_driver_t> drivers() { return driver_table; }

bool driver_callback(pappl_system_t*, const char* driver_name, const char*, const char*,
                     pappl_pr_driver_data_t* data, ipp_t** attrs, void*) {
  const auto driver = std::find_if(driver_table.begin(), driver_table.end(), [&](const auto& d) {
    return std::strcmp(d.name, driver_name) == 0;
  });
  if (driver == driver_table.end()) return false;
  const int dpi = driver == driver_table.begin() ? 203 : 300;

  set_job_callbacks(*data);
  data->delete_cb = delete_printer;
  data->identify_cb = identify;
  data->status_cb = update_status;
  data->testpage_cb = test_page;
  std::snprintf(data->make_and_model, sizeof data->make_and_model, "%s", driver->description);
  data->ppm = 20;
  data->kind = PAPPL_KIND_LABEL | PAPPL_KIND_ROLL;
  data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME;
  data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
  data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  data->orient_default = IPP_ORIENT_PORTRAIT;
  data->content_default = PAPPL_CONTENT_AUTO;
  data->quality_default = IPP_QUALITY_NORMAL;
  data->scaling_default = PAPPL_SCALING_AUTO;
  data->sides_supported = PAPPL_SIDES_ONE_SIDED;
  data->sides_default = PAPPL_SIDES_ONE_SIDED;
  data->num_resolution = 1;
  data->x_resolution[0] = data->y_resolution[0] = dpi;
  data->x_default = data->y_default = dpi;
  // The label is the page: the whole of it is printable.
  data->borderless = true;
  data->left_right = data->bottom_top = 0;

  data->num_media = static_cast<int>(kMedia.size());
  std::copy(kMedia.begin(), kMedia.end(), data->media);
  data->num_source = 1;
  data->source[0] = "main-roll";
  data->media_default = media_col(kDefaultMedia, "main-roll");
  data->media_ready[0] = data->media_default;
  data->num_type = 2;
  data->type[0] = "labels";
  data->type[1] = "continuous";
  data->tracking_supported =
      PAPPL_MEDIA_TRACKING_GAP | PAPPL_MEDIA_TRACKING_MARK | PAPPL_MEDIA_TRACKING_CONTINUOUS;

  data->speed_supported[0] = 2540;
  data->speed_supported[1] = 12 * 2540;
  data->speed_default = 4 * 2540;
  data->darkness_supported = 16;
  data->darkness_configured = 50;
  data->darkness_default = 0;
  data->identify_supported = PAPPL_IDENTIFY_ACTIONS_SOUND;
  data->identify_default = PAPPL_IDENTIFY_ACTIONS_SOUND;
  data->has_supplies = true;

  data->num_vendor = 1;
  data->vendor[0] = kGapAttribute;
  *attrs = ippNew();
  ippAddRange(*attrs, IPP_TAG_PRINTER, kGapSupportedAttribute, 0, kMaxGapMm);
  ippAddInteger(*attrs, IPP_TAG_PRINTER, IPP_TAG_INTEGER, kGapDefaultAttribute, kDefaultGapMm);
  // Description attributes PAPPL 1.3 leaves out, with what holds for these printers: no
  // colour management, one-sided pages, no preferred-attributes answer.
  ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default", nullptr,
               "auto");
  ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported",
               nullptr, "auto");
  ippAddString(*attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "pwg-raster-document-sheet-back", nullptr,
               "normal");
  ippAddBoolean(*attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
  return true;
}

const char* auto_add_callback(const char*, const char*, const char* device_id, void*) {
  const std::string_view id = device_id ? device_id : "";
  // A device ID that names another command set is another kind of printer.
  if (id.find("CMD:") != std::string_view::npos &&
      id.find("CMD:quillkit-label") == std::string_view::npos) {
    return nullptr;
  }
  const auto model = id.find("MDL:");
  const bool dpi300 =
      model != std::string_view::npos &&
      id.substr(model, id.find(';', model) - model).find("300") != std::string_view::npos;
  return driver_table[dpi300 ? 1 : 0].name;
}

}  // namespace quill_printer
