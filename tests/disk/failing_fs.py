#!/usr/bin/python3
"""A drive that goes bad: a FUSE file system that takes CAPACITY bytes,
then answers every write past them with EIO, and refuses every deletion
with EIO, as a failing USB stick does.  It keeps only the sizes of its
files (their bytes read as zero), so a drive of gigabytes costs no
memory; given a large capacity it serves as a drive that is pulled out
by ending its process.

  failing_fs.py MOUNTPOINT CAPACITY

Runs in the foreground until unmounted or killed.  Needs Debian's
python3-fusepy.
"""

import errno
import stat
import sys
import threading
import time

import fusepy


class FailingDrive(fusepy.Operations):
    def __init__(self, capacity):
        self.capacity = capacity
        self.sizes = {}  # path -> size in bytes
        self.modes = {}
        self.guard = threading.Lock()
        self.now = time.time()

    def getattr(self, path, fh=None):
        if path == "/":
            return dict(st_mode=stat.S_IFDIR | 0o777, st_nlink=2, st_ctime=self.now,
                        st_mtime=self.now, st_atime=self.now)
        if path not in self.sizes:
            raise fusepy.FuseOSError(errno.ENOENT)
        return dict(st_mode=stat.S_IFREG | self.modes[path], st_nlink=1,
                    st_size=self.sizes[path], st_ctime=self.now, st_mtime=self.now,
                    st_atime=self.now)

    def readdir(self, path, fh):
        return [".", ".."] + [name[1:] for name in self.sizes]

    def create(self, path, mode, fi=None):
        with self.guard:
            self.sizes[path] = 0
            self.modes[path] = mode & 0o777
        return 0

    def open(self, path, flags):
        if path not in self.sizes:
            raise fusepy.FuseOSError(errno.ENOENT)
        return 0

    def truncate(self, path, length, fh=None):
        with self.guard:
            self.sizes[path] = length

    def write(self, path, buffer, offset, fh):
        end = offset + len(buffer)
        with self.guard:
            if end > self.capacity:
                raise fusepy.FuseOSError(errno.EIO)
            self.sizes[path] = max(self.sizes[path], end)
        return len(buffer)

    def read(self, path, size, offset, fh):
        return bytes(max(0, min(size, self.sizes[path] - offset)))

    def unlink(self, path):
        raise fusepy.FuseOSError(errno.EIO)

    def chmod(self, path, mode):
        self.modes[path] = mode & 0o777

    def utimens(self, path, times=None):
        return 0

    def statfs(self, path):
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
    if len(sys.argv) != 3:
        sys.exit("usage: failing_fs.py MOUNTPOINT CAPACITY")
    fusepy.FUSE(FailingDrive(int(sys.argv[2])), sys.argv[1], foreground=True)


if __name__ == "__main__":
    main()
