"""SqlTemplate against the same SQLAlchemy calls written directly in Python, on in-memory SQLite.

Each operation opens its own session (new sessionmaker(bind=engine, expire_on_commit=False)(),
execute, rows as dicts, commit, close) on both sides; one StaticPool connection keeps the
database alive between sessions. Prints the median per-call time and the ratio template/direct.
"""

import gc
import sys

from sqlalchemy import create_engine, text
from sqlalchemy.orm import sessionmaker
from sqlalchemy.pool import StaticPool

from velmo.db.kestrum import Page, SqlTemplate

import common  # benchmarks/common.py, beside this script

ROUNDS = 41


def direct_select_list(engine, sql, args):
    session = sessionmaker(bind=engine, expire_on_commit=False)()
    try:
        rows = session.execute(sql, args).all()
        data = [e._asdict() for e in rows]
        session.commit()
        return data
    except Exception:
        session.rollback()
        raise
    finally:
        session.close()


def direct_select_page(engine, sql, page, args):
    session = sessionmaker(bind=engine, expire_on_commit=False)()
    try:
        answer = {"pageNum": page.pageNum, "pageSize": page.pageSize}
        count_sql = text("select count(*) from ( {} ) temp".format(sql.text))
        answer["total"] = session.execute(count_sql, args).scalar()
        start = (page.pageNum - 1) * page.pageSize
        page_sql = text(sql.text + " limit {},{}".format(start, page.pageSize))
        answer["list"] = [e._asdict() for e in session.execute(page_sql, args).all()]
        session.commit()
        return answer
    except Exception:
        session.rollback()
        raise
    finally:
        session.close()


def direct_insert(engine, sql, args):
    session = sessionmaker(bind=engine, expire_on_commit=False)()
    try:
        rowid = session.execute(sql, args).lastrowid
        session.commit()
        return rowid
    except Exception:
        session.rollback()
        raise
    finally:
        session.close()


def direct_update(engine, sql, args):
    session = sessionmaker(bind=engine, expire_on_commit=False)()
    try:
        count = session.execute(sql, args).rowcount
        session.commit()
        return count
    except Exception:
        session.rollback()
        raise
    finally:
        session.close()


def compare(name, ours, direct, calls, limit):
    return common.compare(name, ours, direct, calls, limit, ROUNDS, width=28)


def main():
    engine = create_engine("sqlite://", poolclass=StaticPool, connect_args={"check_same_thread": False})
    with engine.begin() as c:
        for sql, params in common.schema(10_000):
            c.execute(text(sql), params)
    template = SqlTemplate(engine)

    small = text("select id, name, score from bench where id <= :n")
    big = text("select id, name, score from bench")
    paged = text("select id, name, score from bench where score < :s")
    ins = text("insert into sink (name) values (:name)")
    upd = text("update counter set hits = hits + 1 where id = :id")
    page = Page(3, 20)

    gc.collect()
    print(f"{'operation':<28} {'ours µs':>10} {'direct µs':>10} {'ratio':>7}")
    ok = [
        compare("select_list (10 rows)", lambda: template.select_list(sql=small, args={"n": 10}),
                lambda: direct_select_list(engine, small, {"n": 10}), 200, 1.05),
        compare("select_list (10,000 rows)", lambda: template.select_list(sql=big, args=None),
                lambda: direct_select_list(engine, big, None), 1, 1.0),
        compare("select_page (20 of ~5,000)", lambda: template.select_page(sql=paged, page=page, args={"s": 50}),
                lambda: direct_select_page(engine, paged, page, {"s": 50}), 100, 1.05),
        compare("insert", lambda: template.insert(sql=ins, args={"name": "x"}) > 0,
                lambda: direct_insert(engine, ins, {"name": "x"}) > 0, 200, 1.05),
        compare("update", lambda: template.update(sql=upd, args={"id": 1}),
                lambda: direct_update(engine, upd, {"id": 1}), 200, 1.05),
    ]
    return 0 if all(ok) else 1


if __name__ == "__main__":
    sys.exit(main())
