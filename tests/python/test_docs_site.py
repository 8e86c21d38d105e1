"""The documentation site builds strictly and opens in a real browser
(Debian's headless Chromium) with no console errors; the screenshots are
kept under build/docs-screenshots for a person to look at."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SHOTS = ROOT / "build" / "docs-screenshots"
CHROMIUM = shutil.which("chromium")
MKDOCS = Path(sys.executable).with_name("mkdocs")
CONSOLE = re.compile(r":(INFO|WARNING|ERROR):CONSOLE.*")


def browse(url, shot):
    """The browser's console lines while it loads `url`, and its screenshot."""
    done = subprocess.run(
        [
            CHROMIUM,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--enable-logging=stderr",
            "--v=0",
            "--window-size=1280,900",
            f"--screenshot={shot}",
            url,
        ],
        capture_output=True,
        text=True,
        timeout=120,
        # The browser is none of ours: under the memory-safety run it goes
        # without the sanitizer's runtime, which every process there inherits.
        env={k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")},
    )
    return [m.group(0) for m in CONSOLE.finditer(done.stderr)]


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    if not MKDOCS.exists():
        pytest.skip("mkdocs is not installed (requirements-dev.txt)")
    out = tmp_path_factory.mktemp("site")
    done = subprocess.run(
        [str(MKDOCS), "build", "--strict", "-q", "--site-dir", str(out)],
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, "NO_MKDOCS_2_WARNING": "1"},
    )
    assert done.returncode == 0, done.stderr
    return out


@pytest.mark.skipif(CHROMIUM is None, reason="no chromium (tools/deps.sh docs)")
@pytest.mark.parametrize("page", ["index.html", "api/index.html"])
def test_page_opens_in_a_browser_without_console_errors(site, page):
    SHOTS.mkdir(parents=True, exist_ok=True)
    shot = SHOTS / (page.replace("/", "-").replace(".html", ".png"))
    shot.unlink(missing_ok=True)
    console = browse((site / page).as_uri(), shot)
    assert [line for line in console if "Uncaught" in line or "ERROR" in line] == []
    assert shot.stat().st_size > 10_000  # a page drawn, not a blank
    assert "AHRS" in (site / page).read_text() or "tavrin" in (site / page).read_text()


def test_the_api_reference_shows_every_public_name_of_the_driver(site):
    # The driver's classes report their module as "builtins", so they come
    # from the stub that ships beside the module, not from the module itself.
    import tavrin_ahrs_driver as driver

    page = (site / "api" / "index.html").read_text()
    names = [f"tavrin_ahrs_driver.{name}" for name in driver.__all__]
    names += [
        f"tavrin_ahrs_driver.{cls.__name__}.{method}"
        for cls in (driver.AHRSClient, driver.BufferedAHRSClient)
        for method in vars(cls)
        if not method.startswith("_")
    ]
    assert [name for name in names if f'id="{name}"' not in page] == []


@pytest.mark.skipif(CHROMIUM is None, reason="no chromium (tools/deps.sh docs)")
def test_a_script_error_is_caught(tmp_path):
    page = tmp_path / "broken.html"
    page.write_text("<html><body><script>nosuch()</script></body></html>")
    assert any("Uncaught" in line for line in browse(page.as_uri(), tmp_path / "shot.png"))
