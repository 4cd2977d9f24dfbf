"""Tools around the TavixHardwareAPI module: the ``tavix`` command line and the simulator launcher."""


def version():
    """The project version, as the compiled library reports it."""
    import TavixHardwareAPI

    return TavixHardwareAPI.get_cpp_version()
