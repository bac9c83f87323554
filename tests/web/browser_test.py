#!/usr/bin/python3
"""The web page in a real browser: headless Chromium driven by Selenium.

Starts the simulated phone, a headless gateway and pdulink-web on one SQLite
spool, then in the page, at 1280 px and at a phone's 390 px and with the
keyboard alone: enters the key, sends a message and watches it turn `sent`
(the phone got its PDU), sees a message delivered to the phone appear in the
inbox with its sender's international number, checks the live count of
characters and parts against the server's own count and the limit beside it,
reads refusals in plain words that go once the form changes, opens a
conversation and replies in it, searches, loads older messages, keeps a
selection across refreshes, and says so when the server stops answering.
Every step waits for what it checks, never for a fixed time.

Exit status 77 (skipped) only when Chromium cannot be started.
"""
import argparse
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77


def wait_for(predicate, seconds, what):
    """Polls until the predicate holds; an element replaced or not there yet
    (a refresh redraws a changed row) counts as not yet."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            value = predicate()
        except Exception as e:  # selenium's stale or missing element
            if type(e).__name__ not in ("StaleElementReferenceException", "NoSuchElementException"):
                raise
            value = None
        if value:
            return value
        time.sleep(0.2)
    raise AssertionError("timed out waiting for " + what)


class Phone:
    def __init__(self, binary, directory):
        self.link = os.path.join(directory, "phone")
        self.control = os.path.join(directory, "phone.ctl")
        self.log = open(os.path.join(directory, "phone.log"), "w")
        self.proc = subprocess.Popen([binary, "--link", self.link, "--control", self.control,
                                      "--transcript", os.path.join(directory, "transcript.txt")],
                                     stdout=self.log, stderr=subprocess.STDOUT)
        wait_for(lambda: os.path.lexists(self.link), 10, "the phone's link")

    def ctl(self, line):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(10)
        s.connect(self.control)
        s.sendall((line + "\n").encode())
        reply = b""
        while not (reply.endswith(b"OK\n") or b"ERROR" in reply):
            chunk = s.recv(4096)
            if not chunk:
                break
            reply += chunk
        s.close()
        return reply.decode()


def start_web(binary, spool, directory, extra):
    out = open(os.path.join(directory, "web.out"), "w+")
    err = open(os.path.join(directory, "web.err"), "w")
    listen = [] if "--listen" in extra else ["--listen", "127.0.0.1:0"]
    proc = subprocess.Popen([binary, "--spool", spool] + listen + extra,
                            stdout=out, stderr=err)

    def port():
        out.seek(0)
        text = out.read()
        if "127.0.0.1:" in text:
            return int(text.split("127.0.0.1:")[1].split("/")[0])
        if proc.poll() is not None:
            raise AssertionError("pdulink-web ended: " + open(os.path.join(directory, "web.err")).read())
        return 0
    return proc, wait_for(port, 30, "pdulink-web to listen")


def api(port, method, path, key, body=None):
    data = json.dumps(body).encode() if body is not None else None
    req = urllib.request.Request("http://127.0.0.1:%d/api/v1%s" % (port, path), data=data, method=method,
                                 headers={"Authorization": "Bearer " + key, "Content-Type": "application/json"})
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    try:
        with opener.open(req, timeout=10) as r:
            return r.status, json.loads(r.read())
    except urllib.error.HTTPError as e:
        return e.code, json.loads(e.read())


def browser(user_data):
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--no-proxy-server", "--window-size=1280,900", "--user-data-dir=" + user_data]:
        options.add_argument(flag)
    try:
        return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    except WebDriverException as e:
        print("SKIP: Chromium cannot start here: %s" % str(e).strip().splitlines()[0])
        sys.exit(SKIP)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--web", required=True)
    ap.add_argument("--gateway", required=True)
    ap.add_argument("--phone", required=True)
    args = ap.parse_args()
    args.web, args.gateway, args.phone = map(os.path.abspath, (args.web, args.gateway, args.phone))

    for path in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
        if not os.path.exists(path):
            print("SKIP: %s is not installed" % path)
            return SKIP
    try:
        import selenium  # noqa: F401
    except ImportError:
        print("SKIP: python3-selenium is not installed")
        return SKIP

    tmp = tempfile.mkdtemp(prefix="pdulink-browser-")
    procs = []
    driver = None
    try:
        spool = "sqlite:" + os.path.join(tmp, "spool.db")
        key = subprocess.run([args.web, "--spool", spool, "--add-key", "browser"], check=True,
                             capture_output=True, text=True).stdout.strip()
        phone = Phone(args.phone, tmp)
        procs.append(phone.proc)
        gwdir = os.path.join(tmp, "gw")
        os.mkdir(gwdir)
        os.mkdir(os.path.join(gwdir, "in"))
        with open(os.path.join(gwdir, "gw.ini"), "w") as f:
            f.write("[Main]\nComPort=1\nBaudRate=115200\nAutoConnect=1\nAutoRead=1\nAutoSend=1\n"
                    "PollingInt=1\nWatchInt=1\nFastMode=1\nUtf8Files=1\nLogDir=%s/in/\n"
                    "Spool=%s\nGatewayName=gw1\n[Ports]\nCOM1=%s\n" % (gwdir, spool, phone.link))
        gwlog = open(os.path.join(tmp, "gateway.log"), "w")
        gateway = subprocess.Popen([args.gateway, "--headless", "gw.ini"], cwd=gwdir, stdin=subprocess.PIPE,
                                   stdout=gwlog, stderr=subprocess.STDOUT)
        procs.append(gateway)
        web, port = start_web(args.web, spool, tmp, ["--max-parts", "6", "--shift-tables", "tr"])
        procs.append(web)
        base = "http://127.0.0.1:%d/" % port

        # A webhook whose receiver is not there: the page shows it retrying.
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        hook_url = "http://127.0.0.1:%d/hook" % closed.getsockname()[1]
        closed.close()
        status, body = api(port, "POST", "/webhooks", key,
                           {"url": hook_url, "events": ["message.sent"], "secret": "browser-test-secret-0123"})
        assert status == 201, body

        driver = browser(os.path.join(tmp, "chromium"))
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
        driver.get(base)
        # The keyboard alone: the key typed and Enter pressed.
        driver.find_element(By.ID, "key").send_keys(key + Keys.ENTER)
        wait_for(lambda: driver.find_element(By.ID, "app").is_displayed(), 10, "the page after the key")
        # The key stays for the session: a reload goes straight to the page.
        driver.refresh()
        wait_for(lambda: driver.find_element(By.ID, "app").is_displayed(), 10, "the page after a reload")
        wait_for(lambda: "gw1" in driver.find_element(By.ID, "gateways").text, 30, "the gateway's row")

        # The live count, then the same texts counted by the server (queued
        # for later, so that the gateway leaves them alone).
        text = driver.find_element(By.ID, "text")
        text.send_keys("Привет")
        assert driver.find_element(By.ID, "count").text == "6 chars, 1 part (UCS2)", driver.find_element(By.ID, "count").text
        wait_for(lambda: driver.find_element(By.ID, "count-limit").text == "(at most 6 parts)", 10, "the part limit")
        # With the gateways' Turkish tables the server's count shows: one
        # 7-bit part, where the page alone would count three UCS2 parts.
        text.clear()
        text.send_keys("\u015f" * 155)
        wait_for(lambda: driver.find_element(By.ID, "count").text == "155 chars, 1 part", 10,
                 "the server's count of a Turkish text")
        assert driver.execute_script("return countParts(arguments[0], false).parts;", "\u015f" * 155) == 3
        # Too long: the reason is there to read, not only a disabled button.
        text.clear()
        text.send_keys("x" * 920)
        wait_for(lambda: driver.find_element(By.ID, "too-long").is_displayed(), 5, "the too-long reason")
        assert "at most 6" in driver.find_element(By.ID, "too-long").text
        assert not driver.find_element(By.ID, "send").is_enabled()
        text.clear()
        wait_for(lambda: not driver.find_element(By.ID, "too-long").is_displayed(), 5, "the reason gone")
        # A bad number is named in plain words; changing the form clears it.
        to = driver.find_element(By.ID, "to")
        to.send_keys("+49 abc")
        text.send_keys("x")
        to.send_keys(Keys.ENTER)
        wait_for(lambda: "\u201C+49 abc\u201D is not a phone number" in driver.find_element(By.ID, "send-result").text,
                 10, "the bad number named")
        text.send_keys("y")
        wait_for(lambda: driver.find_element(By.ID, "send-result").text == "", 5, "the old error cleared")
        to.clear()
        text.clear()
        samples = ["a" * 160, "a" * 161, "€" * 80, "€" * 81, "a" * 159 + "€", "€" * 153, "Ж" * 70, "Ж" * 71,
                   "😀" * 35, "😀" * 36, "  a \n\t b  ", "x" * 306 + "😀", "{[~]}" * 40, "Ab" * 400]
        # The count the page shows (its own, or the server's where the
        # Turkish tables may do better, as for "€" * 81) is the send's.
        def shown_parts():
            return int(driver.find_element(By.ID, "count").text.split(", ")[1].split(" ")[0])
        for sample in samples:
            driver.execute_script("const t = document.getElementById('text'); t.value = arguments[0];"
                                  "t.dispatchEvent(new Event('input', { bubbles: true }));", sample)
            status, body = api(port, "POST", "/messages", key,
                               {"to": "+4900", "text": sample, "not_before": "2099-01-01T00:00:00Z"})
            if status == 201:
                wait_for(lambda: shown_parts() == body["parts"], 10, "%d parts for %r" % (body["parts"], sample[:20]))
            else:
                assert body["error"]["field"] == "text", (sample[:20], body)
                wait_for(lambda: shown_parts() > 6, 10, "more than 6 parts for %r" % sample[:20])
        text.clear()

        # Send from the page, by keyboard; it turns sent once the phone has it.
        text.send_keys("Hello from the browser")
        assert driver.find_element(By.ID, "count").text == "22 chars, 1 part"
        driver.find_element(By.ID, "to").send_keys("+4915112345678" + Keys.ENTER)
        result = wait_for(lambda: driver.find_element(By.ID, "send-result").text, 10, "the send result")
        assert result.startswith("Queued: #"), result
        msg_id = result.split("#")[1]
        sel = '#outbox li[data-id="%s"] .state' % msg_id
        wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, sel), 10, "the message in the outbox")
        wait_for(lambda: driver.find_element(By.CSS_SELECTOR, sel).text == "sent", 90,
                 "the message to turn sent (gateway log: %s)" % os.path.join(tmp, "gateway.log"))
        submitted = phone.ctl("dump submitted")
        assert "submitted" in submitted, "the phone got no PDU: " + submitted
        wait_for(lambda: "retrying" in driver.find_element(By.ID, "webhooks").text, 30, "the webhook retrying")
        hooks = driver.find_element(By.ID, "webhooks").text
        assert hook_url in hooks and "1 pending" in hooks and "refused" in hooks.lower(), hooks

        # A message delivered to the phone shows in the inbox, newest first.
        assert phone.ctl("deliver +4917012345 Reply from the phone").endswith("OK\n")
        wait_for(lambda: "Reply from the phone" in driver.find_element(By.ID, "inbox").text, 90,
                 "the delivered message in the inbox")
        assert phone.ctl("deliver +4917012345 Second reply").endswith("OK\n")
        wait_for(lambda: "Second reply" in driver.find_element(By.CSS_SELECTOR, "#inbox li:first-child").text, 90,
                 "the newest message first")

        # The sender in its international form, with '+'.
        sender = driver.find_element(By.CSS_SELECTOR, "#inbox li:first-child button.number")
        assert sender.text == "+4917012345", sender.text

        # Its conversation, opened and answered with the keyboard alone.
        sender.send_keys(Keys.ENTER)
        wait_for(lambda: driver.find_element(By.ID, "conversation").is_displayed(), 10, "the conversation")
        thread = lambda: driver.find_element(By.ID, "thread").text
        wait_for(lambda: "Reply from the phone" in thread() and "Second reply" in thread(), 10, "both messages")
        assert thread().index("Reply from the phone") < thread().index("Second reply"), "newest last"
        driver.find_element(By.ID, "reply").send_keys("Thanks" + Keys.TAB + Keys.ENTER)
        wait_for(lambda: driver.find_element(By.ID, "reply-result").text.startswith("Queued: #"), 10, "the reply")
        wait_for(lambda: "Thanks" in thread(), 15, "the reply in the conversation")
        driver.find_element(By.ID, "conversation-close").send_keys(Keys.ENTER)
        wait_for(lambda: not driver.find_element(By.ID, "conversation").is_displayed(), 5, "the conversation closed")

        # Search over texts and numbers.
        driver.find_element(By.ID, "search").send_keys("Second" + Keys.ENTER)
        wait_for(lambda: "Second reply" in driver.find_element(By.ID, "results").text, 10, "the search result")
        assert "Hello from the browser" not in driver.find_element(By.ID, "results").text
        driver.find_element(By.ID, "search-clear").send_keys(Keys.ENTER)
        driver.find_element(By.ID, "search").send_keys("4915112345678" + Keys.ENTER)
        wait_for(lambda: "Hello from the browser" in driver.find_element(By.ID, "results").text, 10, "found by number")

        # A selection in the outbox survives the refreshes that follow.
        driver.execute_script("""
            const body = document.querySelector('#outbox li[data-id="2"] .body');
            const range = document.createRange(); range.selectNodeContents(body);
            getSelection().removeAllRanges(); getSelection().addRange(range);""")
        stamp = driver.find_element(By.ID, "status").text
        wait_for(lambda: driver.find_element(By.ID, "status").text != stamp, 15, "a refresh")
        stamp = driver.find_element(By.ID, "status").text
        wait_for(lambda: driver.find_element(By.ID, "status").text != stamp, 15, "another refresh")
        assert driver.execute_script("return getSelection().toString();") != "", "the selection was wiped"

        # More than a page of the outbox: the older ones are a click away.
        for i in range(50):
            api(port, "POST", "/messages", key, {"to": "+4901", "text": "later %d" % i, "not_before": "2099-01-01T00:00:00Z"})
        driver.refresh()  # a fresh page shows the newest 50
        wait_for(lambda: driver.find_element(By.ID, "outbox-older").is_displayed(), 15, "the older-messages button")
        assert len(driver.find_elements(By.CSS_SELECTOR, "#outbox li")) == 50
        driver.find_element(By.ID, "outbox-older").send_keys(Keys.ENTER)
        wait_for(lambda: len(driver.find_elements(By.CSS_SELECTOR, "#outbox li")) > 50, 10, "older messages")

        # A phone-sized screen: nothing wider than the screen.
        driver.set_window_size(390, 844)
        wait_for(lambda: driver.execute_script("return window.innerWidth;") <= 400, 10, "the narrow window")
        over = driver.execute_script("return document.documentElement.scrollWidth - window.innerWidth;")
        assert over <= 0, "the page is %dpx wider than a phone's screen" % over
        sender = driver.find_element(By.CSS_SELECTOR, "#inbox li:first-child button.number")
        sender.send_keys(Keys.ENTER)
        wait_for(lambda: "Second reply" in driver.find_element(By.ID, "thread").text, 10, "the conversation at 390 px")
        over = driver.execute_script("return document.documentElement.scrollWidth - window.innerWidth;")
        assert over <= 0, "the conversation is %dpx wider than a phone's screen" % over

        # The server stops: the page says so and keeps trying; back, it updates.
        web.terminate()
        web.wait(20)
        wait_for(lambda: "does not answer" in driver.find_element(By.ID, "status").text, 15, "the server gone")
        web, _ = start_web(args.web, spool, tmp, ["--max-parts", "6", "--shift-tables", "tr", "--listen", "127.0.0.1:%d" % port])
        procs.append(web)
        wait_for(lambda: driver.find_element(By.ID, "status").text.startswith("Updated"), 15, "the server back")

        # Forgetting the key returns to the key form and drops it.
        driver.find_element(By.ID, "forget").click()
        wait_for(lambda: driver.find_element(By.ID, "login").is_displayed(), 5, "the key form")
        assert driver.execute_script("return sessionStorage.length;") == 0
        print("browser test passed")
        return 0
    except AssertionError as e:
        import traceback
        traceback.print_exc()
        print("FAILED: %s" % e)
        for name in ("web.err", "gateway.log"):
            path = os.path.join(tmp, name)
            if os.path.exists(path):
                print("---- %s (tail)" % name)
                print("".join(open(path, errors="replace").readlines()[-40:]))
        return 1
    finally:
        if driver is not None:
            driver.quit()
        for p in reversed(procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(20)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        if not os.environ.get("PDULINK_KEEP_BROWSER_DIR"):
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
