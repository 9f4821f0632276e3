import os
import sys

# the peer is a script beside the benchmarks, not an installed module
BENCH = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if BENCH not in sys.path:
    sys.path.append(BENCH)  # after the test folders, whose own modules come first
