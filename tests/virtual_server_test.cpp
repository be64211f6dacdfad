// The virtual printer over real TCP on 127.0.0.1: answers and their timing, several connections
// at once, refusals, and a clean stop.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "quillkit/virtual_printer.hpp"
#include "support/fake_printer.hpp"
#include "virtual_test_helpers.hpp"

namespace quillkit {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using ::testing::Contains;
using ::testing::HasSubstr;
using vptest::ink_box;

// A plain blocking TCP client.
class Client {
 public:
  explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{.sin_family = AF_INET, .sin_port = htons(port)};
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~Client() { ::close(fd_); }
  void send(std::string_view bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Reads until at least `count` bytes came or the peer sent nothing for 3 s; nullopt when the
  // stream ended before anything came.
  std::optional<std::string> read(std::size_t count = 1) {
    std::string all;
    char buffer[4096];
    for (pollfd wait{fd_, POLLIN, 0}; all.size() < count && ::poll(&wait, 1, 3000) > 0;) {
      const ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) return all.empty() ? std::nullopt : std::optional(all);
      all.append(buffer, static_cast<std::size_t>(got));
    }
    return all;
  }

  const int fd_;
};

struct Served {
  explicit Served(VirtualPrinterConfig config = {}, VirtualServerOptions options = {})
      : printer(std::move(config)), server(printer, options) {
    EXPECT_TRUE(server.start()) << server.error();
  }
  // A new connection's answer to the code page query.
  std::optional<std::string> codepage() {
    Client client(server.port());
    client.send("~!I\r\n");
    return client.read(9);
  }
  VirtualPrinter printer;
  VirtualPrinterServer server;
};

// A half-closed client (as nc -N leaves it) gets what it asked for, in order, then the end.
TEST(VirtualServer, ConfiguredAnswersComeBackInOrderThenTheEnd) {
  Served served({.answers = {.mileage = "12.5\r", .memory = "FREE 99\r"}});
  Client client(served.server.port());
  // The file's bytes hold a line end.
  client.send("~!@\r\n~!A\r\nDOWNLOAD F,\"A.BMP\",2,\r\n\r\n~!F\r\n");
  ::shutdown(client.fd_, SHUT_WR);
  const std::string expected = "12.5\rFREE 99\rA.BMP\r\x1A";
  EXPECT_EQ(client.read(expected.size()), expected);
  EXPECT_EQ(client.read(), std::nullopt) << "no end of stream";
  EXPECT_TRUE(served.printer.log_lines().empty());
}

TEST(VirtualServer, AnswerComesAfterTheDelayInPiecesWithGaps) {
  Served served({.answers = {.model_name = "ABCDEFGHIJ"},
                 .timing = {milliseconds(300), 4, milliseconds(150)}});
  Client client(served.server.port());
  auto start = Clock::now();
  client.send("~!T\r\n");
  EXPECT_EQ(client.read(), "ABCD");
  EXPECT_GE(Clock::now() - start, milliseconds(300));
  EXPECT_EQ(client.read(6), "EFGHIJ");
  EXPECT_GE(Clock::now() - start, milliseconds(300 + 2 * 150));
}

TEST(VirtualServer, ConnectionsParseIndependentlyAndShareOnePrinter) {
  Served served;
  Client a(served.server.port()), b(served.server.port()), c(served.server.port());
  a.send("SIZE 100 dot,40 dot\r\nCLS\r\n");
  ASSERT_TRUE(served.printer.wait_for_bytes(26, milliseconds(3000)));
  // Half lines interleaved across the connections must not mix.
  a.send("BAR 0,0,");
  b.send("BAR 40,0,");
  c.send("~!");
  b.send("10,10\r\n");
  a.send("10,10\r\n");
  c.send("I\r\n");
  EXPECT_EQ(c.read(9), "437, 001\r");
  ASSERT_TRUE(served.printer.wait_for_bytes(62, milliseconds(3000)));  // b's line too
  a.send("PRINT 1\r\n");
  ASSERT_TRUE(served.printer.wait_for_labels(1, milliseconds(3000)));
  VirtualLabel label = served.printer.labels().back();
  EXPECT_TRUE(label.ink(0, 0) && label.ink(9, 9) && label.ink(40, 0) && label.ink(49, 9));
  EXPECT_EQ(ink_box(label).right, 50);
  EXPECT_TRUE(served.printer.log_lines().empty());
  EXPECT_EQ(served.server.accepted_connections(), 3u);
}

TEST(VirtualServer, ConnectionsBeyondTheCapAreClosedAndLoggedThenServedOnceOneGoes) {
  Served served({}, {.max_connections = 2});
  auto a = std::make_unique<Client>(served.server.port());
  Client b(served.server.port());
  ASSERT_TRUE(testing::wait_until([&] { return served.server.open_connections() == 2; }));
  Client refused(served.server.port());
  EXPECT_EQ(refused.read(), std::nullopt);
  // The log says why by the time the client sees the end.
  EXPECT_THAT(served.printer.log_lines(), Contains(HasSubstr("connection refused and closed")));
  a.reset();
  ASSERT_TRUE(testing::wait_until([&] { return served.server.open_connections() < 2; }));
  EXPECT_EQ(served.codepage(), "437, 001\r");
}

TEST(VirtualServer, IdleConnectionIsLoggedAndClosed) {
  Served served({}, {.idle_timeout = milliseconds(200)});
  Client client(served.server.port());
  EXPECT_EQ(client.read(), std::nullopt) << "no end of stream";
  EXPECT_THAT(served.printer.log_lines(), Contains(HasSubstr("nothing received for 200 ms")));
}

// A second start and a bad address are refused; a stop is prompt and the server can start again.
TEST(VirtualServer, StopIsPromptWithClientsAndPendingAnswers) {
  Served served({.timing = {.delay = milliseconds(20000)}});
  EXPECT_FALSE(served.server.start());
  EXPECT_FALSE(VirtualPrinterServer(served.printer, {.host = "not an address"}).start());
  Client idle(served.server.port());
  Client waiting(served.server.port());
  waiting.send("~!T\r\n");
  ASSERT_TRUE(served.printer.wait_for_bytes(5, milliseconds(3000)));
  auto start = Clock::now();
  served.server.stop();
  EXPECT_LT(Clock::now() - start, milliseconds(2000));
  EXPECT_EQ(served.server.open_connections(), 0u);
  EXPECT_EQ(waiting.read(), std::nullopt);
  served.server.stop();
  // It can listen again afterwards.
  ASSERT_TRUE(served.server.start());
  served.printer.set_timing({});
  EXPECT_EQ(served.codepage(), "437, 001\r");
}

TEST(VirtualServer, PeerGoneBeforeItsAnswerDoesNotHurt) {
  Served served({.answers = {.model_name = std::string(256 * 1024, 'm')},
                 .timing = {.delay = milliseconds(100)}});
  {
    Client gone(served.server.port());
    gone.send("~!T\r\n~!T\r\n");
    ASSERT_TRUE(served.printer.wait_for_bytes(10, milliseconds(3000)));
  }
  // The server answers into the closed socket, then drops the connection.
  ASSERT_TRUE(testing::wait_until([&] { return served.server.open_connections() == 0; }));
  EXPECT_EQ(served.codepage(), "437, 001\r");
}

}  // namespace
}  // namespace quillkit
