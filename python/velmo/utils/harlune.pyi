"""Replacing a leading or trailing SQL override by regular expression, as ``trim`` does.

The overrides are a regular expression (alternatives separated by ``|``), matched ignoring case
on the stripped text; the match is replaced once.

>>> replace_sql_first("  AND a = 1", "AND|OR", "")
' a = 1'
>>> replace_sql_last("a = 1,", ",", "")
'a = 1'
"""
import regex

re = regex

def replace_sql_first(string: str, prefix_overrides: str, replace: str) -> str:
    """Replaces the override that begins the stripped `string` (after blanks) by `replace`.

    Args:
        string: the SQL text.
        prefix_overrides: a regular expression, such as ``AND|OR``.
        replace: what the match becomes.

    Returns:
        The stripped text with its leading override replaced, or the stripped text.

    Raises:
        TypeError: an argument is not exactly a str.
        regex.error: `prefix_overrides` is not a valid pattern.
    """
def replace_sql_last(string: str, suffix_overrides: str, replace: str) -> str:
    """Replaces the override that ends the stripped `string` (before a trailing ``--`` comment)
    by `replace`, as `replace_sql_first` does at the start."""
