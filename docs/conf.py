"""Sphinx configuration of the vyre_client documentation.

The API reference is read from the type stubs (sphinx-autoapi parses the .pyi
file without importing anything), so the docs build without the compiled
module. The ``vyre`` command reference comes from its argument parsers and the
wire protocol tables from the code's own constants (``_ext/wire_protocol.py``).
"""

import pathlib
import re
import sys

DOCS = pathlib.Path(__file__).resolve().parent
ROOT = DOCS.parent
sys.path[:0] = [str(DOCS / "_ext"), str(ROOT)]

project = "vyre_client"
author = "the vyre_client developers"
copyright = "the vyre_client developers"
release = version = "1.2.2"

extensions = [
    "sphinx.ext.napoleon",
    "autoapi.extension",
    "sphinxarg.ext",
    "myst_parser",
    "wire_protocol",
    "code_width",
]


def stubs_for_reading(text):
    """The stubs as the reference shows them. autoapi takes a class's signature
    from ``__init__`` only, while the module's classes are built by
    ``__new__``; and ``_Float`` (anything with a float or an index
    conversion) reads better as the ``float`` it stands for."""
    text = re.sub(
        r"def __new__\((\s*)cls,(.*?)\) -> Self:", r"def __init__(\1self,\2) -> None:", text, flags=re.DOTALL
    )
    text = re.sub(r"^_Float = .*\n", "", text, flags=re.MULTILINE)
    return re.sub(r"\b_Float\b", "float", text)


# The stubs live in the stub-only package ``vyre_client-stubs``; autoapi names
# modules after their files, so it reads a copy named after the module.
_API_SOURCE = DOCS / "_generated"
_API_SOURCE.mkdir(exist_ok=True)
(_API_SOURCE / "vyre_client.pyi").write_text(
    stubs_for_reading((ROOT / "vyre_python" / "stubs" / "vyre_client-stubs" / "__init__.pyi").read_text())
)

autoapi_type = "python"
# the module from its stubs; the pure-Python tools from their sources (their
# annotations and docstrings), without the command line (see cli.rst) and tests
autoapi_dirs = [str(_API_SOURCE), str(ROOT / "vyre_tools")]
autoapi_file_patterns = ["*.pyi", "*.py"]
autoapi_root = "api"
autoapi_add_toctree_entry = False
autoapi_keep_files = False
autoapi_member_order = "bysource"
autoapi_python_class_content = "class"  # the constructors' docstrings repeat it
# one page per class, so that each class can be linked and read on its own
autoapi_own_page_level = "class"
# inherited-members: the simulator's controls and cable are mixed in from modules of their own
autoapi_options = ["members", "inherited-members", "show-module-summary", "special-members"]
# the command and the browser control center are applications, not API
autoapi_ignore = ["*/vyre_tools/tests/*", "*/vyre_tools/cli/*", "*/vyre_tools/ui/*", "*/__main__.py"]

# Modules read (so that the names they give others resolve) but given no page:
# the inner parts of the simulator, the asyncio client and the recordings.
INTERNAL_MODULES = {
    *(
        f"vyre_tools.sim.{name}"
        for name in (
            "clientview",
            "control",
            "faults",
            "firmware",
            "intake",
            "mockmode",
            "output",
            "portclaim",
            "telemetry",
            "thread_requests",
            "waiting",
        )
    ),
    "vyre_tools.aio.worker",
    "vyre_tools.protocol",
    *(
        f"vyre_tools.recording.{name}"
        for name in ("arrow", "csv_format", "mcap_format", "npz_format", "parquet_format", "writer")
    ),
}


def skip_internal(app, what, name, obj, skip, options):
    if what == "module" and name in INTERNAL_MODULES:
        return True
    return skip


napoleon_google_docstring = True
napoleon_numpy_docstring = False
napoleon_custom_sections = [("Keys", "params_style")]


exclude_patterns = ["_build", "_generated", "examples"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}  # porting.md is Markdown
templates_path = []

html_theme = "furo"
html_title = "vyre_client 1.2.2"
html_static_path = []
pygments_style = "friendly"
pygments_dark_style = "monokai"


_OPTION_DASH = re.compile(r"(?<![\w-])\u2013(?=[a-z])")


def keep_option_hyphens(app, doctree):
    """Smart quotes turn the "--" of the command's options into an en dash
    where they appear in help texts; put the two hyphens back."""
    from docutils import nodes

    for text in list(doctree.findall(nodes.Text)):
        fixed = _OPTION_DASH.sub("--", text.astext())
        if fixed != text.astext():
            text.parent.replace(text, nodes.Text(fixed))


def setup(app):
    app.connect("doctree-read", keep_option_hyphens)
    app.connect("autoapi-skip-member", skip_internal)
