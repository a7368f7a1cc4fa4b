"""Giving a finished file its name without ever clobbering another.

A result is made under a temporary name and then placed: with a hard link
(which fails where the name exists, with no window between a check and a
rename) and the temporary name removed; where the file system has no hard
links, a check and a rename. Only ``overwrite`` replaces an existing file.
"""
import errno
import os
import shutil

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
