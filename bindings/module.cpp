// The module entry: pybind11 refuses interpreters other than the 3.14 it was built for,
// then the members are registered in their fixed order.
#include "bindings.h"

#include "TavixHardwareAPI/Version.h"

PYBIND11_MODULE(TavixHardwareAPI, m) {
    using namespace tavix_bindings;
    m.doc() = "Python Implementation of the Tavix Hardware API";
    RememberMainThread();
    bind_SerialStream(m);
    bind_UUID(m);
    bind_Device(m);
    bind_Version(m);
    bind_Discovery(m);
    bind_Osmira(m);
    bind_Handle(m);
    m.attr("__version__") = HardwareAPI::GetVersion();  // the project version (VERSION)
    bind_ServoLoop(m);
    bind_Probe(m);
}
