"""Teaches fabio the two plateio families in every process of this Python that imports fabio, so
that programs which open images through fabio -- pyFAI's command-line tools among them -- read TRA
and X-Area files without a line of the user's.

plateio-fabio.pth, installed beside the package, imports this module when Python starts. It imports
nothing else and only watches for fabio: when fabio is first imported, plateio.fabio_plugin is
imported right after it, and registers its image classes. A process that never imports fabio never
loads plateio, NumPy or the library on this account. A failure to register is a warning, never a
failure of fabio's import. Remove the .pth file to switch this off.
"""

import sys


class _AfterFabio:
    """A finder on sys.meta_path that finds nothing itself: it asks the other finders for fabio and
    has the loader they give import plateio.fabio_plugin once fabio is complete."""

    def __init__(self):
        self.done = False

    def find_spec(self, name, path=None, target=None):
        if name != "fabio" or self.done:
            return None
        self.done = True
        import importlib.util
        found = importlib.util.find_spec(name)
        loader = getattr(found, "loader", None)
        if loader is None or not hasattr(loader, "exec_module"):
            return found
        execute = loader.exec_module

        def exec_module(module):
            execute(module)
            try:
                import plateio.fabio_plugin  # noqa: F401 -- registers on import
            except Exception as error:  # noqa: BLE001 -- fabio itself must still import
                import warnings
                warnings.warn(f"plateio: fabio is not taught the TRA and X-Area formats: {error}",
                              RuntimeWarning, stacklevel=2)

        loader.exec_module = exec_module
        return found


if "fabio" not in sys.modules:
    sys.meta_path.insert(0, _AfterFabio())
