// quill over BLE, run in the test's process on its clock: the fake BlueZ on a private bus,
// answering the model and battery queries itself (the virtual printer behind it is
// virtual_ble_slow_test.cpp's).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cli_test_helpers.hpp"
#include "support/fake_gatt.hpp"
#include "support/sdbus_tsan.hpp"

namespace quillkit {
namespace {

using clitest::run_quill;

struct Case : clitest::CommandCase {
  std::size_t longest_write = 0;  // checked when not 0
};

class QuillBleTest : public ::testing::TestWithParam<Case> {
 protected:
  // The bus and the fake on it, for the whole suite; the fake goes first.
  struct Fake {
    testing::PrivateBus bus;
    testing::FakeGatt gatt{
        bus, {"--answers", R"({"~!T\r\n": "QUILLKIT VP-203\r", "SMBVOLTAGE\r\n": "REPORT=7400\r",
                        "\u001b!?": "\u0005"})"}};
  };
  static void SetUpTestSuite() {
    fake_ = std::make_unique<Fake>();
    ASSERT_TRUE(fake_->gatt.ok());
  }
  static void TearDownTestSuite() { fake_.reset(); }

  static inline std::unique_ptr<Fake> fake_;
};

TEST_P(QuillBleTest, FindsOpensAndAnswers) {
  const Case& c = GetParam();
  fake_->gatt.clear_writes();
  const auto run = run_quill(c.args);
  clitest::expect_result(run, c);
  if (c.longest_write == 0) return;
  std::size_t longest = 0;
  for (const auto& write : fake_->gatt.writes()) longest = std::max(longest, write.value.size());
  EXPECT_EQ(longest, c.longest_write);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, QuillBleTest,
    ::testing::Values(
        Case{{"scan",
              {"scan", "--seconds", "0.5"},
              0,
              "00:11:22:33:44:55  VP-BLE  \\(printer\\)\n"}},
        Case{{"scan_json",
              {"scan", "--seconds", "0.5", "--json"},
              0,
              "\\[\\{\"address\":\"00:11:22:33:44:55\",\"name\":\"VP-BLE\",\"printer\":true\\}\\]"
              "\n"}},
        Case{{"by_name", {"query", "model", "--ble", "VP-BLE"}, 0, "QUILLKIT VP-203\n"}, 5},
        // A printer answers the status request with one byte.
        Case{{"status",
              {"status", "--ble", "VP-BLE"},
              0,
              "head opened, out of paper \\(status byte 0x05\\)\n"}},
        Case{{"by_address_big_chunks",
              {"battery", "voltage", "--ble", "00:11:22:33:44:55", "--chunk", "512"},
              0,
              "voltage: 7400\n"},
             56},  // the whole battery command in one write
        Case{{"unknown",
              {"status", "--ble", "NOPE"},
              1,
              "",
              "quill: no BLE printer named NOPE answered within 5 s.*\n"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillkit
