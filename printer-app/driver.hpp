// The printer drivers: the label printers at 203 and 300 dpi.
#pragma once

#include <pappl/pappl.h>

#include <span>

namespace quill_printer {

// The drivers, for papplMainloop and the system.
std::span<pappl_pr_driver_t> drivers();

// The driver callback: fills in a printer's capabilities and callbacks for `driver_name`.
bool driver_callback(pappl_system_t* system, const char* driver_name, const char* device_uri,
                     const char* device_id, pappl_pr_driver_data_t* data, ipp_t** attrs,
                     void* cbdata);

// Chooses the driver for a discovered printer: none when its IEEE 1284 device ID names another
// command set; 300 dpi when it names a model with "300" in it; else 203 dpi.
const char* auto_add_callback(const char* device_info, const char* device_uri,
                              const char* device_id, void* data);

}  // namespace quill_printer
