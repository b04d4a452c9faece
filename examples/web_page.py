"""The chat page (a Streamlit script): a question box, suggested questions,
the agents' steps while they work, then the answer with its chart, and for a
forecast its table and the history-plus-forecast chart.

Streamlit runs this script again for every interaction of every browser
session; what a session has said is kept in its own `st.session_state`, and
its agent in a web_sessions.Conversation of its own, whose questions run in
threads of their own while this script shows their steps. Serve it with
`scripts/demo --web` (web_demo.py), which starts the database and the model
endpoint and sets web_sessions.BACKEND.

Everything that came from the model, a tool or the database is drawn with
`st.text` or `st.code`, which show text as it is: never with Markdown (whose
images a browser would fetch and whose links it would follow), nor in
`st.error`, `st.table` or a label, which render Markdown. Those carry the
page's own words only.
"""
import streamlit as st
from streamlit.runtime.scriptrunner import get_script_run_ctx

import web_sessions

# How often the page looks at a running question for new steps.
POLL_SECONDS = 0.1


def show_step(container, step):
    indent = "\u2003" * (step.depth - 1)
    label = web_sessions.STEP_LABELS.get(step.kind, "Step")
    container.markdown("%s**%s:**" % (indent, label))
    if step.kind in ("sql", "code"):
        container.code(step.text, language="sql" if step.kind == "sql" else "python")
    else:
        container.text(step.text)


def show_result(exchange):
    if exchange.error:
        st.error(exchange.error)
        if exchange.detail:
            st.text(exchange.detail)
        return
    st.text(exchange.answer)
    if exchange.chart:
        st.image(exchange.chart, caption="Chart drawn by the chart agent")
    if exchange.forecast is not None:
        st.code(exchange.forecast, language=None)
        if exchange.forecast_chart:
            st.image(exchange.forecast_chart, caption="History and forecast")
    if exchange.note:
        st.caption(exchange.note)


def summary(exchange):
    return "%d steps in %.1f s" % (len(exchange.steps), exchange.seconds or 0)


def show_exchange(exchange, latest):
    with st.chat_message("user"):
        st.text(exchange.question)
    with st.chat_message("assistant"):
        # The latest run's steps stay open; the earlier ones fold away.
        with st.expander(summary(exchange), expanded=latest):
            for step in exchange.steps:
                show_step(st, step)
        show_result(exchange)


def follow(exchange):
    """Shows a running question's steps as they come, then its result."""
    with st.chat_message("user"):
        st.text(exchange.question)
    with st.chat_message("assistant"):
        status = st.status("Working on it\u2026", expanded=True)
        shown = 0
        while True:
            finished = exchange.done.wait(POLL_SECONDS)
            steps = exchange.steps
            while shown < len(steps):
                show_step(status, steps[shown])
                shown += 1
            if finished:
                break
        status.update(label=summary(exchange), state="error" if exchange.error else "complete", expanded=False)
        show_result(exchange)


def start_conversation(backend):
    """The session's new Conversation, or None after saying why there is none."""
    context = get_script_run_ctx()
    try:
        conversation = backend.new_conversation(context.session_id if context else None)
    except web_sessions.SessionsFull as full:
        st.warning("The page is serving as many conversations as it may at once (%d). A conversation ends "
                   "when its tab is closed or after a while without a question: try again in a few minutes."
                   % full.limit)
        st.button("Try again")
        return None
    except Exception as error:  # the page says what failed instead of a traceback
        st.error(web_sessions.headline(error))
        st.text(web_sessions.one_line(error))
        return None
    st.session_state.conversation = conversation
    return conversation


def main():
    st.set_page_config(page_title="zarvosdk: ask the sales database", layout="centered")
    st.title("Ask the sales database")
    backend = web_sessions.BACKEND
    if backend is None:
        st.error("No database or model is set up: serve this page with `scripts/demo --web`.")
        return
    if backend.description:
        st.text(backend.description)
    conversation = st.session_state.get("conversation")
    if conversation is None:
        conversation = start_conversation(backend)
        if conversation is None:
            return

    # While a question runs, the question box and the suggestions are
    # disabled: a new question would make Streamlit stop this script.
    exchanges, running = conversation.snapshot()
    st.markdown("**Try:**")
    asked = None
    columns = st.columns(len(web_sessions.QUESTIONS))
    for number, (column, question) in enumerate(zip(columns, web_sessions.QUESTIONS)):
        if column.button(question, key="suggested-%d" % number, use_container_width=True,
                         disabled=running is not None):
            asked = question
    for number, exchange in enumerate(exchanges, 1):
        show_exchange(exchange, latest=number == len(exchanges) and running is None)
    if conversation.closed and running is None:
        st.info("%s Its agent and memory are released; a new question starts a new conversation."
                % conversation.closed)
    typed = st.chat_input("Ask a question about the sales", disabled=running is not None,
                          max_chars=web_sessions.QUESTION_CHARS)
    # The browser keeps to max_chars; a client of the websocket need not.
    question = (typed or asked or "").strip()[:web_sessions.QUESTION_CHARS]
    if question and running is None:
        if conversation.closed:
            del st.session_state["conversation"]
            conversation = start_conversation(backend)
            if conversation is None:
                return
        if conversation.start(question) is not None:
            st.rerun()
    if running is not None:
        follow(running)
        # Again, to show the exchange among the others and enable the box.
        st.rerun()


main()
