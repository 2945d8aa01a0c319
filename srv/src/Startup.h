// Startup.h — the server's modules in their start-up order, in one place for
// the program's main and its fuzz target.
#pragma once

namespace Startup {
  // Starts every module of the server (Args::SetArgs first). With console
  // false the console's signals and keys stay untouched (fuzz targets).
  void InitModules(bool console);
}
