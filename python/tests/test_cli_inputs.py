"""Inputs that are not what they claim, and output that must stay safe: each mismatch is
named in one line with the file, and nothing half-written is left behind."""
import os
import signal

import numpy as np
import pytest

from conftest import FS, run_cli
from powergpu import cli
from powergpu.io import write_comtrade


def voltages(folder, names=("Va", "Vb", "Vc"), fmt="BINARY", seconds=0.2):
    t = np.arange(int(seconds * FS)) / FS
    data = np.column_stack([325 * np.sin(2 * np.pi * 50 * t - k * 2 * np.pi / 3)
                            for k in range(len(names))])
    return write_comtrade(folder / "rec", data, FS, [{"name": n, "unit": "V"} for n in names],
                          fmt=fmt)


def edit_cfg(cfg, old, new):
    text = cfg.read_text()
    assert old in text
    cfg.write_text(text.replace(old, new, 1))
    return cfg


def ascii_as_binary(d):
    cfg = voltages(d, fmt="ASCII")
    return [edit_cfg(cfg, "\nASCII", "\nBINARY")]


def sample_rate(d, rate):
    cfg = voltages(d)
    return [edit_cfg(cfg, f"\n{FS:g},", f"\n{rate},")]


MISMATCHES = [
    (ascii_as_binary, ["rec.dat", "says BINARY", "ASCII text"]),
    (lambda d: [voltages(d), "--channels", "U1=Va,U2=Va,U3=Vc"],
     ["rec.cfg", "channel 0 (Va) is given two roles, U1 and U2"]),
    (lambda d: [voltages(d), "--channels", "U1=Va,U1=Vb"], ["role U1 is given twice"]),
    (lambda d: [voltages(d, ("Va", "Va", "Vc")), "--channels", "U1=Va,U2=1,U3=2"],
     ["'Va' is ambiguous", "channels 0, 1", "give the index"]),
    (lambda d: sample_rate(d, "1e12"), ["rec.cfg", "sample rate of 1e+12 Hz",
                                        "check the sample rate"]),
    (lambda d: sample_rate(d, "20"), ["rec.cfg", "sample rate of 20 Hz is below 8 samples per",
                                      "unit of the time column"]),
    (lambda d: [voltages(d, seconds=0.0)], ["rec.cfg", "holds no samples"]),
]


@pytest.mark.parametrize("arguments,fragments", MISMATCHES)
def test_mismatches_exit_1_with_one_line_naming_them(native, tmp_path, arguments, fragments):
    args = arguments(tmp_path)
    proc = run_cli("analyze", *args, "-o", tmp_path / "out", "-q")
    lines = [ln for ln in proc.stderr.splitlines() if ln.strip()]
    assert proc.returncode == 1 and len(lines) == 1, proc.stderr
    assert lines[0].startswith("powergpu: error: ") and "Traceback" not in proc.stderr
    assert all(f in lines[0] for f in fragments), lines[0]
    assert not (tmp_path / "out").exists() or not list((tmp_path / "out").iterdir())


def test_notes_name_what_is_read_differently(native, tmp_path):
    cfg = voltages(tmp_path, ("Va", "Vb", "Vc", "Va"), seconds=1.0)
    # the header declares 1000 of the 10000 samples
    edit_cfg(cfg, f",{int(FS)}\n", ",1000\n")
    proc = run_cli("analyze", cfg, "-o", tmp_path / "out", "--channels", "U1=0,U2=1,U3=2")
    assert proc.returncode == 0, proc.stderr
    assert "declares 1000 samples (endsamp) but the data holds 10000" in proc.stderr
    assert "channels 0, 3 are all named 'Va'; channel 0 is analysed" in proc.stderr


def test_report_replaces_only_a_regular_file(native, tmp_path):
    target = tmp_path / "keep.txt"
    target.write_text("precious")
    link = tmp_path / "report.html"
    link.symlink_to(target)
    proc = run_cli("analyze", "--demo", "--demo-seconds", "1", "-o", tmp_path / "out",
                   "--report", link)
    assert proc.returncode == 1 and "not a regular file" in proc.stderr, proc.stderr
    assert link.is_symlink() and target.read_text() == "precious"


def test_sigterm_removes_unfinished_tables(native, tmp_path, monkeypatch, capsys):
    engine = cli._engine()
    out = tmp_path / "out"

    def terminated_midway(chunks, **kw):
        def on_windows(df, forward=kw["sink"].on_windows):
            forward(df)
            assert list(out.glob("*.part"))  # a table is being written
            os.kill(os.getpid(), signal.SIGTERM)
        kw["sink"].on_windows = on_windows
        return engine(chunks, **kw)

    monkeypatch.setattr(cli, "_engine", lambda: terminated_midway)
    before = signal.getsignal(signal.SIGTERM)
    assert cli.main(["analyze", "--demo", "-o", str(out), "-q"]) == 128 + signal.SIGTERM
    assert "terminated" in capsys.readouterr().err
    assert list(out.iterdir()) == []
    assert signal.getsignal(signal.SIGTERM) == before  # the handler is the caller's again
