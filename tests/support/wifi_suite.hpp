// A test suite base that shares one fake printer and one WiFi printer
// connected to it among all tests of the suite, so that the 1.5 s open is paid
// once per suite. Each test starts with the fake's record cleared.
#pragma once

#include <gtest/gtest.h>

#include "quillkit/wifi.hpp"
#include "support/fake_printer.hpp"

namespace quillkit::testing {

class WiFiSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    fake_ = new FakePrinter();
    printer_ = new WiFi();
    ASSERT_EQ(printer_->openport("127.0.0.1", fake_->port()), 1);
  }
  static void TearDownTestSuite() {
    delete printer_;
    printer_ = nullptr;
    delete fake_;
    fake_ = nullptr;
  }
  void SetUp() override { fake_->clear(); }

  static inline FakePrinter* fake_ = nullptr;
  static inline WiFi* printer_ = nullptr;
};

}  // namespace quillkit::testing
