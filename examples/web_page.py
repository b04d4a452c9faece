"""The chat page (a Streamlit script): a question box, suggested questions,
the agents' steps while they work, then the answer with its chart, and for a
forecast its table and the history-plus-forecast chart.

Streamlit runs this script again for every interaction of every browser
session; what a session has said is kept in its own `st.session_state`, and
its agent in a web_sessions.Conversation of its own. Serve it with
`scripts/demo --web` (web_demo.py), which starts the database and the model
endpoint and sets web_sessions.BACKEND.
"""
import streamlit as st

import web_sessions

STEP_LABELS = {
    "tool": "Tool",
    "sql": "SQL",
    "rows": "Rows",
    "forecast": "Forecast request",
    "code": "Chart code",
    "error": "Error",
}


def show_step(container, step):
    indent = "\u2003" * (step.depth - 1)
    label = STEP_LABELS.get(step.kind, step.kind)
    if step.kind in ("sql", "code"):
        container.markdown("%s**%s**" % (indent, label))
        container.code(step.text, language="sql" if step.kind == "sql" else "python")
    else:
        container.markdown("%s**%s:** %s" % (indent, label, step.text.replace("\n", " ")))


def show_result(exchange):
    if exchange.error:
        st.error(exchange.error)
        return
    # Keep the answer's own line breaks (a forecast's lines, say).
    st.markdown(exchange.answer.replace("\n", "  \n"))
    if exchange.chart:
        st.image(exchange.chart, caption="Chart drawn by the chart agent")
    if exchange.forecast is not None:
        table = exchange.forecast.rename(columns={"dates": "date", "Forecasted_values": "forecast"})
        st.table(table.set_index("date").style.format("{:,.2f}"))
        if exchange.forecast_chart:
            st.image(exchange.forecast_chart, caption="History and forecast")


def show_exchange(exchange, latest):
    with st.chat_message("user"):
        st.markdown(exchange.question)
    with st.chat_message("assistant"):
        label = "%d steps in %.1f s" % (len(exchange.steps), exchange.seconds or 0)
        # The latest run's steps stay open; the earlier ones fold away.
        with st.expander(label, expanded=latest):
            for step in exchange.steps:
                show_step(st, step)
        show_result(exchange)


def run_question(conversation, question):
    with st.chat_message("user"):
        st.markdown(question)
    with st.chat_message("assistant"):
        status = st.status("Working on it\u2026", expanded=True)
        exchange = conversation.ask(
            question,
            on_step=lambda step: show_step(status, step),
            on_wait=lambda: status.write("Waiting for another conversation's run to finish\u2026"),
        )
        status.update(
            label="%d steps in %.1f s" % (len(exchange.steps), exchange.seconds),
            state="error" if exchange.error else "complete",
            expanded=False,
        )
        show_result(exchange)


def main():
    st.set_page_config(page_title="zarvosdk: ask the sales database", layout="centered")
    st.title("Ask the sales database")
    backend = web_sessions.BACKEND
    if backend is None:
        st.error("No database or model is set up: serve this page with `scripts/demo --web`.")
        return
    if backend.description:
        st.caption(backend.description)
    if "conversation" not in st.session_state:
        try:
            st.session_state.conversation = backend.new_conversation()
        except Exception as error:  # the page says what failed instead of a traceback
            st.error(web_sessions.explain(error))
            return
    conversation = st.session_state.conversation

    # A question waits in `pending` while it runs, with the question box and
    # the suggestions disabled: a new question in the middle of a run would
    # make Streamlit stop the run and lose it.
    pending = st.session_state.get("pending")
    st.markdown("**Try:**")
    asked = None
    columns = st.columns(len(web_sessions.QUESTIONS))
    for number, (column, question) in enumerate(zip(columns, web_sessions.QUESTIONS)):
        if column.button(question, key="suggested-%d" % number, use_container_width=True,
                         disabled=pending is not None):
            asked = question
    for number, exchange in enumerate(conversation.exchanges, 1):
        show_exchange(exchange, latest=number == len(conversation.exchanges) and pending is None)
    typed = st.chat_input("Ask a question about the sales", disabled=pending is not None)
    question = (typed or asked or "").strip()
    if question and pending is None:
        st.session_state.pending = question
        st.rerun()
    if pending is not None:
        run_question(conversation, pending)
        st.session_state.pending = None
        # Again, to show the exchange among the others and enable the box.
        st.rerun()

main()
