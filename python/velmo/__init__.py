"""velmo: SQL in XML mapper files, run through SQLAlchemy 2."""


def __getattr__(name):
    # The version is kept in one place, the package metadata (pyproject.toml's [project] version),
    # and read only when asked for.
    if name == "__version__":
        from importlib.metadata import version

        return version("velmo")
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
