"""Type helpers: resolving result-type names, telling container types and result classes apart.

>>> get_type_from_string("int"), is_container_type_by_str("list")
(<class 'int'>, True)
"""
import builtins as builtins
from collections.abc import Container as Container, Iterable as Iterable
from dataclasses import is_dataclass as is_dataclass
from importlib import import_module as import_module
from typing import List as List, get_origin as get_origin

from pydantic import BaseModel as BaseModel
from sqlalchemy.orm import DeclarativeBase as DeclarativeBase

def is_container_type_by_str(type_str: str) -> bool:
    """Whether the builtin (or module global) named `type_str` is a container class: ``list``,
    ``tuple``, ``dict``, ``set`` or a subclass of one. An unknown name is no container."""
def get_type_from_string(type_str: str) -> type:
    """The class a ``resultType`` names: a builtin (``int``, ``dict``), or a dotted path
    (``myapp.models.User``) imported with ``importlib.import_module``.

    Raises:
        TypeError: `type_str` is not exactly a str.
        ValueError: ``无法导入类型 <name>: <why>`` when the module or class cannot be imported;
            ``未知的类型: <name>`` when the name resolves to no class.
    """
def is_container_type(type_obj: object) -> bool:
    """Whether a type, or a generic alias's origin (``List[int]``, ``dict[str, int]``), is a
    container class (``list``, ``tuple``, ``dict``, ``set`` or a subclass).

    Raises:
        TypeError: `type_obj` is neither a class nor a generic alias.
    """
def get_base_type(generic_type: object) -> object:
    """A generic alias's origin (``list`` for ``List[int]``), or the object itself."""
def is_result_class(data_type: object) -> bool:
    """Whether rows become `data_type` by calling it with their columns: a pydantic model, a
    dataclass or an SQLAlchemy declarative class.

    Raises:
        TypeError: `data_type` is not a class.
    """
