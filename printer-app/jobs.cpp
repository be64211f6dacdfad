#include "printer-app/jobs.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

namespace quill_printer {
namespace {

constexpr int kDefaultSpeed = 4;  // inches per second
constexpr int kMaxSpeed = 12;
// The most pages of one document a job prints (before copies).
constexpr unsigned kMaxDocumentPages = 10000;

// The commands a command file may begin with, sorted for the binary search.
constexpr auto kLeadingCommands = std::to_array<std::string_view>({
    "AZTEC",          "BACKFEED", "BAR",       "BARCODE",  "BITMAP",
    "BLINE",          "BLOCK",    "BOX",       "CIRCLE",   "CLS",
    "CODEPAGE",       "COUNTRY",  "CUT",       "DELAY",    "DENSITY",
    "DIRECTION",      "DMATRIX",  "DOWNLOAD",  "ELLIPSE",  "EOJ",
    "ERASE",          "FEED",     "FORMFEED",  "GAP",      "HOME",
    "INITIALPRINTER", "KILL",     "LIMITFEED", "MAXICODE", "OFFSET",
    "PDF417",         "PRINT",    "PUTBMP",    "PUTPCX",   "QRCODE",
    "REFERENCE",      "REVERSE",  "RSS",       "SELFTEST", "SET",
    "SHIFT",          "SIZE",     "SOUND",     "SPEED",    "TEXT",
});
static_assert(std::is_sorted(kLeadingCommands.begin(), kLeadingCommands.end()));

// Says why a job fails, in its state message and the log.
bool fail_job(pappl_job_t* job, const std::string& why) {
  papplJobSetMessage(job, "%s", why.c_str());
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
  return false;
}

// The settings for one job: its media, resolution, darkness and speed, and the gap the job
// asks for or else the printer's.
LabelSettings job_settings(pappl_job_t* job, const pappl_pr_options_t& options) {
  const char* gap = cupsGetOption(kGapAttribute, options.num_vendor, options.vendor);
  return label_settings(options.media, options.printer_resolution[0],
                        options.darkness_configured + options.print_darkness, options.print_speed,
                        gap ? std::atoi(gap) : printer_gap_mm(papplJobGetPrinter(job)));
}

// A job whose media has no size cannot be fitted; false with the reason.
bool has_label_size(pappl_job_t* job, const LabelSettings& settings) {
  return (settings.width_dots() >= 1 && settings.length_dots() >= 1) ||
         fail_job(job, "the job has no label size");
}

// Sends `raster` as one label; false (with the reason) when the link fails.
bool send_page(pappl_job_t* job, pappl_device_t* device, const LabelSettings& settings,
               const quillkit::MonoImage& raster) {
  const std::string bytes = label_commands(settings, raster);
  if (papplDeviceWrite(device, bytes.data(), bytes.size()) < 0) {
    return fail_job(job, "the printer's link failed while printing");
  }
  papplDeviceFlush(device);
  return true;
}

// Raster jobs (PWG and Apple raster): PAPPL hands the lines of each page; they are gathered and
// the page is printed when it ends.
struct RasterJob {
  LabelSettings settings;
  RasterPage page;
};

RasterJob* raster_job(pappl_job_t* job) { return static_cast<RasterJob*>(papplJobGetData(job)); }

bool start_raster_job(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) {
  try {
    papplJobSetData(job, new RasterJob);
    return true;
  } catch (const std::exception&) {
    return fail_job(job, "out of memory");
  }
}

bool start_raster_page(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned) {
  RasterJob* r = raster_job(job);
  if (r == nullptr) return false;
  try {
    std::string why;
    r->settings = job_settings(job, *options);
    if (!has_label_size(job, r->settings)) return false;
    return r->page.start(options->header, picture_options(r->settings), why) ||
           fail_job(job, why);
  } catch (const std::exception&) {
    return fail_job(job, "out of memory");
  }
}

bool write_raster_line(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned y,
                       const unsigned char* line) {
  if (RasterJob* r = raster_job(job)) r->page.write_line(y, line);
  return true;
}

bool end_raster_page(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device, unsigned) {
  RasterJob* r = raster_job(job);
  if (r == nullptr) return false;
  try {
    std::string why;
    const quillkit::MonoImage raster = r->page.finish(why);
    return raster.empty() ? fail_job(job, why) : send_page(job, device, r->settings, raster);
  } catch (const std::exception&) {
    return fail_job(job, "out of memory");
  }
}

bool end_raster_job(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) {
  delete raster_job(job);
  papplJobSetData(job, nullptr);
  return true;
}

// PNG, JPEG and PDF: every selected page of every copy, each as one label. Pages are loaded and
// converted one at a time, so a long document never lies in memory whole.
bool print_document(pappl_job_t* job, pappl_device_t* device, void*) {
  pappl_pr_options_t* options = nullptr;
  try {
    // The document's own page count is known once its first page is read; the ranges asked
    // for are cut to it then.
    options = papplJobCreatePrintOptions(job, kMaxDocumentPages, false);
    if (options == nullptr) return fail_job(job, "out of memory");
    const LabelSettings settings = job_settings(job, *options);
    const quillkit::PictureOptions picture = picture_options(settings);
    const std::size_t first = std::max(1u, options->first_page);
    std::size_t last = std::min(options->last_page, kMaxDocumentPages);
    const int copies = std::max(1, options->copies);
    papplJobDeletePrintOptions(options);
    options = nullptr;
    if (!has_label_size(job, settings)) return false;
    bool ok = true;
    for (int copy = 0; ok && copy < copies; ++copy) {
      for (std::size_t index = first; ok && index <= last && !papplJobIsCanceled(job); ++index) {
        quillkit::LoadOptions load;
        load.dpi = settings.dpi;
        load.first_page = load.last_page = index;
        const quillkit::MonoPages pages =
            quillkit::convert_picture_file(papplJobGetFilename(job), picture, load);
        if (!pages.ok()) {
          if (copy == 0 && index == first) {
            papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
          }
          return fail_job(job, "page " + std::to_string(index) + ": " + pages.error);
        }
        if (copy == 0 && index == first) {
          last = std::min(last, pages.document_pages);
          papplJobSetImpressions(job, static_cast<int>(last - first + 1) * copies);
        }
        ok = send_page(job, device, settings, pages.pages.front());
        if (ok) papplJobSetImpressionsCompleted(job, 1);
      }
    }
    return ok;
  } catch (const std::exception&) {
    papplJobDeletePrintOptions(options);
    return fail_job(job, "out of memory");
  }
}

// A command file goes to the printer unchanged.
bool print_raw(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* device) {
  const int fd = open(papplJobGetFilename(job), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail_job(job, "cannot read the job's file");
  papplJobSetImpressions(job, 1);
  bool ok = true;
  char buffer[65536];
  for (ssize_t n; ok && (n = read(fd, buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      ok = errno == EINTR || fail_job(job, "cannot read the job's file");
    } else if (papplDeviceWrite(device, buffer, static_cast<std::size_t>(n)) < 0) {
      ok = fail_job(job, "the printer's link failed while printing");
    }
  }
  close(fd);
  papplDeviceFlush(device);
  return ok;
}

const char* detect_format(const unsigned char* header, std::size_t size, void*) {
  const std::string_view head(reinterpret_cast<const char*>(header), size);
  return looks_like_commands(head) ? kCommandFormat : nullptr;
}

}  // namespace

bool RasterPage::start(const cups_page_header2_t& header,
                       const quillkit::PictureOptions& options, std::string& why) {
  const bool grey = header.cupsBitsPerPixel == 8 && (header.cupsColorSpace == CUPS_CSPACE_SW ||
                                                     header.cupsColorSpace == CUPS_CSPACE_W ||
                                                     header.cupsColorSpace == CUPS_CSPACE_K);
  const bool rgb = header.cupsBitsPerPixel == 24 && (header.cupsColorSpace == CUPS_CSPACE_SRGB ||
                                                     header.cupsColorSpace == CUPS_CSPACE_RGB ||
                                                     header.cupsColorSpace == CUPS_CSPACE_ADOBERGB);
  if (!grey && !rgb) {
    why = "unsupported raster data: " + std::to_string(header.cupsBitsPerPixel) +
          "-bit colour space " + std::to_string(header.cupsColorSpace);
    return false;
  }
  converter_.emplace(header.cupsWidth, header.cupsHeight, options);
  if (!converter_->error().empty()) {
    why = "the raster page cannot be converted: " + converter_->error();
    converter_.reset();
    return false;
  }
  grey_.assign(header.cupsWidth, 0xFF);
  next_ = 0;
  height_ = header.cupsHeight;
  rgb_ = rgb;
  inverted_ = header.cupsColorSpace == CUPS_CSPACE_K;
  return true;
}

bool RasterPage::add_white_rows(unsigned until) {
  std::fill(grey_.begin(), grey_.end(), 0xFF);
  for (; next_ < until; ++next_) {
    if (!converter_->add_row(grey_)) return false;
  }
  return true;
}

void RasterPage::write_line(unsigned y, const unsigned char* line) {
  if (!converter_ || line == nullptr || y < next_ || y >= height_) return;
  if (!add_white_rows(y)) return;
  std::uint8_t* out = grey_.data();
  const std::size_t width = grey_.size();
  if (rgb_) {
    for (std::size_t x = 0; x < width; ++x, line += 3) {
      out[x] = static_cast<std::uint8_t>((line[0] * 77 + line[1] * 150 + line[2] * 29) >> 8);
    }
  } else if (inverted_) {
    for (std::size_t x = 0; x < width; ++x) out[x] = static_cast<std::uint8_t>(255 - line[x]);
  } else {
    std::copy(line, line + width, out);
  }
  converter_->add_row(grey_);
  ++next_;
}

quillkit::MonoImage RasterPage::finish(std::string& why) {
  if (!converter_) {
    why = "the raster page was not started";
    return {};
  }
  add_white_rows(height_);
  quillkit::MonoImage raster = converter_->finish();
  if (raster.empty()) why = "the raster page cannot be converted: " + converter_->error();
  converter_.reset();
  return raster;
}

bool looks_like_commands(std::string_view head) {
  const auto start = head.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return false;
  head.remove_prefix(start);
  // ESC ! (immediate commands) and ~! (queries).
  if (head.starts_with("\x1B!") || head.starts_with("~!")) return true;
  const auto end = head.find_first_of(" \t\r\n");
  if (end == std::string_view::npos) return false;  // no whole word in the header
  return std::binary_search(kLeadingCommands.begin(), kLeadingCommands.end(), head.substr(0, end));
}

LabelSettings label_settings(const pappl_media_col_t& media, int dpi, int darkness, int speed,
                             int gap_mm) {
  LabelSettings s;
  // Within the custom sizes offered (roll_max_108x400mm), whatever a client sends.
  s.width_hmm = std::clamp(media.size_width, 0, 10800);
  s.length_hmm = std::clamp(media.size_length, 0, 40000);
  s.dpi = std::clamp(dpi, 100, 600);
  s.sensing = media.tracking == PAPPL_MEDIA_TRACKING_MARK         ? Sensing::kMark
              : media.tracking == PAPPL_MEDIA_TRACKING_CONTINUOUS ? Sensing::kContinuous
                                                                  : Sensing::kGap;
  s.sensing_mm = std::clamp(gap_mm, 0, kMaxGapMm);
  s.density = (std::clamp(darkness, 0, 100) * 15 + 50) / 100;
  s.speed = speed > 0 ? std::clamp((speed + 1270) / 2540, 1, kMaxSpeed) : kDefaultSpeed;
  return s;
}

int printer_gap_mm(pappl_printer_t* printer) {
  int gap = kDefaultGapMm;
  if (ipp_t* attrs = papplPrinterGetDriverAttributes(printer)) {
    if (ipp_attribute_t* attr = ippFindAttribute(attrs, kGapDefaultAttribute, IPP_TAG_INTEGER)) {
      gap = ippGetInteger(attr, 0);
    }
    ippDelete(attrs);
  }
  return gap;
}

void set_job_callbacks(pappl_pr_driver_data_t& data) {
  data.format = kCommandFormat;
  data.printfile_cb = print_raw;
  data.rstartjob_cb = start_raster_job;
  data.rstartpage_cb = start_raster_page;
  data.rwriteline_cb = write_raster_line;
  data.rendpage_cb = end_raster_page;
  data.rendjob_cb = end_raster_job;
}

void add_document_filters(pappl_system_t* system) {
  papplSystemSetMIMECallback(system, detect_format, nullptr);
  // A filter to the printer's own format is chosen before PAPPL's own image filters, whose
  // 1.3 versions cannot read 1-, 2- and 4-bit grey PNG files.
  for (const char* type : {"image/png", "image/jpeg", "application/pdf"}) {
    papplSystemAddMIMEFilter(system, type, kCommandFormat, print_document, nullptr);
  }
}

}  // namespace quill_printer
