"""Finds the native programs that come with the package (the simulator, the bridge)."""

import os
import pathlib
import shutil
import sysconfig

# <checkout>/python/tavix_tools/programs.py; installed, this is not a checkout.
CHECKOUT = pathlib.Path(__file__).resolve().parents[2]


def _candidates(name, checkout, folder):
    if (checkout / folder / "CMakeLists.txt").is_file():
        yield checkout / "build" / folder / name
    # The scripts folder of the running environment, which need not be on PATH (a virtual
    # environment used without activating it).
    yield pathlib.Path(sysconfig.get_path("scripts")) / name
    on_path = shutil.which(name)
    if on_path:
        yield pathlib.Path(on_path)


def find_program(name, variable, checkout, folder):
    """Path of the executable `name`: $`variable` taken as it is when set; else, when `checkout`
    is a checkout, the build tree's (build/`folder`); else the environment's scripts folder or
    PATH. FileNotFoundError names the places searched when none holds an executable."""
    if os.environ.get(variable):
        return os.environ[variable]
    searched = []
    for path in _candidates(name, checkout, folder):
        if os.access(path, os.X_OK) and path.is_file():
            return str(path)
        searched.append(str(path))
    raise FileNotFoundError(f"{name} not found (searched {', '.join(searched)} and PATH; "
                            f"set {variable} to its path)")
