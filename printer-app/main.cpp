// quill-printer: an IPP Everywhere printer application for the label printers.
#include "printer-app/app.hpp"

int main(int argc, char** argv) { return quill_printer::run(argc, argv); }
