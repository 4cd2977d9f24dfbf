// The library's version information.
#pragma once

namespace Tavix::HardwareAPI {

// The library version text, the project version such as "0.2.8"; a constant, never null.
const char* GetVersion();
// Writes "Library version: ", GetVersion() and a newline to the process's standard output
// (file descriptor 1, through std::cout, bypassing any Python-level redirection) and flushes it.
void PrintVersion();

}  // namespace Tavix::HardwareAPI
