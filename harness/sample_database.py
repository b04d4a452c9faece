"""A private MariaDB server holding a small sample sales database.

The demo starts it on a loopback port with its own data directory, fills a
`sales` table with a month of daily figures and adds a user that may only
read, which is how an application should connect its agents.
"""
import datetime

from harness.mariadb_server import MariaDBServer

READER = "demo_reader"
READER_PASSWORD = "demo-reader-pw"


def sample_rows(days=30, start=datetime.date(2024, 1, 1)):
    """Daily sales for one product line: a steady rise with a weekly pattern."""
    rows = []
    for i in range(days):
        day = start + datetime.timedelta(days=i)
        amount = 1000 + 25 * i + (120 if day.weekday() >= 5 else 0)
        rows.append((day.isoformat(), "widgets", amount))
    return rows


def start_sample_database(base_dir):
    """Starts the server, creates the sample table and the read-only user."""
    server = MariaDBServer(base_dir, database="demo_shop")
    server.start()
    server.execute(
        "CREATE TABLE demo_shop.sales ("
        " sale_date DATE NOT NULL, product VARCHAR(40) NOT NULL,"
        " amount DECIMAL(10, 2) NOT NULL, PRIMARY KEY (sale_date, product))"
    )
    for row in sample_rows():
        server.execute("INSERT INTO demo_shop.sales VALUES (%s, %s, %s)", row)
    for host in ("127.0.0.1", "localhost"):
        server.execute(
            "CREATE USER IF NOT EXISTS %s@%s IDENTIFIED BY %s", (READER, host, READER_PASSWORD)
        )
        server.execute("GRANT SELECT ON demo_shop.* TO %s@%s", (READER, host))
    return server
