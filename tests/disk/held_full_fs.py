#!/usr/bin/python3
"""A drive that fills up slowly: a FUSE file system in memory that takes
CAPACITY bytes, then holds the first write past them for HOLD seconds
and answers it with ENOSPC, as a USB stick does that stalls when it is
full.  It cannot reserve (FUSE has no fallocate here) and reports plenty
of free space, so the program starts writing and meets the full drive at
a write.

  held_full_fs.py MOUNTPOINT CAPACITY HOLD

Runs in the foreground until unmounted.  Needs Debian's python3-fusepy.
"""

import errno
import stat
import sys
import threading
import time

import fusepy


class HeldFullDrive(fusepy.Operations):
    def __init__(self, capacity, hold):
        self.capacity = capacity
        self.hold = hold
        self.files = {}  # path -> bytearray
        self.modes = {}
        self.guard = threading.Lock()
        self.now = time.time()

    def used(self):
        return sum(len(data) for data in self.files.values())

    def getattr(self, path, fh=None):
        if path == "/":
            return dict(st_mode=stat.S_IFDIR | 0o777, st_nlink=2, st_ctime=self.now,
                        st_mtime=self.now, st_atime=self.now)
        if path not in self.files:
            raise fusepy.FuseOSError(errno.ENOENT)
        return dict(st_mode=stat.S_IFREG | self.modes[path], st_nlink=1,
                    st_size=len(self.files[path]), st_ctime=self.now, st_mtime=self.now,
                    st_atime=self.now)

    def readdir(self, path, fh):
        return [".", ".."] + [name[1:] for name in self.files]

    def create(self, path, mode, fi=None):
        with self.guard:
            self.files[path] = bytearray()
            self.modes[path] = mode & 0o777
        return 0

    def open(self, path, flags):
        if path not in self.files:
            raise fusepy.FuseOSError(errno.ENOENT)
        return 0

    def truncate(self, path, length, fh=None):
        with self.guard:
            data = self.files[path]
            del data[length:]
            data.extend(bytes(max(0, length - len(data))))

    def write(self, path, buffer, offset, fh):
        with self.guard:
            data = self.files[path]
            end = offset + len(buffer)
            grows = max(0, end - len(data))
            full = self.used() + grows > self.capacity
        if full:
            time.sleep(self.hold)
            raise fusepy.FuseOSError(errno.ENOSPC)
        with self.guard:
            if end > len(data):
                data.extend(bytes(end - len(data)))
            data[offset:end] = buffer
        return len(buffer)

    def read(self, path, size, offset, fh):
        return bytes(self.files[path][offset:offset + size])

    def unlink(self, path):
        with self.guard:
            self.files.pop(path, None)
            self.modes.pop(path, None)

    def chmod(self, path, mode):
        self.modes[path] = mode & 0o777

    def utimens(self, path, times=None):
        return 0

    def statfs(self, path):
        # Far more than the capacity: the trouble shows only at a write.
        blocks = 64 * 1024 * 1024
        return dict(f_bsize=4096, f_frsize=4096, f_blocks=blocks, f_bfree=blocks,
                    f_bavail=blocks, f_files=1000, f_ffree=1000, f_favail=1000,
                    f_namemax=255)

    def flush(self, path, fh):
        return 0

    def fsync(self, path, datasync, fh):
        return 0

    def release(self, path, fh):
        return 0

    def getxattr(self, path, name, position=0):
        raise fusepy.FuseOSError(errno.ENODATA)

    def listxattr(self, path):
        return []


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: held_full_fs.py MOUNTPOINT CAPACITY HOLD")
    mountpoint, capacity, hold = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    fusepy.FUSE(HeldFullDrive(capacity, hold), mountpoint, foreground=True)


if __name__ == "__main__":
    main()
