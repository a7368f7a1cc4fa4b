"""What a run fetched or had spoken, kept for the next run.

Downloads and narrations are stored under the cache directory, each under a
key made of everything that decides its content (for a download: the URL
and the downloader; for a narration: the speech backend, its origin, the
voice and the text; for a framing analysis: the video's content, the range
and the analysis's version), so a run that failed part way, run again, fetches
nothing it already has. Entries are written under a temporary name and
renamed, so a run that is killed leaves no half entry. An entry may have
data beside it (a narration's word times), as JSON under the same key.
"""
import hashlib
import json
import os
import shutil
import tempfile

from clipweave.system.files import link_or_copy

# A framing analysis is data alone: its entry is its JSON.
KINDS = {"sources": ".mp4", "speech": ".mp3", "follow": ".json"}
DATA = ".json"  # what an entry keeps beside its file


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

    def fetch(self, kind, entry_key, dest):
        """Puts the cached entry at dest; false when there is none."""
        if not self.enabled:
            return False
        path = self._path(kind, entry_key)
        if not os.path.isfile(path):
            return False
        link_or_copy(path, dest)
        return True

    def store(self, kind, entry_key, src):
        """Keeps a copy of the finished file src. A cache that cannot be
        written costs the next run its time, never this run its result."""
        if not self.enabled:
            return
        self._put(self._path(kind, entry_key), lambda partial: link_or_copy(src, partial))

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
        if not self.enabled:
            return

        def write(partial):
            with open(partial, "w", encoding="utf-8") as f:
                json.dump(value, f, ensure_ascii=False)

        self._put(self._data_path(kind, entry_key), write)

    def _data_path(self, kind, entry_key):
        return os.path.join(self.root, kind, entry_key + DATA)

    @staticmethod
    def _put(path, make):
        """make(partial) writes a temporary name that then becomes path."""
        try:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            fd, partial = tempfile.mkstemp(dir=os.path.dirname(path), prefix=".partial-")
            os.close(fd)
            os.unlink(partial)
            try:
                make(partial)
                os.replace(partial, path)
            finally:
                if os.path.exists(partial):
                    os.unlink(partial)
        except OSError:
            pass

    def usage(self):
        """(entries, bytes) of each kind: {kind: (count, size)}."""
        found = {}
        for kind in KINDS:
            count = size = 0
            folder = os.path.join(self.root, kind)
            for entry in os.scandir(folder) if os.path.isdir(folder) else ():
                if entry.is_file(follow_symlinks=False) and not entry.name.startswith("."):
                    # Data beside an entry is part of it, no entry of its own.
                    count += entry.name.endswith(KINDS[kind])
                    size += entry.stat(follow_symlinks=False).st_size
            found[kind] = (count, size)
        return found

    def clear(self):
        """Removes every entry (and leftovers of interrupted writes); only the
        cache's own folders are touched."""
        for kind in KINDS:
            shutil.rmtree(os.path.join(self.root, kind), ignore_errors=True)
