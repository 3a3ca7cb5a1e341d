"""Where the package looks for libplateio, in order, and what it says when it finds none.

1. PLATEIO_LIBRARY in the environment: the library file, or a directory holding it. When it is set,
   it is the only place tried: a choice the user made explicitly is never silently replaced by
   another library.
2. The package's own directory (a library copied beside the package).
3. The directories recorded in _location.py when the package was staged or installed: by CMake
   (the build tree's library, or the installed one relative to the package) or by a pip build
   (PLATEIO_LIBRARY_DIR at build time, the checkout's build tree, or pkg-config's plateio).
4. The build tree build/release of a source checkout the package sits in.
5. The dynamic loader's search path (LD_LIBRARY_PATH, the ld.so cache, /lib, /usr/lib).
"""

import os

LIBRARY_NAMES = ("libplateio.so.1", "libplateio.so")
ENVIRONMENT = "PLATEIO_LIBRARY"


def package_dir():
    # The package's real place: a site directory reached through a symbolic link still finds the
    # library relative to where the package was installed.
    return os.path.dirname(os.path.realpath(__file__))


def _recorded():
    try:
        from . import _location
    except ImportError:
        return None
    return _location


def search_places():
    """(directory, what it is) in the order they are searched when nothing names the library."""
    package = package_dir()
    places = [(package, "inside the package")]
    location = _recorded()
    if location is not None:
        for directory in location.LIBRARY_DIRS:
            places.append((os.path.normpath(os.path.join(package, directory)), location.WHERE))
    checkout = os.path.dirname(os.path.dirname(package))
    if os.path.isfile(os.path.join(checkout, "include", "plateio.h")):
        places.append((os.path.join(checkout, "build", "release"), "the checkout's build tree"))
    return places


def candidates(explicit, environ=os.environ):
    """What to try, in order: (path to load, why it is tried, whether it exists). `explicit` is
    load_library's argument; then PLATEIO_LIBRARY; then the search places and, last, the loader's
    own search (a bare name, "exists" True)."""
    chosen, why = explicit, "the path given to load_library"
    if chosen is None and environ.get(ENVIRONMENT):
        chosen, why = environ[ENVIRONMENT], f"the environment's {ENVIRONMENT}"
    if chosen is not None:
        chosen = os.path.abspath(os.fsdecode(os.fspath(chosen)))
        files = ([os.path.join(chosen, name) for name in LIBRARY_NAMES]
                 if os.path.isdir(chosen) else [chosen])
        return [(path, why, os.path.exists(path)) for path in files]
    found = []
    for directory, what in search_places():
        for name in LIBRARY_NAMES:
            path = os.path.join(directory, name)
            found.append((path, what, os.path.exists(path)))
    found.append((LIBRARY_NAMES[0], "the dynamic loader's search path", True))
    return found


def failure(tried, explicit):
    """The OSError for a library found nowhere; `tried` holds one line per place."""
    if explicit is None and os.environ.get(ENVIRONMENT):
        hint = f"Correct or unset {ENVIRONMENT}, or pass the library's path to plateio.load_library(path)."
    else:
        hint = (f"Install the library beside the package (cmake --install), set {ENVIRONMENT} to "
                "its path, or pass its path to plateio.load_library(path).")
    return OSError("plateio: could not load libplateio. Looked at:\n  " + "\n  ".join(tried) +
                   "\n" + hint)
