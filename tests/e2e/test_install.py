"""Installing: the manual page renders without warnings, make install lays out the files, and
make package builds a Debian package with them."""
import os
import subprocess
from pathlib import Path

from conftest import ROOT


def test_manual_page_renders_without_warnings():
    out = subprocess.run(["groff", "-man", "-ww", "-z", str(ROOT / "doc" / "sendal.1")],
                         capture_output=True, text=True)
    assert out.returncode == 0 and out.stderr == ""


def test_make_install_lays_out_the_files(tmp_path):
    env = dict(os.environ, DESTDIR=str(tmp_path))
    subprocess.run(["make", "-s", "install", "PREFIX=/usr"], cwd=ROOT, env=env, check=True,
                   stdout=subprocess.DEVNULL)
    for name in ("usr/bin/sendal", "usr/bin/sendal-enqueue", "usr/share/man/man1/sendal.1",
                 "usr/share/doc/sendal/sendal.hlp", "usr/share/doc/sendal/README.md",
                 "usr/share/doc/sendal/examples/sendal.timer",
                 "usr/share/doc/sendal/examples/sendal.path"):
        assert (tmp_path / name).is_file(), name
    assert os.access(tmp_path / "usr/bin/sendal", os.X_OK)


def test_make_package_builds_a_deb():
    out = subprocess.run(["make", "-s", "package"], cwd=ROOT, check=True, capture_output=True,
                         text=True).stdout
    deb = Path(out.strip().splitlines()[-1])
    listing = subprocess.run(["dpkg-deb", "-c", str(deb)], check=True, capture_output=True,
                             text=True).stdout
    for name in ("./usr/bin/sendal", "./usr/bin/sendal-enqueue", "./usr/share/man/man1/sendal.1.gz",
                 "./usr/share/doc/sendal/sendal.hlp", "./usr/share/doc/sendal/README.md",
                 "./usr/share/doc/sendal/LICENSE"):
        assert name in listing, name
    info = subprocess.run(["dpkg-deb", "-f", str(deb), "Package", "Depends"], check=True,
                          capture_output=True, text=True).stdout
    assert "Package: sendal" in info
