"""CDATA replacement, XML escaping and SQL literal rendering.

The literal helpers make one complete standard SQL literal by doubling quotes, but know nothing
of the database (MySQL's backslash escapes, say): values belong in ``#{}`` binds.

>>> sql_string_format("O'Brien")
"'O''Brien'"
>>> param_str(None), param_str(0), param_str("x")
('null', '0', "'x'")
"""
import regex

re = regex

def replace_cdata(raw_text: str) -> str:
    """Replaces the first ``<![CDATA[…]]>`` section (and every identical copy) by its content with
    ``&``, ``<``, ``>`` and ``"`` escaped; a text without one is returned as it is."""
def convert_cdata(string: str, reverse: object = False) -> str:
    """Unescapes ``&amp;``, ``&lt;``, ``&gt;`` and ``&quot;``; with a true `reverse`, escapes
    ``&``, ``<``, ``>`` and ``"`` instead."""
def sql_string_format(sql_str_value: str) -> str:
    """`sql_str_value` as one complete SQL string literal: quoted unless it already begins and
    ends with ``'``, every quote inside that is not already doubled doubled. ``""`` and ``"'"``
    give ``''``; ``x' OR '1'='1`` gives ``'x'' OR ''1''=''1'``.

    Raises:
        TypeError: `sql_str_value` is not exactly a str.
    """
def param_str(param_value: object) -> str:
    """A value as SQL literal text: ``null`` for None and empty non-numbers, a str through
    `sql_string_format`, anything else through ``str()`` (so ``0`` gives ``0``)."""
