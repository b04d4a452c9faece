"""The application's side of the chat model, as the demo and the tests make it.

* `CallbacksInConfig`: a chat-model mixin for a fault of the framework's 1.x
  line. langchain-classic 1.0's function-calling agent (the chart agent's,
  `create_python_agent` with `AgentType.OPENAI_FUNCTIONS`) calls
  `llm.invoke(messages, functions=..., callbacks=...)`, and langchain-core
  1.x's `BaseChatModel.invoke` passes the keywords on beside the config's
  callbacks: "generate_prompt() got multiple values for keyword argument
  'callbacks'" on every step, with any chat model. The mixin moves a
  `callbacks` keyword into the config, where `invoke` reads it. On the 0.2
  and 0.3 lines that agent calls `predict_messages` and the mixin is never
  reached.
* `make_chat_client`: the framework's OpenAI chat client with the mixin,
  from the one module that has the client on every framework line:
  `langchain_community.chat_models.openai` (the 1.x line's
  `langchain_community.chat_models` no longer exports it). Its import and
  each client it makes give deprecation notices (the client has moved to
  another package; langchain-community 0.4 is being sunset), which are not
  the business of the demo or the tests; they are left out here.
"""

import warnings


class CallbacksInConfig:
    """Put before a chat model class among a subclass's bases: `invoke`
    takes `callbacks` as a keyword too, as the config's."""

    def invoke(self, input, config=None, *, stop=None, **kwargs):
        if "callbacks" in kwargs:
            config = {**(config or {}), "callbacks": kwargs.pop("callbacks")}
        return super().invoke(input, config, stop=stop, **kwargs)


_client_class = None


def chat_client_class():
    """The framework's ChatOpenAI with `CallbacksInConfig`, made once."""
    global _client_class
    if _client_class is None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            from langchain_community.chat_models.openai import ChatOpenAI

        class Chat(CallbacksInConfig, ChatOpenAI):
            """The framework's OpenAI chat client, taking `callbacks` in `invoke`."""

        _client_class = Chat
    return _client_class


def make_chat_client(**settings):
    """A chat client with `settings`, made without its deprecation notice."""
    cls = chat_client_class()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return cls(**settings)
