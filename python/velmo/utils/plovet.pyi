# The named template functions and their registry.
import time
from collections.abc import Callable

from velmo.utils.zimbard import *

def like(value: str) -> str: ...
def time_format(
    date_value: time.struct_time | tuple[int, int, int, int, int, int, int, int, int],
    format: str = "%Y-%m-%d %H:%M:%S",
) -> str: ...

default_fun_dict: dict[str, Callable[..., str]]
