"""Looks at the built documentation site in a real browser: headless Chromium.

    python scripts/check_docs.py [--site build/docs] [--screenshots build/docs-screenshots] [PAGE.html ...]

Serves the site (scripts/docs.sh builds it) on a port of the loopback
interface, starts headless Chromium (Debian's `chromium` package; CHROMIUM
names another binary) and drives it over its DevTools protocol. For each page
checked (the home page and the modes page, or the pages named) it

- loads the page over HTTP, at a desktop width, and waits for its images;
- requires every image to have loaded (naturalWidth > 0), and the gallery
  (gallery.png) to be among them;
- requires that nothing was logged as an error: console errors, uncaught
  exceptions, failed or refused loads, HTTP errors;
- keeps a full-page screenshot in the screenshots folder.

Exits 1 naming every problem found, 0 when both pages pass. Needs no network:
the site and the browser are local.
"""

from __future__ import annotations

import argparse
import base64
import functools
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import websocket  # websocket-client, from the docs extra

ROOT = Path(__file__).resolve().parent.parent
# (page, images it must show)
PAGES = (("index.html", ("gallery.png",)), ("modes.html", ("gallery.png",)))
WIDTH, HEIGHT, MAX_HEIGHT = 1280, 900, 12000
TIMEOUT = 30.0


class Problems(list):
    def add(self, page: str, text: str) -> None:
        self.append(f"{page}: {text}")


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    """Serves the site; remembers every request it answered with an error."""

    errors: list = []

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def log_error(self, format, *args):  # noqa: A002
        pass

    def send_error(self, code, message=None, explain=None):
        self.errors.append(f"HTTP {code} for {self.path}")
        super().send_error(code, message, explain)


def serve(site: Path):
    handler = functools.partial(QuietHandler, directory=str(site))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def find_chromium() -> str:
    for name in (os.environ.get("CHROMIUM"), "chromium", "chromium-browser", "google-chrome"):
        if name and shutil.which(name):
            return shutil.which(name)
    sys.exit("check_docs: no Chromium found (apt-get install chromium, or set CHROMIUM)")


class DevTools:
    """A minimal client of the DevTools protocol over the browser's websocket."""

    def __init__(self, url: str):
        # No Origin header: Chromium refuses websocket clients from other origins.
        self.ws = websocket.create_connection(url, timeout=TIMEOUT, suppress_origin=True)
        self.next_id = 0
        self.events: list = []
        self.session = None

    def call(self, method: str, params: dict | None = None, *, browser: bool = False) -> dict:
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if self.session and not browser:
            message["sessionId"] = self.session
        self.ws.send(json.dumps(message))
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            reply = json.loads(self.ws.recv())
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error'].get('message')}")
                return reply.get("result", {})
            if "method" in reply:
                self.events.append(reply)
        raise TimeoutError(f"{method}: no answer in {TIMEOUT:.0f} s")

    def wait_for(self, method: str) -> dict:
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            for event in self.events:
                if event["method"] == method:
                    return event
            self.ws.settimeout(max(0.1, deadline - time.monotonic()))
            try:
                reply = json.loads(self.ws.recv())
            except websocket.WebSocketTimeoutException:
                break
            if "method" in reply:
                self.events.append(reply)
        raise TimeoutError(f"no {method} in {TIMEOUT:.0f} s")

    def evaluate(self, expression: str):
        result = self.call("Runtime.evaluate", {"expression": expression, "awaitPromise": True, "returnByValue": True})
        if "exceptionDetails" in result:
            raise RuntimeError(f"script failed: {result['exceptionDetails'].get('text')}")
        return result["result"].get("value")


def launch(chromium: str, profile: str) -> tuple:
    args = [
        chromium,
        "--headless",
        "--no-sandbox",
        "--disable-gpu",
        "--disable-dev-shm-usage",
        "--no-first-run",
        "--no-default-browser-check",
        "--disable-extensions",
        "--disable-background-networking",
        "--disable-component-update",
        "--disable-sync",
        "--hide-scrollbars",
        "--mute-audio",
        "--force-color-profile=srgb",
        f"--user-data-dir={profile}",
        "--remote-debugging-port=0",
        "about:blank",
    ]
    log = open(Path(profile) / "chromium.log", "w")
    browser = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    # Chromium writes the port it chose and the browser's websocket path to this file.
    port_file = Path(profile) / "DevToolsActivePort"
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        if browser.poll() is not None:
            break
        lines = port_file.read_text().split("\n") if port_file.exists() else []
        if len(lines) >= 2 and lines[0].strip() and lines[1].strip():
            return browser, f"ws://127.0.0.1:{lines[0].strip()}{lines[1].strip()}"
        time.sleep(0.1)
    browser.kill()
    browser.wait()
    log.close()
    tail = (Path(profile) / "chromium.log").read_text()[-2000:]
    sys.exit(f"check_docs: Chromium did not start its DevTools endpoint:\n{tail}")


def errors_of(events: list, page: str) -> list:
    """What the page logged as an error, in words."""
    found = []
    for event in events:
        method, params = event["method"], event.get("params", {})
        if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            text = " ".join(str(arg.get("value", arg.get("description", ""))) for arg in params.get("args", []))
            found.append(f"console {params['type']}: {text}")
        elif method == "Runtime.exceptionThrown":
            details = params.get("exceptionDetails", {})
            text = details.get("exception", {}).get("description") or details.get("text")
            found.append(f"uncaught exception: {text}")
        elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
            entry = params["entry"]
            found.append(f"{entry.get('source')} error: {entry.get('text')} {entry.get('url', '')}".rstrip())
        elif method == "Network.loadingFailed" and not params.get("canceled"):
            found.append(f"load failed: {params.get('errorText')} ({params.get('type')})")
        elif method == "Network.responseReceived" and params.get("response", {}).get("status", 200) >= 400:
            response = params["response"]
            found.append(f"HTTP {response['status']} for {response.get('url')}")
    return found


IMAGES = """(async () => {
  await document.fonts.ready;
  await Promise.all([...document.images].map(img => img.complete ? null :
      new Promise(done => { img.addEventListener('load', done); img.addEventListener('error', done); })));
  return [...document.images].map(img => ({src: img.currentSrc || img.src, width: img.naturalWidth,
                                           height: img.naturalHeight, shown: img.getBoundingClientRect().width}));
})()"""

SIZE = "JSON.stringify([document.documentElement.scrollWidth, document.documentElement.scrollHeight])"


def check_page(tools: DevTools, base: str, page: str, wanted: tuple, shots: Path, problems: Problems) -> str:
    tools.events.clear()
    tools.call(
        "Emulation.setDeviceMetricsOverride",
        {"width": WIDTH, "height": HEIGHT, "deviceScaleFactor": 1, "mobile": False},
    )
    tools.call("Page.navigate", {"url": base + page})
    tools.wait_for("Page.loadEventFired")
    # The whole page in the viewport, so that lazy content loads and the screenshot holds it all.
    width, height = json.loads(tools.evaluate(SIZE))
    height = min(max(height, HEIGHT), MAX_HEIGHT)
    tools.call(
        "Emulation.setDeviceMetricsOverride",
        {"width": WIDTH, "height": height, "deviceScaleFactor": 1, "mobile": False},
    )
    images = tools.evaluate(IMAGES)
    title = tools.evaluate("document.title")
    heading = tools.evaluate("(document.querySelector('h1') || {}).textContent || ''")
    time.sleep(0.3)  # a last moment for late console messages
    tools.call("Runtime.evaluate", {"expression": "0"})  # collects the events that arrived meanwhile
    shot = tools.call("Page.captureScreenshot", {"format": "png"})
    path = shots / (Path(page).stem + ".png")
    path.write_bytes(base64.b64decode(shot["data"]))

    if not heading.strip():
        problems.add(page, f"no heading (title {title!r}); is this the built page?")
    for image in images:
        if image["width"] <= 0:
            problems.add(page, f"image not loaded: {image['src']}")
        elif image["shown"] <= 0:
            problems.add(page, f"image not shown: {image['src']}")
    for name in wanted:
        if not any(image["src"].split("?")[0].endswith("/" + name) and image["width"] > 0 for image in images):
            problems.add(page, f"{name} missing or not loaded")
    for error in errors_of(tools.events, page):
        if not error.endswith("/favicon.ico"):  # the browser asks for one; the site has none
            problems.add(page, error)
    loaded = ", ".join(f"{Path(i['src']).name} {i['width']}x{i['height']}" for i in images if i["width"] > 0)
    return f"{page}: {heading.strip().rstrip('¶')!r}, images loaded: {loaded or 'none'}; screenshot {path}"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--site", default=str(ROOT / "build" / "docs"), help="the built site (default build/docs)")
    parser.add_argument(
        "--screenshots",
        default=str(ROOT / "build" / "docs-screenshots"),
        help="where the screenshots go (default build/docs-screenshots)",
    )
    parser.add_argument(
        "pages",
        nargs="*",
        metavar="PAGE",
        help="pages to check instead of the home page and the modes page, e.g. api.html",
    )
    args = parser.parse_args(argv)
    pages = tuple((page, ()) for page in args.pages) or PAGES
    site, shots = Path(args.site), Path(args.screenshots)
    if not (site / "index.html").is_file():
        sys.exit(f"check_docs: no {site / 'index.html'}; build the site first (bash scripts/docs.sh)")
    shots.mkdir(parents=True, exist_ok=True)
    chromium = find_chromium()
    version = subprocess.run([chromium, "--version"], capture_output=True, text=True, timeout=TIMEOUT).stdout.strip()
    print(f"check_docs: {version or chromium}", flush=True)

    server = serve(site)
    base = f"http://127.0.0.1:{server.server_address[1]}/"
    problems = Problems()
    with tempfile.TemporaryDirectory(prefix="zarvel-chromium-") as profile:
        browser, url = launch(chromium, profile)
        try:
            tools = DevTools(url)
            target = tools.call("Target.createTarget", {"url": "about:blank"})["targetId"]
            tools.session = tools.call("Target.attachToTarget", {"targetId": target, "flatten": True}, browser=True)[
                "sessionId"
            ]
            for domain in ("Page", "Runtime", "Log", "Network"):
                tools.call(f"{domain}.enable")
            for page, wanted in pages:
                print("check_docs:", check_page(tools, base, page, wanted, shots, problems), flush=True)
            try:
                tools.call("Browser.close", browser=True)
            except Exception:  # the browser may close the connection before it answers
                pass
        finally:
            try:
                browser.wait(timeout=10)
            except subprocess.TimeoutExpired:
                browser.kill()
                browser.wait()
            server.shutdown()
    problems.extend(f"server: {error}" for error in QuietHandler.errors if not error.endswith("/favicon.ico"))
    for problem in problems:
        print(f"check_docs: FAILED {problem}", file=sys.stderr)
    if not problems:
        print(f"check_docs: {len(pages)} pages rendered, every image loaded, no console errors")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
