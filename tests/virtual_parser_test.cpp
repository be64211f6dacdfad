// The virtual printer's command stream: chunking, label state, files, answers, caps and
// recovery from bad input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "quillkit/virtual_printer.hpp"
#include "virtual_test_helpers.hpp"

namespace quillkit {
namespace {

using testing::bytes_of;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using vptest::ink_box;
using vptest::text_of;

// A job that uses every element and both binary payloads, whose raw bytes hold CR, LF, quotes
// and commas, so a parser that looks for line ends inside them goes wrong.
std::string sample_job() {
  return "SIZE 40 mm,30 mm\r\nGAP 2 mm,0 mm\r\nCLS\r\nTEXT 10,10,\"3\",0,1,1,\"Hi, \"you\"\"\r\n"
         "BARCODE 10,50,\"128\",40,1,0,2,2,\"AB-12\"\r\nBITMAP 200,10,2,3,0," +
         std::string("\r\n\x00\x0A\"\x2C", 6) +
         "\r\nQRCODE 200,100,M,3,A,0,\"hello\"\r\nDOWNLOAD F,\"LOGO.PCX\",5,\r\n\x1A,\"\r\n"
         "BOX 5,5,300,230,2\r\nREVERSE 20,200,40,10\r\n~!F\r\nPRINT 1,1\r\n\x1B!?";
}

// The answers, the PNG written and the stored file of the job fed in chunks of the sizes in turn.
std::tuple<Bytes, Bytes, std::optional<Bytes>> run_job(
    const std::vector<std::size_t>& chunk_sizes) {
  testing::TempDir dir;
  VirtualPrinter printer({.output_dir = dir.path()});
  Bytes job = bytes_of(sample_job()), answers;
  for (std::size_t k = 0, offset = 0; offset < job.size(); ++k) {
    std::size_t take = std::min(chunk_sizes[k % chunk_sizes.size()], job.size() - offset);
    Bytes answer = printer.feed(std::span(job).subspan(offset, take));
    answers.insert(answers.end(), answer.begin(), answer.end());
    offset += take;
  }
  EXPECT_EQ(printer.label_count(), 1u);
  EXPECT_GT(ink_box(printer.canvas()).width(), 200);
  EXPECT_TRUE(printer.log_lines().empty()) << printer.log_lines().front();
  return {answers, vptest::read_file(dir.path() / "label-0001.png"), printer.file("LOGO.PCX")};
}

TEST(VirtualPrinterChunking, AnyChunkBoundariesGiveTheSameLabelFilesAndAnswers) {
  const auto whole = run_job({1 << 20});
  const auto& [answers, png, file] = whole;
  ASSERT_FALSE(png.empty());
  EXPECT_EQ(text_of(answers), std::string("LOGO.PCX\r\x1A\x00", 11));
  EXPECT_EQ(file, Bytes({'\r', '\n', 0x1A, ',', '"'}));
  // Single bytes split at every position; the mixed sizes split multi-byte chunks unevenly.
  for (const auto& sizes : {std::vector<std::size_t>{1}, {3, 1, 4, 1, 5, 9}, {64}}) {
    EXPECT_EQ(run_job(sizes), whole) << ::testing::PrintToString(sizes);
  }
}

TEST(VirtualPrinterState, SizeSetsTheCanvasInDots) {
  for (const auto& [dpi, command, width, height] :
       std::vector<std::tuple<int, std::string, int, int>>{{203, "SIZE 60mm,40.5mm", 480, 324},
                                                           {300, "size 1,0.5", 300, 150}}) {
    VirtualPrinter printer({.dpi = dpi});
    printer.feed(command + "\r\n");
    EXPECT_EQ(std::tuple(printer.setup().width_dots, printer.setup().height_dots,
                         printer.canvas().width, printer.canvas().height),
              std::tuple(width, height, width, height))
        << command << " at " << dpi;
  }
}

TEST(VirtualPrinterState, SetupCommandsAreRemembered) {
  VirtualPrinter printer;
  printer.feed(
      "SIZE 60 mm,40 mm\r\nSPEED 4\r\nDENSITY 8\r\nBLINE 3 mm,1 mm\r\nDIRECTION 1,1\r\n"
      "REFERENCE 12,34\r\nOFFSET 2 mm\r\nSET TEAR OFF\r\nFORMFEED\r\nFORMFEED\r\n"
      "DIAGNOSTIC INTERFACE NET\r\n");
  VirtualLabelSetup s = printer.setup();
  EXPECT_EQ(std::tie(s.speed, s.density, s.black_line, s.gap_dots, s.gap_offset_dots, s.direction,
                     s.mirror, s.reference_x, s.reference_y, s.offset_dots, s.tear, s.form_feeds,
                     s.diagnostic_interface),
            std::make_tuple(4.0, 8, true, 24, 8, 1, 1, 12, 34, 16, false, 2u, "NET"));
  printer.feed("GAP 0.1,0\r\nSET TEAR ON\r\n");
  s = printer.setup();
  EXPECT_EQ(std::make_tuple(s.black_line, s.gap_dots, s.tear), std::make_tuple(false, 20, true));
  EXPECT_TRUE(printer.log_lines().empty());
}

TEST(VirtualPrinterPrint, PrintWritesSetsTimesCopiesNumberedPngsUpToTheFileCap) {
  testing::TempDir dir;
  std::vector<std::uint64_t> seen;
  const VirtualPrinterConfig config{
      .output_dir = dir.path() / "out",
      .output_max_labels = 6,
      .labels_kept = 4,
      .on_label = [&](const VirtualLabel& label) { seen.push_back(label.number); }};
  VirtualPrinter printer(config);
  printer.feed("SIZE 20 mm,10 mm\r\nCLS\r\nBAR 0,0,16,16\r\nPRINT 2,3\r\n");
  auto labels = printer.labels();
  ASSERT_EQ(labels.size(), 4u);
  EXPECT_EQ(labels.front().number, 3u);
  EXPECT_EQ(labels.back().png_path, config.output_dir / "label-0006.png");
  // Labels beyond the file cap are printed, counted and reported, not written; the first is logged.
  printer.feed("PRINT 1\r\nPRINT 1\r\n");
  EXPECT_EQ(printer.label_count(), 8u);
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(config.output_dir), {}), 6);
  EXPECT_THAT(printer.log_lines(), ElementsAre(HasSubstr("label 7 and later")));
}

TEST(VirtualPrinterPrint, PrintAndKeptLabelsAreCapped) {
  VirtualPrinter printer;
  printer.feed("SIZE 8 dot,8 dot\r\nPRINT 5000,3\r\n");
  EXPECT_EQ(printer.label_count(), VirtualLimits::kMaxLabelsPerPrint);
  EXPECT_THAT(printer.log_lines(), ElementsAre(HasSubstr("PRINT cut")));
  // SIZE is cut to the largest label.
  printer.feed("SIZE 9999 mm,9999 mm\r\nCLS\r\nPRINT 12\r\n");
  const std::size_t label_dots =
      std::size_t{VirtualLimits::kMaxLabelWidthDots} * VirtualLimits::kMaxLabelHeightDots;
  EXPECT_EQ(printer.labels().size(), VirtualLimits::kMaxKeptLabelDots / label_dots);
  EXPECT_EQ(printer.labels().back().number, VirtualLimits::kMaxLabelsPerPrint + 12);
}

TEST(VirtualPrinterPrint, CountersStepForEachLabelOfAPrint) {
  VirtualPrinter printer;
  auto draw = [&](const std::string& text) {
    printer.feed("CLS\r\nTEXT 10,10,\"3\",0,1,1," + text + "\r\nPRINT 1\r\n");
    return printer.labels().back().dots;
  };
  printer.feed("SIZE 200 dot,60 dot\r\nSET COUNTER @1 2\r\n@1=\"0007\"\r\n@2=\"No \"\r\n");
  printer.feed("CLS\r\nTEXT 10,10,\"3\",0,1,1,@2+@1+\"!\"\r\nPRINT 3\r\nPRINT 1\r\n");
  auto labels = printer.labels();
  ASSERT_EQ(labels.size(), 4u);
  EXPECT_TRUE(printer.log_lines().empty()) << printer.log_lines().front();
  // The third label pins both the start and the step.
  EXPECT_EQ(labels[2].dots, draw("\"No 0011!\""));
  EXPECT_EQ(labels[3].dots, draw("\"No 0013!\""));
}

TEST(VirtualPrinterFiles, DownloadListReplaceAndKill) {
  VirtualPrinter printer;
  auto list = [&] { return text_of(printer.feed("~!F\r\n")); };
  auto free_kb = [&] { return text_of(printer.feed("~!A\r\n")); };
  printer.feed("DOWNLOAD F,\"A.PCX\",3,abc\r\nDOWNLOAD \"B.DAT\",0,\r\n");
  EXPECT_EQ(list(), "A.PCX\rB.DAT\r\x1A");
  printer.feed("DOWNLOAD F,\"A.PCX\",2,xy\r\n");
  EXPECT_EQ(printer.file("A.PCX"), bytes_of("xy"));
  EXPECT_EQ(printer.file("B.DAT"), Bytes());
  EXPECT_EQ(free_kb(), std::to_string(VirtualLimits::kMaxTotalFileBytes / 1024 - 1) + " KB FREE\r");
  printer.feed("KILL F,\"A.PCX\"\r\n");
  EXPECT_EQ(list(), "B.DAT\r\x1A");
  printer.feed("DOWNLOAD F,\"C1\",1,1\r\nDOWNLOAD F,\"C2\",1,2\r\nKILL \"C*\"\r\n");
  EXPECT_EQ(list(), "B.DAT\r\x1A");
  printer.feed("KILL F,\"*\"\r\n");
  EXPECT_EQ(list(), "\x1A");
  EXPECT_EQ(free_kb(), std::to_string(VirtualLimits::kMaxTotalFileBytes / 1024) + " KB FREE\r");
  EXPECT_TRUE(printer.log_lines().empty());
}

TEST(VirtualPrinterFiles, FolderNamesCannotLeaveTheFolder) {
  testing::TempDir dir;
  const auto files_dir = dir.path() / "files";
  VirtualPrinter printer({.files_dir = files_dir});
  const std::vector<std::string> names = {"../../escape", "a/b\\c", ".hidden", "ok.pcx", ".."};
  for (const std::string& name : names) printer.feed("DOWNLOAD F,\"" + name + "\",2,hi\r\n");
  // Every file, wherever it landed, by its path from the test's folder.
  std::set<std::string> stored;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
    if (entry.is_regular_file()) stored.insert(entry.path().lexically_relative(dir.path()));
  }
  EXPECT_EQ(stored, (std::set<std::string>{"files/%2E.", "files/%2E.%2F..%2Fescape",
                                           "files/%2Ehidden", "files/a%2Fb%5Cc", "files/ok.pcx"}));
  EXPECT_EQ(printer.files().size(), names.size());
  printer.feed("KILL F,\"../../escape\"\r\n");
  EXPECT_FALSE(std::filesystem::exists(files_dir / "%2E.%2F..%2Fescape"));
  EXPECT_EQ(printer.files().size(), names.size() - 1);
}

TEST(VirtualPrinterFiles, FileCountAndMemoryAreCapped) {
  VirtualPrinter printer;
  for (std::size_t i = 0; i <= VirtualLimits::kMaxFiles; ++i) {
    printer.feed("DOWNLOAD F,\"F" + std::to_string(i) + "\",1,x\r\n");
  }
  EXPECT_EQ(printer.files().size(), VirtualLimits::kMaxFiles);
  ASSERT_EQ(printer.log_lines().size(), 1u);
  printer.feed("KILL \"*\"\r\n");

  std::string big(VirtualLimits::kMaxFileBytes, 'z');
  std::size_t fit = VirtualLimits::kMaxTotalFileBytes / VirtualLimits::kMaxFileBytes;
  for (std::size_t i = 0; i <= fit; ++i) {
    printer.feed("DOWNLOAD F,\"BIG" + std::to_string(i) + "\"," + std::to_string(big.size()) + "," +
                 big + "\r\n");
  }
  EXPECT_EQ(printer.files().size(), fit);
  EXPECT_EQ(text_of(printer.feed("~!A\r\n")), "0 KB FREE\r");
  EXPECT_EQ(printer.log_lines().size(), 2u);
}

TEST(VirtualPrinterFiles, ProgramsAreStoredUpToEopNotRun) {
  VirtualPrinter printer;
  printer.feed("CLS\r\nDOWNLOAD \"DEMO.BAS\"\r\nBAR 0,0,50,50\r\nPRINT 1\r\nEOP\r\n");
  EXPECT_EQ(printer.file("DEMO.BAS"), bytes_of("BAR 0,0,50,50\r\nPRINT 1\r\n"));
  EXPECT_EQ(printer.label_count(), 0u);  // stored, not run
  printer.feed("RUN \"DEMO.BAS\"\r\nKILL \"DEMO.BAS\"\r\n");
  EXPECT_FALSE(printer.file("DEMO.BAS").has_value());
  EXPECT_THAT(printer.log_lines(), ElementsAre(HasSubstr("RUN")));
}

TEST(VirtualPrinterAnswers, AnswersAreSentAsGivenAndFollowChangesAndPauses) {
  const std::string model("MODEL X\r\n\0\0", 11);
  VirtualPrinter printer({.answers = {.model_name = model}});
  EXPECT_EQ(text_of(printer.feed("~!T\r\n")), model);
  EXPECT_EQ(text_of(printer.feed("OUT \"free text\"\r\n")), "free text");
  // The status request needs no line end and may stand inside a line.
  EXPECT_EQ(printer.feed("BAR 1,1,\x1B!?2,2\r\n"), Bytes{0});
  // Replaced answers apply from the next request on.
  printer.set_answers({.code_page = "850, 002\r", .status = 0x05, .status_trailer = {0x0D}});
  EXPECT_EQ(printer.feed(std::string_view("\x1B!?", 3)), (Bytes{0x05, 0x0D}));
  EXPECT_EQ(text_of(printer.feed("~!I\r\n")), "850, 002\r");
  EXPECT_TRUE(printer.canvas().ink(2, 2));
  // A pause shows in the status until resumed; a reset clears the canvas.
  EXPECT_EQ(printer.feed(std::string_view("\x1B!P\x1B!?", 6)), (Bytes{0x15, 0x0D}));
  EXPECT_EQ(printer.feed(std::string_view("\x1B!O\x1B!?", 6)), (Bytes{0x05, 0x0D}));
  printer.feed(std::string_view("\x1B!R", 3));
  EXPECT_TRUE(ink_box(printer.canvas()).empty);
  EXPECT_TRUE(printer.log_lines().empty());
}

// An oversized payload whose bytes hold a command: it must be skipped by its declared length.
std::string oversized(const std::string& header, std::size_t size, char fill) {
  return header + std::string(size, fill).replace(10, 19, "\r\nBAR 0,0,400,400\r\n");
}

// Each bad input is followed by a good BAR and PRINT: the label must hold exactly that bar
// (nothing of the bad input drawn, nothing of the good lines lost) and the log must say why.
TEST(VirtualPrinterRecovery, BadInputIsLoggedSkippedAndTheNextLineWorks) {
  for (const std::string& input : std::vector<std::string>{
           "FROB 1,2", "SIZE abc,def", "SPEED fast", "DENSITY 99", "TEXT 10,10,\"3\",45,1,1,\"x\"",
           "TEXT 10,10,\"3\",0,99,1,\"x\"", "TEXT 10,10,\"3\",0,1,1,\"unterminated",
           "TEXT 1,1,\"0\",0,999,999,\"x\"", "BARCODE 0,0,\"NOPE\",40,1,0,2,2,\"1\"",
           "BARCODE 0,0,\"EAN13\",40,1,0,2,2,\"abc\"", "BARCODE 0,0,\"128\",40,1,0,99,2,\"1\"",
           "QRCODE 0,0,Z,3,A,0,\"x\"", "QRCODE 0,0,M,300,A,0,\"x\"", "BAR 1,2,3", "BAR 1,2,-3,4",
           "BOX 0,0,10,10,0", "BITMAP 1,2,x,4,0,", "BITMAP 0,0,1,1,7,\x01",
           "DOWNLOAD F,\"X\",99999999999,", "DOWNLOAD F,\"\",1,x",
           oversized("BITMAP 0,0,400,400,0,", 400 * 400, '\xFF'),  // over the width cap
           oversized(
               "DOWNLOAD F,\"HUGE\"," + std::to_string(VirtualLimits::kMaxFileBytes + 1) + ",",
               VirtualLimits::kMaxFileBytes + 1, 'd'),
           std::string(VirtualLimits::kMaxLineBytes + 10, 'A'),
           "TEXT 0,0,\"5\",0,10,10,\"" + std::string(1000, 'W') + "\"",
           "TEXT 0,0,\"0\",0,300,30,\"" + std::string(1000, 'W') + "\"",
           "BARCODE 0,0,\"128\",4800,0,0,10,10,\"" + std::string(200, 'x') + "\"", "PRINT 0",
           "PRINT 1,x", "KILL \"NOPE\"", "KILL", "DIAGNOSTIC REPORT SMBNOPE", "OUT _NOPE$",
           std::string("\x1B!X", 3), "~!Z", std::string("\x00\xFF\xFE garbage", 12),
           // Accepted and logged: nothing of them shows on a label.
           "FEED 10", "CUT", "SET PEEL ON", "BARCODE 0,0,\"CPOST\",40,1,0,2,2,\"1\"",
           "CIRCLE 0,0,0,1", "ELLIPSE 0,0,5,5", "DMATRIX 0,0,10,10,\"\"", "PUTBMP 0,0,\"NOPE.BMP\"",
           "CODEPAGE 9999", "RSS 0,0,\"NOPE\",0,2,1,\"1\"", "EOP", "@1", "SET COUNTER @1 x",
           "MAXICODE 0,0,2,\"x\""}) {
    SCOPED_TRACE(input.substr(0, 60) + (input.size() > 60 ? "..." : ""));
    VirtualPrinter printer;
    printer.feed("SIZE 60 mm,40 mm\r\nCLS\r\n" + input);
    EXPECT_TRUE(printer.feed("\r\nBAR 100,120,30,20\r\nPRINT 1\r\n").empty());
    ASSERT_EQ(printer.label_count(), 1u);
    auto box = ink_box(printer.labels().back());
    EXPECT_EQ(std::make_tuple(box.left, box.top, box.width(), box.height()),
              std::make_tuple(100, 120, 30, 20));
    EXPECT_FALSE(printer.log_lines().empty());
  }
}

// What a connection leaves unfinished is logged when its stream ends.
TEST(VirtualPrinterStream, EndOfStreamLogsWhatWasDropped) {
  for (const auto& [input, logged] : std::vector<std::pair<std::string, std::string>>{
           {"CLS\r\nTEXT 1,1", "line end (8 bytes)"},
           {"BITMAP 0,0,2,2,0,ab", "2 bytes missing"},
           {"DOWNLOAD \"P.BAS\"\r\nCLS\r\n", "P.BAS without EOP"}}) {
    VirtualPrinter printer;
    printer.open_stream()->feed(bytes_of(input));
    EXPECT_THAT(printer.log_lines(), ElementsAre(HasSubstr(logged))) << input;
  }
}

TEST(VirtualPrinterLimits, LogAndTranscriptAreBounded) {
  std::size_t reported = 0;
  VirtualPrinter printer({.on_log = [&](std::string_view) { ++reported; }});
  printer.feed("ABC");
  std::string junk;
  for (std::size_t i = 0; i < VirtualLimits::kMaxLogLines + 50; ++i) {
    junk += "NOPE " + std::string(4000, 'x') + "\r\n";
  }
  printer.feed(junk);
  printer.feed("XYZ");
  EXPECT_EQ(reported, VirtualLimits::kMaxLogLines + 50);
  auto lines = printer.log_lines();
  EXPECT_EQ(lines.size(), VirtualLimits::kMaxLogLines);
  for (const std::string& line : lines) EXPECT_LE(line.size(), VirtualLimits::kMaxLogLineChars + 3);

  // The transcript keeps the most recent bytes.
  ASSERT_GT(junk.size(), VirtualLimits::kMaxTranscriptBytes);
  EXPECT_EQ(printer.bytes_received(), junk.size() + 6);
  Bytes transcript = printer.transcript();
  ASSERT_EQ(transcript.size(), VirtualLimits::kMaxTranscriptBytes);
  EXPECT_EQ(text_of(Bytes(transcript.end() - 6, transcript.end())), "x\r\nXYZ");
}

// Log lines quote bytes as escape_bytes writes them (the web view finds them in its transcript
// by that form); "..." stands for what a cap cut off.
TEST(VirtualPrinterLimits, BytesAreQuotedAsEscapeBytesWritesThem) {
  using Row = std::tuple<std::string, bool, std::size_t, std::string>;
  for (const auto& [bytes, line_ends, cap, text] :
       std::vector<Row>{{std::string("A \x00\x7F\xE9\r\n", 7), false, std::string::npos,
                         "A \\x00\\x7F\\xE9\\x0D\\x0A"},
                        {"X\r\nY", true, std::string::npos, "X\\r\\n\nY"},
                        {"abcdef", false, 3, "abc..."},
                        {"abc", false, 3, "abc"}}) {
    EXPECT_EQ(escape_bytes(bytes, line_ends, cap), text);
  }
  VirtualPrinter printer;
  printer.feed("FROB \xE9\r\n");
  EXPECT_THAT(printer.log_lines(), ElementsAre("unknown command skipped: FROB \\xE9"));
}

}  // namespace
}  // namespace quillkit
