"""Stand-ins an application or a test drives zarvosdk with.

* `scripted_model`: an offline chat model that plays the agents' language
  model deterministically;
* `model_endpoint`: that model behind an OpenAI-compatible HTTP endpoint on a
  loopback port, for the framework's real chat client;
* `chat_client`: the framework's OpenAI chat client, imported from where
  every framework line keeps it;
* `mariadb_server`: a private, throw-away MariaDB server in one directory;
* `sample_database`: such a server holding a small sample sales database
  with a read-only user.

The tests and the demo import these modules from the repository root (which
pytest puts on the import path, and the demo is started with).
"""
