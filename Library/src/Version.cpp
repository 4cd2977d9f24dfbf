#include "TavixHardwareAPI/Version.h"

#include <iostream>

namespace Tavix::HardwareAPI {

const char* GetVersion() { return "0.2.8"; }

void PrintVersion() { std::cout << "Library version: " << GetVersion() << std::endl; }

}  // namespace Tavix::HardwareAPI
