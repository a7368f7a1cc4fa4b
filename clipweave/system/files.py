"""Giving a finished file its name without ever clobbering another.

A result is made under a temporary name and then placed: with a hard link
(which fails where the name exists, with no window between a check and a
rename) and the temporary name removed; where the file system has no hard
links, a check and a rename. Only ``overwrite`` replaces an existing file.
A small file that is meant to be replaced (a user's segments file saved
again) is written whole under a temporary name beside it and renamed over
it (:func:`write_atomic`): a reader, or a crash, meets the old bytes or
the new, never a part.
"""
import contextlib
import errno
import os
import secrets
import shutil

# The temporary names write_atomic gives, beside the file.
PARTIAL_PREFIX = ".clipweave-partial-"

_NO_LINKS = (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EXDEV, errno.EMLINK)


def place(src, dest, overwrite=False):
    """Renames the file src to dest; FileExistsError (src kept) when dest
    exists and overwrite is false."""
    if overwrite:
        os.replace(src, dest)
        return
    try:
        os.link(src, dest)
    except FileExistsError:
        raise FileExistsError(errno.EEXIST, "exists", dest) from None
    except OSError as e:
        if e.errno not in _NO_LINKS:
            raise
        if os.path.lexists(dest):
            raise FileExistsError(errno.EEXIST, "exists", dest) from None
        os.rename(src, dest)
        return
    os.unlink(src)


def link_or_copy(src, dest):
    """dest (which must not exist) becomes a file with src's content: a hard
    link where the two share a file system, else a copy; src stays."""
    try:
        os.link(src, dest)
    except FileExistsError:
        raise
    except OSError:
        shutil.copyfile(src, dest)


def write_atomic(path, data):
    """Replaces (or makes) the file path with the bytes data: written under
    a temporary name in the same folder, flushed to the disk, then renamed
    over it. An existing file's permissions carry over; a new one gets the
    usual ones (0666 less the umask)."""
    folder = os.path.dirname(os.path.abspath(path))
    try:
        mode = os.stat(path).st_mode & 0o7777
    except FileNotFoundError:
        mode = None
    while True:
        # Not mkstemp: its files are private (0600), and this one becomes the user's.
        partial = os.path.join(folder, PARTIAL_PREFIX + secrets.token_hex(6))
        try:
            fd = os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            if mode is not None:
                os.fchmod(f.fileno(), mode)
            os.fsync(f.fileno())
        os.replace(partial, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(partial)
        raise
    # The rename itself reaches the disk.
    with contextlib.suppress(OSError):
        dir_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(dir_fd)
        finally:
            os.close(dir_fd)
