// Umbrella header: everything an application needs to drive a label printer.
#pragma once

#include "quillkit/ble.hpp"
#include "quillkit/bluetooth.hpp"
#include "quillkit/image.hpp"
#include "quillkit/printer.hpp"
#include "quillkit/status.hpp"
#include "quillkit/types.hpp"
#include "quillkit/wifi.hpp"
