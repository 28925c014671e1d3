# Loading mapper files, evaluating their dynamic SQL and preparing statements.
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
    id_2_element_map: dict[str, ElementTree.Element]
    result_type_map: dict[str, type]
    sql_type_map: dict[str, str]
    namespace: str
    # None passes the argument check and then fails in ElementTree: a path is always needed.
    def __init__(self, xml_path: str = ...) -> None: ...
    # None (the default) reaches the kind accessors, which refuse it: a dict is always needed.
    def get_sql(self, sql_id: str, params: dict[str, Any] = ...) -> tuple[TextClause, dict[str, Any], str, type]:
        """Get SQL Statement By sql_id
        Formatting of SQL Statements
        :return:"""
    def list_statement(self) -> KeysView[str]: ...
    @staticmethod
    def _trim_prefix(s: str, prefixes: set[str]) -> str: ...
    @staticmethod
    def _trim_suffix(s: str, suffixes: set[str]) -> str: ...
    def parse_element(self, element: ElementTree.Element, param: dict[str, Any]) -> str | None: ...
    @staticmethod
    def _format_sql(sql: str) -> str: ...
    @staticmethod
    def to_prepared_statement(ret: str, param: Any) -> tuple[TextClause, dict[str, Any]]: ...
    @staticmethod
    def to_replace(ret: str, param: Any) -> str: ...
    def select(self, id: str, params: dict[str, Any]) -> tuple[TextClause, dict[str, Any]]: ...
    def update(self, id: str, params: dict[str, Any]) -> tuple[TextClause, dict[str, Any]]: ...
    def delete(self, id: str, params: dict[str, Any]) -> tuple[TextClause, dict[str, Any]]: ...
    def insert(
        self, id: str, params: dict[str, Any], primary_key: str | None = None
    ) -> tuple[TextClause, dict[str, Any]]: ...
