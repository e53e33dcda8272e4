#!/usr/bin/python3
"""A drive that fills up slowly: a FUSE file system in memory that takes
CAPACITY bytes, then holds the first write past them for HOLD seconds
and answers it with ENOSPC, as a USB stick does that stalls when it is
full.  It cannot reserve (FUSE has no fallocate here) and reports plenty
of free space (memory_fs.py), so the program starts writing and meets
the full drive at a write.

  held_full_fs.py MOUNTPOINT CAPACITY HOLD

Runs in the foreground until unmounted.  Needs Debian's python3-fusepy.
"""

import errno
import time

import fusepy

from memory_fs import MemoryDrive, serve


class HeldFullDrive(MemoryDrive):
    def __init__(self, capacity, hold):
        super().__init__()
        self.capacity = capacity
        self.hold = hold

    def write(self, path, buffer, offset, fh):
        with self.guard:
            grows = max(0, offset + len(buffer) - self.sizes[path])
            full = self.used() + grows > self.capacity
        if full:
            time.sleep(self.hold)
            raise fusepy.FuseOSError(errno.ENOSPC)
        return super().write(path, buffer, offset, fh)


if __name__ == "__main__":
    serve("CAPACITY HOLD",
          lambda capacity, hold: HeldFullDrive(int(capacity), float(hold)))
