"""Fails the build on a code box wider than the page.

Furo's content column holds about 88 characters of code at the width most
screens give it (1280 px windows included); a longer line scrolls sideways
or, in a table, pushes the text out of sight. Every literal block (sources
included from files, shell sessions, output, the command's usage texts and
the API pages' examples) is checked once the doctree is resolved; each line
too long is a warning naming its place, which ``-W`` turns into an error.
"""

from docutils import nodes
from sphinx.util import logging

MAX_COLUMNS = 88

logger = logging.getLogger(__name__)


def check_code_width(app, doctree, docname):
    for block in doctree.findall(nodes.literal_block):
        for number, line in enumerate(block.astext().splitlines(), 1):
            if len(line.expandtabs()) > MAX_COLUMNS:
                logger.warning(
                    "code line %d is %d characters wide, more than the %d a code box shows: %s",
                    number,
                    len(line),
                    MAX_COLUMNS,
                    line.strip()[:60],
                    location=block,
                    type="code_width",
                )


def setup(app):
    app.connect("doctree-resolved", check_code_width)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
