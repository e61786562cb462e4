"""Make the OpenRaster test documents of tests/data/ora/ and have Krita flatten them.

Run by hand (not in CI), from the checkout, after `apt-get install -y krita xvfb`:

    .venv/bin/python scripts/make_ora_fixtures.py            # the .ora files and Krita's images
    .venv/bin/python scripts/make_ora_fixtures.py --no-krita # only the .ora files

Each case is a small document (32 x 24) written here: an 8-bit background
and layers with partial alpha, offsets reaching past the canvas and opacities
that are whole 255ths (Krita stores opacity in 8 bits). Krita opens each one
through its own OpenRaster import, converts the document to 16 bits per
channel (RGBA U16, sRGB-elle-V2-srgbtrc) so that its compositing does not
round to 8 bits between layers, and its projection is stored as
CASE.krita.png (16-bit RGBA, straight alpha). Krita runs under xvfb-run
through kritarunner with a script module written to a temporary folder.

Krita's names (what it writes in composite-op when it saves .ora itself, found
by saving a document with one layer per blending mode):

    normal svg:src-over, multiply svg:multiply, screen svg:screen, overlay svg:overlay,
    darken svg:darken, lighten svg:lighten, dodge svg:color-dodge, burn svg:color-burn,
    hard_light svg:hard-light, soft_light_svg svg:soft-light, diff svg:difference,
    hue svg:hue, saturation svg:saturation, color svg:color, luminize svg:luminosity,
    add svg:plus, erase svg:dst-out, clear svg:clear, destination-in svg:dst-in,
    destination-atop svg:dst-atop; every other mode krita:ID (krita:exclusion,
    krita:linear_burn, krita:darker color, ...).
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "tests" / "data" / "ora"
WIDTH, HEIGHT = 32, 24

# (case name, composite-op written in stack.xml): the modes Krita offers with an OpenRaster name
# of the svg: family, or a krita: name whose formula is one of the family's.
MODE_CASES = [
    ("src-over", "svg:src-over"),
    ("multiply", "svg:multiply"),
    ("screen", "svg:screen"),
    ("overlay", "svg:overlay"),
    ("darken", "svg:darken"),
    ("lighten", "svg:lighten"),
    ("color-dodge", "svg:color-dodge"),
    ("color-burn", "svg:color-burn"),
    ("hard-light", "svg:hard-light"),
    ("soft-light", "svg:soft-light"),
    ("difference", "svg:difference"),
    ("exclusion", "krita:exclusion"),
    ("hue", "svg:hue"),
    ("saturation", "svg:saturation"),
    ("color", "svg:color"),
    ("luminosity", "svg:luminosity"),
    ("plus", "svg:plus"),
    ("dst-out", "svg:dst-out"),
    ("dst-in", "svg:dst-in"),
    ("dst-atop", "svg:dst-atop"),
    ("clear", "svg:clear"),
    ("linear-dodge", "krita:linear_dodge"),
    ("linear-burn", "krita:linear_burn"),
    ("vivid-light", "krita:vivid_light"),
    ("linear-light", "krita:linear light"),
    ("pin-light", "krita:pin_light"),
    ("hard-mix", "krita:hard_mix_photoshop"),
    ("subtract", "krita:subtract"),
    ("divide", "krita:divide"),
    ("darker-color", "krita:darker color"),
    ("lighter-color", "krita:lighter color"),
]


def png(image: np.ndarray) -> bytes:
    """An 8- or 16-bit RGBA PNG of an h x w x 4 array (no ancillary chunks)."""
    height, width, _ = image.shape
    depth = 16 if image.dtype == np.uint16 else 8
    rows = image.astype(">u2") if depth == 16 else image.astype(np.uint8)
    raw = b"".join(b"\0" + rows[y].tobytes() for y in range(height))

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", width, height, depth, 6, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def ramps(height: int, width: int, turn: int) -> np.ndarray:
    """A smooth 8-bit RGBA test picture (compresses well) that reaches 0 and 255 in every channel
    and has transparent, partly transparent and opaque pixels."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    u, v = x / (width - 1), y / (height - 1)
    phase = turn * 0.7
    r = u
    g = 0.5 + 0.5 * np.sin(2 * np.pi * (v + phase))
    b = np.abs(u - v)
    a = np.clip(1.25 - np.abs(2 * u - 1) - 0.5 * v * (turn % 2), 0, 1)
    image = np.stack([r, g, b, a], axis=2)
    if turn % 2:
        image[..., :3] = 1 - image[..., :3]
    return np.rint(image * 255).astype(np.uint8)


def write_ora(path: Path, stack: str, layers: dict) -> None:
    head = "<?xml version='1.0' encoding='UTF-8'?>\n"
    xml = f'{head}<image version="0.0.5" w="{WIDTH}" h="{HEIGHT}">\n{stack}</image>\n'

    def member(name: str, compress: int = zipfile.ZIP_STORED) -> zipfile.ZipInfo:
        info = zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0))  # the same bytes on every run
        info.compress_type = compress
        return info

    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr(member("mimetype"), "image/openraster")  # first, stored
        archive.writestr(member("stack.xml", zipfile.ZIP_DEFLATED), xml)
        for name, image in layers.items():
            archive.writestr(member(f"data/{name}.png"), png(image))


def cases() -> dict:
    """Every document: name -> (stack.xml's stack, layer pictures)."""
    background = ramps(HEIGHT, WIDTH, 0)
    top = ramps(18, 26, 1)
    made = {}
    for name, op in MODE_CASES:
        stack = (
            '<stack name="root">\n'
            f'  <layer name="top" src="data/top.png" x="9" y="-3" opacity="0.6" composite-op="{op}"/>\n'
            '  <layer name="background" src="data/background.png"/>\n'
            "</stack>\n"
        )
        made[f"mode-{name}"] = (stack, {"top": top, "background": background})
    shade = ramps(20, 20, 2)
    spot = ramps(10, 14, 3)
    made["groups"] = (
        '<stack name="root">\n'
        '  <layer name="hidden" src="data/spot.png" x="2" y="2" visibility="hidden"/>\n'
        '  <stack name="isolated" isolation="isolate" composite-op="svg:multiply" opacity="0.8">\n'
        '    <layer name="spot" src="data/spot.png" x="-2" y="18" composite-op="svg:screen"/>\n'
        '    <layer name="shade" src="data/shade.png" x="7" y="3"/>\n'
        "  </stack>\n"
        '  <stack name="pass-through">\n'
        '    <stack name="hidden stack" visibility="hidden">\n'
        '      <layer name="shade again" src="data/shade.png"/>\n'
        "    </stack>\n"
        '    <layer name="top" src="data/top.png" x="-5" y="10" opacity="0.4" composite-op="svg:overlay"/>\n'
        "  </stack>\n"
        '  <layer name="background" src="data/background.png"/>\n'
        "</stack>\n",
        {"background": background, "top": top, "shade": shade, "spot": spot},
    )
    for name, isolation in (("group-opacity", "isolate"), ("group-opacity-auto", "auto")):
        # The same faded group isolated, and with isolation="auto" (isolated all the same, as
        # its opacity is below 1; Krita opens it as a pass-through group).
        made[name] = (
            '<stack name="root">\n'
            f'  <stack name="faded" opacity="0.6" isolation="{isolation}">\n'
            '    <layer name="top" src="data/top.png" x="7" y="5"/>\n'
            '    <layer name="shade" src="data/shade.png" x="-4" y="-2" composite-op="svg:difference"/>\n'
            "  </stack>\n"
            '  <layer name="background" src="data/background.png"/>\n'
            "</stack>\n",
            {"background": background, "top": top, "shade": shade},
        )
    return made


KRITA_SCRIPT = """
import json, struct, zlib
from krita import InfoObject, Krita

def main(args=None):
    jobs = json.load(open({jobs!r}))
    app = Krita.instance()
    report = {{}}
    for source, target, saved in jobs:
        doc = app.openDocument(source)
        doc.setBatchmode(True)
        doc.setColorSpace("RGBA", "U16", "sRGB-elle-V2-srgbtrc.icc")
        doc.refreshProjection()
        doc.waitForDone()
        w, h = doc.width(), doc.height()
        data = bytes(doc.pixelData(0, 0, w, h))
        open(target, "wb").write(data)
        modes = []
        stack = [doc.rootNode()]
        while stack:
            node = stack.pop()
            modes.append([node.name(), node.blendingMode(), node.colorDepth()])
            stack.extend(node.childNodes())
        report[source] = [w, h, modes]
        if saved:
            doc.exportImage(saved, InfoObject())
        doc.close()
    json.dump(report, open({report!r}, "w"), indent=1)
"""


# Documents Krita also saves as OpenRaster itself (its own stack.xml and layer PNGs, and its
# flattened image as mergedimage.png), as krita-NAME.ora without the thumbnail.
SAVED_BY_KRITA = ("groups", "mode-darken")


def run_krita(names: list) -> dict:
    with tempfile.TemporaryDirectory() as scratch:
        scratch_path = Path(scratch)
        jobs = [
            (
                str(OUT / f"{name}.ora"),
                str(scratch_path / f"{name}.raw"),
                str(scratch_path / f"krita-{name}.ora") if name in SAVED_BY_KRITA else "",
            )
            for name in names
        ]
        (scratch_path / "jobs.json").write_text(json.dumps(jobs))
        report_path = scratch_path / "report.json"
        module = KRITA_SCRIPT.format(jobs=str(scratch_path / "jobs.json"), report=str(report_path))
        (scratch_path / "zarvel_ora_fixtures.py").write_text(module)
        env = dict(os.environ, PYTHONPATH=scratch)
        command = ["xvfb-run", "-a", "kritarunner", "-s", "zarvel_ora_fixtures", "-f", "main"]
        subprocess.run(command, env=env, check=True, timeout=600, capture_output=True)
        report = json.loads(report_path.read_text())
        for (source, raw, saved), name in zip(jobs, names):
            width, height, _ = report[source]
            # Krita's RGBA U16 pixels: B, G, R, A in native (little-endian) order.
            bgra = np.frombuffer(Path(raw).read_bytes(), "<u2").reshape(height, width, 4)
            (OUT / f"{name}.krita.png").write_bytes(png(bgra[..., [2, 1, 0, 3]].astype(np.uint16)))
            if saved:
                without_thumbnail(Path(saved), OUT / Path(saved).name)
        return report


def without_thumbnail(source: Path, target: Path) -> None:
    """A copy of a zip archive without its Thumbnails/ members, in the same order."""
    with zipfile.ZipFile(source) as original, zipfile.ZipFile(target, "w") as copy:
        for info in original.infolist():
            if not info.filename.startswith("Thumbnails/"):
                copy.writestr(info, original.read(info))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--no-krita", action="store_true", help="write the .ora files only")
    args = parser.parse_args()
    OUT.mkdir(parents=True, exist_ok=True)
    made = cases()
    for name, (stack, layers) in made.items():
        write_ora(OUT / f"{name}.ora", stack, layers)
    if not args.no_krita:
        if shutil.which("kritarunner") is None or shutil.which("xvfb-run") is None:
            print(
                "make_ora_fixtures: kritarunner and xvfb-run are needed (apt-get install krita xvfb)", file=sys.stderr
            )
            return 1
        report = run_krita(list(made))
        for source, (_, _, modes) in sorted(report.items()):
            print(Path(source).name, " ".join(f"{n}={m}/{d}" for n, m, d in modes[1:]))
    total = sum(p.stat().st_size for p in OUT.iterdir())
    print(f"wrote {len(made)} documents to {OUT} ({total} bytes in all)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
