"""The recordings of a batch: expanding files, folders and globs, naming each
recording in the dataset, and the fingerprint that tells whether an input
changed since the last run."""
from __future__ import annotations

import glob
import hashlib
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Dict, Iterable, List, Mapping, Sequence

__all__ = ["Job", "RECORDING_SUFFIXES", "expand_inputs", "fingerprint", "plan_jobs"]

#: Files a folder is searched for.  A COMTRADE .dat is found through its
#: .cfg; plain .txt files are taken only when named explicitly.
RECORDING_SUFFIXES = (".cfg", ".cff", ".csv", ".tsv", ".wav")
#: Bytes of the file's start that are hashed: the header (a COMTRADE .cfg
#: whole, the column names of a CSV, the format block of a WAV), which
#: changes when a file is replaced by another of the same size and time.
HEADER_BYTES = 65536


@dataclass
class Job:
    """One recording to analyse: absolute path, id in the dataset,
    fingerprint of its input files and the batch's settings."""

    path: str
    recording: str
    fingerprint: Dict[str, Any]
    settings: str
    tables: List[str]
    argv: List[str]

    def task(self, output: Path) -> Dict[str, Any]:
        """The plain dict the worker receives."""
        return {"path": self.path, "recording": self.recording,
                "fingerprint": dict(self.fingerprint), "settings": self.settings,
                "tables": list(self.tables), "argv": list(self.argv), "output": str(output)}


def expand_inputs(inputs: Iterable["os.PathLike[str] | str"], output: Path) -> List[Path]:
    """Absolute paths of the recordings named by ``inputs``, in order,
    without duplicates and without anything inside ``output``."""
    found: List[Path] = []
    out = output.resolve()
    for item in inputs:
        text = os.fspath(item)
        path = Path(text).expanduser()
        if path.is_dir():
            found += sorted(p for p in path.rglob("*")
                            if p.is_file() and p.suffix.lower() in RECORDING_SUFFIXES)
        elif path.is_file():
            found.append(path)
        elif glob.has_magic(text):
            matches = sorted(Path(p) for p in glob.glob(os.path.expanduser(text),
                                                        recursive=True))
            files = [p for p in matches if p.is_file() and p.suffix.lower() != ".dat"]
            if not files:
                raise FileNotFoundError(f"{text}: no file matches this pattern")
            found += files
        else:
            raise FileNotFoundError(f"{text}: no such file or folder")
    unique: Dict[Path, None] = {}
    for p in found:
        p = p.resolve()
        if out not in p.parents:
            unique.setdefault(p, None)
    return list(unique)


def _companions(path: Path) -> List[Path]:
    """The files a recording reads: a .cfg also its .dat, a .dat its .cfg."""
    suffix = path.suffix.lower()
    other = {".cfg": ".dat", ".dat": ".cfg"}.get(suffix)
    if other is None:
        return [path]
    for cand in (path.with_suffix(other), path.with_suffix(other.upper())):
        if cand.is_file():
            return [path, cand]
    return [path]


def fingerprint(path: "os.PathLike[str] | str") -> Dict[str, Any]:
    """Sizes, newest modification time (ns) and a hash of the header of
    the recording's files; any change re-analyses the recording."""
    files = _companions(Path(path))
    size = 0
    mtime = 0
    digest = hashlib.sha256()
    for f in files:
        st = f.stat()
        size += st.st_size
        mtime = max(mtime, st.st_mtime_ns)
    with open(files[0], "rb") as fh:
        digest.update(fh.read(HEADER_BYTES))
    return {"input_bytes": int(size), "input_mtime_ns": int(mtime),
            "header_sha256": digest.hexdigest()}


def _unreadable(path: Path, exc: OSError) -> Dict[str, Any]:
    # Still a job: the worker meets the same error and records it.
    return {"input_bytes": -1, "input_mtime_ns": -1, "header_sha256": f"unreadable: {exc}"}


def _new_ids(paths: Sequence[Path], taken: Mapping[str, str]) -> Dict[Path, str]:
    """Ids for recordings not yet in the dataset: the path relative to the
    common folder of the inputs, made unique against the ids in use."""
    if not paths:
        return {}
    root = Path(os.path.commonpath([str(p.parent) for p in paths]))
    used = set(taken.values())
    ids: Dict[Path, str] = {}
    for p in paths:
        base = p.relative_to(root).as_posix()
        rid = base
        if rid in used:
            rid = f"{base}~{hashlib.sha256(str(p).encode()).hexdigest()[:8]}"
        used.add(rid)
        ids[p] = rid
    return ids


def plan_jobs(inputs: Iterable["os.PathLike[str] | str"], output: Path,
              previous: Mapping[str, Mapping[str, Any]], *, settings: str,
              tables: Sequence[str], argv: Sequence[str]) -> List[Job]:
    """One job per recording.  A recording already in the manifest keeps its
    id, so re-runs over a larger or smaller set of inputs update the same
    partitions."""
    paths = expand_inputs(inputs, output)
    if not paths:
        raise FileNotFoundError("no recordings found in the inputs given")
    known = {path: row["recording"] for path, row in previous.items()}
    ids = _new_ids([p for p in paths if str(p) not in known], known)
    jobs: List[Job] = []
    for p in paths:
        try:
            fp = fingerprint(p)
        except OSError as exc:
            fp = _unreadable(p, exc)
        jobs.append(Job(path=str(p), recording=known.get(str(p)) or ids[p], fingerprint=fp,
                        settings=settings, tables=list(tables), argv=list(argv)))
    return jobs
