// The printer emulator: a command stream parser that behaves as the ticket
// printer does (PrinterStream), a decoder for the monochrome PCX pictures it
// takes (decodeMonochromePcx), and the TCP server that puts both on a port
// (EmulatorServer), driven by the kivo-printer-emulator command line.
#pragma once

#include "emulator/emulator_server.h"
#include "emulator/pcx_decode.h"
#include "emulator/printer_stream.h"
