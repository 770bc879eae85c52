#!/usr/bin/python3
# The guest image cache from the command line. `clean` removes what the Wine
# workbench keeps there (images, roots, killed builds, overlays): it unmounts what a
# killed build left mounted first, and touches only folders the workbench marked.
# Usage: tools/guest.py clean|where   (as the user who ran the suite)
import os
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from winelab import cache  # noqa: E402
from winelab.common import HarnessError  # noqa: E402


def main(argv):
    if argv == ["where"]:
        print(cache.cache_root())
        return 0
    if argv == ["clean"]:
        cache.clean()
        return 0
    print(__doc__ or "usage: tools/guest.py clean|where", file=sys.stderr)
    return 2


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except HarnessError as e:
        sys.exit(f"ERROR: {e}")
