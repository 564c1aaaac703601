"""The HTML report of the demo analysis: every plot is embedded and not
blank, nothing is loaded from outside the file, and headless Chromium
renders it to a screenshot that shows the plots."""
import base64
import io
import os
import re
import shutil
import subprocess

import numpy as np
import pytest

from powergpu.report import _EVENT_COLOUR, FIGURES, PHASE_COLOURS, write_report

Image = pytest.importorskip("PIL.Image")


@pytest.fixture(scope="module")
def demo_result():
    from powergpu import _native
    try:
        _native.find_library()
    except OSError as exc:
        pytest.skip(f"libpowergpu is not built here ({' '.join(str(exc).split())[:160]})")
    from powergpu import analyze
    from powergpu.demo import demo_signal
    v, i, _ = demo_signal()
    return analyze(v, i, sample_rate=10000.0, grid="star", backend="cpu")


@pytest.fixture(scope="module")
def report(demo_result, tmp_path_factory):
    path = tmp_path_factory.mktemp("report") / "report.html"
    write_report(demo_result, path, title="demo report", source="built-in demo signal")
    return path


def _images(text):
    """{figure id: (alt, decoded PIL image)} of every embedded PNG."""
    out = {}
    for m in re.finditer(r'<img id="img-([\w-]+)" alt="([^"]*)"[^>]*'
                         r'src="data:image/png;base64,([A-Za-z0-9+/=]+)"', text):
        out[m.group(1)] = (m.group(2), Image.open(io.BytesIO(base64.b64decode(m.group(3)))))
    return out


def _rgb(img):
    return np.asarray(img.convert("RGB"), dtype=np.int16)


def _hex(colour):
    return np.array([int(colour[k:k + 2], 16) for k in (1, 3, 5)], dtype=np.int16)


def _pixels_near(arr, colour, tol=40):
    return int((np.abs(arr - _hex(colour)).sum(axis=2) <= tol).sum())


def _distinct_colours(arr):
    flat = arr.reshape(-1, 3).astype(np.int64)
    return len(np.unique(flat[:, 0] * 65536 + flat[:, 1] * 256 + flat[:, 2]))


def test_every_plot_is_embedded_with_its_title(report):
    text = report.read_text(encoding="utf-8")
    images = _images(text)
    assert list(images) == [fid for fid, _ in FIGURES]
    for fid, title in FIGURES:
        alt, img = images[fid]
        assert alt == title
        assert f'<section id="fig-{fid}"><h2>{title}</h2>' in text
        assert img.size[0] >= 800 and img.size[1] >= 250, (fid, img.size)


def test_plots_are_not_blank_and_show_the_phases(report):
    images = _images(report.read_text(encoding="utf-8"))
    for fid, (_, img) in images.items():
        arr = _rgb(img)
        assert arr.std() > 10, fid
        assert _distinct_colours(arr) > 50, fid
    for fid in ("rms-trend", "thd-trend", "spectrum", "phasors", "half-cycle-rvc"):
        arr = _rgb(images[fid][1])
        for colour in PHASE_COLOURS:
            assert _pixels_near(arr, colour) > 50, (fid, colour)
    # The RVC event of the demo is shaded: the event colour at 25 % over white.
    shade = np.rint(0.25 * _hex(_EVENT_COLOUR) + 0.75 * 255).astype(int)
    shade_hex = "#" + "".join(f"{c:02X}" for c in shade)
    assert _pixels_near(_rgb(images["half-cycle-rvc"][1]), shade_hex, tol=12) > 2000


def test_report_is_self_contained(report):
    text = report.read_text(encoding="utf-8")
    assert "<script" not in text.lower()
    assert "<link" not in text.lower()
    assert not re.search(r'(src|href)\s*=\s*"(?!data:)', text, re.I)
    assert "url(" not in text
    assert not re.search(r"https?://", text)


def test_report_holds_the_summary_and_the_event(report, demo_result):
    text = report.read_text(encoding="utf-8")
    assert '<table class="summary">' in text
    for label in ("U rms", "U THD", "P active", "PF (lambda)"):
        assert f"<td>{label}</td>" in text
    rows = re.findall(r"<tr><td>1</td>(.*?)</tr>", text.split('<table class="events">')[1])
    assert len(rows) == 1
    start = float(re.findall(r"<td>([\d.]+)</td>", rows[0])[0])
    assert start == pytest.approx(float(demo_result.events["t_start"][0]), abs=1e-3)


def _chromium():
    for name in ("chromium", "chromium-browser", "google-chrome", "google-chrome-stable"):
        path = shutil.which(name)
        if path:
            return path
    return None


def test_chromium_renders_the_report(report, tmp_path):
    browser = _chromium()
    if browser is None:
        pytest.skip("headless Chromium is not installed (scripts/setup-test-deps.sh "
                    "installs the Debian package 'chromium')")
    shot = tmp_path / "report.png"
    cmd = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
           "--disable-dev-shm-usage", "--no-first-run", f"--user-data-dir={tmp_path / 'profile'}",
           f"--screenshot={shot}", "--window-size=1280,5200", report.resolve().as_uri()]
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, HOME=str(tmp_path)))
    assert proc.returncode == 0 and shot.is_file(), proc.stderr[-2000:]
    arr = _rgb(Image.open(shot))
    assert arr.shape[:2] == (5200, 1280)
    assert arr.std() > 20
    assert _distinct_colours(arr) > 500
    for colour in PHASE_COLOURS:
        assert _pixels_near(arr, colour) > 500, colour
    # Each plot lies in its own band of the page: every 1000-pixel band of
    # the upper part shows several colours, so no figure failed to paint.
    page_end = int(np.flatnonzero((arr != arr[-1, -1]).any(axis=(1, 2)))[-1])
    assert page_end > 3500
    for top in range(0, page_end - 1000, 1000):
        band = arr[top:top + 1000]
        assert _distinct_colours(band) > 100, top
