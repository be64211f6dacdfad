// Pictures made into a 4 x 6 inch label at 203 dpi (812 x 1218 dots) from a
// photo-like 1600 x 2400 grey picture, timed against Pillow doing the same
// (open, resize with the box filter, convert to 1 bit with Floyd-Steinberg,
// tobytes), and a 4 x 6 inch PDF page made into BITMAP bytes.
//
// BM_PictureVsPillow/F/D: F 0 the picture as PNG, 1 as JPEG; D the dither
// mode (2 floyd_steinberg, 4 label). Counters: pillow_ms (processor time of
// one conversion through Pillow, bench/pillow_picture.py, measured in the
// same run), x_pillow (our processor time over Pillow's).
// BM_FitAndDitherVsPillow/D: the same from a picture already decoded on both
// sides (scaling, dithering and packing only).
// BM_PdfPageToBitmap: the PDF page drawn at 203 dpi, converted and made into
// one BITMAP command.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "quillkit/bitmap/bitmap_command.hpp"
#include "quillkit/image.hpp"

#ifndef QUILLKIT_BENCH_SOURCE_DIR
#define QUILLKIT_BENCH_SOURCE_DIR "bench"
#endif

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kWidth = 812;
constexpr std::size_t kHeight = 1218;
const char* const kFiles[] = {"picture.png", "picture.jpg"};

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::string script_command(const std::string& arguments) {
  return "/usr/bin/python3 " QUILLKIT_BENCH_SOURCE_DIR "/pillow_picture.py " + arguments +
         " 2>/dev/null";
}

// The input files, made once by the script in a folder removed at exit.
struct Inputs {
  fs::path folder =
      fs::temp_directory_path() / ("quillkit-picture-bench-" + std::to_string(getpid()));
  bool made = std::system(script_command("make '" + folder.string() + "'").c_str()) == 0;
  ~Inputs() {
    std::error_code ignored;
    fs::remove_all(folder, ignored);
  }
  std::string path(const char* name) const { return (folder / name).string(); }
};

const Inputs& inputs() {
  static const Inputs instance;
  return instance;
}

// Processor seconds of one run of the script's `mode`; 0 when Pillow cannot run.
double pillow_seconds(const std::string& mode, const char* file) {
  static std::map<std::string, double> measured;
  const std::string key = mode + file;
  if (measured.contains(key)) return measured[key];
  const std::string command =
      script_command(mode + " '" + inputs().path(file) + "' " + std::to_string(kWidth) + " " +
                     std::to_string(kHeight));
  double seconds = 0;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    if (std::fscanf(pipe, "%lf", &seconds) != 1) seconds = 0;
    pclose(pipe);
  }
  return measured[key] = seconds;
}

quillkit::PictureOptions options(quillkit::Dither dither) {
  quillkit::PictureOptions o;
  o.width = kWidth;
  o.height = kHeight;
  o.dither = dither;
  return o;
}

// Runs `work` as the benchmark and sets the counters against Pillow's `mode`.
template <class Work>
void versus_pillow(benchmark::State& state, const std::string& mode, const char* file, Work work) {
  if (!inputs().made) {
    state.SkipWithError("the input pictures were not made: install python3-pil and python3-cairo");
    return;
  }
  const double start = thread_cpu_seconds();
  for (auto _ : state) work();
  const double ours = (thread_cpu_seconds() - start) / static_cast<double>(state.iterations());
  const double pillow = pillow_seconds(mode, file);
  if (pillow <= 0) {
    state.SkipWithError("Pillow did not run: install python3-pil");
    return;
  }
  state.counters["pillow_ms"] = pillow * 1e3;
  state.counters["x_pillow"] = ours / pillow;
}

void BM_PictureVsPillow(benchmark::State& state) {
  const char* file = kFiles[state.range(0)];
  const auto o = options(static_cast<quillkit::Dither>(state.range(1)));
  const std::string path = inputs().path(file);
  versus_pillow(state, "time", file, [&] {
    quillkit::MonoPages pages = quillkit::convert_picture_file(path, o);
    benchmark::DoNotOptimize(pages.pages.data());
  });
}
BENCHMARK(BM_PictureVsPillow)
    ->ArgsProduct({{0, 1},
                   {static_cast<int>(quillkit::Dither::floyd_steinberg),
                    static_cast<int>(quillkit::Dither::label)}})
    ->Unit(benchmark::kMillisecond);

void BM_FitAndDitherVsPillow(benchmark::State& state) {
  const auto o = options(static_cast<quillkit::Dither>(state.range(0)));
  const quillkit::GreyPages loaded = quillkit::load_picture(inputs().path(kFiles[0]));
  if (!loaded.ok()) return state.SkipWithError(loaded.error.c_str());
  versus_pillow(state, "time-loaded", kFiles[0], [&] {
    quillkit::MonoImage bits = quillkit::convert_picture(loaded.pages.front(), o);
    benchmark::DoNotOptimize(bits.bits.data());
  });
}
BENCHMARK(BM_FitAndDitherVsPillow)
    ->Arg(static_cast<int>(quillkit::Dither::floyd_steinberg))
    ->Arg(static_cast<int>(quillkit::Dither::label))
    ->Unit(benchmark::kMillisecond);

void BM_PdfPageToBitmap(benchmark::State& state) {
  const std::string path = inputs().path("label.pdf");
  const auto o = options(quillkit::Dither::label);
  for (auto _ : state) {
    quillkit::MonoPages pages = quillkit::convert_picture_file(path, o);
    if (!pages.ok()) return state.SkipWithError(pages.error.c_str());
    quillkit::Bytes command = quillkit::bitmap::bitmap_command(0, 0, pages.pages.front(),
                                                               quillkit::BitmapMode::overwrite);
    benchmark::DoNotOptimize(command.data());
  }
}
BENCHMARK(BM_PdfPageToBitmap)->Unit(benchmark::kMillisecond);

}  // namespace
