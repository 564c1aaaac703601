"""Exceptions raised for failed calls of the library."""
from __future__ import annotations

from typing import Optional


class PowerError(Exception):
    """A flat call returned a status other than success.

    ``status`` is the status code (1 rejected call or other failure,
    2 too many results, 3 GPU failure), ``message`` the library's own text of
    the failure, ``function`` the name of the flat function.
    """

    def __init__(self, status: int, function: str, message: str) -> None:
        self.status = int(status)
        self.function = function
        self.message = message
        text = f"{function} failed with status {self.status}"
        if message:
            text += f": {message}"
        super().__init__(text)


class TooManyResultsError(PowerError):
    """Status 2: more results were ready than the caller allowed for."""


class GpuError(PowerError):
    """Status 3: a CUDA runtime or FFT call failed."""


def error_for_status(status: int, function: str, message: str,
                     handle: Optional[int] = None) -> PowerError:
    """The exception object for a failed status."""
    cls = {2: TooManyResultsError, 3: GpuError}.get(int(status), PowerError)
    return cls(status, function, message)


class BackendUnavailableError(PowerError):
    """The requested backend cannot run here (no usable CUDA device, or a
    library built without the CUDA backend)."""
