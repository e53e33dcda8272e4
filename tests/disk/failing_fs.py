#!/usr/bin/python3
"""A drive that goes bad: a FUSE file system that takes CAPACITY bytes,
then answers every write past them with EIO, and refuses every deletion
with EIO, as a failing USB stick does.  It keeps only the sizes of its
files (memory_fs.py), so given a large capacity it serves as a drive
that is pulled out by ending its process.

  failing_fs.py MOUNTPOINT CAPACITY

Runs in the foreground until unmounted or killed.  Needs Debian's
python3-fusepy.
"""

import errno

import fusepy

from memory_fs import MemoryDrive, serve


class FailingDrive(MemoryDrive):
    def __init__(self, capacity):
        super().__init__()
        self.capacity = capacity

    def write(self, path, buffer, offset, fh):
        if offset + len(buffer) > self.capacity:
            raise fusepy.FuseOSError(errno.EIO)
        return super().write(path, buffer, offset, fh)

    def unlink(self, path):
        raise fusepy.FuseOSError(errno.EIO)


if __name__ == "__main__":
    serve("CAPACITY", lambda capacity: FailingDrive(int(capacity)))
