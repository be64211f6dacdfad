// The information queries over a real TCP connection to a fake printer.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "support/query_support.hpp"

namespace quillkit {
namespace {

using testing::Clock;
using testing::since;

struct Query {
  const char* name;
  std::string line;  // what the printer must see
  std::string (Printer::*plain)();
  std::string (Printer::*with_delay)(double);
};

void PrintTo(const Query& query, std::ostream* os) { *os << query.name; }

class InformationQueryTest : public testing::OpenWiFiTest,
                             public ::testing::WithParamInterface<Query> {};

TEST_P(InformationQueryTest, WritesItsLineAndReturnsTheWholeAnswer) {
  const Query& query = GetParam();
  fake().add_answer({query.line, {"AB", "C\r\n"}, 0, 0.05});

  EXPECT_EQ((printer().*query.with_delay)(0.4), "ABC\r\n");
  EXPECT_EQ(fake().received(), query.line);

  const auto start = Clock::now();
  EXPECT_EQ((printer().*query.plain)(), "ABC\r\n");
  EXPECT_GE(since(start), 1.0);
  EXPECT_LT(since(start), 3.0);
  EXPECT_EQ(fake().received(), query.line + query.line);
}

INSTANTIATE_TEST_SUITE_P(
    AllSix, InformationQueryTest,
    ::testing::Values(
        Query{"codepage", "~!I\r\n", &Printer::printer_codepage, &Printer::printer_codepage},
        Query{"mileage", "~!@\r\n", &Printer::printer_mileage, &Printer::printer_mileage},
        Query{"memory", "~!A\r\n", &Printer::printer_memory, &Printer::printer_memory},
        Query{"files", "~!F\r\n", &Printer::printer_files, &Printer::printer_files},
        Query{"modelname", "~!T\r\n", &Printer::printer_modelname, &Printer::printer_modelname},
        Query{"serialnumber", "OUT _SERIAL$\r\n", &Printer::printer_serialnumber,
              &Printer::printer_serialnumber}),
    [](const auto& info) { return std::string(info.param.name); });

using QueryAnswerTest = testing::OpenWiFiTest;

TEST_F(QueryAnswerTest, NulsAreRemovedAndHighBytesKept) {
  fake().add_answer({"~!T\r\n", {std::string("\0Q-1\xb0", 5), std::string("\xff\0\r\n", 4)}});
  EXPECT_EQ(printer().printer_modelname(0.3), "Q-1\xb0\xff\r\n");
}

TEST_F(QueryAnswerTest, NoAnswerOrALateOneNeverGivesAnOlderAnswer) {
  fake().add_answer({"~!T\r\n", {"OLD\r\n"}});
  fake().add_answer({"~!A\r\n", {"LATE\r\n"}, 0.7});
  EXPECT_EQ(printer().printer_modelname(0.3), "OLD\r\n");
  EXPECT_EQ(printer().printer_codepage(0.3), "");

  const std::size_t passes = reader_.passes();
  EXPECT_EQ(printer().printer_memory(0.2), "");
  ASSERT_TRUE(reader_.wait_for_passes(passes + 1));  // the late answer is read now
  EXPECT_EQ(printer().printer_files(0.2), "");
}

TEST_F(QueryAnswerTest, AnswerStillArrivingGivesMinusOne) {
  fake().add_answer({"~!F\r\n", testing::one_byte_pieces("FILES\r\nMORE\r\n"), 0, 0.04});
  reader_.hold();  // the pieces after the first read stay on the input stream
  EXPECT_EQ(printer().printer_files(0.4), "-1");
  reader_.release();
}

TEST(QueryLinkDownTest, EveryQueryRefusesAtOnce) {
  using Plain = std::string (Printer::*)();
  const Plain queries[] = {&Printer::printer_codepage,  &Printer::printer_mileage,
                           &Printer::printer_memory,    &Printer::printer_files,
                           &Printer::printer_modelname, &Printer::printer_serialnumber};
  WiFi printer;
  const auto start = Clock::now();
  for (const Plain query : queries) EXPECT_EQ((printer.*query)(), "-1");
  EXPECT_LT(since(start), 0.2);
}

}  // namespace
}  // namespace quillkit
