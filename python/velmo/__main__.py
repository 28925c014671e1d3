"""`python -m velmo check FILE...` (also the `velmo` script): reports the problems of mapper files."""

import os
import sys

from velmo.mapper import checker


def main(argv=None):
    # Result types may name the application's classes by module path: resolve them from the
    # working directory, as `python -m` does, also when this runs as the `velmo` script.
    if "" not in sys.path and os.getcwd() not in sys.path:
        sys.path.insert(0, os.getcwd())
    return checker.main(argv)


if __name__ == "__main__":
    sys.exit(main())
