"""The group commit of a run: the job folders promoted since the last commit made durable
with one sync, then the manifest that vouches for them replaced whole; in a thread of its
own, so the run's loop never waits for the disk before it starts the next job.

The manifest's text is taken on the loop's thread when a commit starts: it vouches only for
folders promoted before that moment, and the sync that follows covers every one of them. A
commit that failed (a full disk) leaves the manifest marked unsaved, so the next one tries
again; the run goes on.
"""

from __future__ import annotations

import os
import threading

from quarn.runner.store.atomic import sync_directory, sync_filesystem
from quarn.runner.store.layout import sync_folder
from quarn.runner.store.manifest import Manifest


class Committer:
    def __init__(self, out_dir: str, manifest: Manifest) -> None:
        self.out_dir = out_dir
        self.manifest = manifest
        self._thread: threading.Thread | None = None
        self._error = ""

    def commit(self, folders: set[str]) -> str:
        """Starts a commit of the manifest as it is now, after syncing `folders`; returns
        why the previous one failed ("" when it did not)."""
        error = self.wait()
        text = self.manifest.snapshot()
        self._thread = threading.Thread(
            target=self._write, args=(set(folders), text), name="quarn-commit", daemon=True
        )
        self._thread.start()
        return error

    def wait(self) -> str:
        """Waits for the commit under way; why it failed, "" when it did not (or none ran)."""
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        error, self._error = self._error, ""
        if error:
            self.manifest.dirty = True
        return error

    def _write(self, folders: set[str], text: str) -> None:
        try:
            if folders and not sync_filesystem(self.out_dir):
                for folder in folders:
                    sync_folder(folder)
                for parent in {os.path.dirname(folder) for folder in folders}:
                    sync_directory(parent)
            self.manifest.write(text)
        except OSError as exc:
            self._error = str(exc) or type(exc).__name__
