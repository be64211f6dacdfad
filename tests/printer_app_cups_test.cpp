// Printing through a real CUPS: a cupsd of the test's own (private configuration, spool and
// logs, a free port on loopback) with an IPP Everywhere queue on quill-printer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "printer_app_helpers.hpp"
#include "support/temp_files.hpp"
#include "virtual_test_helpers.hpp"

namespace quillkit::apptest {
namespace {

// cupsd in the foreground with tests/printer_app's configuration, every file it writes under
// `dir`; its clients (lpadmin, lp) find it through CUPS_SERVER.
class CupsDaemon {
 public:
  explicit CupsDaemon(const fs::path& dir) : port_(free_port()) {
    for (const char* sub : {"root", "spool", "cache", "state", "tmp"})
      fs::create_directories(dir / sub);
    std::ifstream files_in(kFiles / "cups-files.conf");
    std::string files(std::istreambuf_iterator<char>(files_in), {});
    for (std::size_t at; (at = files.find("$DIR")) != std::string::npos;)
      files.replace(at, 4, dir.string());
    std::ofstream(dir / "cups-files.conf") << files;
    std::ifstream conf(kFiles / "cupsd.conf");
    std::ofstream(dir / "cupsd.conf") << "Listen 127.0.0.1:" << port_ << "\n" << conf.rdbuf();
    setenv("CUPS_SERVER", ("127.0.0.1:" + std::to_string(port_)).c_str(), 1);
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/sbin/cupsd", "-f", "-c", (dir / "cupsd.conf").string(), "-s",
                                 (dir / "cups-files.conf").string()});
    up_ = testing::wait_until([&] { return listening(port_); }, 20);
  }
  ~CupsDaemon() {
    process_->send_signal(SIGTERM);
    process_->wait(10s);
  }
  bool up() const { return up_; }

 private:
  int port_;
  std::unique_ptr<ChildProcess> process_;
  bool up_ = false;
};

// `lp -d labels shipping.pdf` on a machine with CUPS: every page a label.
TEST(PrinterAppCups, PrintsThroughAnIppEverywhereQueue) {
  testing::TempDir dir;
  // The backend runs as CUPS's own user, which must reach the spool.
  fs::permissions(dir.path(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  VirtualPrinterHost host;
  PrinterApp app(dir.path() / "app");
  ASSERT_TRUE(app.up());
  ASSERT_TRUE(app.add("labels", host.uri()));
  CupsDaemon cups(dir.path() / "cups");
  ASSERT_TRUE(cups.up());
  const ProcessResult added =
      run({"/usr/sbin/lpadmin", "-p", "labels", "-E", "-v", app.uri("labels"), "-m", "everywhere"});
  ASSERT_EQ(added.exit_code, 0) << added.err;

  const Documents documents = make_documents(dir.path());
  for (const auto& [file, barcodes] : std::vector<std::pair<fs::path, std::vector<std::string>>>{
           {documents.png, {"PAGE-1"}}, {documents.pdf, {"PAGE-1", "PAGE-2"}}}) {
    const ProcessResult sent = run({"/usr/bin/lp", "-d", "labels", file.string()});
    ASSERT_EQ(sent.exit_code, 0) << sent.err;
    for (const std::string& barcode : barcodes) {
      const auto label = host.next_label(120s);
      ASSERT_TRUE(label.has_value()) << file;
      EXPECT_EQ(std::pair(label->width, label->height), std::pair(813, 1219));
      EXPECT_EQ(vptest::decode(*label, ZXing::BarcodeFormat::Code128), barcode);
    }
  }
}

}  // namespace
}  // namespace quillkit::apptest
