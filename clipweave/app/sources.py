"""Where a run's video comes from: a local file, the download service, or yt-dlp.

Each source puts the video at the path the pipeline asks for (inside the
run's own work directory). A local file is linked there, never moved or
changed; a download is taken from the cache when an earlier run made it.
"""
import os
import shutil
import subprocess
import tempfile
from urllib.parse import urlsplit

from clipweave.app.cache import key
from clipweave.app.deadline import DEFAULT_TIMEOUT
from clipweave.model.options import DOWNLOAD_FACTOR
from clipweave.system import children
from clipweave.system.probe import video_problem

# Best video up to 1080 lines with the best audio, merged into MP4.
YT_DLP_FORMAT = "bv*[height<=1080]+ba/b[height<=1080]/bv*+ba/b"


def is_url(text):
    return urlsplit(text).scheme in ("http", "https")


class LocalSource:
    downloader = "local"

    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.label = self.path

    def tools(self):
        return []

    def kept(self):
        """The file the video stays in after the run: the user's own."""
        return self.path

    def fetch(self, output_file):
        # A symbolic link: the user's file keeps its content, its links and its times.
        try:
            os.symlink(self.path, output_file)
        except OSError:
            shutil.copyfile(self.path, output_file)


class _Download:
    """A URL fetched by a downloader, through the cache."""

    downloader = ""

    def __init__(self, url, cache):
        self.url = url
        self.label = url
        self._cache = cache

    def _entry(self):
        return key("source", self.url, self.downloader)

    def kept(self):
        """The file the video stays in after the run: its cache entry, or
        None when the cache is off."""
        return self._cache.entry_path("sources", self._entry())

    def fetch(self, output_file):
        entry = self._entry()
        if self._cache.fetch("sources", entry, output_file,
                             check=lambda path: video_problem(path) is None):
            print(f"📦 Video from the cache: {self.url}")
            return
        self.download(output_file)
        # Only a video is kept: a page of HTML would fail every later run.
        problem = video_problem(output_file)
        if problem is not None:
            raise Exception(f"what {self.downloader} gave for {self.url} is not a usable "
                            f"video: {problem}")
        self._cache.store("sources", entry, output_file)


class ServiceSource(_Download):
    """The download service, through the module's own client."""

    downloader = "service"

    def __init__(self, url, client, cache):
        super().__init__(url, cache)
        self._client = client

    def tools(self):
        return ["wget"]

    def download(self, output_file):
        self._client(self.url, output_file)


class YtDlpSource(_Download):
    downloader = "yt-dlp"

    def __init__(self, url, cache, stdout=None, timeout=DEFAULT_TIMEOUT):
        super().__init__(url, cache)
        self._stdout = stdout
        self._timeout = timeout

    def tools(self):
        return ["yt-dlp"]

    def download(self, output_file):
        print(f"📥 Downloading with yt-dlp: {self.url}")
        folder = os.path.dirname(os.path.abspath(output_file))
        with tempfile.TemporaryDirectory(dir=folder, prefix="yt-dlp-") as work:
            target = os.path.join(work, "video.mp4")
            # Its own error output goes to the user: it says why a site refused.
            overall = self._timeout * DOWNLOAD_FACTOR
            try:
                children.run(["yt-dlp", "--no-playlist", "--quiet", "--progress", "--no-warnings",
                              "--socket-timeout", f"{self._timeout:g}", "--retries", "3",
                              "-f", YT_DLP_FORMAT, "--merge-output-format", "mp4", "-o", target,
                              "--", self.url], stdout=self._stdout, stderr=None, timeout=overall)
            except subprocess.TimeoutExpired:
                raise TimeoutError(f"yt-dlp did not finish within {overall:g} s") from None
            os.replace(target, output_file)

