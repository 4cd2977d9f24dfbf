#include "TavixHardwareAPI/Version.h"

#include <iostream>

#include "ProjectVersion.h"

namespace Tavix::HardwareAPI {

const char* GetVersion() { return TAVIX_PROJECT_VERSION; }

void PrintVersion() { std::cout << "Library version: " << GetVersion() << std::endl; }

}  // namespace Tavix::HardwareAPI
