"""Parameter markers: ``#{name}`` (a bind), ``${name}`` (raw text) and ``$f{expr}`` (a function
expression), with their type options.

`get_sql_param` finds the markers of a text and answers one ``MarkerParam`` for each, in text
order: its ``full_name`` (the marker as written), ``param_name`` and ``name``, the options
``sql_type``, ``python_type`` and ``type_handler`` (``#{id, sql_type=INTEGER}``), and its
``sql_param``, a ``SqlParam`` that tells a parameter (``param_name``) from a function expression
(``is_function``, ``function_expression``, ``function_name``). ``sql_regex_list`` holds one
``SqlParamRegex`` per marker kind (its ``regex`` and ``prefix``). ``type_mapping`` groups the SQL
type names by family (``NUM``, ``BOOLEAN``, ``DATE``, ``STRING``, ``BINARY``, ``OTHER``).

A marker body is a function expression when it matches ``param_function_regex`` at its start and
the text before its first ``(`` holds no comma: ``$f{concat(a, b)}`` is one, ``#{id,
sql_type=VARCHAR(20)}`` is the parameter ``id``.

>>> [(m.full_name, m.param_name, m.sql_type) for m in get_sql_param("id = #{id, sql_type=INTEGER}")]
[('#{id, sql_type=INTEGER}', 'id', 'INTEGER')]
"""

from typing import Any

import regex as re

type_mapping: dict[str, list[str]]
param_function_regex: re.Pattern[str]

class SqlParamRegex:
    regex: re.Pattern[str]
    prefix: str
    def __init__(self, regex: str, prefix: str) -> None:
        """One kind of marker: the pattern that finds it and its prefix (``#``, ``$``, ``$f``)."""
    def resolve_param(self, param: str) -> SqlParam:
        """The `SqlParam` of one marker of this kind, as written (``#{id}``): a parameter, or a
        function expression with its function's name."""

class SqlParam:
    is_function: Any
    param_name: str | None
    function_expression: str | None
    function_name: str | None
    def __init__(
        self,
        param_name: str | None = None,
        function_expression: str | None = None,
        is_function: Any = False,
        function_name: str | None = None,
    ) -> None:
        """What a marker's body names: the parameter `param_name`, or, with `is_function`, the
        function expression `function_expression` calling `function_name`."""
    def __str__(self) -> str:
        """The four fields as text: ``is_function:False ,param_name:id,...``."""

class MarkerParam:
    sql_param: SqlParam
    full_name: str | None
    sql_type: str | None
    python_type: str | None
    type_handler: str | None
    param_name: str | None
    name: str | None
    def __init__(
        self,
        sql_param: SqlParam,
        full_name: str | None = None,
        sql_type: str | None = None,
        python_type: str | None = None,
        type_handler: str | None = None,
    ) -> None:
        """One marker: its `SqlParam`, the marker as written (`full_name`) and its type options;
        ``param_name`` and ``name`` are the parameter's name (no ``name`` for a function
        expression)."""
    def __str__(self) -> str:
        """Every field as text, the `SqlParam`'s first."""

sql_regex_list: list[SqlParamRegex]

def get_params(child: Any) -> list[MarkerParam]:
    """The markers of an XML element's own text and tail (not its children's).

    Args:
        child: an ``xml.etree.ElementTree.Element``.

    Returns:
        One `MarkerParam` per marker, in text order.
    """
def __get_regex_value(regex: str, param: str, group: str) -> str | None: ...
def get_sql_param(param_text: str) -> list[MarkerParam]:
    """The markers of a text: one `MarkerParam` per ``#{}``, ``${}`` or ``$f{}`` marker, in text
    order.

    Example:
        >>> [str(m.sql_param) for m in get_sql_param("$f{concat(a, b)}")]
        ['is_function:True ,param_name:None,function_expression:concat(a, b),function_name:concat']
    """
