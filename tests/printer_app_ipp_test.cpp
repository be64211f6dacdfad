// quill-printer end to end: the server as a process, the virtual printer on loopback, driven
// with ipptool and the test files in tests/printer_app.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <regex>

#include "printer_app_helpers.hpp"
#include "quillkit/image.hpp"
#include "quillkit/virtual_pty.hpp"
#include "support/fake_gatt.hpp"
#include "support/temp_files.hpp"
#include "virtual_test_helpers.hpp"

namespace quillkit::apptest {
namespace {

using ZXing::BarcodeFormat;

// quill-printer with its printer "labels" on the virtual printer.
class PrinterAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(app_.up());
    ASSERT_TRUE(app_.add("labels", host_->uri()));
  }
  // The next label's size and barcode.
  std::optional<std::tuple<int, int, std::optional<std::string>>> next_label(
      std::chrono::milliseconds timeout = 30s) {
    const auto label = host_->next_label(timeout);
    if (!label) return std::nullopt;
    return std::tuple(label->width, label->height, vptest::decode(*label, BarcodeFormat::Code128));
  }

  testing::TempDir dir_;
  std::unique_ptr<VirtualPrinterHost> host_ = std::make_unique<VirtualPrinterHost>();
  PrinterApp app_{dir_.path() / "app"};
};

using Label = std::tuple<int, int, std::optional<std::string>>;

TEST_F(PrinterAppTest, AdvertisesStocksResolutionFormatsAndLabelSettings) {
  EXPECT_TRUE(app_.ipp("labels", "attributes.test"));
}

struct DocumentCase {
  const char* name;
  fs::path Documents::*file;
  std::vector<std::string> variables;
  std::vector<Label> labels;
  friend std::ostream& operator<<(std::ostream& os, const DocumentCase& c) { return os << c.name; }
};

class PrintDocument : public PrinterAppTest, public ::testing::WithParamInterface<DocumentCase> {};

// Every page becomes one label of the chosen stock (813 x 1219 dots for 4 x 6 in at 203 dpi),
// its picture fitted (and turned) onto it; the barcode in it still reads.
TEST_P(PrintDocument, EachPageIsOneLabel) {
  const Documents documents = make_documents(dir_.path());
  ASSERT_TRUE(app_.ipp("labels", "print.test", GetParam().variables, documents.*GetParam().file));
  for (const Label& expected : GetParam().labels) EXPECT_EQ(next_label(), expected);
  EXPECT_EQ(next_label(500ms), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PrintDocument,
    ::testing::Values(
        // PAPPL 1.3.1's own filter cannot read 1-bit grey PNG files; this is one.
        DocumentCase{"OneBitPng", &Documents::png, {"filetype=image/png"}, {{813, 1219, "PAGE-1"}}},
        DocumentCase{"JpegOnSmallStock",
                     &Documents::jpeg,
                     {"filetype=image/jpeg", "media=om_50x30-label_50x30mm"},
                     {{400, 240, "PAGE-1"}}},
        // PAPPL hands the lines to the driver: the raster path.
        DocumentCase{
            "PwgRaster", &Documents::pwg, {"filetype=image/pwg-raster"}, {{813, 1219, "PAGE-1"}}},
        DocumentCase{"TwoPagePdf",
                     &Documents::pdf,
                     {"filetype=application/pdf"},
                     {{813, 1219, "PAGE-1"}, {813, 1219, "PAGE-2"}}},
        DocumentCase{"CopiesAreLabels",
                     &Documents::png,
                     {"filetype=image/png", "copies=2"},
                     {{813, 1219, "PAGE-1"}, {813, 1219, "PAGE-1"}}}),
    ::testing::PrintToStringParamName());

// The bytes of a page: the job's stock, the printer's gap setting, darkness 50 % as DENSITY 8,
// the default 4 inches per second, the page as one BITMAP of the picture library's conversion for
// the label, PRINT 1,1 (never the header's 0 copies). A command file reaches the printer
// unchanged.
TEST_F(PrinterAppTest, SendsTheLabelCommandsAndRawFilesUnchanged) {
  ASSERT_EQ(app_.command({"modify", "-d", "labels", "-o", "label-gap=5"}).exit_code, 0);
  const Documents documents = make_documents(dir_.path());
  ASSERT_TRUE(app_.ipp("labels", "print.test",
                       {"filetype=image/jpeg", "media=om_50x30-label_50x30mm"}, documents.jpeg));
  ASSERT_TRUE(host_->next_label());
  const std::string text = host_->connection_with("BITMAP"), end = "\r\nPRINT 1,1\r\n";
  const std::string start =
      "SIZE 50 mm,30 mm\r\nSPEED 4\r\nDENSITY 8\r\nGAP 5 mm,0 mm\r\nCLS\r\n"
      "BITMAP 0,0,50,240,0,";
  quillkit::PictureOptions options;
  options.width = 400;
  options.height = 240;
  options.rotation = quillkit::Rotation::automatic;
  const quillkit::MonoPages dots = quillkit::convert_picture_file(documents.jpeg, options);
  ASSERT_TRUE(dots.ok()) << dots.error;
  const std::string bits(dots.pages.at(0).bits.begin(), dots.pages.at(0).bits.end());
  EXPECT_EQ(text, start + bits + end);
  ASSERT_TRUE(app_.ipp("labels", "print.test", {}, documents.raw));
  std::ifstream raw(documents.raw, std::ios::binary);
  const std::string file(std::istreambuf_iterator<char>(raw), {});
  EXPECT_EQ(host_->connection_with("RAW-7"), file);
}

TEST_F(PrinterAppTest, HeldJobIsListedAndCanceledUnprinted) {
  const Documents documents = make_documents(dir_.path());
  EXPECT_TRUE(app_.ipp("labels", "hold-cancel.test", {}, documents.png));
  EXPECT_TRUE(app_.ipp("labels", "print.test", {}, documents.raw));
  EXPECT_EQ(next_label(), Label(400, 240, "RAW-7"));
}

TEST_F(PrinterAppTest, IdentifySoundsTheBuzzer) {
  EXPECT_TRUE(app_.ipp("labels", "/usr/share/cups/ipptool/identify-printer.test"));
  EXPECT_EQ(host_->connection_with("SOUND"), "SOUND 5,100\r\n");
}

struct BadDocument {
  const char* name;
  std::string bytes;
  std::vector<std::string> variables;
  const char* test;
  friend std::ostream& operator<<(std::ostream& os, const BadDocument& c) { return os << c.name; }
};

class RefusesBadDocument : public PrinterAppTest,
                           public ::testing::WithParamInterface<BadDocument> {};

// A file that is not what it claims ends its job aborted, with the reason in the job's
// message; an octet stream nobody recognises is refused at once. Nothing reaches the printer.
TEST_P(RefusesBadDocument, WithAClearResult) {
  const BadDocument& c = GetParam();
  const std::string file = dir_.write("bad", Bytes(c.bytes.begin(), c.bytes.end()));
  EXPECT_TRUE(app_.ipp("labels", c.test, c.variables, file));
  EXPECT_EQ(host_->connection_with("SIZE", 0.5), "");
}

INSTANTIATE_TEST_SUITE_P(
    Documents, RefusesBadDocument,
    ::testing::Values(BadDocument{"TruncatedPng",
                                  std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0", 18),
                                  {"filetype=image/png", "state=8"},
                                  "print.test"},
                      BadDocument{
                          "TextAsJpeg", "hello", {"filetype=image/jpeg", "state=8"}, "print.test"},
                      BadDocument{"BrokenPdf",
                                  "%PDF-1.7\n1 0 obj <<",
                                  {"filetype=application/pdf", "state=8"},
                                  "print.test"},
                      BadDocument{"UnknownOctetStream",
                                  "hello, printer\n",
                                  {"filetype=application/octet-stream",
                                   "status=client-error-document-format-not-supported"},
                                  "refused.test"}),
    ::testing::PrintToStringParamName());

// The status byte's bits become printer-state-reasons; the printer's own pause pauses the queue
// until it ends.
TEST_F(PrinterAppTest, StatusBitsBecomeReasons) {
  for (const auto& [byte, reasons] : std::vector<std::pair<int, std::vector<std::string>>>{
           {5, {"cover-open", "media-empty"}},
           {0x8A, {"media-jam", "marker-supply-empty", "other"}},
           {16, {"paused"}},
           {0, {"none"}}}) {
    host_->printer().set_status(static_cast<std::uint8_t>(byte));
    for (const std::string& reason : reasons) {
      EXPECT_TRUE(app_.ipp("labels", "state.test", {"reason=" + reason})) << byte;
    }
  }
}

// An unreachable printer is offline; a job sent meanwhile waits (PAPPL tries the link again
// every 5 s) and prints once the printer is back.
TEST_F(PrinterAppTest, JobWaitsForAnUnreachablePrinter) {
  const int port = host_->port();
  host_->stop();
  EXPECT_TRUE(app_.ipp("labels", "state.test", {"reason=offline"}));
  const ProcessResult submitted =
      app_.command({"submit", "-d", "labels", make_documents(dir_.path()).raw.string()});
  ASSERT_EQ(submitted.exit_code, 0) << submitted.err;
  ASSERT_TRUE(host_->start(port));
  EXPECT_EQ(next_label(), Label(400, 240, "RAW-7"));
  EXPECT_TRUE(app_.ipp("labels", "state.test", {"reason=none"}));
}

// The classic Bluetooth scheme with a serial device path: the virtual printer's
// pseudo-terminal.
TEST_F(PrinterAppTest, PrintsOverASerialDevice) {
  VirtualPrinterPty pty(host_->printer());
  ASSERT_TRUE(pty.start());
  ASSERT_TRUE(app_.add("serial", "quill-bt://" + pty.path()));
  EXPECT_TRUE(app_.ipp("serial", "print.test", {}, Documents().raw));
  EXPECT_EQ(next_label(), Label(400, 240, "RAW-7"));
}

// The web interface answers on loopback without a password; its test page is drawn by the
// printer: text and a Code 128 on the loaded stock.
TEST_F(PrinterAppTest, WebInterfacePrintsTheTestPage) {
  httplib::Client web("127.0.0.1", app_.port());
  const auto page = web.Get("/labels/");
  ASSERT_TRUE(page && page->status == 200);
  std::smatch session;
  ASSERT_TRUE(
      std::regex_search(page->body, session, std::regex("name=\"session\" value=\"([^\"]+)\"")));
  const httplib::Params form{{"session", session[1].str()}, {"action", "print-test-page"}};
  const auto posted = web.Post("/labels/", form);
  ASSERT_TRUE(posted && posted->status == 200);
  EXPECT_EQ(next_label(), Label(813, 1219, "QUILL"));
}

// The BLE scheme through BlueZ (a fake one on a private bus, which hands the printer's writes
// to the virtual printer), found by name; discovery lists the printer by address. About 13 s:
// the BLE object's 1 s start (twice), the 4 s discovery search and the 2 s drain after writing.
TEST(PrinterAppBle, DiscoversAndPrintsOverBle) {
  testing::TempDir dir;
  VirtualPrinterHost host;
  testing::PrivateBus bus;  // quill-printer, started after it, takes it as its system bus
  testing::FakeGatt fake(bus, {"--printer", std::to_string(host.port())});
  ASSERT_TRUE(fake.ok());
  PrinterApp app(dir.path() / "app");
  ASSERT_TRUE(app.up());
  EXPECT_THAT(app.command({"devices"}).out, ::testing::HasSubstr("quill-ble://001122334455"));
  ASSERT_TRUE(app.add("ble", "quill-ble://VP-BLE"));
  EXPECT_TRUE(app.ipp("ble", "print.test", {}, Documents().raw));
  const auto label = host.next_label();
  ASSERT_TRUE(label.has_value());
  EXPECT_EQ(vptest::decode(*label, BarcodeFormat::Code128), "RAW-7");
}

}  // namespace
}  // namespace quillkit::apptest
