// Host-font text: drawing a line, and the work of windowsfont before its pause
// (face look-up, drawing, padding, packing, the command bytes) timed against
// the same line through Pillow, with the machine's fonts and with several
// hundred more faces installed.
//
// BM_WindowsfontVsPillow/N: N 0 is this machine's font configuration; N 130
// and 1000 load a configuration file (as FONTCONFIG_FILE would name it) that
// includes the system's and adds a folder of copies (symbolic links) of the
// installed font files, so that fontconfig lists about N faces. Counters:
// faces (as fontconfig lists them), pillow_us (processor time of one line
// through Pillow, bench/pillow_line.py, measured in the same run), x_pillow
// (our processor time over Pillow's), x_growth (our time over our time with
// about 130 faces), first_ms (the first call on a new host: listing the
// faces and opening one).
#include <benchmark/benchmark.h>
#include <fontconfig/fontconfig.h>
#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quillkit/bitmap/bitmap_command.hpp"
#include "quillkit/bitmap/text_drawing.hpp"
#include "quillkit/platform/font_host.hpp"

#ifndef QUILLKIT_BENCH_SOURCE_DIR
#define QUILLKIT_BENCH_SOURCE_DIR "bench"
#endif

namespace {

namespace fs = std::filesystem;
using quillkit::platform::FontHost;

// One line of 30 characters at 48 points.
constexpr std::string_view kLine = "Lot 4711 / Best before 12-2027";
static_assert(kLine.size() == 30);
constexpr int kPoints = 48;
constexpr const char* kFamily = "DejaVu Sans";
constexpr const char* kFace = "DejaVuSans";
// Growth with the number of faces is measured from about this many faces.
constexpr int kGrowthBase = 130;

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The system configuration's scalable font files, with the number of faces
// fontconfig lists for each.
std::map<std::string, int> installed_font_files() {
  std::map<std::string, int> files;
  FcConfig* config = FcInitLoadConfigAndFonts();
  FcPattern* pattern = FcPatternCreate();
  // With the index, each face of a collection file is listed once.
  FcObjectSet* objects = FcObjectSetBuild(FC_FILE, FC_INDEX, nullptr);
  if (FcFontSet* set = FcFontList(config, pattern, objects)) {
    for (int i = 0; i < set->nfont; ++i) {
      FcChar8* file = nullptr;
      if (FcPatternGetString(set->fonts[i], FC_FILE, 0, &file) == FcResultMatch) {
        ++files[reinterpret_cast<const char*>(file)];
      }
    }
    FcFontSetDestroy(set);
  }
  FcObjectSetDestroy(objects);
  FcPatternDestroy(pattern);
  FcConfigDestroy(config);
  return files;
}

// A font configuration with about `faces` faces and a host over it.
struct Configuration {
  int faces = 0;
  std::unique_ptr<FontHost> own_host;  // null: the default host
  FontHost& host() { return own_host ? *own_host : quillkit::platform::default_font_host(); }
};

// The temporary folder of the extra faces and their configurations; removed at
// exit.
class Scratch {
 public:
  Scratch() {
    std::string pattern = (fs::temp_directory_path() / "quillkit-font-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) root_ = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
  }

  Configuration& configuration(int target_faces) {
    auto [it, added] = configurations_.try_emplace(target_faces);
    if (added) build(target_faces, it->second);
    return it->second;
  }

 private:
  void build(int target_faces, Configuration& configuration) {
    const std::map<std::string, int> files = installed_font_files();
    int faces = 0;
    for (const auto& [file, count] : files) faces += count;
    if (target_faces == 0 || root_.empty() || files.empty()) {
      configuration.faces = faces;
      return;
    }
    // Links in folders of 100, as a large font collection is spread out.
    const fs::path folder = root_ / ("faces-" + std::to_string(target_faces));
    for (int n = 0, before = -1; faces < target_faces && faces != before;) {
      before = faces;
      for (auto it = files.begin(); it != files.end() && faces < target_faces; ++it, ++n) {
        const fs::path link = folder / std::to_string(n / 100) /
                              (std::to_string(n) + "-" + fs::path(it->first).filename().string());
        std::error_code error;
        fs::create_directories(link.parent_path(), error);
        fs::create_symlink(it->first, link, error);
        if (!error) faces += it->second;
      }
    }
    // Our cache folder first, so that fontconfig writes the new folder's cache
    // there and not into the system's.
    const fs::path conf = root_ / ("faces-" + std::to_string(target_faces) + ".conf");
    std::ofstream(conf) << "<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n"
                        << "<fontconfig>\n  <cachedir>" << (root_ / "cache").string()
                        << "</cachedir>\n  <include ignore_missing=\"yes\">/etc/fonts/fonts.conf"
                        << "</include>\n  <dir>" << folder.string() << "</dir>\n</fontconfig>\n";
    // Scans the new faces once, writing their cache, outside any timing.
    FcConfig* config = FcConfigCreate();
    FcConfigParseAndLoad(config, reinterpret_cast<const FcChar8*>(conf.c_str()), FcFalse);
    FcConfigBuildFonts(config);
    FcConfigDestroy(config);
    configuration.faces = faces;
    configuration.own_host = quillkit::platform::new_font_host_for_config_file(conf.string());
  }

  fs::path root_;
  std::map<int, Configuration> configurations_;
};

Scratch& scratch() {
  static Scratch instance;
  return instance;
}

// The file of the face the benchmark draws with.
std::string face_file() {
  std::string path;
  FcConfig* config = FcInitLoadConfigAndFonts();
  FcPattern* pattern = FcPatternCreate();
  FcPatternAddString(pattern, FC_POSTSCRIPT_NAME, reinterpret_cast<const FcChar8*>(kFace));
  FcObjectSet* objects = FcObjectSetBuild(FC_FILE, nullptr);
  if (FcFontSet* set = FcFontList(config, pattern, objects)) {
    FcChar8* file = nullptr;
    if (set->nfont > 0 && FcPatternGetString(set->fonts[0], FC_FILE, 0, &file) == FcResultMatch) {
      path = reinterpret_cast<const char*>(file);
    }
    FcFontSetDestroy(set);
  }
  FcObjectSetDestroy(objects);
  FcPatternDestroy(pattern);
  FcConfigDestroy(config);
  return path;
}

// Processor seconds of one line through Pillow; 0 when Pillow cannot run.
double pillow_seconds() {
  const std::string command = "/usr/bin/python3 " QUILLKIT_BENCH_SOURCE_DIR "/pillow_line.py '" +
                              face_file() + "' " + std::to_string(kPoints) + " '" +
                              std::string(kLine) + "' 2>/dev/null";
  double seconds = 0;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    if (std::fscanf(pipe, "%lf", &seconds) != 1) seconds = 0;
    pclose(pipe);
  }
  return seconds;
}

quillkit::Bytes windowsfont_work(FontHost& host) {
  return quillkit::bitmap::windowsfont_command(host, 10, 20, kPoints, 0, 0, 0, kFamily, kLine);
}

void BM_WindowsfontVsPillow(benchmark::State& state) {
  static double base_seconds = 0;
  static std::map<int, double> first_seconds;
  static std::map<int, double> pillow;
  const int target = static_cast<int>(state.range(0));
  Configuration& configuration = scratch().configuration(target);
  FontHost& host = configuration.host();
  if (!first_seconds.contains(target)) {
    const double start = thread_cpu_seconds();
    benchmark::DoNotOptimize(windowsfont_work(host).data());
    first_seconds[target] = thread_cpu_seconds() - start;
  }

  const double start = thread_cpu_seconds();
  for (auto _ : state) {
    quillkit::Bytes command = windowsfont_work(host);
    benchmark::DoNotOptimize(command.data());
  }
  const double ours = (thread_cpu_seconds() - start) / static_cast<double>(state.iterations());

  if (!pillow.contains(target)) pillow[target] = pillow_seconds();
  if (pillow[target] <= 0) {
    state.SkipWithError("Pillow did not run: install python3-pil");
    return;
  }
  if (target == kGrowthBase) base_seconds = ours;
  state.counters["faces"] = configuration.faces;
  state.counters["first_ms"] = first_seconds[target] * 1e3;
  state.counters["pillow_us"] = pillow[target] * 1e6;
  state.counters["x_pillow"] = ours / pillow[target];
  if (target >= kGrowthBase && base_seconds > 0) state.counters["x_growth"] = ours / base_seconds;
}
BENCHMARK(BM_WindowsfontVsPillow)
    ->Arg(0)
    ->Arg(kGrowthBase)
    ->Arg(1000)
    ->Unit(benchmark::kMicrosecond);

void BM_DrawString30Chars48pt(benchmark::State& state) {
  auto& host = quillkit::platform::default_font_host();
  for (auto _ : state) {
    quillkit::Image image = quillkit::bitmap::draw_text(host, kLine, kFamily, kPoints, 0);
    benchmark::DoNotOptimize(image.rgba.data());
  }
}
BENCHMARK(BM_DrawString30Chars48pt)->Unit(benchmark::kMicrosecond);

}  // namespace
