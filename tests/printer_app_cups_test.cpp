// Printing through a real CUPS: a cupsd of the test's own (private configuration, spool and
// logs, a free port on loopback) with an IPP Everywhere queue on quill-printer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "printer_app_helpers.hpp"
#include "support/temp_files.hpp"
#include "virtual_test_helpers.hpp"

namespace quillkit::apptest {
namespace {

// cupsd in the foreground with every file it writes under `dir`; its clients (lpadmin, lp) find
// it through CUPS_SERVER.
class CupsDaemon {
 public:
  explicit CupsDaemon(const fs::path& dir) : port_(free_port()) {
    for (const char* sub : {"root", "spool", "cache", "state", "log", "tmp"}) {
      fs::create_directories(dir / sub);
    }
    std::ofstream(dir / "cupsd.conf") << "Listen 127.0.0.1:" << port_ << R"(
Browsing No
WebInterface No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
)";
    std::ofstream(dir / "cups-files.conf")
        << "ServerRoot " << (dir / "root").string() << "\nRequestRoot " << (dir / "spool").string()
        << "\nCacheDir " << (dir / "cache").string() << "\nStateDir " << (dir / "state").string()
        << "\nTempDir " << (dir / "tmp").string() << "\nErrorLog "
        << (dir / "log/error_log").string() << "\nAccessLog " << (dir / "log/access_log").string()
        << "\nPageLog " << (dir / "log/page_log").string()
        << "\nPrintcap /dev/null\nFileDevice No\n";
    setenv("CUPS_SERVER", ("127.0.0.1:" + std::to_string(port_)).c_str(), 1);
    process_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/sbin/cupsd", "-f", "-c", (dir / "cupsd.conf").string(), "-s",
                                 (dir / "cups-files.conf").string()});
    up_ = wait_for_port(port_, 20s);
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
  VirtualPrinterProcess printer(dir.path() / "labels", 0);
  PrinterApp app(dir.path() / "app");
  ASSERT_TRUE(app.up());
  ASSERT_TRUE(app.add("labels", "socket://127.0.0.1:" + std::to_string(printer.port())));
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
      const auto label = printer.next_label(60s);
      ASSERT_TRUE(label.has_value()) << file;
      EXPECT_EQ(std::pair(label->width, label->height), std::pair(813, 1219));
      EXPECT_EQ(vptest::decode(*label, ZXing::BarcodeFormat::Code128), barcode);
    }
  }
}

}  // namespace
}  // namespace quillkit::apptest
