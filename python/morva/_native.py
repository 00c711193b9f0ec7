"""Loads the ``morva._native`` extension module from the file that holds ``morva_core``.

Both modules are built into one extension file, so a process has one engine: one worker pool, one
set of fork handlers, and every ``World`` made and freed by the same code. Importing this module
replaces it in ``sys.modules`` with the extension module of the same name (the file's
``PyInit__native``), which works on the ``morva_core`` already imported, wherever that came from.
"""

import importlib.machinery
import importlib.util
import sys

import morva_core


def _load_extension(name, path):
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


sys.modules[__name__] = _load_extension(__name__, morva_core.__file__)
