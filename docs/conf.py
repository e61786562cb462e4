"""Sphinx configuration of Zarvel's documentation site (built by scripts/docs.sh).

The pages are MyST Markdown, so that they read the same on a git host as on the
site; the API reference comes from the docstrings of the installed package
(scripts/docs.sh installs it from this checkout first).
"""

import zarvel

project = "Zarvel"
author = "the Zarvel developers"
copyright = "the Zarvel developers"
try:
    from importlib.metadata import version as _version

    release = _version("zarvel")
except Exception:  # a checkout on sys.path without installed metadata
    release = ""
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
]

source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]

# Anchors for headings down to level 3, so that pages link to sections as
# [text](page.md#section-title) and the same link works on a git host.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

# Every cross-reference must resolve (the build runs with warnings as errors).
nitpicky = True
nitpick_ignore_regex = [
    # Types named in signatures whose documentation lives elsewhere (no network at build time).
    (r"py:class", r"(numpy\.|np\.|dask\.|da\.|xr\.|xarray\.|typing\.|collections\.abc\.).*"),
    (r"py:class", r"(Any|Optional|Tuple|Iterable|Sequence|Callable|List|Union)(\[.*\])?"),
]

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_preserve_defaults = True
add_module_names = False

html_theme = "furo"
html_title = f"Zarvel {release}".strip()
html_static_path = []
html_show_sourcelink = False
html_copy_source = False
pygments_style = "default"

# The module is imported here so that a missing build fails at once, with a clear message.
assert zarvel.MODES, "zarvel imported without its modes"


# The module-level blend functions, one per mode, share one signature and one
# description: the API page lists them from zarvel.MODES when the site is
# built, so that a new mode appears there without an edit here.
_MODE_FUNCTIONS_MARKER = "<!-- the module-level blend functions, listed from zarvel.MODES -->"


def _mode_functions_rst() -> str:
    signatures = [f'{mode}(background, foreground, opacity=1.0, kernel="auto", /)' for mode in zarvel.MODES]
    lines = ["```{eval-rst}", ".. py:function:: " + signatures[0]]
    lines += ["                 " + signature for signature in signatures[1:]]
    lines += [
        "",
        "   Blend ``foreground`` onto ``background`` with the mode of the function's name",
        "   and return a new array with the background's channel count and element type.",
        "   ``background`` and ``foreground``: uint8 or float32 (0..255) arrays of shape",
        "   (height, width, 3 or 4) of the same height and width. ``opacity`` (not clamped)",
        '   scales the foreground\'s alpha; ``kernel`` is "auto", "scalar", "sse42",',
        '   "avx2" or a :class:`KernelKind`, and a string third argument is taken as the',
        "   kernel. See :doc:`modes` for each mode's formula and the full contract.",
        "```",
    ]
    return "\n".join(lines)


def _list_mode_functions(app, docname, source):
    if _MODE_FUNCTIONS_MARKER in source[0]:
        source[0] = source[0].replace(_MODE_FUNCTIONS_MARKER, _mode_functions_rst())


def setup(app):
    app.connect("source-read", _list_mode_functions)
