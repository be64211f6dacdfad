// Diagnostic lines of the library.
#pragma once

#include <string_view>

#include "quillkit/types.hpp"

namespace quillkit::platform {

// Hands one diagnostic line (without its line end) to the current sink; see
// set_log_sink. Thread-safe. The sink runs on the calling thread, so callers
// never log while holding a printer's mutex.
void log_line(LogChannel channel, std::string_view line);

}  // namespace quillkit::platform
