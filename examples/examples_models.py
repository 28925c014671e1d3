"""The result class that users.xml names in its resultType."""

from dataclasses import dataclass


@dataclass
class User:
    id: int
    name: str
    age: int
