"""Assign measurement roles (U1..U3, U12..U31, I1..I3) to recording channels.

Analysis needs to know which channel is which phase voltage or current.  We
read that from the COMTRADE phase field, the unit and the name; the user can
override it with an explicit mapping by name or index.  Unresolvable requests
are RecordingErrors naming the file, so the command line can show them.
"""
from __future__ import annotations

from typing import Dict, Iterable, Mapping, Optional, Union

from .errors import RecordingError
from .naming import classify_name, normalise_phase
from .recording import Recording

#: Roles in the order analysis code usually wants them.
ROLES = ("U1", "U2", "U3", "U12", "U23", "U31", "UN", "I1", "I2", "I3", "IN")

Target = Union[int, str]


def channel_role(kind: str, phase_field: str, name: str) -> Optional[str]:
    """Role one channel would take automatically, or None."""
    phase = normalise_phase(phase_field) if phase_field else None
    _, name_phase = classify_name(name)
    if phase is None:
        phase = name_phase
    if kind == "other":
        return None
    if phase is None:
        return None
    prefix = "U" if kind == "voltage" else "I"
    role = prefix + phase
    return role if role in ROLES else None


def _auto(recording: Recording) -> Dict[str, int]:
    roles: Dict[str, int] = {}
    for ch in recording.channels:
        role = channel_role(ch.kind, ch.phase, ch.name)
        if role is not None and role not in roles:  # first channel wins
            roles[role] = ch.index
    return roles


def _canonical_role(role: str, path: str) -> str:
    key = str(role).strip().upper()
    if key.startswith("V") and key[1:2] in ("1", "2", "3", "N"):
        key = "U" + key[1:]
    if key not in ROLES:
        raise RecordingError(f"unknown channel role {role!r}; roles are {', '.join(ROLES)}",
                             path=path)
    return key


def map_channels(recording: Recording, mapping: Optional[Mapping[str, Target]] = None, *,
                 required: Iterable[str] = ()) -> Dict[str, int]:
    """Return {role: channel index} for ``recording``.

    Without ``mapping`` every role that can be recognised is returned (when two
    channels claim a role, the lower index wins).  With ``mapping``
    ({"U1": "VA", "I1": 3}) exactly those roles are returned; a value is a
    channel name (exact, else case-insensitive) or a 0-based index into
    ``recording.channels``.  Any role in ``required`` that stays unresolved
    raises RecordingError.
    """
    path = recording.path
    if mapping is None:
        result = _auto(recording)
    else:
        result = {}
        for role, target in mapping.items():
            key = _canonical_role(role, path)
            if isinstance(target, bool) or not isinstance(target, (int, str)):
                raise RecordingError(f"role {key}: {target!r} is neither a channel name nor "
                                     "an index", path=path)
            if key in result:
                raise RecordingError(f"role {key} is given twice in the mapping", path=path)
            try:
                result[key] = recording.channel_index(target)
            except RecordingError as exc:
                raise RecordingError(f"role {key}: {exc.reason}", path=path) from None
        _one_role_each(recording, result)
    missing = [r for r in (_canonical_role(r, path) for r in required) if r not in result]
    if missing:
        how = "the mapping" if mapping is not None else "channel phases, units and names"
        names = ", ".join(recording.channel_names) or "(none)"
        raise RecordingError(
            f"cannot resolve {', '.join(missing)} from {how}; give an explicit mapping such "
            f"as {missing[0]}=<channel name or index> (channels: {names})", path=path)
    return result


def _one_role_each(recording: Recording, roles: Mapping[str, int]) -> None:
    """A channel measures one quantity: two roles on it are a typo."""
    seen: Dict[int, str] = {}
    for role, index in roles.items():
        if index in seen:
            name = recording.channels[index].name
            raise RecordingError(f"channel {index} ({name}) is given two roles, {seen[index]} "
                                 f"and {role}; each channel can have one role",
                                 path=recording.path)
        seen[index] = role


def duplicate_names(recording: Recording) -> Dict[str, list]:
    """{name: [indices]} of the channel names that several channels share."""
    by_name: Dict[str, list] = {}
    for ch in recording.channels:
        by_name.setdefault(ch.name, []).append(ch.index)
    return {n: idx for n, idx in by_name.items() if len(idx) > 1}


def parse_channel_mapping(text: str) -> Dict[str, Target]:
    """Parse "U1=VA,I1=3" (command-line form) into {"U1": "VA", "I1": 3}.

    Pure digits mean an index; quote a numeric channel name to keep it a name
    ("U1='3'").
    """
    out: Dict[str, Target] = {}
    for part in text.split(","):
        if not part.strip():
            continue
        role, sep, target = part.partition("=")
        if not sep or not role.strip() or not target.strip():
            raise RecordingError(f"mapping entry {part.strip()!r} is not ROLE=CHANNEL")
        value = target.strip()
        if role.strip().upper() in (r.upper() for r in out):
            raise RecordingError(f"role {role.strip().upper()} is given twice in the mapping")
        if len(value) >= 2 and value[0] == value[-1] and value[0] in "'\"":
            out[role.strip()] = value[1:-1]
        elif value.isdigit():
            out[role.strip()] = int(value)
        else:
            out[role.strip()] = value
    return out
