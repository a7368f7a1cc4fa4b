"""What a run fetched or had spoken, kept for the next run.

Downloads and narrations are stored under the cache directory, each under a
key made of everything that decides its content (for a download: the URL
and the downloader; for a narration: the speech backend, its origin, the
voice and the text; for a framing analysis: the video's content, the range
and the analysis's version), so a run that failed part way, run again, fetches
nothing it already has. Entries are written under a temporary name and
renamed, so a run that is killed leaves no half entry. An entry may have
data beside it (a narration's word times), as JSON under the same key.
An entry once complete (its file and its sum) is never replaced by another
run's: runs that made the same entry at once keep the first one stored
(each stores under a lock of the kind's folder), so every later run takes
the same bytes; only an entry dropped first (found wrong) is made again.

Only what was checked is stored (the caller checks it), with its size and
SHA-256 beside it; an entry that no longer matches them is dropped and
fetched again. The cache marks the directory it owns with a file of its
own, and clearing it removes nothing but its own entries: a directory that
is not a cache's is refused.
"""
import contextlib
import fcntl
import hashlib
import json
import os
import re
import tempfile

from clipweave.system.files import link_or_copy

# A framing analysis is data alone: its entry is its JSON. The editor's
# browser copies ("editor") keep their waveforms, motion and shot cuts as
# data under keys of their own; their strips of thumbnails are "strips".
KINDS = {"sources": ".mp4", "speech": ".mp3", "follow": ".json", "editor": ".mp4",
         "strips": ".jpg"}
# What each kind holds, as `clipweave cache` lists it.
KIND_NAMES = {"sources": "videos", "speech": "narrations", "follow": "framings",
              "editor": "proxies", "strips": "thumbnails"}
DATA = ".json"  # what an entry keeps beside its file
SUM = ".sum"  # its size and SHA-256
MARKER = ".clipweave-cache"
SIGNATURE = "clipweave cache directory: its entries are removed by 'clipweave cache --clear'\n"
PARTIAL = ".partial-"
# The names the cache gives files: nothing else in it is the cache's.
_OWN_NAME = re.compile(r"[0-9a-f]{64}\.(mp4|mp3|json|jpg)(\.sum)?|\.partial-.*", re.S)


class NotOwned(Exception):
    """A directory that the cache did not make (it has no marker)."""


def default_dir(environ=None):
    environ = os.environ if environ is None else environ
    base = environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "clipweave")


def key(*parts):
    return hashlib.sha256(json.dumps(parts, ensure_ascii=False).encode("utf-8")).hexdigest()


class Cache:
    """A cache directory; with enabled false it keeps and finds nothing."""

    def __init__(self, root, enabled=True):
        self.root = root
        self.enabled = enabled

    def _path(self, kind, entry_key):
        return os.path.join(self.root, kind, entry_key + KINDS[kind])

    def entry_path(self, kind, entry_key):
        """Where the entry is kept once stored; None when the cache is off."""
        return self._path(kind, entry_key) if self.enabled else None

    def fetch(self, kind, entry_key, dest, check=None):
        """Puts the cached entry at dest; false when there is none. An entry
        whose size or hash has changed is dropped; one kept before sizes and
        hashes were (no sum) is kept only if ``check(path)`` passes."""
        if not self.enabled:
            return False
        path = self._path(kind, entry_key)
        if not os.path.isfile(path):
            return False
        try:
            with open(path + SUM, encoding="ascii") as f:
                kept = f.read().split()
        except (OSError, ValueError):
            kept = None
        if kept is not None:
            sound = kept == _sum(path)
        else:
            sound = check is not None and check(path)
            if sound:
                self._put(path + SUM, lambda partial: _write_sum(path, partial))
        if not sound:
            self.drop(kind, entry_key)
            return False
        link_or_copy(path, dest)
        return True

    def drop(self, kind, entry_key):
        """Removes an entry with what it keeps beside it."""
        path = self._path(kind, entry_key)
        for name in (path, path + SUM, self._data_path(kind, entry_key)):
            try:
                os.unlink(name)
            except FileNotFoundError:
                pass
            except OSError:
                return

    def store(self, kind, entry_key, src, data=None):
        """Keeps a copy of the finished (and checked) file src, with its size
        and hash, and ``data`` (JSON, when not None) beside it; false when
        the entry was complete already (another run's is kept, src is not)
        or could not be stored. A cache that cannot be written costs the
        next run its time, never this run its result."""
        if not self.enabled or not self._claim():
            return False
        path = self._path(kind, entry_key)
        with self._locked(os.path.dirname(path)):
            if os.path.isfile(path) and os.path.isfile(path + SUM):
                return False
            # The data first: an entry found without its data is made again.
            if data is not None and not self._put(self._data_path(kind, entry_key),
                                                  lambda partial: _write_json(partial, data)):
                return False
            return self._put(path, lambda partial: link_or_copy(src, partial)) \
                and self._put(path + SUM, lambda partial: _write_sum(path, partial))

    @staticmethod
    @contextlib.contextmanager
    def _locked(folder):
        """Holds the folder's lock (flock on the folder itself, no file of
        its own); unlocked where the file system cannot lock."""
        try:
            os.makedirs(folder, exist_ok=True)
            fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
        except OSError:
            yield
            return
        try:
            with contextlib.suppress(OSError):
                fcntl.flock(fd, fcntl.LOCK_EX)
            yield
        finally:
            os.close(fd)  # which unlocks it

    def fetch_data(self, kind, entry_key):
        """What store_data kept beside the entry, or None."""
        if not self.enabled:
            return None
        try:
            with open(self._data_path(kind, entry_key), encoding="utf-8") as f:
                return json.load(f)
        except (OSError, ValueError):
            return None

    def store_data(self, kind, entry_key, value):
        """Keeps value (JSON) beside the entry; written as store writes files."""
        if not self.enabled or not self._claim():
            return
        self._put(self._data_path(kind, entry_key), lambda partial: _write_json(partial, value))

    def _data_path(self, kind, entry_key):
        return os.path.join(self.root, kind, entry_key + DATA)

    @staticmethod
    def _put(path, make):
        """make(partial) writes a temporary name that then becomes path;
        false (and no partial file left) when that fails."""
        try:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            fd, partial = tempfile.mkstemp(dir=os.path.dirname(path), prefix=PARTIAL)
            os.close(fd)
            os.unlink(partial)
            try:
                make(partial)
                os.replace(partial, path)
            finally:
                if os.path.lexists(partial):
                    os.unlink(partial)
        except OSError:
            return False
        return True

    def owned(self):
        """True when the directory is this cache's: it has the marker, or it
        holds nothing but the cache's own folders and entries (a cache made
        before there was a marker)."""
        if os.path.isfile(os.path.join(self.root, MARKER)):
            return True
        try:
            names = os.listdir(self.root)
        except FileNotFoundError:
            return True
        except OSError:
            return False
        for name in names:
            if name == MARKER or name.startswith(PARTIAL):
                # Another run marking the directory right now: its marker, or
                # the marker's temporary name.
                continue
            folder = os.path.join(self.root, name)
            if name not in KINDS or os.path.islink(folder) or not os.path.isdir(folder):
                return False
            if not all(_OWN_NAME.fullmatch(entry) for entry in os.listdir(folder)):
                return False
        return True

    def _claim(self):
        """Marks the directory as the cache's; false when it is someone else's."""
        marker = os.path.join(self.root, MARKER)
        if os.path.isfile(marker):
            return True
        if not self.owned():
            return False

        def write(partial):
            with open(partial, "w", encoding="ascii") as f:
                f.write(SIGNATURE)

        return self._put(marker, write)

    def usage(self):
        """(entries, bytes) of each kind: {kind: (count, size)}."""
        found = {}
        for kind in KINDS:
            count = size = 0
            folder = os.path.join(self.root, kind)
            for entry in os.scandir(folder) if os.path.isdir(folder) else ():
                if entry.is_file(follow_symlinks=False) and _OWN_NAME.fullmatch(entry.name) \
                        and not entry.name.startswith(PARTIAL):
                    # Data beside an entry is part of it, no entry of its own.
                    count += entry.name.endswith(KINDS[kind])
                    size += entry.stat(follow_symlinks=False).st_size
            found[kind] = (count, size)
        return found

    def clear(self):
        """Removes every entry (and leftovers of interrupted writes), nothing
        else; NotOwned when the directory is not a cache's."""
        if not self.owned():
            raise NotOwned(f"{self.root} is not a clipweave cache (it has no {MARKER}); "
                           "nothing was removed")
        for kind in KINDS:
            folder = os.path.join(self.root, kind)
            if not os.path.isdir(folder) or os.path.islink(folder):
                continue
            for entry in os.scandir(folder):
                if _OWN_NAME.fullmatch(entry.name) and not entry.is_dir(follow_symlinks=False):
                    os.unlink(entry.path)
            try:
                os.rmdir(folder)
            except OSError:
                pass  # something that is not the cache's is in it


def _sum(path):
    """[size, SHA-256] of a file, as text."""
    digest = hashlib.sha256()
    size = 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
            size += len(block)
    return [str(size), digest.hexdigest()]


def _write_json(partial, value):
    with open(partial, "w", encoding="utf-8") as f:
        json.dump(value, f, ensure_ascii=False)


def _write_sum(path, partial):
    with open(partial, "w", encoding="ascii") as f:
        f.write(" ".join(_sum(path)) + "\n")
