#!/usr/bin/python3
"""A drive that goes bad: a FUSE file system that takes CAPACITY bytes,
at SECONDS a megabyte (slow_fs.py; 0 for none), then answers every write
past them with EIO, and refuses every deletion with EIO, as a failing USB
stick does.  It keeps only the sizes of its files (memory_fs.py), so
given a large capacity it serves as a drive that is pulled out by ending
its process.  Slowed, it gives a watcher time to see the writing before
it fails.

  failing_fs.py MOUNTPOINT CAPACITY SECONDS

Runs in the foreground until unmounted or killed.  Needs Debian's
python3-fusepy.
"""

import errno

import fusepy

from memory_fs import serve
from slow_fs import SlowDrive


class FailingDrive(SlowDrive):
    def __init__(self, capacity, seconds):
        super().__init__(seconds)
        self.capacity = capacity

    def write(self, path, buffer, offset, fh):
        if offset + len(buffer) > self.capacity:
            raise fusepy.FuseOSError(errno.EIO)
        return super().write(path, buffer, offset, fh)

    def unlink(self, path):
        raise fusepy.FuseOSError(errno.EIO)


if __name__ == "__main__":
    serve("CAPACITY SECONDS",
          lambda capacity, seconds: FailingDrive(int(capacity), float(seconds)))
