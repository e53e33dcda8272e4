#!/usr/bin/python3
"""A slow drive: a FUSE file system that takes SECONDS for every megabyte
written, as a USB 2 stick does (0.025 is some 40 MB a second).  It keeps
only the sizes of its files (memory_fs.py), and deletes them.

  slow_fs.py MOUNTPOINT SECONDS

Runs in the foreground until unmounted.  Needs Debian's python3-fusepy.
"""

import time

from memory_fs import MemoryDrive, serve

MB = 1048576


class SlowDrive(MemoryDrive):
    def __init__(self, seconds):
        super().__init__()
        self.seconds = seconds

    def write(self, path, buffer, offset, fh):
        time.sleep(self.seconds * len(buffer) / MB)
        return super().write(path, buffer, offset, fh)


if __name__ == "__main__":
    serve("SECONDS", lambda seconds: SlowDrive(float(seconds)))
