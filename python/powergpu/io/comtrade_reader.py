"""Open a COMTRADE recording (.cfg + .dat, or .cff) as a ``Recording``.

Joins the configuration parser with the right data reader, settles the
sampling rate, and turns each analog channel definition into a ``ChannelInfo``
whose gain/offset yield primary or secondary values in V and A.
"""
from __future__ import annotations

import os
from pathlib import Path
from typing import List, Optional, Tuple, Union

from .channel_info import ChannelInfo, infer_kind, normalise_unit
from .comtrade_ascii import AsciiSource
from .comtrade_binary import BinarySource
from .comtrade_cff import split_cff
from .comtrade_cfg import AnalogDef, ComtradeConfig, parse_cfg
from .errors import RecordingError
from .rate import rate_from_timestamps
from .recording import Recording
from .textio import read_text

Source = Union[AsciiSource, BinarySource]


def _sibling(path: Path, suffix: str) -> Optional[Path]:
    """``path`` with another suffix, matching the suffix's case loosely."""
    for cand in (path.with_suffix(suffix), path.with_suffix(suffix.upper())):
        if cand.is_file():
            return cand
    try:
        for entry in path.parent.iterdir():
            if entry.stem == path.stem and entry.suffix.lower() == suffix:
                return entry
    except OSError:
        pass
    return None


def _ratio(ch: AnalogDef, use_primary: bool, path: str) -> float:
    """Factor that converts a channel's a*x+b into the wanted side of the
    transformer (1 when it is already there)."""
    want = "P" if use_primary else "S"
    if ch.ps == want:
        return 1.0
    p, s = ch.primary, ch.secondary
    if p is None or s is None or p <= 0 or s <= 0:
        side = "primary" if use_primary else "secondary"
        raise RecordingError(
            f"channel {ch.name!r} holds {'secondary' if ch.ps == 'S' else 'primary'} values "
            f"and its primary/secondary factors ({p}, {s}) cannot convert them to {side}",
            path=path, line=ch.line)
    return p / s if use_primary else s / p


def channel_infos(cfg: ComtradeConfig, use_primary: bool) -> List[ChannelInfo]:
    out = []
    for i, ch in enumerate(cfg.analog):
        unit, factor = normalise_unit(ch.unit)
        scale = _ratio(ch, use_primary, cfg.path) * factor
        out.append(ChannelInfo(
            index=i, name=ch.name, unit=unit, phase=ch.phase,
            kind=infer_kind(unit, ch.name), gain=ch.a * scale, offset=ch.b * scale,
            source_unit=ch.unit, a=ch.a, b=ch.b,
            primary=ch.primary if ch.primary is not None else 1.0,
            secondary=ch.secondary if ch.secondary is not None else 1.0,
            ps=ch.ps, skew=ch.skew, circuit=ch.circuit))
    return out


def _open_parts(path: Path, encoding: Optional[str]) -> Tuple[ComtradeConfig, Source, dict]:
    """Configuration, data source and extra texts for a .cfg/.dat pair or a .cff."""
    extra: dict = {}
    if path.suffix.lower() == ".cff":
        layout = split_cff(str(path), encoding)
        cfg = parse_cfg(layout.cfg_text, str(path), first_line=layout.cfg_first_line)
        extra.update({k.lower(): v for k, v in layout.texts.items()})
        if layout.dat_binary != (cfg.ft != "ASCII"):
            raise RecordingError(
                f"DAT section is {'binary' if layout.dat_binary else 'ASCII'} but the "
                f"configuration says {cfg.ft}", path=str(path), line=layout.dat_header_line)
        source: Source
        if layout.dat_binary:
            length = None if layout.dat_end is None else layout.dat_end - layout.dat_start
            source = BinarySource(str(path), cfg, offset=layout.dat_start, length=length)
        else:
            source = AsciiSource(str(path), cfg, start=layout.dat_start, end=layout.dat_end,
                                 first_line=layout.dat_first_line)
        return cfg, source, extra

    if path.suffix.lower() == ".dat":
        found, dat_path = _sibling(path, ".cfg"), path
        if found is None:
            raise RecordingError("configuration file (.cfg) not found next to the data file",
                                 path=str(path))
        cfg_path = found
    else:
        found, cfg_path = _sibling(path, ".dat"), path
        if found is None:
            raise RecordingError("data file (.dat) not found next to the configuration file",
                                 path=str(path))
        dat_path = found
    cfg = parse_cfg(read_text(str(cfg_path), encoding), str(cfg_path))
    if cfg.ft == "ASCII":
        source = AsciiSource(str(dat_path), cfg)
    else:
        source = BinarySource(str(dat_path), cfg)
    for key in (".hdr", ".inf"):
        side = _sibling(cfg_path, key)
        if side is not None:
            try:
                extra[key[1:]] = read_text(str(side), encoding)
            except RecordingError:
                pass  # optional human-readable files never block reading data
    return cfg, source, extra


def _sample_rate(cfg: ComtradeConfig, source: Source, override: Optional[float],
                 path: str) -> float:
    if override is not None:
        return float(override)
    if cfg.samp > 0:
        return cfg.samp
    return rate_from_timestamps(source.n_samples, source.timestamps, cfg.time_step,
                                quantum=cfg.time_step, path=path,
                                what="time stamps (samp is 0)")


def open_comtrade(path: "os.PathLike[str] | str", *, sample_rate: Optional[float] = None,
                  use_primary: bool = True, encoding: Optional[str] = None) -> Recording:
    """Open a .cfg, .dat or .cff file.  Values come out as primary quantities
    unless ``use_primary`` is False."""
    p = Path(path)
    cfg, source, extra = _open_parts(p, encoding)
    try:
        channels = channel_infos(cfg, use_primary)
        rate = _sample_rate(cfg, source, sample_rate, str(source.display))
    except BaseException:
        source.close()
        raise
    metadata = {
        "format": "COMTRADE",
        "station": cfg.station, "device": cfg.device, "revision": cfg.rev,
        "data_format": cfg.ft, "trigger_time": cfg.trigger_time,
        "time_multiplier": cfg.timemult, "time_code": cfg.time_code,
        "local_code": cfg.local_code, "time_quality": cfg.tmq_code,
        "leap_second": cfg.leap_second,
        "digital_channels": [d.name for d in cfg.digital],
        "values": "primary" if use_primary else "secondary",
        **extra,
    }
    return Recording(p, source, channels, rate, nominal_frequency=cfg.line_frequency,
                     start_time=cfg.start_time, metadata=metadata)
