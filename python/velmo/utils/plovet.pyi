"""The named template functions `like` and `time_format`, and their registry
``default_fun_dict`` (name to function). Both render one SQL string literal through
``sql_string_format``; values from outside belong in ``#{}`` binds instead.

>>> like("%Ada%")
"'%Ada%'"
>>> time_format((2024, 1, 2, 3, 4, 5, 0, 0, 0))
"'2024-01-02 03:04:05'"
"""
import time
from collections.abc import Callable

from velmo.utils.zimbard import *

def like(value: str) -> str:
    """`value` as one quoted SQL string literal (``sql_string_format(value)``)."""
def time_format(
    date_value: time.struct_time | tuple[int, int, int, int, int, int, int, int, int],
    format: str = "%Y-%m-%d %H:%M:%S",
) -> str:
    """A time as one quoted SQL string literal: ``sql_string_format(time.strftime(format,
    date_value))``.

    Args:
        date_value: a ``time.struct_time`` or 9-tuple.
        format: a ``time.strftime`` format.

    Raises:
        TypeError: `format` is not exactly a str, or `date_value` is no time tuple.
    """

default_fun_dict: dict[str, Callable[..., str]]
