"""The scanner of mock logs now lives with the replay procedure; these names
stay for code that imports them from here."""

from ..procedures.log_summary import HEADER_SIZE, LogSummary, scan, scan_file

__all__ = ["HEADER_SIZE", "LogSummary", "scan", "scan_file"]
