"""Mapper files: loading them, evaluating their dynamic SQL and preparing statements.

`ParseMapper` reads one mapper file (a ``<mapper namespace="...">`` element holding ``select``,
``insert``, ``update``, ``delete`` and ``sql`` statements) and turns a statement id and a dict of
parameters into an SQLAlchemy ``TextClause`` and its bind dict. The dynamic elements (``if``,
``choose``/``when``/``otherwise``, ``where``, ``set``, ``trim``, ``foreach``, ``include``) are
evaluated against the parameters; ``#{name}`` markers become the named binds ``:name``.

`ParseMapper.get_sql` is the mapper's one entry point for callers that run statements
themselves; it answers the clause, the binds, the statement's kind and its result type:

>>> mapper = ParseMapper("users.xml")
>>> sql, binds, kind, result_type = mapper.get_sql("find", {"min_age": 40})
>>> print(sql.text)
SELECT id, name, age FROM users WHERE age >= :min_age ORDER BY id
>>> binds, kind, result_type.__name__
({'min_age': 40}, 'select', 'User')

Conditions are Python expressions run with ``eval``: a mapper file is trusted code.
"""

import re as re
from collections.abc import KeysView
from typing import Any
from xml.etree import ElementTree

from sqlalchemy import TextClause
from sqlalchemy import text as text

from velmo.utils.wollix import get_type_from_string as get_type_from_string
from velmo.utils.wollix import is_container_type_by_str as is_container_type_by_str

et = ElementTree

sql_id_type_list: list[str]
param_pattern: re.Pattern[str]
replace_pattern: re.Pattern[str]

class ParseMapper:
    """One mapper file, loaded: its statements by id, ready to be evaluated and prepared.

    Example:
        >>> mapper = ParseMapper("users.xml")
        >>> mapper.namespace
        'users'
        >>> sorted(mapper.list_statement())
        ['add', 'columns', 'count', 'find', 'remove', 'rename']
        >>> sql, binds = mapper.select("find", {"ids": [1, 3]})
        >>> print(sql.text)
        SELECT id, name, age FROM users WHERE id IN (:ids_for_index_0,:ids_for_index_1) ORDER BY id
        >>> binds
        {'ids_for_index_0': 1, 'ids_for_index_1': 3}
    """

    id_2_element_map: dict[str, ElementTree.Element]
    result_type_map: dict[str, type]
    sql_type_map: dict[str, str]
    namespace: str
    # None passes the argument check and then fails in ElementTree: a path is always needed.
    def __init__(self, xml_path: str = ...) -> None:
        """Loads the mapper file at `xml_path` and resolves the result type of each statement.

        Args:
            xml_path: the path of the mapper file.

        Raises:
            TypeError: `xml_path` is not exactly a str, or a ``resultType`` names a container type
                other than ``dict``.
            FileNotFoundError: there is no such file.
            xml.etree.ElementTree.ParseError: the file is not well-formed XML.
            Exception: ``Missing id``: a statement has no ``id`` attribute.
            ValueError: a ``resultType`` does not resolve (``无法导入类型 …``, ``未知的类型: …``), with a
                note in English naming the statement.
        """
    # None (the default) reaches the kind accessors, which refuse it: a dict is always needed.
    def get_sql(self, sql_id: str, params: dict[str, Any] = ...) -> tuple[TextClause, dict[str, Any], str, type]:
        """Get SQL Statement By sql_id
        Formatting of SQL Statements
        :return:"""
    def list_statement(self) -> KeysView[str]:
        """The ids of the file's statements and ``sql`` fragments, in file order.

        Returns:
            A view of the keys of `id_2_element_map`.
        """
    @staticmethod
    def _trim_prefix(s: str, prefixes: set[str]) -> str: ...
    @staticmethod
    def _trim_suffix(s: str, suffixes: set[str]) -> str: ...
    def parse_element(self, element: ElementTree.Element, param: dict[str, Any]) -> str | None:
        """Evaluates one dynamic element against the parameters, as evaluating a statement does.

        Args:
            element: an ``sql``, ``include``, ``if``, ``choose``, ``when``, ``otherwise``,
                ``where``, ``set``, ``trim`` or ``foreach`` element.
            param: the globals conditions are evaluated with: ``{"params": <the parameters>}``.

        Returns:
            The element's SQL text with its dynamic elements evaluated and the ``#{}`` markers still
            in it; None for an element of any other tag (statements are evaluated by `get_sql` and
            the accessors).

        Raises:
            Exception: ``Missing otherwise element`` (a ``choose`` none of whose ``when`` holds),
                ``Collection must be a list`` (a ``foreach`` collection); and whatever a condition
                raises, with a note naming the element, its test and the mapper.
            KeyError: an ``include`` of an unknown id, or a ``foreach`` without one of its five
                attributes.
            TypeError: ``globals must be a dict`` when ``param["params"]`` is not a dict.
            RecursionError: an ``include`` cycle, or elements nested too deep.

        Example:
            >>> mapper = ParseMapper("users.xml")
            >>> mapper.parse_element(mapper.id_2_element_map["columns"], {"params": {}})
            'id, name, age'
        """
    @staticmethod
    def _format_sql(sql: str) -> str: ...
    @staticmethod
    def to_prepared_statement(ret: str, param: Any) -> tuple[TextClause, dict[str, Any]]:
        """Turns the ``#{name}`` markers of a SQL text into named binds.

        Args:
            ret: SQL text with ``#{name}`` markers.
            param: the parameters; a marker whose name is missing binds None (NULL).

        Returns:
            ``(clause, binds)``: ``sqlalchemy.text`` of the text with ``:name`` in place of each
            marker, and the dict of bind values.

        Example:
            >>> sql, binds = ParseMapper.to_prepared_statement("SELECT #{a}, #{b}", {"a": 1})
            >>> print(sql.text, binds)
            SELECT :a, :b {'a': 1, 'b': None}
        """
    @staticmethod
    def to_replace(ret: str, param: Any) -> str:
        """Replaces each ``${name}`` of a SQL text by ``param[name]`` as raw text (``""`` when
        missing). Never use it for values from outside your program: nothing is quoted.

        Args:
            ret: SQL text with ``${name}`` markers.
            param: the parameters.

        Returns:
            The text with every marker replaced.

        Raises:
            MemoryError: a value holds a ``${}`` marker of its own and the text would grow without
                end.

        Example:
            >>> ParseMapper.to_replace("SELECT * FROM ${table}", {"table": "users"})
            'SELECT * FROM users'
        """
    def select(self, id: str, params: dict[str, Any]) -> tuple[TextClause, dict[str, Any]]:
        """Prepares the ``select`` statement `id` with `params`.

        Args:
            id: the statement's id.
            params: the parameters its conditions, collections and markers read.

        Returns:
            ``(clause, binds)`` ready for ``Session.execute``.

        Raises:
            Exception: ``Missing id`` for an unknown id, ``Not a select`` for a statement of another
                kind; and what evaluating it raises (see `parse_element`), with a note naming the
                statement.
        """
    def update(self, id: str, params: dict[str, Any]) -> tuple[TextClause, dict[str, Any]]:
        """Prepares the ``update`` statement `id` with `params`, as `select` does (``Not an update``
        for a statement of another kind)."""
    def delete(self, id: str, params: dict[str, Any]) -> tuple[TextClause, dict[str, Any]]:
        """Prepares the ``delete`` statement `id` with `params`, as `select` does (``Not a delete``
        for a statement of another kind)."""
    def insert(
        self, id: str, params: dict[str, Any], primary_key: str | None = None
    ) -> tuple[TextClause, dict[str, Any]]:
        """Prepares the ``insert`` statement `id` with `params`, as `select` does (``Not an insert``
        for a statement of another kind).

        Args:
            id: the statement's id.
            params: the parameters.
            primary_key: when given, `` RETURNING <primary_key>`` is appended, so that PostgreSQL
                answers the new row's id.

        Returns:
            ``(clause, binds)``.
        """
