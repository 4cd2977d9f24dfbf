"""Opens a SerialStream on a pseudo-terminal and shows the library version."""

import os
import tty

import TavixHardwareAPI as api

master, slave = os.openpty()
tty.setraw(master)
path = os.ttyname(slave)

stream = api.SerialStream(path)
print(f"TavixHardwareAPI {api.__version__}, C++ library {api.get_cpp_version()}")
api.print_cpp_version()
print(f"SerialStream opened on {path}")
del stream
os.close(master)
os.close(slave)
