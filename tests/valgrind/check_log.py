"""Reads a memcheck log and fails on memory errors or definite leaks in tacitor's code.

A record counts as ours when one of the top frames of its stack lies in the tacitor module:
the allocation or the faulty access was made by tacitor or by the interpreter on its direct
behalf. Records whose only tacitor frame is far down (the interpreter importing `logging`
for the module, say) are the interpreter's own; they are counted in the summary but do not
fail the run.
"""

import re
import sys

OURS = re.compile(r"tacitor")
# Allocator, interpreter helper and tacitor frame fit in these many frames for every record
# whose block tacitor owns.
TOP_FRAMES = 8
PREFIX = re.compile(r"^==\d+== ?")
FRAME = re.compile(r"^\s+(at|by) ")


def records(lines):
    """Yields (headline, frames) for every record of the log; memcheck separates records by a
    line holding only its prefix."""
    block = []
    for line in lines + ["==0== \n"]:
        if not PREFIX.match(line):
            continue  # the program's own output
        text = PREFIX.sub("", line).rstrip()
        if text:
            block.append(text)
            continue
        if block:
            frames = [entry for entry in block[1:] if FRAME.match(entry)]
            yield block[0], frames
        block = []


def main(path):
    with open(path, encoding="utf-8", errors="replace") as log:
        lines = log.readlines()
    ours, theirs = [], 0
    for headline, frames in records(lines):
        if not frames:
            continue
        is_leak = "are definitely lost" in headline or "are possibly lost" in headline
        if is_leak and "definitely" not in headline:
            continue  # possible leaks are the interpreter's interior pointers
        if any(OURS.search(frame) for frame in frames[:TOP_FRAMES]):
            ours.append((headline, frames))
        else:
            theirs += 1
    summary = [line for line in lines if "ERROR SUMMARY" in line or "definitely lost:" in line]
    print("".join(summary).strip())
    print(f"records outside tacitor: {theirs}; records in tacitor: {len(ours)}")
    for headline, frames in ours:
        print(headline)
        print("\n".join(frames[:25]))
    if not any("exercise done" in line for line in lines) and not summary:
        print("the log has no summary: did valgrind run?")
        return 1
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
