// quill-printer end to end: the server and the virtual printer as processes on loopback, driven
// with ipptool; the labels are read back from the PNG files the virtual printer writes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "printer_app_helpers.hpp"
#include "support/fake_gatt.hpp"
#include "support/temp_files.hpp"
#include "virtual_test_helpers.hpp"

namespace quillkit::apptest {
namespace {

using ::testing::HasSubstr;
using ZXing::BarcodeFormat;

// A virtual printer, quill-printer and its printer "labels" on the virtual printer's port.
class PrinterAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(app_.up()) << app_.log();
    ASSERT_NE(printer_->port(), 0);
    ASSERT_TRUE(app_.add("labels", device_uri()));
  }
  std::string device_uri() const {
    return "socket://127.0.0.1:" + std::to_string(printer_->port());
  }
  void expect_ipp(const ProcessResult& run) const {
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err << app_.log();
  }

  testing::TempDir dir_;
  std::unique_ptr<VirtualPrinterProcess> printer_ =
      std::make_unique<VirtualPrinterProcess>(dir_.path() / "labels", 0);
  PrinterApp app_{dir_.path() / "app"};
};

TEST_F(PrinterAppTest, AdvertisesStocksResolutionFormatsAndLabelSettings) {
  expect_ipp(app_.ipp("labels", "attributes.test"));
}

struct Expected {
  int width, height;
  const char* barcode;
};

struct DocumentCase {
  const char* name;
  fs::path Documents::*file;
  std::vector<std::string> variables;
  std::vector<Expected> labels;
  friend std::ostream& operator<<(std::ostream& os, const DocumentCase& c) { return os << c.name; }
};

class PrintDocument : public PrinterAppTest, public ::testing::WithParamInterface<DocumentCase> {};

// Every page becomes one label of the chosen stock (813 x 1219 dots for 4 x 6 in at 203 dpi),
// its picture fitted (and turned) onto it; the barcode in it still reads.
TEST_P(PrintDocument, EachPageIsOneLabel) {
  const Documents documents = make_documents(dir_.path());
  const DocumentCase& c = GetParam();
  expect_ipp(app_.ipp("labels", "print.test", c.variables, (documents.*c.file).string()));
  for (const Expected& e : c.labels) {
    const auto label = printer_->next_label();
    ASSERT_TRUE(label.has_value());
    EXPECT_EQ(std::pair(label->width, label->height), std::pair(e.width, e.height));
    EXPECT_EQ(vptest::decode(*label, BarcodeFormat::Code128), e.barcode);
  }
  EXPECT_FALSE(printer_->next_label(500ms).has_value());
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
                     {{813, 1219, "PAGE-1"}, {813, 1219, "PAGE-1"}}},
        // Recognised by content: clients send command files as octet streams.
        DocumentCase{"RawCommandFile", &Documents::raw, {}, {{400, 240, "RAW-7"}}}),
    ::testing::PrintToStringParamName());

// The bytes of a page: the job's stock, the printer's gap, darkness 50 % as DENSITY 8, the
// default 4 inches per second, the page as one BITMAP, PRINT 1,1 (never the header's 0 copies).
// A command file reaches the printer unchanged.
TEST_F(PrinterAppTest, SendsTheLabelCommandsAndRawFilesUnchanged) {
  const Documents documents = make_documents(dir_.path());
  expect_ipp(app_.ipp("labels", "print.test",
                      {"filetype=image/jpeg", "media=om_50x30-label_50x30mm"},
                      documents.jpeg.string()));
  expect_ipp(app_.ipp("labels", "print.test", {}, documents.raw.string()));
  ASSERT_TRUE(printer_->next_label());
  ASSERT_TRUE(printer_->next_label());
  const std::string bytes = printer_->transcript();
  EXPECT_THAT(bytes, HasSubstr("SIZE 50 mm,30 mm\\r\\nSPEED 4\\r\\nDENSITY 8\\r\\nGAP 2 mm,0 mm"
                               "\\r\\nCLS\\r\\nBITMAP 0,0,50,240,0,"));
  EXPECT_THAT(bytes, HasSubstr("\\r\\nPRINT 1,1\\r\\n"));
  std::ifstream raw(documents.raw, std::ios::binary);
  std::string expected;
  for (char c; raw.get(c);)
    expected += c == '\r' ? std::string("\\r") : c == '\n' ? "\\n" : std::string(1, c);
  EXPECT_THAT(bytes, HasSubstr(expected));
}

TEST_F(PrinterAppTest, HeldJobIsListedAndCanceledUnprinted) {
  const Documents documents = make_documents(dir_.path());
  expect_ipp(app_.ipp("labels", "hold-cancel.test", {}, documents.png.string()));
  expect_ipp(app_.ipp("labels", "print.test", {}, documents.raw.string()));
  const auto label = printer_->next_label();
  ASSERT_TRUE(label.has_value());
  EXPECT_EQ(vptest::decode(*label, BarcodeFormat::Code128), "RAW-7");
}

TEST_F(PrinterAppTest, IdentifySoundsTheBuzzer) {
  expect_ipp(app_.ipp("labels", "/usr/share/cups/ipptool/identify-printer.test"));
  EXPECT_TRUE(printer_->has_logged("SOUND 5,100"));
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
  expect_ipp(app_.ipp("labels", c.test, c.variables, file));
  EXPECT_FALSE(printer_->next_label(1s).has_value());
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
    ASSERT_TRUE(printer_->set_status(byte));
    for (const std::string& reason : reasons) {
      expect_ipp(app_.ipp("labels", "state.test", {"reason=" + reason}));
    }
  }
}

// An unreachable printer is offline; a job sent meanwhile waits (PAPPL tries the link again
// every 5 s) and prints once the printer is back.
TEST_F(PrinterAppTest, JobWaitsForAnUnreachablePrinter) {
  const Documents documents = make_documents(dir_.path());
  const int port = printer_->port();
  printer_->stop();
  expect_ipp(app_.ipp("labels", "state.test", {"reason=offline"}));
  const ProcessResult submitted =
      app_.command({"submit", "-d", "labels", "-o", "document-format=application/octet-stream",
                    documents.raw.string()});
  ASSERT_EQ(submitted.exit_code, 0) << submitted.err;
  printer_ = std::make_unique<VirtualPrinterProcess>(dir_.path() / "labels-again", port);
  const auto label = printer_->next_label();
  ASSERT_TRUE(label.has_value());
  EXPECT_EQ(vptest::decode(*label, BarcodeFormat::Code128), "RAW-7");
  expect_ipp(app_.ipp("labels", "state.test", {"reason=none"}));
}

// The classic Bluetooth scheme with a serial device path, here the virtual printer's
// pseudo-terminal.
TEST_F(PrinterAppTest, PrintsOverASerialDevice) {
  auto serial = VirtualPrinterProcess::on_pty(dir_.path() / "serial");
  ASSERT_FALSE(serial.pty().empty());
  ASSERT_TRUE(app_.add("serial", "quill-bt://" + serial.pty()));
  expect_ipp(app_.ipp("serial", "print.test", {}, make_documents(dir_.path()).raw.string()));
  const auto label = serial.next_label();
  ASSERT_TRUE(label.has_value());
  EXPECT_EQ(vptest::decode(*label, BarcodeFormat::Code128), "RAW-7");
}

// The BLE scheme through BlueZ (a fake one on a private bus, which hands the printer's writes
// to the virtual printer), found by name; discovery lists the printer by address.
TEST(PrinterAppBle, DiscoversAndPrintsOverBle) {
  testing::TempDir dir;
  VirtualPrinterProcess printer(dir.path() / "labels", 0);
  testing::PrivateBus bus;  // quill-printer, started after it, uses it as its system bus
  testing::FakeGatt fake(bus, {"--printer", std::to_string(printer.port())});
  ASSERT_TRUE(fake.ok());
  PrinterApp app(dir.path() / "app");
  ASSERT_TRUE(app.up());
  const ProcessResult devices = app.command({"devices"});
  EXPECT_THAT(devices.out, HasSubstr("quill-ble://001122334455"));
  ASSERT_TRUE(app.add("ble", "quill-ble://VP-BLE"));
  EXPECT_EQ(app.ipp("ble", "print.test", {}, make_documents(dir.path()).raw.string()).exit_code, 0)
      << app.log();
  const auto label = printer.next_label();
  ASSERT_TRUE(label.has_value());
  EXPECT_EQ(vptest::decode(*label, BarcodeFormat::Code128), "RAW-7");
}

// The web interface answers on loopback without a password; its test page is drawn by the
// printer: text and a Code 128 on the loaded stock.
TEST_F(PrinterAppTest, WebInterfacePrintsTheTestPage) {
  httplib::Client web("127.0.0.1", app_.port());
  const auto page = web.Get("/labels/");
  ASSERT_TRUE(page && page->status == 200);
  std::smatch key;
  ASSERT_TRUE(
      std::regex_search(page->body, key, std::regex("name=\"session\" value=\"([^\"]+)\"")));
  const httplib::Params form{{"session", key[1].str()}, {"action", "print-test-page"}};
  const auto posted = web.Post("/labels/", form);
  ASSERT_TRUE(posted && posted->status == 200);
  const auto label = printer_->next_label();
  ASSERT_TRUE(label.has_value());
  EXPECT_EQ(std::pair(label->width, label->height), std::pair(813, 1219));
  EXPECT_EQ(vptest::decode(*label, BarcodeFormat::Code128), "QUILL");
}

}  // namespace
}  // namespace quillkit::apptest
