"""SqlTemplate's statement, paging and ORM operations against real databases (SQLite always,
MariaDB and PostgreSQL when their URLs are set; see conftest.py)."""

import uuid

import pytest
import sqlalchemy.exc
from sqlalchemy import String, delete, insert, select, text, update
from sqlalchemy.orm import DeclarativeBase, Mapped, Session, mapped_column

from conftest import assert_no_reference_growth
from velmo.db.kestrum import Page, PageInfo, SqlTemplate


def names(engine, table):
    """The committed names of `table`, seen through a connection of its own."""
    with engine.connect() as connection:
        return connection.execute(text(f"select name from {table} order by id")).scalars().all()


def fill(engine, table, count):
    with engine.begin() as connection:
        connection.execute(
            text(f"insert into {table} (name, age) values (:name, :age)"),
            [{"name": f"n{i:02d}", "age": i} for i in range(1, count + 1)],
        )


@pytest.fixture
def template(engine):
    return SqlTemplate(engine)


@pytest.fixture
def person(engine):
    """A mapped class over a new table of its own, dropped afterwards."""

    class Base(DeclarativeBase):
        pass

    class Person(Base):
        __tablename__ = f"p_{uuid.uuid4().hex[:16]}"
        id: Mapped[int] = mapped_column(primary_key=True)
        name: Mapped[str] = mapped_column(String(50), unique=True)
        age: Mapped[int | None]

    Base.metadata.create_all(engine)
    yield Person
    Base.metadata.drop_all(engine)


# Statements


def test_select_one_returns_the_first_row_as_a_dict(template, engine, people):
    fill(engine, people, 3)
    row = template.select_one(sql=text(f"select name, age, id from {people} order by id"))
    assert list(row.items()) == [("name", "n01"), ("age", 1), ("id", 1)]
    assert template.select_one(text(f"select name from {people} where age > :a"), None, {"a": 5}) is None


def test_select_list_returns_row_dicts_in_order(template, engine, people):
    fill(engine, people, 4)
    rows = template.select_list(sql=text(f"select age, name from {people} where age >= :a order by id desc"), args={"a": 2})
    assert rows == [{"age": 4, "name": "n04"}, {"age": 3, "name": "n03"}, {"age": 2, "name": "n02"}]
    assert [list(r) for r in rows] == [["age", "name"]] * 3
    assert template.select_list(text(f"select * from {people} where age > 100")) == []


def test_insert_returns_the_driver_lastrowid_and_commits(template, engine, people):
    statement = text(f"insert into {people} (name, age) values (:name, :age)")
    # psycopg's cursor has no lastrowid at all: the driver reports none, and the insert commits.
    expected = [None, None] if engine.dialect.name == "postgresql" else [1, 2]
    assert template.insert(sql=statement, args={"name": "a", "age": 1}) == expected[0]
    assert template.insert(statement, None, {"name": "b", "age": 2}) == expected[1]
    assert names(engine, people) == ["a", "b"]


def test_update_and_delete_return_the_row_count(template, engine, people):
    fill(engine, people, 5)
    assert template.update(sql=text(f"update {people} set age = age + 100 where age <= :a"), args={"a": 3}) == 3
    # Rows set to the values they already hold still count as matched on all three databases.
    assert template.update(text(f"update {people} set age = 7 where name = 'n04' or name = 'n05'")) == 2
    assert template.update(text(f"update {people} set age = 7 where name = 'n04' or name = 'n05'")) == 2
    assert template.delete(sql=text(f"delete from {people} where age > :a"), args={"a": 100}) == 3
    assert template.delete(text(f"delete from {people} where age = -1")) == 0
    assert names(engine, people) == ["n04", "n05"]


def rows(engine, table):
    with engine.connect() as connection:
        return connection.execute(text(f"select id, name, age from {table} order by id")).all()


# Statements whose line comments end where their author ended them: each changes exactly the
# row with id 2 of ten. "mysql" rows hold "#" comments (an operator elsewhere), or read "--"
# as MySQL does.
COMMENTED = [
    ("mysql", 'UPDATE {t} SET <trim suffixOverrides=",">name = #{{name}} # the new name\n    ,</trim> '
              'WHERE id = #{{id}}', {"name": "zz"}),
    ("mysql", 'UPDATE {t} <trim prefix="SET" suffixOverrides=","><if test="True">age = #{{age}}, # in years\n</if>'
              '</trim> WHERE id = #{{id}}', {"age": 0}),
    ("mysql", "DELETE FROM {t} <where># only the one asked for\n AND id = #{{id}}</where>", {}),
    ("mysql", 'UPDATE {t} SET <include refid="hash"/> WHERE id = #{{id}}', {}),
    ("mysql", 'UPDATE {t} SET <if test="True">age = 0 # reset</if> WHERE id = #{{id}}', {}),
    ("mysql", 'UPDATE {t} SET <choose><when test="False">x</when><otherwise>age = 0 # reset</otherwise></choose> '
              'WHERE id = #{{id}}', {}),
    ("mysql", 'DELETE FROM {t} <trim prefix="WHERE">age &gt;= #{{a}} # by group</trim> AND id = #{{id}}', {"a": 1}),
    ("mysql", 'DELETE FROM {t} WHERE <foreach item="i" collection="ids" open="" close="" separator=" AND ">'
              "id &lt;&gt; #{{i}} # keep</foreach>", {"ids": [1, 3, 4, 5, 6, 7, 8, 9, 10]}),
    ("mysql", "UPDATE {t} SET age = 1--0 WHERE id = #{{id}}", {}),
    ("mysql", "UPDATE {t} <set>, name = 'it\\'s' # why\n</set> WHERE id = #{{id}}", {}),
    ("any", 'UPDATE {t} SET <include refid="dash"/> WHERE id = #{{id}}', {}),
    ("any", 'UPDATE {t} SET <when test="True">age = 0 -- reset</when> WHERE id = #{{id}}', {}),
    ("any", "UPDATE {t} SET name = #{{name}} <if test=\"params.get('age') is not None\">, age = #{{age}} -- optional"
            "</if> WHERE id = #{{id}}", {"name": "zz", "age": 0}),
]


@pytest.mark.parametrize(("reader", "statement", "params"), COMMENTED)
def test_line_comments_end_where_their_author_ended_them(template, engine, people, load, reader, statement, params):
    if reader == "mysql" and engine.dialect.name != "mysql":
        pytest.skip("only MySQL and MariaDB read this text as its author wrote it")
    fill(engine, people, 10)
    before = rows(engine, people)
    tag = statement.split()[0].lower()
    mapper = load('<sql id="hash">age = 0 # reset</sql><sql id="dash">age = 0 -- reset</sql>'
                  f'<{tag} id="s">{statement.format(t=people)}</{tag}>')
    sql, binds, kind, _ = mapper.get_sql("s", {"id": 2, **params})
    assert getattr(template, kind)(sql=sql, args=binds) == 1
    after = rows(engine, people)
    assert [row for row in before if row not in after] == [before[1]]


@pytest.mark.parametrize("comment", ["-- note", "--note", "# note"])
def test_pages_of_a_statement_that_ends_in_a_line_comment(template, engine, people, comment):
    if (comment == "# note") != (engine.dialect.name == "mysql") and comment != "-- note":
        pytest.skip("'#' is a comment on MySQL and MariaDB only, '--note' everywhere else")
    fill(engine, people, 10)
    page = template.select_page(sql=text(f"select name from {people} where age > :a order by id {comment}"),
                                page=Page(2, 3), args={"a": 1})
    assert (page["total"], page["list"]) == (9, [{"name": "n05"}, {"name": "n06"}, {"name": "n07"}])


def test_dash_dash_reads_as_each_database_reads_it(template, engine, load):
    mapper = load('<select id="s">SELECT 5--3</select>')
    sql, binds, _, _ = mapper.get_sql("s", {})
    value = list(template.select_one(sql=sql, args=binds).values())
    assert value == ([8] if engine.dialect.name == "mysql" else [5])


def test_borrowed_session_is_left_to_the_caller(template, engine, people):
    with Session(engine) as session:
        added = template.update(text(f"insert into {people} (name, age) values ('kept', 1)"), con=session)
        assert added == 1
        assert template.select_list(text(f"select name from {people}"), con=session) == [{"name": "kept"}]
        assert names(engine, people) == []  # not committed by the template
        session.commit()
    assert names(engine, people) == ["kept"]


def test_failing_statement_rolls_the_borrowed_session_back_and_keeps_it_open(template, engine, people):
    with Session(engine) as session:
        template.update(text(f"insert into {people} (name, age) values ('gone', 1)"), con=session)
        with pytest.raises(sqlalchemy.exc.DBAPIError):
            template.update(text(f"update {people} set nosuchcolumn = 1"), con=session)
        # The insert went with the rollback; the session itself is still usable.
        assert template.select_list(text(f"select name from {people}"), con=session) == []
        template.update(text(f"insert into {people} (name, age) values ('after', 2)"), con=session)
        session.commit()
    assert names(engine, people) == ["after"]


def test_failing_owned_statement_commits_nothing(template, engine, people):
    with pytest.raises(sqlalchemy.exc.IntegrityError):
        template.update(text(f"insert into {people} (id, name, age) values (1, 'a', 1), (1, 'b', 2)"))
    assert names(engine, people) == []


# Paging


def test_select_page(template, engine, people):
    fill(engine, people, 25)
    sql = text(f"select id, name from {people} where age >= :low order by id")
    answer = template.select_page(sql=sql, page=Page(3, 10), args={"low": 1})
    assert list(answer) == ["pageNum", "pageSize", "total", "list"]
    assert (answer["pageNum"], answer["pageSize"], answer["total"]) == (3, 10, 25)
    assert answer["list"] == [{"id": i, "name": f"n{i:02d}"} for i in range(21, 26)]
    assert vars(PageInfo(**answer)) == answer
    past = template.select_page(sql, Page(4, 10), None, {"low": 1})
    assert (past["total"], past["list"]) == (25, [])
    empty = template.select_page(sql, Page(1, 10), None, {"low": 100})
    assert (empty["total"], empty["list"]) == (0, [])


def test_failing_page_rolls_the_borrowed_session_back(template, engine, people):
    with Session(engine) as session:
        template.update(text(f"insert into {people} (name, age) values ('x', 1)"), con=session)
        answer = template.select_page(text(f"select name from {people}"), Page(1, 5), con=session)
        assert (answer["total"], answer["list"]) == (1, [{"name": "x"}])
        with pytest.raises(sqlalchemy.exc.DBAPIError):
            template.select_page(text(f"select nosuchcolumn from {people}"), Page(1, 5), con=session)
        assert template.select_list(text(f"select name from {people}"), con=session) == []


def test_page_zero_is_reported_by_the_database(template, engine, people):
    fill(engine, people, 3)
    sql = text(f"select name from {people} order by id")
    if engine.dialect.name == "sqlite":
        # SQLite reads a negative offset as none.
        assert [r["name"] for r in template.select_page(sql, Page(0, 2))["list"]] == ["n01", "n02"]
    else:
        with pytest.raises(sqlalchemy.exc.DBAPIError):
            template.select_page(sql, Page(0, 2))


# ORM objects and statements


def test_add_commits_an_owned_session_and_keeps_loaded_values(template, engine, person):
    alice = person(name="alice", age=30)
    assert template.add(alice) is None
    assert alice.id is not None and alice.name == "alice"  # not expired by the commit
    template.add_all(data=[person(name="bob"), person(name="carol", age=5)])
    assert names(engine, person.__tablename__) == ["alice", "bob", "carol"]


def test_add_with_a_borrowed_session_flushes_without_committing(template, engine, person):
    with Session(engine) as session:
        dave = person(name="dave")
        template.add(dave, con=session)
        assert dave.id is not None  # flushed: the key came back
        template.add_all([person(name="erin")], session)
        assert names(engine, person.__tablename__) == []
        session.rollback()
    assert names(engine, person.__tablename__) == []


def test_add_flush_errors_roll_back(template, engine, person):
    template.add(person(name="unique"))
    with pytest.raises(sqlalchemy.exc.IntegrityError):
        template.add_all([person(name="fine"), person(name="unique")])
    assert names(engine, person.__tablename__) == ["unique"]


def test_select_orm2(template, person):
    template.add_all([person(name="a", age=1), person(name="b", age=1), person(name="c", age=2)])
    found = template.select_one_orm2(select(person).where(person.name == "c"))
    assert isinstance(found, person) and found.age == 2
    assert template.select_one_orm2(statement=select(person).where(person.name == "z")) is None
    with pytest.raises(sqlalchemy.exc.MultipleResultsFound):
        template.select_one_orm2(select(person).where(person.age == 1))
    everyone = template.select_all_orm2(select(person).order_by(person.id))
    assert [p.name for p in everyone] == ["a", "b", "c"]
    assert template.select_all_orm2(select(person.name).where(person.age == 1).order_by(person.id)) == ["a", "b"]
    assert template.select_all_orm2(select(person).where(person.age == 9)) == []


def test_insert_update_delete_orm2(template, engine, person):
    result = template.insert_orm2(insert(person), [{"name": "p", "age": 1}, {"name": "q", "age": 2}], None)
    assert isinstance(result, sqlalchemy.engine.Result)
    assert names(engine, person.__tablename__) == ["p", "q"]
    assert template.update_orm2(update(person).where(person.age >= 1).values(age=5)) == 2
    statement = delete(person).where(person.name == "p")
    assert template.delete_orm2(statement) == 1
    assert template.delete_orm2(statement) == template.update_orm2(statement) == 0
    with Session(engine) as session:
        template.insert_orm2(insert(person), [{"name": "r"}], session)
        assert template.delete_orm2(delete(person), con=session) == 2
        session.rollback()
    assert names(engine, person.__tablename__) == ["q"]


def test_execute_in_connection_uses_a_new_owned_session(template, engine, people):
    sessions = []

    def work(con):
        sessions.append(con)
        con.execute(text(f"insert into {people} (name, age) values ('w', 1)"))
        return 42

    assert template.execute_in_connection(work) == 42
    assert template.execute_in_connection(fun=lambda con: sessions.append(con)) is None
    assert isinstance(sessions[0], Session) and sessions[0] is not sessions[1]
    assert names(engine, people) == ["w"]
    with pytest.raises(ZeroDivisionError):
        template.execute_in_connection(lambda con: con.execute(text(f"delete from {people}")) and 1 / 0)
    assert names(engine, people) == ["w"]


# Resources


def test_failures_never_leak_connections(template, engine, people, person):
    fill(engine, people, 3)
    bad = text(f"select nosuchcolumn from {people}")
    failing = [
        lambda: template.select_one(bad),
        lambda: template.select_list(bad, args={}),
        lambda: template.update(text(f"update {people} set nosuchcolumn = 1")),
        lambda: template.select_page(bad, Page(1, 2)),
        lambda: template.add(person(id=1, name=None)),
        lambda: template.select_one_orm2(select(person.id).union_all(select(person.id))),
        lambda: template.execute_in_connection(lambda con: con.execute(text("select 1")) and {}["missing"]),
    ]
    template.add(person(id=1, name="taken"))
    for i in range(1000):
        with pytest.raises(Exception):
            failing[i % len(failing)]()
    for interrupt in (KeyboardInterrupt, SystemExit):
        with pytest.raises(interrupt):
            template.execute_in_connection(lambda con: con.execute(text("select 1")) and (_ for _ in ()).throw(interrupt))
    assert engine.pool.checkedout() == 0
    assert names(engine, people) == ["n01", "n02", "n03"]


def test_no_reference_growth(template, engine, people):
    fill(engine, people, 3)
    sql = text(f"select name from {people} where age >= :a")
    change = text(f"update {people} set age = age where age >= :a")
    bad = text("select nosuchcolumn from nosuchtable")
    args = {"a": 1}
    page = Page(1, 2)

    def calls(session):
        template.select_list(sql, session, args)
        template.select_one(sql=sql, args=args)
        template.update(change, session, args)
        template.select_page(sql, page, session, args)
        with template.get_session(session):
            pass
        try:
            template.select_list(bad, session, args)
        except sqlalchemy.exc.DBAPIError:
            pass

    with Session(engine) as session:
        # The first calls fill SQLAlchemy's statement caches.
        tracked = [template, sql, change, bad, args, page, session]
        assert_no_reference_growth(tracked, lambda: calls(session), 200, warmup=1)


def test_rows_are_turned_into_dicts_by_their_own_asdict(template, engine, people, monkeypatch):
    import sqlalchemy.engine.row as row_module

    fill(engine, people, 2)
    sql = text(f"select name from {people} order by id")
    monkeypatch.setattr(row_module.Row, "_asdict", lambda self: {"row": tuple(self)})
    assert template.select_list(sql) == [{"row": ("n01",)}, {"row": ("n02",)}]
    assert template.select_one(sql) == {"row": ("n01",)}
    monkeypatch.undo()
    # Row._asdict calls the name `dict` of its module: a module-level replacement is honoured.
    monkeypatch.setattr(row_module, "dict", lambda mapping: sorted(mapping.items()), raising=False)
    assert template.select_list(sql) == [[("name", "n01")], [("name", "n02")]]
    monkeypatch.undo()
    assert template.select_list(sql) == [{"name": "n01"}, {"name": "n02"}]

    # The first row's _asdict replaces Row._asdict: the second row uses the replacement.
    def replacing_dict(mapping):
        monkeypatch.setattr(row_module.Row, "_asdict", lambda self: "replaced")
        return {"first": True}

    monkeypatch.setattr(row_module, "dict", replacing_dict, raising=False)
    assert template.select_list(sql) == [{"first": True}, "replaced"]


def test_duplicate_column_labels(template, engine, people):
    fill(engine, people, 1)
    sql = text(f"select name, age as name from {people}")
    with Session(engine) as session:
        row = session.execute(sql).first()
        try:
            expected = ("value", row._asdict())
        except Exception as exc:  # noqa: BLE001 - whatever Row._asdict does, the template does
            expected = ("raised", type(exc))
    try:
        got = ("value", template.select_one(sql))
    except Exception as exc:  # noqa: BLE001
        got = ("raised", type(exc))
    assert got == expected
