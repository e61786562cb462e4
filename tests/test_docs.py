"""The README and the documentation pages stay true: their examples run, their links
lead to files that exist, and the reference tables list every mode and kernel."""

import re
from pathlib import Path

import pytest

import zarvel

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
PAGES = sorted((ROOT / "docs").glob("*.md"))
DOCUMENTS = [README, *PAGES]

# The documents are part of the source tree, not of an installed package: a suite run
# against a wheel, from a copy of tests/ alone, has none of them to check.
pytestmark = pytest.mark.skipif(not README.is_file(), reason="the documents live in the source tree")


def python_blocks(path: Path):
    return re.findall(r"^```python\n(.*?)^```", path.read_text(encoding="utf-8"), re.S | re.M)


# The Python examples of each document, run in order in one namespace as a reader
# would run them; the out-of-core one reads Zarr files it does not make.
EXAMPLES = [
    pytest.param([code for code in python_blocks(path) if "from_zarr" not in code], id=path.name)
    for path in DOCUMENTS
    if path.is_file() and python_blocks(path)
]


def test_the_documents_are_there():
    assert README.is_file() and len(PAGES) >= 8, [page.name for page in PAGES]
    assert len(EXAMPLES) >= 5


@pytest.mark.parametrize("blocks", EXAMPLES)
def test_examples_run(blocks, capsys):
    namespace = {"__name__": "__example__"}
    for i, code in enumerate(blocks):
        exec(compile(code, f"<example {i}>", "exec"), namespace)


@pytest.mark.parametrize("path", DOCUMENTS, ids=lambda path: path.name)
def test_relative_links_lead_to_files(path):
    """Links to files of the repository, as a git host follows them (anchors are the
    site build's business: it runs with every cross-reference checked)."""
    text = re.sub(r"^```.*?^```", "", path.read_text(encoding="utf-8"), flags=re.S | re.M)
    targets = re.findall(r"\]\(([^)\s]+)\)", text)
    missing = [
        target
        for target in targets
        if not re.match(r"[a-z]+:|#", target) and not (path.parent / target.split("#")[0]).exists()
    ]
    assert not missing, f"{path.name} links to missing files: {missing}"


def test_readme_stays_a_front_page():
    text = README.read_text(encoding="utf-8")
    assert len(text.splitlines()) < 150
    for command in ("bash scripts/demo.sh", "bash scripts/test.sh", "bash scripts/docs.sh"):
        assert command in text
        assert (ROOT / command.split()[1]).is_file()


def table_column(page: str, heading: str):
    """The first column of the first table after a heading, without backticks."""
    text = (ROOT / "docs" / page).read_text(encoding="utf-8")
    section = text[text.index(heading) :]
    rows = re.findall(r"^\|([^|\n]*)\|", section[section.index("\n|") :].split("\n\n")[0], re.M)
    return [cell.strip().strip("`") for cell in rows[2:]]


def test_modes_page_describes_every_mode_in_order():
    assert table_column("modes.md", "## What each mode computes") == list(zarvel.MODES)


def test_modes_page_puts_every_mode_in_one_family():
    text = (ROOT / "docs" / "modes.md").read_text(encoding="utf-8")
    families = text[text.index("## The families") : text.index("## What each mode computes")]
    named = ["normal"] + re.findall(r"`([a-z_]*[a-z])`", families)
    assert sorted(named) == sorted(zarvel.MODES)


def test_kernels_page_describes_every_kernel():
    assert sorted(table_column("kernels.md", "## The kernels")) == sorted(kind.value for kind in zarvel.KernelKind)
