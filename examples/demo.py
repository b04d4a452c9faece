"""zarvosdk demo: ask a sample sales database questions in plain language.

Starts a private MariaDB server with a small sales table, connects to it
with a read-only account through DatabaseConnector and shows the status
record the application gets back.
"""
import os
import tempfile
import warnings

# The pinned agent framework announces its own import reshuffles loudly; they
# are not this demo's business.
with warnings.catch_warnings(record=True):
    from zarvosdk.base import DatabaseConnector

from sample_database import READER, READER_PASSWORD, start_sample_database  # noqa: E402


def main():

    work = tempfile.mkdtemp(prefix="zarvosdk-demo-")
    print("Starting a private MariaDB server in", work)
    server = start_sample_database(os.path.join(work, "mariadb"))
    try:
        connector = DatabaseConnector(READER, READER_PASSWORD, server.host, server.database)
        status = connector.connect()
        print("Connection status:", status)
        if not status["connected"]:
            return 1
        print("Tables the read-only account can see:", connector.db.get_usable_table_names())
        print(connector.db.run("SELECT COUNT(*), SUM(amount) FROM sales"))
    finally:
        server.close()
        print("MariaDB server stopped.")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
