"""The installed distribution: one version, and the typing files shipped with the code."""
import importlib.metadata
import re

import tamsel


def test_version_is_the_distribution_version():
    assert tamsel.__version__ == importlib.metadata.version("tamsel")
    assert re.fullmatch(r"\d+\.\d+\.\d+((a|b|rc)\d+)?(\.dev\d+)?", tamsel.__version__)


def test_wheel_ships_stubs_and_typed_marker():
    files = {str(path) for path in importlib.metadata.files("tamsel")}
    assert {"tamsel/py.typed", "tamsel/tamsel.pyi", "tamsel/_slave.pyi", "tamsel/slave.py"} <= files

