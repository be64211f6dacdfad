// What a call costs from Python over the same call from C++: sendcommand of 20 bytes to the
// virtual printer on 127.0.0.1, processor time of the calling thread. The C++ loop runs here;
// bench/python_sendcommand.py runs the Python loop in the built package against the same
// server. Counters: cpp_us and python_us per call, overhead_us their difference.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "quillkit/quillkit.hpp"
#include "quillkit/virtual_printer.hpp"

namespace {

constexpr std::string_view kCommand = "CLS\r\nCLS\r\nCLS\r\nCLS\r\n";
constexpr int kPythonCalls = 100000;

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Processor seconds of one call from Python; 0 when the script cannot run.
double python_seconds(int port) {
  const std::string command = "PYTHONPATH=" QUILLKIT_PYTHON_PACKAGE_PARENT
                              " /usr/bin/python3 " QUILLKIT_BENCH_SOURCE_DIR
                              "/python_sendcommand.py " +
                              std::to_string(port) + " " + std::to_string(kPythonCalls);
  double seconds = 0;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    if (std::fscanf(pipe, "%lf", &seconds) != 1) seconds = 0;
    pclose(pipe);
  }
  return seconds;
}

// The printer, its server and an open connection, made once for every run of the benchmark
// (each open waits 1.5 s).
struct Link {
  Link() {
    quillkit::set_log_sink([](quillkit::LogChannel, std::string_view) {});
    open = server.start() && wifi.openport("127.0.0.1", server.port()) == 1;
  }
  quillkit::VirtualPrinter printer;
  quillkit::VirtualPrinterServer server{printer};
  quillkit::WiFi wifi;
  bool open = false;
};

void BM_SendcommandFromPython(benchmark::State& state) {
  static Link link;
  static double python = python_seconds(link.server.port());
  if (!link.open || python <= 0) {
    state.SkipWithError("no connection to the virtual printer, or the Python package did not run");
    return;
  }
  const double start = thread_cpu_seconds();
  for (auto _ : state) benchmark::DoNotOptimize(link.wifi.sendcommand(kCommand));
  const double cpp = (thread_cpu_seconds() - start) / static_cast<double>(state.iterations());
  state.counters["cpp_us"] = cpp * 1e6;
  state.counters["python_us"] = python * 1e6;
  state.counters["overhead_us"] = (python - cpp) * 1e6;
}
BENCHMARK(BM_SendcommandFromPython)->Unit(benchmark::kMicrosecond);

}  // namespace
