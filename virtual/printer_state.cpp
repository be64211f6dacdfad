#include "virtual/printer_state.hpp"

#include <fnmatch.h>

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "virtual/png_io.hpp"

namespace quillkit::vp {
namespace {

constexpr std::size_t kMaxVariables = 64;
constexpr std::size_t kMaxVariableBytes = 256;

// The counter's next value: decimal values keep their width (zero-padded); others stay.
bool step_value(std::string& value, long long step) {
  if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != value.npos) {
    return false;
  }
  std::string text = std::to_string(std::max(0LL, std::stoll(value) + step));
  value = std::string(value.size() - std::min(value.size(), text.size()), '0') + text;
  return true;
}

// A file name for the files folder: bytes other than letters, digits, '-', '_' and '.' (and a
// leading '.') become %XX.
std::string safe_file_name(std::string_view name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    auto b = static_cast<unsigned char>(name[i]);
    bool plain = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                 b == '-' || b == '_' || (b == '.' && i > 0);
    if (plain) {
      out.push_back(static_cast<char>(b));
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", b);
      out += hex;
    }
  }
  return out;
}

}  // namespace

void Log::add(std::string line, std::vector<std::string>& queue) {
  if (line.size() > VirtualLimits::kMaxLogLineChars + 3) {
    line.resize(VirtualLimits::kMaxLogLineChars);
    line += "...";
  }
  lines_.push_back(line);
  while (lines_.size() > VirtualLimits::kMaxLogLines) lines_.pop_front();
  if (forward_) queue.push_back(std::move(line));
}

const char* Variables::assign(const std::string& name, std::string value) {
  if (!values_.contains(name) && values_.size() >= kMaxVariables) return "too many variables";
  if (value.size() > kMaxVariableBytes) return "value too long";
  values_[name] = std::move(value);
  return nullptr;
}

const char* Variables::set_counter(const std::string& name, long long step) {
  if (!steps_.contains(name) && steps_.size() >= kMaxVariables) return "too many counters";
  steps_[name] = step;
  values_.try_emplace(name, "0");
  return nullptr;
}

std::vector<std::string> Variables::step() {
  std::vector<std::string> not_numbers;
  for (const auto& [name, step] : steps_) {
    if (!step_value(values_[name], step)) not_numbers.push_back(name);
  }
  return not_numbers;
}

void Page::clear() {
  canvas_.clear();
  ops_.clear();
  bytes_ = 0;
  overflow_ = uses_variables_ = stale_ = false;
}

void Page::record(std::string_view line, const BitmapHeader& bitmap,
                  std::span<const std::uint8_t> raster) {
  if (overflow_) return;
  bytes_ += line.size() + raster.size();
  if (bytes_ > VirtualLimits::kMaxPageBytes) {
    overflow_ = true;
    ops_.clear();
  } else {
    ops_.push_back({std::string(line), bitmap, Bytes(raster.begin(), raster.end())});
  }
}

void Page::redraw(const std::function<void(const PageOp&)>& draw) {
  canvas_.clear();
  for (const PageOp& op : ops_) draw(op);
  stale_ = false;
}

bool FileStore::store(std::string name, Bytes data, Pending& pending) {
  auto existing = std::ranges::find(files_, name, &VirtualFile::name);
  std::size_t old_size = existing != files_.end() ? existing->data.size() : 0;
  if (existing == files_.end() && files_.size() >= VirtualLimits::kMaxFiles) {
    pending.log("file memory holds " + std::to_string(VirtualLimits::kMaxFiles) +
                " files; not stored: " + printable(name));
    return false;
  }
  if (data.size() > free_bytes() + old_size) {
    pending.log("file memory full; not stored: " + printable(name));
    return false;
  }
  if (!folder_.empty()) {
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (!write_bytes(folder_ / safe_file_name(name), data)) {
      pending.log("cannot write file to the folder: " + printable(name));
    }
  }
  fonts_.forget(name);
  bytes_ = bytes_ - old_size + data.size();
  if (existing != files_.end()) {
    existing->data = std::move(data);
  } else {
    files_.push_back({std::move(name), std::move(data)});
  }
  return true;
}

std::size_t FileStore::remove_matching(const std::string& pattern) {
  return std::erase_if(files_, [&](const VirtualFile& file) {
    if (::fnmatch(pattern.c_str(), file.name.c_str(), FNM_NOESCAPE) != 0) return false;
    bytes_ -= file.data.size();
    std::error_code error;
    if (!folder_.empty()) std::filesystem::remove(folder_ / safe_file_name(file.name), error);
    fonts_.forget(file.name);
    return true;
  });
}

void LabelOutput::print(std::shared_ptr<const Mono> image, std::uint64_t copies, Pending& pending) {
  Bytes png;
  bool write_files = !config_.output_dir.empty();
  if (write_files) {
    std::error_code error;
    std::filesystem::create_directories(config_.output_dir, error);
    if (!encode_png(image->width, image->height, image->dots, png)) {
      pending.log("PNG encoding failed; label not written");
      write_files = false;
    }
  }
  for (std::uint64_t copy = 0; copy < copies; ++copy) {
    KeptLabel label{image, ++count_, {}};
    if (write_files) label.png_path = write_file(png, label.number, pending);
    keep(label);
    if (config_.on_label) pending.labels.push_back(label);
  }
}

std::vector<VirtualLabel> LabelOutput::kept() const {
  std::vector<VirtualLabel> out;
  for (const KeptLabel& kept : kept_) out.push_back(kept.materialize());
  return out;
}

std::filesystem::path LabelOutput::write_file(const Bytes& png, std::uint64_t number,
                                              Pending& pending) {
  if (files_ >= config_.output_max_labels || file_bytes_ + png.size() > config_.output_max_bytes) {
    if (!cap_logged_) {
      cap_logged_ = true;
      pending.log("output folder cap reached (" + std::to_string(config_.output_max_labels) +
                  " labels or " + std::to_string(config_.output_max_bytes) + " bytes): label " +
                  std::to_string(number) + " and later ones are not written");
    }
    return {};
  }
  char name[48];
  std::snprintf(name, sizeof name, "label-%04llu.png", static_cast<unsigned long long>(number));
  std::filesystem::path path = config_.output_dir / name;
  if (!write_bytes(path, png)) {
    pending.log("cannot write " + path.string());
    return {};
  }
  ++files_;
  file_bytes_ += png.size();
  return path;
}

void LabelOutput::keep(const KeptLabel& label) {
  if (config_.labels_kept == 0) return;
  kept_.push_back(label);
  kept_dots_ += label.image->dots.size();
  while (kept_.size() > 1 &&
         (kept_.size() > config_.labels_kept || kept_dots_ > VirtualLimits::kMaxKeptLabelDots)) {
    kept_dots_ -= kept_.front().image->dots.size();
    kept_.pop_front();
  }
}

}  // namespace quillkit::vp
