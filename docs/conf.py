"""Sphinx configuration of the tamsel documentation site (built by `make docs`)."""
import ast
import pathlib
import sys

from docutils import nodes
from sphinx.util import logging

import tamsel
# Imported here so the API reference documents the native module itself, with its docstrings
# and text signatures, and not the typing stubs installed beside it.
import tamsel.slave
import tamsel.tamsel

project = "tamsel"
author = "the tamsel developers"
copyright = "the tamsel developers"
release = tamsel.__version__
version = ".".join(release.split(".")[:2])

sys.path.insert(0, str(pathlib.Path(__file__).parent / "_ext"))
extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "safety_matrix",
]

source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]
myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

html_theme = "furo"
html_title = f"tamsel {release}"
html_static_path = ["_static"]

# The API reference follows the order of the source, documents every public name and keeps
# the signatures the extension publishes.
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "undoc-members": True, "show-inheritance": True}
autodoc_typehints = "signature"

# Every example runs as a doctest; a handler left alive would keep the build waiting for its
# watchdog thread, so the examples delete theirs on every path.
doctest_global_setup = """
import tamsel.tamsel as ts
"""
trim_doctest_flags = True

logger = logging.getLogger(__name__)


def _run_session_examples(app, doctree):
    """Every Python example runs in `make docs`: a code block written as an interpreter session
    (``>>>`` prompts) becomes a doctest block, and any other Python block outside the doctest
    directives ({testcode}, {doctest}) is reported, which fails the build."""
    for block in list(doctree.findall(nodes.literal_block)):
        if "testnodetype" in block or block.get("language") not in ("python", "pycon", "py"):
            continue
        if block.astext().lstrip().startswith(">>>"):
            session = nodes.doctest_block(block.rawsource, block.astext(), language="pycon")
            session.source, session.line = block.source, block.line
            block.replace_self(session)
        else:
            logger.warning("Python example that does not run: write it as a >>> session or in "
                           "a {testcode} block with its {testoutput}", location=block)


def _stub_signatures(path):
    """"name" or "Class.name" -> (signature, return annotation) of every function the typing
    stubs declare once (overloaded names are left out); a method's signature without its
    `self` or `cls`."""
    declared = {}

    def visit(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                visit(node.body, f"{prefix}{node.name}.")
            elif isinstance(node, ast.FunctionDef):
                params = node.args
                static = any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in node.decorator_list)
                if prefix and not static:
                    if params.posonlyargs:
                        params.posonlyargs = params.posonlyargs[1:]
                    else:
                        params.args = params.args[1:]
                key = prefix + node.name
                returns = ast.unparse(node.returns) if node.returns else None
                declared[key] = None if key in declared else (f"({ast.unparse(params)})", returns)

    visit(ast.parse(path.read_text()).body, "")
    return {key: value for key, value in declared.items() if value is not None}


# The native module's own text signatures carry no types; its stubs do.
STUB_SIGNATURES = _stub_signatures(pathlib.Path(tamsel.tamsel.__file__).with_name("tamsel.pyi"))


def _typed_signature(app, what, name, obj, options, signature, return_annotation):
    """The stubs' signature for a function, method or class of `tamsel.tamsel`."""
    prefix = "tamsel.tamsel."
    if not name.startswith(prefix) or what not in ("function", "method", "class"):
        return None
    key = name[len(prefix):]
    if what == "class":
        key = next((k for k in (f"{key}.__init__", f"{key}.__new__") if k in STUB_SIGNATURES), key)
        found = STUB_SIGNATURES.get(key)
        return (found[0], None) if found else None
    return STUB_SIGNATURES.get(key)


def _drop_module_docstrings(app, what, name, obj, options, lines):
    """Module docstrings repeat what the guide pages show with tested examples."""
    if what == "module":
        lines.clear()


def setup(app):
    app.connect("autodoc-process-docstring", _drop_module_docstrings)
    app.connect("autodoc-process-signature", _typed_signature)
    app.connect("doctree-read", _run_session_examples)
