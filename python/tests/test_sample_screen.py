"""Unusable samples found wherever they sit in a block, whatever its memory order."""
import numpy as np

from powergpu.screening import SampleScreen

ROWS = 205  # 25 whole groups of eight rows and a remainder of five


def _learnt():
    screen = SampleScreen(3)
    screen.screen(np.random.default_rng(9).normal(0.0, 100.0, (ROWS, 3)), 0)  # scales near 250
    return screen


def test_unusable_samples_in_whole_groups_of_rows_and_in_the_remainder():
    block = np.random.default_rng(5).normal(0.0, 100.0, (ROWS, 3))
    block[2, 0] = np.inf
    block[203, 1] = np.nan
    block[204, 2] = 1e9  # far above 1e4 times the channel's scale: absurd
    bad = np.zeros(block.shape, dtype=bool)
    bad[2, 0] = bad[203, 1] = bad[204, 2] = True
    for order in ("C", "F"):
        screen = _learnt()
        clean, runs = screen.screen(np.array(block, order=order), 1000)
        assert runs == [(1002, 1003), (1203, 1205)], order
        assert screen.missing.tolist() == [1, 1, 0] and screen.absurd.tolist() == [0, 0, 1]
        assert (clean[bad] == 0).all()
        np.testing.assert_array_equal(clean[~bad], block[~bad])


def test_a_clean_block_passes_unchanged_and_an_absurd_last_row_is_found():
    screen = _learnt()
    block = np.random.default_rng(6).normal(0.0, 100.0, (ROWS, 3))
    clean, runs = screen.screen(block, 1000)
    assert clean is block and runs == []
    block[-1, 1] = -5e8
    clean, runs = screen.screen(block, 2000)
    assert runs == [(2204, 2205)] and screen.absurd.tolist() == [0, 1, 0] and clean[-1, 1] == 0
