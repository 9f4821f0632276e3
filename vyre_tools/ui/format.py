"""Numbers as the pages show them: the rule the command line uses too."""

from ..procedures.formatting import device_id, matrix, num, vec

__all__ = ["device_id", "matrix", "num", "vec"]
