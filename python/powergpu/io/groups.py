"""Groups of channels that belong to one three-phase circuit.

A record of a substation or a power station often holds several bays in
one file: the voltages and currents of several generators, feeders or
transformers.  Mapping roles over the whole file would mix them (U1 of one
bay with U2 of another).  The channels are grouped by the circuit they
monitor: the COMTRADE ``ccbm`` field where the file fills it, else the name
without its phase label ("GEN2 VA" -> "GEN2").  A group whose three phases
(voltages, line-to-line voltages or currents) are all there is a
three-phase group.  A group of currents alone (a feeder) takes the voltages
of the one group that has voltages and no currents (the busbar), when
there is exactly one such group.
"""
from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Dict, List

from .channel_map import channel_role
from .naming import classify_name
from .recording import Recording

__all__ = ["ChannelGroup", "find_groups"]

_PHASES = (("U1", "U2", "U3"), ("U12", "U23", "U31"), ("I1", "I2", "I3"))
_QUANTITY_WORDS = ("VOLT", "CURR", "AMP")
_SPLIT = re.compile(r"[\s_/:,;()\[\]\-.]+")


@dataclass
class ChannelGroup:
    """One circuit: its name, {role: channel index} and where its voltages
    come from (its own name, or the busbar group's)."""

    name: str
    roles: Dict[str, int] = field(default_factory=dict)
    voltages_from: str = ""

    @property
    def has_voltages(self) -> bool:
        return any(all(r in self.roles for r in rs) for rs in _PHASES[:2])

    @property
    def has_currents(self) -> bool:
        return all(r in self.roles for r in _PHASES[2])

    @property
    def label(self) -> str:
        if self.voltages_from and self.voltages_from != self.name:
            return f"{self.name} (voltages of {self.voltages_from})"
        return self.name


def _stem(name: str) -> str:
    """The channel name without its quantity and phase label: the bay it
    belongs to ("GEN2 VA", "IA_GEN2", "GEN2 V A" -> "GEN2"; "Feeder 3 IC"
    -> "Feeder 3": a number is a phase only where nothing else is)."""
    tokens = [t for t in _SPLIT.split(name.strip()) if t]
    tokens = [t for t in tokens
              if not (t.upper() in ("U", "V", "I") or t.upper().startswith(_QUANTITY_WORDS))]
    labels = [classify_name(t) for t in tokens]
    strong = [k is not None and p is not None for k, p in labels]
    if any(strong):
        kept = [t for t, s in zip(tokens, strong) if not s]
    else:
        kept = [t for t, (_, p) in zip(tokens, labels) if p is None]
    return " ".join(kept)


def find_groups(recording: Recording) -> List[ChannelGroup]:
    """The three-phase groups of ``recording``, in the order of their first
    channel (none when fewer than two circuits are told apart)."""
    by_circuit = any(c.circuit.strip() for c in recording.channels)
    groups: Dict[str, ChannelGroup] = {}
    for ch in recording.channels:
        role = channel_role(ch.kind, ch.phase, ch.name)
        if role is None:
            continue
        key = ch.circuit.strip() if by_circuit else _stem(ch.name)
        group = groups.setdefault(key, ChannelGroup(name=key or "(unnamed)"))
        group.roles.setdefault(role, ch.index)  # the first channel of a role wins
    if len(groups) < 2:
        return []
    buses = [g for g in groups.values() if g.has_voltages and not g.has_currents]
    out = []
    for g in groups.values():
        if g.has_voltages:
            g.voltages_from = g.name
        elif g.has_currents and len(buses) == 1:
            bus = buses[0]
            g.roles.update({r: i for r, i in bus.roles.items() if r.startswith("U")})
            g.voltages_from = bus.name
        else:
            continue
        out.append(g)
    feeders = [g for g in out if g.voltages_from != g.name]
    if feeders and len(buses) == 1:
        out = [g for g in out if g is not buses[0]]  # the busbar is analysed with each feeder
    return out if len(out) > 1 else []
