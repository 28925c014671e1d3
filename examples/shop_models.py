"""The Python types that shop.xml names in its resultType attributes, and the shop's tables.

`User` is a dataclass, `Order` a pydantic model and `Product` an SQLAlchemy declarative class:
velmo builds each of them from a row by calling the class with the row's columns as keywords.
"""

from dataclasses import dataclass

from pydantic import BaseModel
from sqlalchemy import Column, ForeignKey, Integer, String, Table
from sqlalchemy.orm import DeclarativeBase, Mapped, mapped_column


@dataclass
class User:
    id: int
    name: str
    email: str
    age: int | None


class Order(BaseModel):
    id: int
    user_id: int
    product: str
    quantity: int
    total: int


class Base(DeclarativeBase):
    pass


class Product(Base):
    __tablename__ = "products"
    id: Mapped[int] = mapped_column(primary_key=True)
    name: Mapped[str] = mapped_column(String(50), unique=True)
    price: Mapped[int]

    def __repr__(self):
        return f"Product(id={self.id}, name={self.name!r}, price={self.price})"


users = Table(
    "users",
    Base.metadata,
    Column("id", Integer, primary_key=True),
    Column("name", String(50), nullable=False),
    Column("email", String(100), nullable=False, unique=True),
    Column("age", Integer),
)

orders = Table(
    "orders",
    Base.metadata,
    Column("id", Integer, primary_key=True),
    Column("user_id", ForeignKey("users.id"), nullable=False),
    Column("product_id", ForeignKey("products.id"), nullable=False),
    Column("quantity", Integer, nullable=False),
)
