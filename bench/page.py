"""The chat page under load: many sessions at once, and its memory once
sessions have come and gone.

    python bench/page.py [--sessions 8] [--cycled 30] [--latency 1.0]

Serves the page (examples/web_demo.py: its private MariaDB, the built-in
endpoint answering every request `--latency` seconds late, as a real model
would) on a free loopback port, and talks to it as browsers do, over
Streamlit's websocket with its own messages (streamlit.proto), one thread per
session, with no browser to share the cores:

* one session opens and asks the chart question (a SQL query, a chart
  drawn in the session's sandbox, seven model requests); then `--sessions`
  sessions open and ask it at the same moment. The figure is the time of
  the slowest of them over the time of the one alone (the median of
  `--rounds` rounds).
* then `--cycled` sessions open, ask it and close, four at a time (half the
  page's bound); once the page has ended them, the server's resident memory
  is set against what it was after one such session had come and gone
  (which paid for the imports and caches the first session fills).

Sessions end `--closed-seconds` (2) after their websocket closes, so the
run does not wait for the page's default of 15. Prints its figures and,
as its last lines, the two the page is judged by.
"""
import argparse
import ctypes
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
QUESTION = "Draw a chart of the daily sales."
ANSWER = "The line chart of 30 points"


def _stop_with_parent():
    # Runs in the child before exec: the kernel sends SIGTERM (on which the
    # page shuts down cleanly) if the bench dies without stopping it.
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Page:
    """The page's server, in a process of its own until stopped."""

    def __init__(self, latency, closed_seconds, max_sessions):
        self.max_sessions = max_sessions
        self.port = free_port()
        self.url = "http://127.0.0.1:%d" % self.port
        env = dict(os.environ, PYTHONPATH=ROOT + os.pathsep + os.environ.get("PYTHONPATH", ""))
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(ROOT, "examples", "web_demo.py"), "--port", str(self.port),
             "--model-latency", str(latency), "--closed-seconds", str(closed_seconds),
             "--max-sessions", str(max_sessions)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, start_new_session=True,
            preexec_fn=_stop_with_parent)
        self._wait_healthy()

    def _wait_healthy(self):
        import urllib.request

        deadline = time.monotonic() + 180
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise SystemExit("bench: the page exited with %s" % self.process.returncode)
            try:
                with urllib.request.urlopen(self.url + "/_stcore/health", timeout=2) as answer:
                    if answer.status == 200:
                        return
            except OSError:
                time.sleep(0.2)
        raise SystemExit("bench: the page did not come up in 180 s")

    def rss_mb(self):
        with open("/proc/%d/status" % self.process.pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024
        raise SystemExit("bench: no VmRSS for the page")

    def workers(self):
        """How many sandbox workers the page's process has."""
        out = subprocess.run(["pgrep", "-f", "-P", str(self.process.pid), "bwrap"],
                             stdout=subprocess.PIPE, text=True, check=False).stdout
        return len(out.split())

    def stop(self):
        os.killpg(self.process.pid, signal.SIGINT)
        try:
            self.process.wait(60)
        except subprocess.TimeoutExpired:
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()


class Session:
    """One browser session, spoken to over Streamlit's websocket."""

    def __init__(self, page):
        import websocket

        self.socket = websocket.create_connection(
            "ws://127.0.0.1:%d/_stcore/stream" % page.port, subprotocols=["streamlit"],
            origin=page.url, timeout=120)
        self.chat_input = None
        self.run({})

    def _send(self, widgets):
        from streamlit.proto.BackMsg_pb2 import BackMsg
        from streamlit.proto.Common_pb2 import ChatInputValue
        from streamlit.proto.WidgetStates_pb2 import WidgetState

        message = BackMsg()
        state = message.rerun_script
        state.query_string = ""
        state.page_script_hash = ""
        for widget_id, text in widgets.items():
            state.widget_states.widgets.append(WidgetState(id=widget_id, chat_input_value=ChatInputValue(data=text)))
        self.socket.send_binary(message.SerializeToString())

    def run(self, widgets, answer=None):
        """Sends a rerun with `widgets` and reads the page's messages until a
        script run ends with the question box enabled (and, with `answer`,
        once that text has shown)."""
        from streamlit.proto.ForwardMsg_pb2 import ForwardMsg

        self._send(widgets)
        seen = answer is None
        enabled = False
        while True:
            message = ForwardMsg.FromString(self.socket.recv())
            kind = message.WhichOneof("type")
            if kind == "delta" and message.delta.WhichOneof("type") == "new_element":
                element = message.delta.new_element
                which = element.WhichOneof("type")
                if which == "chat_input":
                    self.chat_input = element.chat_input.id
                    enabled = not element.chat_input.disabled
                elif which == "text" and answer is not None and answer in element.text.body:
                    seen = True
            elif kind == "script_finished":
                if seen and enabled:
                    return
                if self.chat_input is None:
                    raise SystemExit("bench: the page showed no question box (past its bound of sessions?)")
                enabled = False

    def ask(self, question, answer):
        started = time.monotonic()
        self.run({self.chat_input: question}, answer)
        return time.monotonic() - started

    def close(self):
        self.socket.close()


def ask_at_once(page, count):
    """Opens `count` sessions, then has them all ask at one moment; returns
    the seconds of the slowest, and closes them."""
    sessions = [Session(page) for _ in range(count)]
    barrier = threading.Barrier(count)
    times = [None] * count

    def ask(number):
        barrier.wait()
        times[number] = sessions[number].ask(QUESTION, ANSWER)

    threads = [threading.Thread(target=ask, args=(n,)) for n in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for session in sessions:
        session.close()
    if None in times:
        raise SystemExit("bench: a session's question failed")
    return max(times)


def wait_released(page, closed_seconds, seconds=60):
    """Waits until the page has ended the sessions closed so far: no sandbox
    worker left, and the time the page takes to notice a closed tab gone by."""
    deadline = time.monotonic() + seconds
    while page.workers() and time.monotonic() < deadline:
        time.sleep(0.5)
    time.sleep(closed_seconds + 3)
    return page.workers()


def bench(sessions=8, cycled=30, latency=1.0, rounds=3, closed_seconds=2.0, log=print):
    page = Page(latency, closed_seconds, max_sessions=max(8, sessions))
    baseline = after = left = None
    try:
        ask_at_once(page, 1)  # warms the imports and caches the first question fills
        wait_released(page, closed_seconds)
        ratios, ones, manys = [], [], []
        for _ in range(rounds):
            one = ask_at_once(page, 1)
            wait_released(page, closed_seconds)
            many = ask_at_once(page, sessions)
            ones.append(one)
            manys.append(many)
            ratios.append(many / one)
            log("page: one session %.2f s, %d at once %.2f s (%.2fx)" % (one, sessions, many, many / one))
            wait_released(page, closed_seconds)
        baseline = page.rss_mb()
        # Half the bound at a time: a batch's sessions are ended (seconds
        # after they close) while the next one asks, so the two fit.
        batch = max(1, page.max_sessions // 2)
        for start in range(0, cycled, batch):
            ask_at_once(page, min(batch, cycled - start))
        left = wait_released(page, closed_seconds)
        after = page.rss_mb()
        log("page: resident memory %.0f MB after the first sessions, %.0f MB after %d more came and went "
            "(%d sandbox workers left)" % (baseline, after, cycled, left))
    finally:
        page.stop()
    return {"sessions": sessions, "cycled": cycled, "latency_s": latency,
            "one_s": statistics.median(ones), "many_s": statistics.median(manys),
            "ratio": statistics.median(ratios), "rss_before_mb": baseline, "rss_after_mb": after,
            "memory_mb": after - baseline, "workers_left": left}


def last_lines(result):
    return ["page: %d sessions at once took %.2f\u00d7 one session" % (result["sessions"], result["ratio"]),
            "page: memory after %d sessions opened and closed: %+.0f MB" % (result["cycled"], result["memory_mb"])]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sessions", type=int, default=8)
    parser.add_argument("--cycled", type=int, default=30)
    parser.add_argument("--latency", type=float, default=1.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--json", default=os.path.join(HERE, "page-results.json"))
    args = parser.parse_args(argv)
    result = bench(args.sessions, args.cycled, args.latency, args.rounds)
    with open(args.json, "w") as out:
        json.dump(result, out, indent=1, sort_keys=True)
    for line in last_lines(result):
        print(line, flush=True)


if __name__ == "__main__":
    main()
