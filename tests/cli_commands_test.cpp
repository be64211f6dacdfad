// The quill subcommands that talk to a printer, run as a user runs them, against a virtual
// printer served on 127.0.0.1 by the test.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "cli_test_helpers.hpp"
#include "quillkit/virtual_printer.hpp"
#include "support/temp_files.hpp"
#include "virtual_test_helpers.hpp"

namespace quillkit {
namespace {

using clitest::Env;
using clitest::quill;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

class QuillCommandTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    VirtualPrinterConfig config;
    config.answers.model_name = "QK-CLI-TEST\r";
    config.answers.code_page.clear();  // the printer leaves this query unanswered
    config.answers.status = 0x05;      // head opened, out of paper
    printer_ = std::make_unique<VirtualPrinter>(config);
    printer_->feed("DOWNLOAD F,\"A.TXT\",3,abc\r\nDOWNLOAD F,\"B.BIN\",2,xy\r\n");
    server_ = std::make_unique<VirtualPrinterServer>(*printer_);
    ASSERT_TRUE(server_->start()) << server_->error();
  }
  static void TearDownTestSuite() {
    server_.reset();
    printer_.reset();
  }
  void SetUp() override { SKIP_WITHOUT_QUILL(); }

  static std::string address() { return "127.0.0.1:" + std::to_string(server_->port()); }
  // The printer named as most users name it, through the environment.
  static Env named() { return {{"QUILL_PRINTER", address()}}; }

  static std::unique_ptr<VirtualPrinter> printer_;
  static std::unique_ptr<VirtualPrinterServer> server_;
};
std::unique_ptr<VirtualPrinter> QuillCommandTest::printer_;
std::unique_ptr<VirtualPrinterServer> QuillCommandTest::server_;

struct AnswerCase {
  const char* name;
  std::vector<std::string> args;
  int exit_code;
  std::string out;  // whole standard output, a regular expression (PORT: the server's port)
  std::string err;  // whole standard error, likewise
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

std::string with_port(std::string pattern, std::uint16_t port) {
  for (auto at = pattern.find("PORT"); at != std::string::npos; at = pattern.find("PORT")) {
    pattern.replace(at, 4, std::to_string(port));
  }
  return pattern;
}

class QuillAnswerTest : public QuillCommandTest,
                        public ::testing::WithParamInterface<AnswerCase> {};

// What each reading subcommand prints, and that without --verbose standard error stays silent.
TEST_P(QuillAnswerTest, PrintsTheAnswerAndExitCode) {
  const AnswerCase& c = GetParam();
  const auto run = quill(c.args, named());
  EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
  EXPECT_THAT(run.out, MatchesRegex(with_port(c.out, server_->port())));
  EXPECT_THAT(run.err, MatchesRegex(with_port(c.err, server_->port())));
}

INSTANTIATE_TEST_SUITE_P(
    Subcommands, QuillAnswerTest,
    ::testing::Values(
        AnswerCase{"model", {"query", "model"}, 0, "QK-CLI-TEST\n", ""},
        // Several CR-ended names and the end marker 1A become plain lines.
        AnswerCase{"files", {"query", "files", "--wait", "0.5"}, 0, "A\\.TXT\nB\\.BIN\n", ""},
        AnswerCase{"unanswered",
                   {"query", "codepage"},
                   1,
                   "",
                   "quill: no answer from 127\\.0\\.0\\.1:PORT within 1 s\n"},
        AnswerCase{
            "status", {"status"}, 0, "head opened, out of paper \\(status byte 0x05\\)\n", ""},
        // --verbose adds the library's lines on standard error; standard output stays JSON.
        AnswerCase{"status_json_verbose",
                   {"--verbose", "status", "--json"},
                   0,
                   "\\{\"byte\":5,\"conditions\":\\[\"head opened\",\"out of paper\"\\],"
                   "\"ready\":false,\"text\":\"head opened, out of paper\"\\}\n",
                   "(.*\n)*# connecting to 127\\.0\\.0\\.1:PORT\n(.*\n)*"},
        AnswerCase{
            "battery", {"battery", "voltage", "health"}, 0, "voltage: 7400\nhealth: 100\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct SendCase {
  const char* name;
  std::vector<std::string> args;
  std::string bytes;
};

void PrintTo(const SendCase& c, std::ostream* os) { *os << c.name; }

class QuillSendTest : public QuillCommandTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(QuillSendTest, WritesTheUnescapedWordsJoinedByBlanks) {
  const SendCase& c = GetParam();
  std::vector<std::string> args{"send", "--wifi", address()};
  args.insert(args.end(), c.args.begin(), c.args.end());
  const std::uint64_t before = printer_->bytes_received();
  const auto run = quill(args);
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out, "sent to " + address() + "\n");
  ASSERT_TRUE(printer_->wait_for_bytes(before + c.bytes.size(), std::chrono::seconds(5)));
  const Bytes transcript = printer_->transcript();
  EXPECT_EQ(vptest::text_of(Bytes(transcript.end() - static_cast<std::ptrdiff_t>(c.bytes.size()),
                                  transcript.end())),
            c.bytes);
  EXPECT_EQ(printer_->bytes_received(), before + c.bytes.size());
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, QuillSendTest,
    ::testing::Values(
        SendCase{"utf8", {"SET", "TEAR", "OFF\\r\\n", "\\x7e!T\\r\\n"}, "SET TEAR OFF\r\n ~!T\r\n"},
        // 中 is D6 D0 in GB 18030.
        SendCase{"gb18030",
                 {"--encoding", "gb18030", "TEXT 1,1,\"TSS24.BF2\",0,1,1,\"中\"\\r\\n"},
                 "TEXT 1,1,\"TSS24.BF2\",0,1,1,\"\xD6\xD0\"\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(QuillCommandTest, PrintSendsTheWholeLabel) {
  testing::TempDir dir;
  const auto label = dir.write("label.json", vptest::bytes_of(R"({
    "size": {"width": 50, "height": 30}, "gap": {"distance": 2}, "copies": 2,
    "elements": [
      {"kind": "text", "x": 10, "y": 10, "text": "Hello"},
      {"kind": "barcode", "x": 10, "y": 50, "height": 60, "data": "CLI-128"},
      {"kind": "bitmap-text", "x": 10, "y": 150, "height": 30, "style": "bold", "text": "Bold"},
      {"kind": "raw", "command": "BAR 0,220,400,4\r\n"}
    ]})"));
  const std::uint64_t before = printer_->label_count();
  const auto run = quill({"print", label}, named());
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(run.out,
            "printed 1 x 2 label(s) of 50 x 30 mm with 4 element(s) on " + address() + "\n");
  ASSERT_TRUE(printer_->wait_for_labels(before + 2, std::chrono::seconds(5)));
  const VirtualLabel printed = printer_->labels().back();
  EXPECT_EQ(printed.width, 400);
  EXPECT_EQ(printed.height, 240);
  EXPECT_EQ(vptest::decode(printed, ZXing::BarcodeFormat::Code128), "CLI-128");
  EXPECT_FALSE(vptest::ink_box(printed, 0, 150, 400, 200).empty) << "bitmap text missing";
  EXPECT_TRUE(printed.ink(200, 221)) << "raw BAR missing";
  EXPECT_EQ(printer_->setup().gap_dots, 16);
}

TEST_F(QuillCommandTest, DownloadStoresTheFileAndReportsProgressAsPlainLines) {
  testing::TempDir dir;
  const Bytes data = testing::patterned_bytes(1000);
  const auto file = dir.write("logo.bin", data);
  const auto run = quill({"download", file, "CLI.BIN"}, named());
  ASSERT_EQ(run.exit_code, 0) << run.err;
  // Standard error is a pipe here, not a terminal: one plain line per data write.
  EXPECT_EQ(run.err, "sent 1000 of 1000 bytes (100%)\n");
  EXPECT_EQ(run.out, "stored " + file + " as \"CLI.BIN\" (1000 bytes) on " + address() + "\n");
  EXPECT_EQ(printer_->file("CLI.BIN"), data);
}

// A port on which nothing listens: the connection is refused at once, yet the open's wait of
// 1.5 s is what decides.
std::uint16_t closed_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

TEST_F(QuillCommandTest, UnreachablePrinterExitsOneWithinTheOpenWait) {
  const std::string target = "127.0.0.1:" + std::to_string(closed_port());
  const auto run = quill({"status", "--wifi", target});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            "quill: cannot reach the printer at " + target + " (no connection within 1.5 s)\n");
  EXPECT_GE(clitest::seconds(run.elapsed), 1.5);
  EXPECT_LT(clitest::seconds(run.elapsed), 3.0);
}

struct UsageCase {
  const char* name;
  std::vector<std::string> args;
  std::string label;  // written to LABEL, which args may name
  std::string err;    // a regular expression found in standard error
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class QuillUsageTest : public QuillCommandTest, public ::testing::WithParamInterface<UsageCase> {};

// Usage errors, bad label files included, exit 2 with a reason and never reach the printer.
TEST_P(QuillUsageTest, ExitsTwoAndSendsNothing) {
  const UsageCase& c = GetParam();
  testing::TempDir dir;
  const auto label = dir.write("label.json", vptest::bytes_of(c.label));
  std::vector<std::string> args;
  for (const std::string& a : c.args) args.push_back(a == "LABEL" ? label : a);
  const std::uint64_t before = server_->accepted_connections();
  const auto run = quill(args, c.name == std::string("no_printer") ? Env{} : named());
  EXPECT_EQ(run.exit_code, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_THAT(run.err, ContainsRegex(c.err));
  EXPECT_EQ(server_->accepted_connections(), before);
}

constexpr const char* kGood = R"("size": {"width": 50, "height": 30})";

INSTANTIATE_TEST_SUITE_P(
    Refusals, QuillUsageTest,
    ::testing::Values(
        UsageCase{"wrong_type",
                  {"print", "LABEL"},
                  std::string("{") + kGood +
                      R"(, "elements": [{"kind": "text", "x": 1, "y": 1, "text": "ok"},
                         {"kind": "barcode", "x": "ten", "y": 0, "data": "A"}]})",
                  "^quill: .*label\\.json: elements\\[1\\]\\.x: expected a whole number from 0 "
                  "to 20000, got a string\n$"},
        UsageCase{"missing",
                  {"print", "LABEL"},
                  R"({"size": {"width": 50}})",
                  "size\\.height: missing\n$"},
        UsageCase{"unknown_field",
                  {"print", "LABEL"},
                  std::string("{") + kGood + R"(, "elemnts": []})",
                  ": elemnts: unknown field\n$"},
        UsageCase{"quote_in_text",
                  {"print", "LABEL"},
                  std::string("{") + kGood +
                      R"(, "elements": [{"kind": "text", "x": 1, "y": 1, "text": "a\"b"}]})",
                  "elements\\[0\\]\\.text: contains a double quote"},
        UsageCase{"rotation",
                  {"print", "LABEL"},
                  std::string("{") + kGood +
                      R"(, "elements": [{"kind": "bitmap-text", "x": 1, "y": 1, "text": "a",
                          "rotation": 45}]})",
                  "elements\\[0\\]\\.rotation: expected 0, 90, 180 or 270, got 45"},
        UsageCase{"not_json", {"print", "LABEL"}, "{\"size\": ", "not valid JSON: .*line 1"},
        UsageCase{"bad_escape", {"send", "CLS\\q"}, "", "unknown escape \\\\q"},
        UsageCase{"bluetooth", {"status", "--bt"}, "", "--bt.*not available in this build"},
        UsageCase{"ble", {"status", "--ble", "P1"}, "", "--ble.*not available in this build"},
        UsageCase{"no_printer", {"status"}, "", "no printer named: .*QUILL_PRINTER"},
        UsageCase{"bad_port", {"status", "--wifi", "127.0.0.1:70000"}, "", "1 to 65535"},
        UsageCase{"unknown_query", {"query", "colour"}, "", "colour not in"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillkit
