"""The drive in memory that the FUSE drives beside it build on: one
folder, whose files it keeps only as sizes (their bytes read as zero, as
the image's are), so a drive of gigabytes costs no memory.  It takes every
write and every deletion and reports far more free space than any test
writes; each drive changes only what makes it the drive it is.

Needs Debian's python3-fusepy.
"""

import errno
import os
import stat
import sys
import threading
import time

import fusepy


class MemoryDrive(fusepy.Operations):
    def __init__(self):
        self.sizes = {}  # path -> size in bytes
        self.modes = {}
        self.guard = threading.Lock()
        self.now = time.time()

    def used(self):
        return sum(self.sizes.values())

    def getattr(self, path, fh=None):
        if path == "/":
            return dict(st_mode=stat.S_IFDIR | 0o777, st_nlink=2, st_ctime=self.now,
                        st_mtime=self.now, st_atime=self.now)
        if path not in self.sizes:
            raise fusepy.FuseOSError(errno.ENOENT)
        # It stands for a drive that holds what is written: each byte
        # takes its room, counted in blocks of 512 bytes as Linux counts.
        return dict(st_mode=stat.S_IFREG | self.modes[path], st_nlink=1,
                    st_size=self.sizes[path], st_blocks=(self.sizes[path] + 511) // 512,
                    st_ctime=self.now, st_mtime=self.now, st_atime=self.now)

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
        with self.guard:
            self.sizes[path] = max(self.sizes[path], offset + len(buffer))
        return len(buffer)

    def read(self, path, size, offset, fh):
        return bytes(max(0, min(size, self.sizes[path] - offset)))

    def unlink(self, path):
        with self.guard:
            self.sizes.pop(path, None)
            self.modes.pop(path, None)

    def chmod(self, path, mode):
        self.modes[path] = mode & 0o777

    def utimens(self, path, times=None):
        return 0

    def statfs(self, path):
        # Far more than any drive's capacity: the trouble shows only at a
        # write.
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


def serve(arguments, make):
    """Serves the drive that make builds from the words of the command line
    `SCRIPT MOUNTPOINT ARGUMENTS` on MOUNTPOINT, in the foreground until it
    is unmounted or the process is killed.  The kernel hands it writes of
    up to 128 KiB, as drivers such as ntfs-3g take them, not a call for
    every 4 KiB page: each call costs this script some CPU time, which
    made a slow drive several times slower than it says on a busy
    machine."""
    if len(sys.argv) != 2 + len(arguments.split()):
        sys.exit("usage: %s MOUNTPOINT %s" % (os.path.basename(sys.argv[0]), arguments))
    # hard_remove: a file deleted right after its close goes at once, as on
    # a disk.  Without it libfuse renames a file that is still open, as the
    # close's release may still be on its way, to a hidden name, which a
    # drive without renames refuses (EROFS), failing the deletion.
    fusepy.FUSE(make(*sys.argv[2:]), sys.argv[1], foreground=True, big_writes=True,
                hard_remove=True)
