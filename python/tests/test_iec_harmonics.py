"""The grouped harmonic analysis through the Python binding: a 230 V, 50 Hz
three-phase voltage with a 5th harmonic of 4 % (on bins of the 10-period
window) reads 9.2 V in subgroup and group 5 and a THDS of 4 % on every
phase; the table has one row per window and measured channel."""
import numpy as np
import pytest

from powergpu import Module
from powergpu.errors import PowerError

FS, N = 10000.0, 2000


def test_fifth_harmonic_in_the_table(backend):
    t = np.arange(3 * N) / FS
    shifts = np.array([0.0, -2.0, 2.0]) * np.pi / 3.0
    u = np.stack([230.0 * np.sqrt(2.0) * (np.sin(2 * np.pi * 50 * t + s) + 0.04 * np.sin(2 * np.pi * 250 * t + 5 * s))
                  for s in shifts], axis=1)
    with Module(backend) as m:
        m.configure(sample_rate=FS, buffer_length=4 * N, grid="star", current_enabled=False,
                    static_frequency=50.0, iec_harmonics_enabled=True, iec_harmonics_highest_order=40)
        assert m.iec_harmonics_enabled and m.iec_harmonics_highest_order == 40
        with pytest.raises(PowerError, match="setIecHarmonicsHighestOrder"):
            m.iec_harmonics_highest_order = 51
        assert m.iec_harmonics_highest_order == 40
        m.reset(0)
        m.write(u)
        for w in range(3):
            m.schedule(w * N, N, 50.0)
        m.sync()
        assert len(m.results()) == 3
        table = m.iec_harmonics()
        assert len(m.iec_harmonics_records()) == 0  # taken
    assert list(table["channel"].astype(str)) == ["U1", "U2", "U3"] * 3
    assert list(table["first_sample"]) == [0] * 3 + [N] * 3 + [2 * N] * 3
    assert (table["highest_order"] == 40).all() and (table["bins_per_period"] == 10).all()
    # float samples and a single-precision transform: a few 1e-6 of 325 V per bin
    assert np.allclose(table["sg_1"], 230.0, atol=2e-3)
    assert np.allclose(table["sg_5"], 9.2, atol=2e-3) and np.allclose(table["g_5"], 9.2, atol=2e-3)
    assert np.allclose(table["thds"], 4.0, atol=1e-4) and np.allclose(table["thdg"], 4.0, atol=1e-4)
    assert (table["sg_41"] == 0.0).all()
