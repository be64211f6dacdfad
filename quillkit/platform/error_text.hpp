// The texts of operating-system and bus errors. Each failure of the platform is
// put into words once, here, so that every line the library logs about one
// reads alike: what was being done, then the system's reason.
#pragma once

#include <string>
#include <string_view>

namespace sdbus {
class Error;
}

namespace quillkit::platform {

// "<context>: <the system's text for the errno value `error`>", as in
// "cannot open /dev/rfcomm0: No such file or directory". Thread-safe.
std::string system_error_text(std::string_view context, int error);

// "<context>: <error name>: <message>" for an error a D-Bus call raised or
// replied with, as in "BlueZ: org.freedesktop.DBus.Error.ServiceUnknown: ...";
// without the context and its colon when `context` is empty. Thread-safe.
std::string bus_error_text(std::string_view context, const sdbus::Error& error);

}  // namespace quillkit::platform
