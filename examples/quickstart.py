"""velmo in a few lines: a mapper file, an SQLite database, dynamic SQL, paging and the helpers."""

import pathlib
import sys
import time

from sqlalchemy import create_engine, text

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))  # examples_models, named by the mapper's resultType

from velmo.db.kestrum import Page, PageInfo, SqlTemplate  # noqa: E402
from velmo.mapper.drovik import ParseMapper  # noqa: E402
from velmo.utils import fendrel, harlune, plovet, zimbard  # noqa: E402

mapper = ParseMapper(str(HERE / "users.xml"))
template = SqlTemplate(create_engine("sqlite://"))
template.execute_in_connection(
    lambda con: con.execute(text("CREATE TABLE users (id INTEGER PRIMARY KEY, name TEXT, age INTEGER)"))
)
print("namespace:", mapper.namespace, "statements:", list(mapper.list_statement()))

for name, age in [("ada", 36), ("alan", 41), ("grace", 45), ("edsger", 72)]:
    sql, binds, kind, _ = mapper.get_sql("add", {"name": name, "age": age})
    print(kind, "->", "row id", template.insert(sql=sql, args=binds))

sql, binds, kind, result_type = mapper.get_sql("find", {"min_age": 40})
print("\n" + sql.text, binds)
print("result type:", result_type.__name__)
for row in template.select_list(sql=sql, args=binds):
    print("  ", result_type(**row))

answer = template.select_page(sql=sql, page=Page(2, 2), args=binds)
print("page 2 of size 2:", PageInfo(**answer))

sql, binds, _, _ = mapper.get_sql("by_ids", {"ids": [1, 3]})
print("\n" + sql.text, binds)
print("  ", template.select_list(sql=sql, args=binds))

sql, binds, _, _ = mapper.get_sql("rename", {"id": 1, "name": "Ada"})
print("\n" + sql.text, binds, "-> rows", template.update(sql=sql, args=binds))
sql, binds, _, _ = mapper.get_sql("remove", {"id": 4})
print(sql.text, binds, "-> rows", template.delete(sql=sql, args=binds))

print("\nhelpers:")
for record in fendrel.get_sql_param("where id = #{id, sql_type=INTEGER} and t = ${table} and u = $f{upper(name)}"):
    print("  ", record)
print("   param_str:", [zimbard.param_str(v) for v in (None, 0, "O'Brien", 2.5)])
print("   replace_cdata:", zimbard.replace_cdata("a <![CDATA[x < y & z]]> b"))
print("   replace_sql_first:", harlune.replace_sql_first("  and a = 1 AND b = 2 ", "AND |OR ", "WHERE "))
print("   replace_sql_last:", harlune.replace_sql_last("a = 1, b = 2, -- trailing", ",", ""))
print("   like / time_format:", plovet.like("abc"), plovet.time_format(time.gmtime(0)))
