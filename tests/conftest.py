"""Settings for every test: the viewer's tests draw on a virtual X server, no display needed.

pytest-xvfb starts Xvfb and sets DISPLAY before any test imports Qt. Qt's offscreen platform has
no OpenGL widgets, which napari's canvas is, so Qt uses the X server (drawn by Mesa's software
OpenGL); without Xvfb it falls back to the offscreen platform, where the viewer cannot draw.
"""

import os

import pytest


@pytest.hookimpl(trylast=True)
def pytest_configure(config):
    os.environ.setdefault("QT_QPA_PLATFORM", "xcb" if os.environ.get("DISPLAY") else "offscreen")
