// The quill-printer program: PAPPL's main loop with the label drivers, the system it serves and
// the device schemes of the Bluetooth links.
#pragma once

namespace quill_printer {

// The whole program (argv[0] is its name): PAPPL's sub-commands (server, add, printers,
// devices, submit, jobs, cancel, status, shutdown, ...). Returns the exit code.
int run(int argc, char** argv);

}  // namespace quill_printer
