// The network printer: one TCP connection (port 9100 by default).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "quillkit/export.hpp"
#include "quillkit/printer.hpp"

namespace quillkit {

namespace detail {
class StreamLink;
}

// A printer reached over TCP. Thread-safety: as Printer. The object owns one
// reader thread while a connection is open; closeport, a second openport and
// the destructor close the connection and end that thread.
class QUILLKIT_EXPORT WiFi final : public Printer {
 public:
  static constexpr std::uint32_t kDefaultPort = 9100;

  // A closed object; opens nothing.
  WiFi();
  // The same on the given services (the library's own: its tests give their
  // clock); `env` must outlive the object.
  explicit WiFi(const platform::Env& env);
  // Closes the connection, if any, and ends the reader thread.
  ~WiFi() override;

  // Connects to host:portnumber on a new reader thread (closing any earlier
  // connection first), waits 1.5 s and returns 1 when the connection is then
  // open, -1 otherwise.
  Result openport(std::string_view host, std::uint32_t portnumber);
  // Waits `delay` seconds, closes the connection and returns 1.
  Result closeport(double delay);

  // The data sender: waits 0.2 s (or `delay`), then the gates, then one write.
  Result sendcommandWithData(std::span<const std::uint8_t> data) { return send_data(data); }
  Result sendcommandWithData(std::span<const std::uint8_t> data, double delay) {
    return send_data(data, delay);
  }
  Result sendcommandWithData(std::initializer_list<std::uint8_t> data) {
    return send_data(std::span<const std::uint8_t>(data.begin(), data.size()));
  }
  Result sendcommandWithData(std::initializer_list<std::uint8_t> data, double delay) {
    return send_data(std::span<const std::uint8_t>(data.begin(), data.size()), delay);
  }

  using Printer::sendcommand_getstring;

 private:
  WiFi(std::unique_ptr<detail::StreamLink> link, const platform::Env& env);

  std::unique_ptr<detail::StreamLink> link_;
};

}  // namespace quillkit
