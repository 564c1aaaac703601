"""The single exception type that every reader and parser in this package raises.

Callers (the command line in particular) catch exactly one class and print its
message, so the message itself must carry everything a user needs to find the
fault: the file, the line for text formats, and what is wrong.
"""
from __future__ import annotations

import os
from typing import Optional, Union

PathLike = Union[str, "os.PathLike[str]"]


class RecordingError(ValueError):
    """A recording file is missing, malformed or uses something we cannot read.

    Subclasses ValueError so that generic code that already treats bad input as a
    ValueError keeps working.  ``path``, ``line`` and ``reason`` are kept as
    attributes so tools can re-format the message.
    """

    def __init__(self, reason: str, *, path: Optional[PathLike] = None,
                 line: Optional[int] = None) -> None:
        self.reason = reason
        self.path = os.fspath(path) if path is not None else None
        self.line = line
        super().__init__(self._compose())

    def _compose(self) -> str:
        parts = []
        if self.path:
            parts.append(self.path)
        if self.line is not None:
            parts.append(f"line {self.line}")
        parts.append(self.reason)
        return ": ".join(parts)
