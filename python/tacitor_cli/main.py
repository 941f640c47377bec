"""Entry point of the ``tacitor`` console script."""

import sys


def main(argv: list[str] | None = None) -> int:
    print("tacitor: the command-line tool is not built yet", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
