// The web view of `quill serve --http` in a real browser: headless Chromium, driven through its
// DevTools protocol over a pipe, watches a label printed through the library appear without a
// reload, and its status control changes what the printer answers.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>

#include "cli_test_helpers.hpp"
#include "quillkit/quillkit.hpp"
#include "support/fake_printer.hpp"
#include "support/temp_files.hpp"

namespace quillkit {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

constexpr const char* kChromium = "/usr/bin/chromium";

// A pipe (read end, write end) whose ends lie above the descriptors the child is given (3 and 4).
std::array<int, 2> high_pipe() {
  int fds[2];
  if (pipe(fds) != 0) return {-1, -1};
  const std::array<int, 2> high{fcntl(fds[0], F_DUPFD_CLOEXEC, 10),
                                fcntl(fds[1], F_DUPFD_CLOEXEC, 10)};
  ::close(fds[0]);
  ::close(fds[1]);
  return high;
}

// Headless Chromium with a fresh profile, commanded with NUL-ended JSON messages on its
// descriptor 3 and answering on 4.
class Browser {
 public:
  Browser()
      : process_({kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--user-data-dir=" + profile_.path().string(),
                  "--remote-debugging-pipe", "about:blank"},
                 "/dev/null", {{commands_[0], 3}, {answers_[1], 4}}) {
    ::close(commands_[0]);
    ::close(answers_[1]);
  }
  ~Browser() {
    ::close(commands_[1]);
    ::close(answers_[0]);
  }

  // Opens `url` in a new tab and attaches to it; false when the browser does not answer.
  bool open(const std::string& url) {
    const json target = call("Target.createTarget", {{"url", url}});
    session_ = call("Target.attachToTarget",
                    {{"targetId", target.value("targetId", "")}, {"flatten", true}})
                   .value("sessionId", "");
    return !session_.empty();
  }

  // The value of a JavaScript expression in the tab (null when it cannot be evaluated).
  json evaluate(const std::string& expression) {
    return call("Runtime.evaluate", {{"expression", expression}, {"returnByValue", true}}, session_)
        .value("result", json::object())
        .value("value", json());
  }

  // Waits, at most 20 s, until the expression is true.
  bool wait_for(const std::string& expression) {
    return testing::wait_until([&] { return evaluate(expression) == true; }, 20);
  }

 private:
  // Sends one command and reads messages until its answer; events in between are dropped. An
  // empty object when no result comes.
  json call(const std::string& method, const json& params, const std::string& session = "") {
    json message = {{"id", ++id_}, {"method", method}, {"params", params}};
    if (!session.empty()) message["sessionId"] = session;
    const std::string text = message.dump() + '\0';
    if (::write(commands_[1], text.data(), text.size()) < 0) return json::object();
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    for (pollfd ready{answers_[0], POLLIN, 0}; std::chrono::steady_clock::now() < deadline;) {
      if (::poll(&ready, 1, 1000) <= 0) continue;
      char chunk[65536];
      const ssize_t got = ::read(answers_[0], chunk, sizeof chunk);
      if (got <= 0) return json::object();
      buffer_.append(chunk, static_cast<std::size_t>(got));
      for (std::size_t end; (end = buffer_.find('\0')) != std::string::npos;) {
        const json answer = json::parse(buffer_.substr(0, end), nullptr, false);
        buffer_.erase(0, end + 1);
        if (!answer.is_object() || answer.value("id", 0) != id_) continue;
        return answer.value("result", json::object());
      }
    }
    return json::object();
  }

  testing::TempDir profile_;
  const std::array<int, 2> commands_ = high_pipe(), answers_ = high_pipe();
  clitest::ChildProcess process_;
  std::string buffer_;
  std::string session_;
  int id_ = 0;
};

TEST(QuillWebView, LabelAppearsLiveAndTheStatusControlChangesTheAnswer) {
  if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "chromium is not installed";
  testing::TempDir dir;
  clitest::ChildProcess serve({clitest::kQuill, "serve", "--port", "0", "--http", "0", "--out",
                               (dir.path() / "labels").string()});
  const auto banner = serve.read_line(10s);
  const auto web = serve.read_line(10s);
  std::smatch printer_port, web_url;
  ASSERT_TRUE(banner && std::regex_search(*banner, printer_port, std::regex(":([0-9]+), labels")));
  ASSERT_TRUE(web && std::regex_match(*web, web_url,
                                      std::regex("web view on (http://127\\.0\\.0\\.1:[0-9]+/)")))
      << web.value_or("(no line)");

  Browser browser;
  ASSERT_TRUE(browser.open(web_url[1].str()));
  // The event stream is open; the mark shows later that the page was not loaded again.
  ASSERT_TRUE(browser.wait_for("document.getElementById('live').className === 'on'"));
  browser.evaluate("window.loadedOnce = true");

  testing::LogCapture quiet;
  WiFi printer;
  ASSERT_EQ(printer.openport("127.0.0.1", std::stoi(printer_port[1].str())), 1);
  printer.sendcommand(
      "SIZE 60 mm,40 mm\r\nCLS\r\nFROB 1\r\nBARCODE 10,10,\"128\",80,1,0,2,2,\"WEB-1\"\r\n"
      "PRINT 1,3\r\n");
  // The three copies reach the page one update at a time.
  ASSERT_TRUE(browser.wait_for(
      "window.loadedOnce === true && document.querySelectorAll('.label').length === 1 && "
      "document.querySelector('.label .meta').textContent.includes('3 copies') && "
      "document.querySelector('.label img').complete && "
      "document.querySelector('.label img').naturalWidth === 480"));
  EXPECT_THAT(browser.evaluate("document.querySelector('.label .meta').textContent").dump(),
              ::testing::HasSubstr("480 x 320 dots (60 x 40 mm), 3 copies, from 127.0.0.1:"));
  EXPECT_EQ(browser.evaluate("document.querySelector('.transcript .logged').textContent"),
            "FROB 1\\r\\n");

  // "out of paper" is bit 2.
  browser.evaluate("document.querySelector('input[data-bit=\"2\"]').click()");
  ASSERT_TRUE(browser.wait_for("document.getElementById('status-byte').textContent === '0x04'"));
  EXPECT_EQ(printer.printer_status_byte(), 0x04);
  printer.closeport(0);
}

}  // namespace
}  // namespace quillkit
