#!/usr/bin/python3
"""A slow drive: a FUSE file system that takes SECONDS for every megabyte
written, as a USB 2 stick does (0.025 is some 40 MB a second).  It keeps
only the sizes of its files, as failing_fs.py does, and deletes them.

  slow_fs.py MOUNTPOINT SECONDS

Runs in the foreground until unmounted.  Needs Debian's python3-fusepy.
"""

import os
import sys
import time

import fusepy

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from failing_fs import FailingDrive  # noqa: E402

MB = 1048576


class SlowDrive(FailingDrive):
    def __init__(self, seconds):
        super().__init__(1 << 50)
        self.seconds = seconds

    def write(self, path, buffer, offset, fh):
        time.sleep(self.seconds * len(buffer) / MB)
        return super().write(path, buffer, offset, fh)

    def unlink(self, path):
        with self.guard:
            self.sizes.pop(path, None)
            self.modes.pop(path, None)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: slow_fs.py MOUNTPOINT SECONDS")
    fusepy.FUSE(SlowDrive(float(sys.argv[2])), sys.argv[1], foreground=True)


if __name__ == "__main__":
    main()
