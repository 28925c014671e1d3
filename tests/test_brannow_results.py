"""results_handle: its messages and shaping rules as a table, and the native function against the
same rules in Python run on brannow's own globals, so that rebinding a name there (a builtin, a
typing alias, a wollix helper) changes both alike."""

import collections
import dataclasses
import itertools
import types
from typing import Any, Dict, List, Optional

import pydantic
import pytest

from conftest import Raises, expect
from velmo.db import brannow
from velmo.db.brannow import results_handle


R = dataclasses.make_dataclass("R", ["a", ("b", int, 0)])
S = type("S", (R,), {})
P = pydantic.create_model("P", a=(int, ...), b=(int, 0))
TWO = [{"a": 1, "b": 2}, {"a": 3, "b": 4}]
CHECK = "please check {}: {}, resultType: {}".format
M = __name__


@pytest.mark.parametrize(
    "rows, result_type, return_type, expected",
    [
        (TWO, P, List[P], [P(a=1, b=2), P(a=3, b=4)]),
        (TWO, R, dict, 1),
        (TWO, S, List[R], Raises(TypeError, CHECK("return_result_type", f"<class '{M}.R'>", f"<class '{M}.S'>"))),
        (TWO, dict, List[Dict[str, int]], Raises(TypeError, CHECK("return_result_type", "typing.Dict[str, int]", "<class 'dict'>"))),
        (TWO, str, int, Raises(TypeError, CHECK("return_type", "<class 'int'>", "<class 'str'>"))),
        (TWO, set, Dict[str, int], Raises(TypeError, CHECK("return_type", "<class 'dict'>", "<class 'set'>"))),
        (TWO, list, None, Raises(TypeError, "please check result type")),
        (TWO, None, dict, Raises(TypeError, "issubclass() arg 1 must be a class")),
        ([None], R, R, Raises(TypeError, f"{M}.R() argument after ** must be a mapping, not NoneType")),
        ([{"a": "x"}], P, P, Raises(pydantic.ValidationError)),
        ([{}], int, int, Raises(StopIteration)),
        (5, int, int, Raises(TypeError, "object of type 'int' has no len()")),
        (({"a": 7}, {"a": 8}), int, None, [7, 8]),
        ([collections.OrderedDict(b=5, a=6)], R, R, R(6, 5)),
    ],
)
def test_messages_and_shapes(rows, result_type, return_type, expected):
    expect(expected, results_handle, rows, result_type, return_type)


def test_empty_results_and_dict_rows_come_back_as_the_same_objects():
    for empty, result_type, return_type in itertools.product([[], ""], [R, dict, list, None], [None, R, List[P]]):
        assert results_handle(empty, result_type, return_type) is empty
    rows = [{"a": 1}]
    assert results_handle(rows, dict, None) is rows and results_handle(rows, dict, dict) is rows[0]


def reference(results, result_type, f_return_type):
    if len(results) == 0:
        return results
    if f_return_type is None:
        f_return_type = list
    return_type = get_base_type(f_return_type)
    if return_type == dict or return_type == Dict:
        if (not is_container_type(result_type) and not is_result_class(result_type)) or (
            is_container_type(result_type) and result_type != dict and result_type != Dict
        ):
            raise TypeError(f"please check return_type: {return_type}, resultType: {result_type}")
    elif return_type == list or return_type == List:
        if result_type:
            args = get_args(f_return_type)
            if args and result_type is not args[0]:
                raise TypeError(f"please check return_result_type: {args[0]}, resultType: {result_type}")
    elif not is_container_type(return_type) and result_type is not return_type:
        raise TypeError(f"please check return_type: {return_type}, resultType: {result_type}")
    if result_type is list or result_type is List:
        raise TypeError("please check result type")
    if return_type == list or return_type == List:
        if result_type is dict:
            return results
        if is_result_class(result_type):
            return [result_type(**row) for row in results]
        return [next(iter(row.values())) for row in results]
    if result_type is dict:
        return results[0]
    if is_result_class(return_type):
        return result_type(**results[0])
    return next(iter(results[0].values()))


def outcome(function, *args):
    try:
        return function(*args)
    except Exception as e:
        return type(e), str(e)


REBOUND = {
    "next": lambda it: "next", "iter": lambda values: iter(list(values)[::-1]), "len": lambda results: 0,
    "dict": collections.OrderedDict, "list": tuple, "Dict": dict, "List": list, "get_args": lambda t: (int,),
    "get_base_type": lambda t: dict, "is_result_class": lambda t: False, "is_container_type": lambda t: True,
}


@pytest.mark.parametrize("name", [None, *REBOUND])
def test_against_python_with_rebound_globals(monkeypatch, name):
    if name:
        monkeypatch.setattr(brannow, name, REBOUND[name], raising=False)
    python = types.FunctionType(reference.__code__, vars(brannow))
    rowsets = [[{"a": 1, "b": 2}, {"a": 3}], [{}], [collections.OrderedDict(a=5)], [None], []]
    result_types = [R, S, P, dict, Dict, int, str, list, List, tuple, None]
    return_types = [None, list, List, List[R], List[int], dict, Dict, Dict[str, Any], R, P, int, tuple, Optional[int]]
    for case in itertools.product(rowsets, result_types, return_types):
        assert outcome(results_handle, *case) == outcome(python, *case), case
