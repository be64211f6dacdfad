// The quill subcommands that talk to a printer, run in the test's process on its clock against a
// fake printer on 127.0.0.1, and a label printed on a virtual printer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "cli_test_helpers.hpp"
#include "quillkit/virtual_printer.hpp"
#include "support/fake_printer.hpp"
#include "support/stream_watch.hpp"
#include "support/temp_files.hpp"
#include "virtual_test_helpers.hpp"

namespace quillkit {
namespace {

using clitest::run_quill;
using ::testing::MatchesRegex;

// One command line. In `args`, LABEL names a file holding `label`, ADDRESS the printer and
// PICTURES/ the folder of the test pictures; `out` and `err` are whole-output regular expressions
// in which PORT is the printer's port.
struct Case : clitest::CommandCase {
  std::string sent;  // all the printer receives, when given; exit code 2 sends nothing at all
  std::string label;
};

// A command line that reaches the printer.
Case ran(const char* name, std::vector<std::string> args, int exit_code, std::string out,
         std::string err = "", std::string sent = "", std::string label = "") {
  return {{name, std::move(args), exit_code, std::move(out), std::move(err)},
          std::move(sent),
          std::move(label)};
}

// A usage error: exit code 2 with the reason, and the printer is never reached.
Case refused(const char* name, std::vector<std::string> args, std::string err,
             std::string label = "") {
  return {{name, std::move(args), 2, "", std::move(err)}, "", std::move(label)};
}

// The printer answers the model name, the file list, the status (head opened, out of paper) and
// two battery values; it leaves the code page unanswered.
class QuillCommandTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    fake_.add_answer({"~!T\r\n", {"QK-CLI-TEST\r"}});
    fake_.add_answer({"~!F\r\n", {"A.TXT\rB.BIN\r\x1a"}});
    fake_.add_answer({"\x1b!?", {"\x05"}});
    fake_.add_answer({"SMBVOLTAGE\r\n", {"REPORT=7400\r"}});
    fake_.add_answer({"SMBSOH\r\n", {"REPORT=100\r"}});
  }
  std::string address() { return "127.0.0.1:" + std::to_string(fake_.port()); }

  testing::FakePrinter fake_;
};

TEST_P(QuillCommandTest, PrintsSendsAndExits) {
  const Case& c = GetParam();
  testing::TempDir dir;
  const auto label = dir.write("label.json", testing::bytes_of(c.label));
  std::vector<std::string> args;
  for (const std::string& a : c.args) {
    args.push_back(a == "LABEL"     ? label
                   : a == "ADDRESS" ? address()
                                    : std::regex_replace(a, std::regex("^PICTURES/"),
                                                         QUILLKIT_TEST_PICTURES_DIR "/"));
  }
  const auto run = run_quill(args, c.name == std::string("no_printer") ? "" : address());
  clitest::expect_result(run, c, [&](const std::string& s) {
    return std::regex_replace(s, std::regex("PORT"), std::to_string(fake_.port()));
  });
  if (c.exit_code == 2) EXPECT_EQ(fake_.connections(), 0u);
  if (c.sent.empty()) return;
  EXPECT_TRUE(fake_.wait_for_bytes(c.sent.size()));  // the command may end before they are read
  EXPECT_EQ(fake_.received(), c.sent);
}

constexpr const char* kSize = R"({"size": {"width": 50, "height": 30}, )";
constexpr const char* kSent = "sent to 127\\.0\\.0\\.1:PORT\n";
const Bytes kLogo = testing::patterned_bytes(1000);
const std::string kLogoText(kLogo.begin(), kLogo.end());

INSTANTIATE_TEST_SUITE_P(
    Subcommands, QuillCommandTest,
    ::testing::Values(
        ran("model", {"query", "model"}, 0, "QK-CLI-TEST\n"),
        // Several CR-ended names and the end marker 1A become plain lines.
        ran("files", {"query", "files", "--wait", "0.5"}, 0, "A\\.TXT\nB\\.BIN\n"),
        ran("unanswered", {"query", "codepage"}, 1, "",
            "quill: no answer from 127\\.0\\.0\\.1:PORT within 1 s\n"),
        ran("status", {"status"}, 0, "head opened, out of paper \\(status byte 0x05\\)\n"),
        // --verbose adds the library's lines on standard error; standard output stays JSON.
        ran("status_json_verbose", {"--verbose", "status", "--json"}, 0,
            "\\{\"byte\":5,\"conditions\":\\[\"head opened\",\"out of paper\"\\],"
            "\"ready\":false,\"text\":\"head opened, out of paper\"\\}\n",
            "(.*\n)*# connecting to 127\\.0\\.0\\.1:PORT\n(.*\n)*"),
        ran("battery", {"battery", "voltage", "health"}, 0, "voltage: 7400\nhealth: 100\n"),
        // The words are unescaped and joined by blanks.
        ran("send", {"send", "--wifi", "ADDRESS", "SET", "TEAR", "OFF\\r\\n", "\\x7e!T\\r\\n"}, 0,
            kSent, "", "SET TEAR OFF\r\n ~!T\r\n"),
        // 中 is D6 D0 in GB 18030.
        ran("send_gb18030",
            {"send", "--encoding", "gb18030", "TEXT 1,1,\"TSS24.BF2\",0,1,1,\"中\"\\r\\n"}, 0,
            kSent, "", "TEXT 1,1,\"TSS24.BF2\",0,1,1,\"\xD6\xD0\"\r\n"),
        // Standard error is a pipe here, not a terminal: one plain line per data write.
        ran("download", {"download", "LABEL", "CLI.BIN"}, 0,
            "stored .*label\\.json as \"CLI\\.BIN\" \\(1000 bytes\\) on 127\\.0\\.0\\.1:PORT\n",
            "sent 1000 of 1000 bytes \\(100%\\)\n",
            "DOWNLOAD F,\"CLI.BIN\",1000," + kLogoText + "\r\n", kLogoText),
        // Usage errors, bad label files included.
        refused("wrong_type", {"print", "LABEL"},
                "quill: .*label\\.json: elements\\[1\\]\\.x: expected a whole number from 0 to "
                "20000, got a string\n",
                std::string(kSize) + R"("elements": [{"kind": "text", "x": 1, "y": 1, "text": "ok"},
                    {"kind": "barcode", "x": "ten", "y": 0, "data": "A"}]})"),
        refused("missing", {"print", "LABEL"}, "quill: .*: size\\.height: missing\n",
                R"({"size": {"width": 50}})"),
        refused("unknown_field", {"print", "LABEL"}, "quill: .*: elemnts: unknown field\n",
                std::string(kSize) + R"("elemnts": []})"),
        refused("quote_in_text", {"print", "LABEL"},
                "quill: .*: elements\\[0\\]\\.text: contains a double quote.*\n",
                std::string(kSize) +
                    R"("elements": [{"kind": "text", "x": 1, "y": 1, "text": "a\"b"}]})"),
        refused("rotation", {"print", "LABEL"},
                "quill: .*: elements\\[0\\]\\.rotation: expected 0, 90, 180 or 270, got 45\n",
                std::string(kSize) + R"("elements": [{"kind": "bitmap-text", "x": 1, "y": 1,
                    "text": "a", "rotation": 45}]})"),
        refused("not_json", {"print", "LABEL"}, "quill: .*: not valid JSON: .*line 1.*\n",
                "{\"size\": "),
        // Numbers beyond a double stop the parser.
        refused("number_overflow", {"print", "LABEL"},
                "quill: .*label\\.json: not valid JSON: number overflow parsing '1e400'\n",
                R"({"size": {"width": 1e400, "height": 30}})"),
        // A picture file or option that print-image cannot use.
        refused("picture_missing", {"print-image", "PICTURES/none.png"},
                "quill: .*/none\\.png: not a file\n"),
        refused("picture_not_an_image", {"print-image", "LABEL"},
                "quill: .*label\\.json: not a PNG, JPEG or PDF file\n", "{}"),
        refused("picture_page", {"print-image", "PICTURES/logo.png", "--pages", "2-"},
                "quill: .*logo\\.png: a PNG or JPEG picture has page 1 only\n"),
        refused("picture_pages", {"print-image", "PICTURES/logo.png", "--pages", "3-1"},
                ".*--pages.*got 3-1.*\n"),
        refused("picture_dither", {"print-image", "PICTURES/logo.png", "--dither", "floyd"},
                ".*floyd not in \\{label,threshold,ordered,floyd-steinberg,atkinson\\}.*\n"),
        refused("image_element_file", {"print", "LABEL"},
                "quill: .*label\\.json: elements\\[0\\]\\.file: .*/none\\.png: not a file\n",
                std::string(kSize) +
                    R"("elements": [{"kind": "image", "x": 1, "y": 1, "file": "none.png"}]})"),
        refused("wait_nan", {"query", "model", "--wait", "nan"}, ".*--wait.*got nan.*\n"),
        refused("wait_inf", {"query", "model", "--wait", "inf"}, ".*--wait.*got inf.*\n"),
        refused("wait_negative", {"query", "model", "--wait=-1"}, ".*--wait.*got -1.*\n"),
        refused("bad_escape", {"send", "CLS\\q"}, "quill: unknown escape \\\\q .*\n"),
        refused("bt_device", {"status", "--bt=printer"}, "quill: bad Bluetooth device .*\n"),
        refused("chunk_without_ble", {"status", "--chunk", "40"},
                "quill: --chunk applies to --ble only\n"),
        refused("no_printer", {"status"}, "quill: no printer named: .*QUILL_PRINTER.*\n"),
        refused("bad_port", {"status", "--wifi", "127.0.0.1:70000"}, ".*1 to 65535\n"),
        refused("unknown_query", {"query", "colour"}, ".*colour not in .*")),
    [](const auto& info) { return std::string(info.param.name); });

TEST(QuillPrintTest, PrintSendsTheWholeLabel) {
  VirtualPrinter printer;
  VirtualPrinterServer server(printer);
  ASSERT_TRUE(server.start()) << server.error();
  const std::string address = "127.0.0.1:" + std::to_string(server.port());
  testing::TempDir dir;
  const auto label = dir.write("label.json", testing::bytes_of(std::string(kSize) + R"(
    "gap": {"distance": 2}, "copies": 2, "elements": [
      {"kind": "text", "x": 10, "y": 10, "text": "Hello"},
      {"kind": "barcode", "x": 10, "y": 50, "height": 60, "data": "CLI-128"},
      {"kind": "bitmap-text", "x": 10, "y": 150, "height": 30, "style": "bold", "text": "Bold"},
      {"kind": "raw", "command": "BAR 0,220,400,4\r\n"},
      {"kind": "image", "x": 320, "y": 10, "width": 64, "file": "logo.png", "dither": "threshold"}]})"));
  // The picture is found next to the label file.
  std::filesystem::copy_file(QUILLKIT_TEST_PICTURES_DIR "/logo.png", dir.path() / "logo.png");
  const auto run = run_quill({"print", label}, address);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, "printed 1 x 2 label(s) of 50 x 30 mm with 5 element(s) on " + address + "\n");
  ASSERT_TRUE(printer.wait_for_labels(2, std::chrono::seconds(5)));
  const VirtualLabel printed = printer.labels().back();
  EXPECT_EQ(printed.width, 400);
  EXPECT_EQ(printed.height, 240);
  EXPECT_EQ(vptest::decode(printed, ZXing::BarcodeFormat::Code128), "CLI-128");
  EXPECT_FALSE(vptest::ink_box(printed, 0, 150, 400, 200).empty) << "bitmap text missing";
  EXPECT_TRUE(printed.ink(200, 221)) << "raw BAR missing";
  // The logo's opaque left half prints, its clear right quarter does not.
  EXPECT_TRUE(printed.ink(330, 30));
  EXPECT_FALSE(printed.ink(375, 30));
  EXPECT_EQ(printer.setup().gap_dots, 16);
}

// Each page of a PDF prints as a label of its own, in order: page 1 is black on its left half,
// page 2 all black.
TEST(QuillPrintTest, PrintImagePrintsEachPdfPage) {
  VirtualPrinterConfig config;
  config.dpi = 300;
  VirtualPrinter printer(config);
  VirtualPrinterServer server(printer);
  ASSERT_TRUE(server.start()) << server.error();
  const std::string address = "127.0.0.1:" + std::to_string(server.port());
  const std::string pdf = QUILLKIT_TEST_PICTURES_DIR "/twopages.pdf";
  const auto run = run_quill({"print-image", pdf, "--dpi", "300", "--copies", "2"}, address);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out,
            "printed 2 x 2 label(s) of 300 x 150 dots from " + pdf + " on " + address + "\n");
  ASSERT_TRUE(printer.wait_for_labels(4, std::chrono::seconds(5)));
  const auto labels = printer.labels();
  ASSERT_EQ(labels.size(), 4u);
  EXPECT_EQ(std::pair(labels[0].width, labels[0].height), std::pair(300, 150));
  EXPECT_TRUE(labels[1].ink(50, 75));
  EXPECT_FALSE(labels[1].ink(250, 75));
  EXPECT_TRUE(labels[3].ink(250, 75));
}

// The printer resets the connection while quill works: whatever the operations reported, the
// command fails with the reason. `reset_after` bytes arrive first; the reset lands in one of the
// pauses that the operations take (before PRINT, before the file's data).
TEST(QuillResetTest, ExitsOneWithTheReason) {
  const std::string label = std::string(kSize) + R"("elements": [{"kind": "text", "x": 1, "y": 1,
      "text": "a text long enough to pass 64 bytes"}]})";
  const struct {
    std::string command, file;
    std::size_t reset_after;
    std::string what;
  } cases[] = {{"print", label, 64, "printing"},
               {"download", std::string(1000, 'd'), 16, "sending the file"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    testing::TempDir dir;
    const auto file = dir.write("input", testing::bytes_of(c.file));
    testing::FakePrinter fake;
    const std::string target = "127.0.0.1:" + std::to_string(fake.port());
    std::vector<std::string> args{c.command, file};
    if (c.command == "download") args.push_back("CLI.BIN");
    clitest::InProcessQuill command(args, target);
    ASSERT_TRUE(fake.wait_for_bytes(c.reset_after, 10));
    fake.reset_client();
    const auto run = command.wait();
    EXPECT_EQ(run.exit_code, 1) << run.out;
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(run.err, MatchesRegex("(.*\n)*quill: the connection failed or was reset while " +
                                      c.what + " \\(127\\.0\\.0\\.1:[0-9]+\\)\n"));
  }
}

// The printer takes none of the text and resets the connection just after quill handed its last
// byte to the system: the bytes were never acknowledged, and quill waits for that before it
// judges.
TEST(QuillResetTest, SendSeesAResetAfterItsLastByte) {
  testing::FakePrinter fake;
  fake.set_reading(false);
  testing::WriteLog log;
  const std::string text(256 * 1024, 'x');
  clitest::InProcessQuill command({"send", text}, "127.0.0.1:" + std::to_string(fake.port()));
  ASSERT_TRUE(testing::wait_until([&] {
    std::size_t written = 0;
    for (const auto& write : log.writes()) written += write.bytes.size();
    return written == text.size();
  }));
  fake.reset_client();
  const auto run = command.wait();
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_THAT(run.err, MatchesRegex("quill: the connection failed or was reset while sending "
                                    "\\(127\\.0\\.0\\.1:[0-9]+\\)\n"));
}

// Nothing listens on the port: the connection is refused at once, yet the open's wait of 1.5 s
// is what decides.
TEST(QuillOpenTest, UnreachablePrinterExitsOneWithinTheOpenWait) {
  std::string target;
  {
    testing::FakePrinter gone;  // take a free port, then close it again
    target = "127.0.0.1:" + std::to_string(gone.port());
  }
  const auto run = run_quill({"status", "--wifi", target});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "quill: cannot reach the printer at " + target + " (no connection within 1.5 s)\n");
  EXPECT_NEAR(run.seconds, 1.5, 0.01);
}

}  // namespace
}  // namespace quillkit
