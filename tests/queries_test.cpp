// The information queries over a real TCP connection to a fake printer.
#include <gtest/gtest.h>

#include <string>

#include "support/query_support.hpp"

namespace quillkit {
namespace {

struct Query : testing::NamedCase {
  std::string line;  // what the printer must see
  std::string (Printer::*plain)();
  std::string (Printer::*with_delay)(double);
};

const Query kQueries[] = {
    {"codepage", "~!I\r\n", &Printer::printer_codepage, &Printer::printer_codepage},
    {"mileage", "~!@\r\n", &Printer::printer_mileage, &Printer::printer_mileage},
    {"memory", "~!A\r\n", &Printer::printer_memory, &Printer::printer_memory},
    {"files", "~!F\r\n", &Printer::printer_files, &Printer::printer_files},
    {"modelname", "~!T\r\n", &Printer::printer_modelname, &Printer::printer_modelname},
    {"serialnumber", "OUT _SERIAL$\r\n", &Printer::printer_serialnumber,
     &Printer::printer_serialnumber},
};

using InformationQueryTest = testing::QueryTableTest<Query>;

TEST_P(InformationQueryTest, WritesItsLineAndReturnsTheWholeAnswer) {
  const Query& query = GetParam();
  fake().add_answer({query.line, {"AB", "C\r\n"}});
  EXPECT_EQ((printer().*query.with_delay)(0.4), "ABC\r\n");

  const auto start = testing::Clock::now();
  EXPECT_EQ((printer().*query.plain)(), "ABC\r\n");
  EXPECT_DOUBLE_EQ(testing::since(start), 1.0);
  EXPECT_EQ(fake().received(), query.line + query.line);
}

INSTANTIATE_TEST_SUITE_P(AllSix, InformationQueryTest, ::testing::ValuesIn(kQueries),
                         ::testing::PrintToStringParamName());

using QueryAnswerTest = testing::OpenWiFiTest;

TEST_F(QueryAnswerTest, AnswerStillArrivingGivesMinusOne) {
  // Few pieces: while the reader is held, each one unread holds the test clock
  // for a while before it moves on.
  fake().add_answer({"~!F\r\n", {"FILES\r\n", "MORE", "\r\n"}, 0, 0.15});
  reader_.hold();  // the pieces after the first read stay on the input stream
  EXPECT_EQ(printer().printer_files(0.4), "-1");
  reader_.release();
}

}  // namespace
}  // namespace quillkit
