# Replacement of a leading or trailing SQL override by regular expression.
import regex

re = regex

def replace_sql_first(string: str, prefix_overrides: str, replace: str) -> str: ...
def replace_sql_last(string: str, suffix_overrides: str, replace: str) -> str: ...
