// The printer emulator: a command stream parser that behaves as the ticket
// printer does (PrinterStream), a decoder for the monochrome PCX pictures it
// takes (decodeMonochromePcx), and the TCP server that puts both on a port
// (EmulatorServer), driven by the kivo-printer-emulator command line.
#pragma once

#include "emulator_server.h"
#include "pcx_decode.h"
#include "printer_stream.h"
