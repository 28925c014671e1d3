"""velmo's example web service: the shop of shop.xml as a FastAPI application on an AsyncEngine.

Every request runs in one transaction of its own. The dependency `transaction` begins it (on the
request's task, so concurrent requests never share one), commits it when the endpoint returns,
rolls it back when the endpoint raises, and closes it in every case; with scope="function" all of
this happens before the response is sent, so a 2xx answer means the work is committed. The
endpoints run the statements of shop.xml by id through AsyncVelmoSqlSession.

`python examples/shop_api.py` sends a few requests to the application in-process (httpx, no
server) and prints them. To serve it, run an ASGI server in examples/, e.g. `uvicorn shop_api:app`;
VELMO_SHOP_URL names the database (an SQLite file shop_api.db beside this file by default).
"""

import asyncio
import contextlib
import os
import pathlib
import sys
import tempfile
from typing import Annotated, AsyncIterator

import httpx
from fastapi import Depends, FastAPI, HTTPException, Request
from fastapi.responses import JSONResponse
from pydantic import BaseModel, ConfigDict
from sqlalchemy.exc import IntegrityError
from sqlalchemy.ext.asyncio import AsyncEngine, create_async_engine

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))  # shop_models, named by the mapper's resultType attributes

from shop_models import Base, Order, User  # noqa: E402

from velmo.db.aio import AsyncVelmoSqlSession  # noqa: E402
from velmo.mapper.drovik import ParseMapper  # noqa: E402


class NewUser(BaseModel):
    name: str
    email: str
    age: int | None = None


class NewProduct(BaseModel):
    name: str
    price: int


class ProductOut(BaseModel):  # read off the mapper's declarative Product objects
    model_config = ConfigDict(from_attributes=True)
    id: int
    name: str
    price: int


class OrderLine(BaseModel):
    product_id: int
    quantity: int


def create_app(engine: AsyncEngine) -> FastAPI:
    mapper = ParseMapper(str(HERE / "shop.xml"))
    db = AsyncVelmoSqlSession({mapper.namespace: mapper}, engine)

    async def transaction() -> AsyncIterator[AsyncVelmoSqlSession]:
        await db.begin_tx()
        try:
            yield db
            await db.commit()
        except Exception:
            await db.rollback()
            raise
        finally:
            await db.close()

    Tx = Annotated[AsyncVelmoSqlSession, Depends(transaction, scope="function")]

    @contextlib.asynccontextmanager
    async def lifespan(app: FastAPI) -> AsyncIterator[None]:
        async with engine.begin() as connection:
            await connection.run_sync(Base.metadata.create_all)
        yield

    app = FastAPI(title="velmo shop", lifespan=lifespan)

    @app.exception_handler(IntegrityError)
    async def conflict(request: Request, exc: IntegrityError) -> JSONResponse:
        return JSONResponse({"detail": f"conflict: {exc.orig}"}, status_code=409)

    @app.post("/users", status_code=201)
    async def add_user(user: NewUser, tx: Tx) -> User:
        await tx.execute_sql("add_user", "shop", user.model_dump())
        found = await tx.execute_sql("find_users", "shop", {"name": user.name})
        return next(u for u in found if u.email == user.email)

    @app.get("/users")
    async def find_users(tx: Tx, name: str | None = None, min_age: int | None = None) -> list[User]:
        return await tx.execute_sql("find_users", "shop", {"name": name, "min_age": min_age})

    @app.post("/products", status_code=201)
    async def add_product(product: NewProduct, tx: Tx) -> list[ProductOut]:
        await tx.execute_sql("add_product", "shop", product.model_dump())
        return await tx.execute_sql("products", "shop", {})

    @app.post("/users/{user_id}/orders", status_code=201)
    async def add_order(user_id: int, lines: list[OrderLine], tx: Tx) -> list[Order]:
        # All lines or none: an unknown product found after some lines were written rolls them back.
        if not await tx.execute_sql("find_users", "shop", {"ids": [user_id]}):
            raise HTTPException(404, f"no user {user_id}")
        products = {p.id for p in await tx.execute_sql("products", "shop", {})}
        for line in lines:
            if line.product_id not in products:
                raise HTTPException(404, f"no product {line.product_id}")
            await tx.execute_sql("add_order", "shop", {"user_id": user_id, **line.model_dump()})
        return await tx.execute_sql("orders_of", "shop", {"user_id": user_id})

    @app.get("/users/{user_id}/orders")
    async def orders_of(user_id: int, tx: Tx) -> list[Order]:
        return await tx.execute_sql("orders_of", "shop", {"user_id": user_id})

    return app


app = create_app(create_async_engine(os.environ.get("VELMO_SHOP_URL", f"sqlite+aiosqlite:///{HERE / 'shop_api.db'}")))


async def demo(path: pathlib.Path) -> None:
    engine = create_async_engine(f"sqlite+aiosqlite:///{path}")
    shop = create_app(engine)
    async with shop.router.lifespan_context(shop):
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=shop), base_url="http://shop") as client:
            for method, url, body in [
                ("POST", "/users", {"name": "Ada", "email": "ada@example.com", "age": 36}),
                ("POST", "/users", {"name": "Alan", "email": "alan@example.com", "age": 41}),
                ("POST", "/users", {"name": "Ada again", "email": "ada@example.com"}),
                ("POST", "/products", {"name": "keyboard", "price": 45}),
                ("POST", "/products", {"name": "lamp", "price": 30}),
                ("POST", "/users/1/orders", [{"product_id": 1, "quantity": 2}, {"product_id": 2, "quantity": 1}]),
                ("POST", "/users/2/orders", [{"product_id": 2, "quantity": 1}, {"product_id": 9, "quantity": 1}]),
                ("GET", "/users/2/orders", None),
                ("GET", "/users?min_age=40", None),
            ]:
                answer = await client.request(method, url, json=body)
                print(f"{method} {url} {body if body is not None else ''}\n  -> {answer.status_code} {answer.json()}")
    await engine.dispose()


if __name__ == "__main__":
    with tempfile.TemporaryDirectory(prefix="velmo-api-") as folder:
        asyncio.run(demo(pathlib.Path(folder) / "shop.db"))
