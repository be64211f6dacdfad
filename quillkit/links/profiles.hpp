// The shipped classes' differences as data: each class's profile (waits,
// gates, failure values, interface line) and, for the stream links, the rules
// of its receive path. Tests build printers over these same rows.
#pragma once

#include "quillkit/commands/profile.hpp"
#include "quillkit/links/stream_link.hpp"

namespace quillkit::detail {

extern const Profile kWiFiProfile;
extern const StreamRules kWiFiRules;

extern const Profile kBluetoothProfile;
extern const StreamRules kBluetoothRules;

extern const Profile kBleProfile;

}  // namespace quillkit::detail
