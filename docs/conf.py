"""Sphinx configuration of velmo's documentation: `make docs` builds it into build/docs."""

project = "velmo"
author = "velmo's developers"
extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx.ext.napoleon"]
source_suffix = {".md": "markdown"}
exclude_patterns = []
html_theme = "furo"
html_title = "velmo"
# `name` in a docstring links to the object of that name where there is one.
default_role = "py:obj"
# The API reference documents the installed native modules: their functions carry __signature__.
# Classes whose text is in their module's docstring (VelmoSqlSession,
# SqlTemplate, ...) are listed too, each with its __init__'s docstring.
autodoc_default_options = {"members": True, "undoc-members": True, "member-order": "groupwise"}
autoclass_content = "both"
napoleon_google_docstring = True
napoleon_numpy_docstring = False
myst_heading_anchors = 3

# autodoc documents a module that is already imported as it is, where it would otherwise read a
# native module's stub in its place: the reference shows the built modules themselves.
import importlib  # noqa: E402

for _module in ("velmo.utils.wollix", "velmo.utils.fendrel", "velmo.utils.zimbard", "velmo.utils.harlune",
                "velmo.utils.plovet", "velmo.mapper.drovik", "velmo.mapper.checker", "velmo.db.kestrum",
                "velmo.db.brannow", "velmo.db.aio"):
    importlib.import_module(_module)

# velmo's native functions (each module's own type named velmo_function) bind as methods like
# Python functions, but Sphinx knows only the function types it has names for and would list the
# methods as attributes.
import sphinx.util.inspect  # noqa: E402

_isattributedescriptor = sphinx.util.inspect.isattributedescriptor
sphinx.util.inspect.isattributedescriptor = lambda obj: (
    type(obj).__name__ != "velmo_function" and _isattributedescriptor(obj))
