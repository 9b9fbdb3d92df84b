"""Headless Chromium driven over the DevTools protocol: loads a page as a user's browser would and
reports its text, what the browser complained about, and a screenshot."""
import asyncio
import base64
import itertools
import json
import os
import re
import shutil
import subprocess

import websockets

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


class Connection:
    """The browser's DevTools socket: commands with their replies, and the events it sent."""
    def __init__(self, ws):
        self.ws = ws
        self.ids = itertools.count(1)
        self.replies = {}
        self.events = []
        self.loaded = asyncio.Event()
        self.reader = asyncio.create_task(self._read())

    async def _read(self):
        async for raw in self.ws:
            message = json.loads(raw)
            if "id" in message:
                self.replies.pop(message["id"]).set_result(message)
            else:
                self.events.append(message)
                if message.get("method") == "Page.loadEventFired":
                    self.loaded.set()

    async def call(self, method, session=None, **params):
        ident = next(self.ids)
        reply = self.replies[ident] = asyncio.get_running_loop().create_future()
        request = {"id": ident, "method": method, "params": params}
        if session:
            request["sessionId"] = session
        await self.ws.send(json.dumps(request))
        reply = await asyncio.wait_for(reply, 30)
        if "error" in reply:
            raise RuntimeError(f"{method}: {reply['error']}")
        return reply["result"]


class Page:
    def __init__(self, connection, session):
        self.connection, self.session = connection, session

    async def call(self, method, **params):
        return await self.connection.call(method, self.session, **params)

    def complaints(self):
        """The console errors, uncaught exceptions and failed loads the page caused."""
        found = []
        for e in self.connection.events:
            method, params = e.get("method"), e.get("params", {})
            if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                found.append(f"console.{params['type']}: {params.get('args')}")
            elif method == "Runtime.exceptionThrown":
                found.append(f"exception: {params.get('exceptionDetails')}")
            elif method == "Log.entryAdded" and params.get("entry", {}).get("level") == "error":
                found.append(f"log: {params['entry'].get('text')} {params['entry'].get('url', '')}")
        return found

    async def text(self, selector):
        result = await self.call("Runtime.evaluate", returnByValue=True,
                                 expression=f"(document.querySelector({json.dumps(selector)}) || {{}}).innerText || null")
        return result["result"].get("value")

    async def count(self, selector):
        result = await self.call("Runtime.evaluate", returnByValue=True,
                                 expression=f"document.querySelectorAll({json.dumps(selector)}).length")
        return result["result"]["value"]

    async def screenshot(self, path):
        shot = await self.call("Page.captureScreenshot", format="png", captureBeyondViewport=True)
        path.write_bytes(base64.b64decode(shot["data"]))


async def visit(url, profile_dir, check):
    """Opens `url` in a fresh headless Chromium and awaits `check(page)` once it has loaded."""
    command = [CHROMIUM, "--headless=new", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
               "--window-size=1280,1000",
               "--remote-debugging-port=0", f"--user-data-dir={profile_dir}", "about:blank"]
    if os.geteuid() == 0:
        command.insert(1, "--no-sandbox")  # the sandbox refuses to run as root
    browser = await asyncio.create_subprocess_exec(*command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        endpoint = await asyncio.wait_for(_devtools_endpoint(browser), 30)
        async with websockets.connect(endpoint, max_size=64 * 1024 * 1024) as ws:
            connection = Connection(ws)
            target = await connection.call("Target.createTarget", url="about:blank")
            attached = await connection.call("Target.attachToTarget", targetId=target["targetId"], flatten=True)
            page = Page(connection, attached["sessionId"])
            for domain in ("Page", "Runtime", "Log"):
                await page.call(f"{domain}.enable")
            connection.loaded.clear()
            await page.call("Page.navigate", url=url)
            await asyncio.wait_for(connection.loaded.wait(), 30)
            return await check(page)
    finally:
        browser.kill()
        await browser.wait()


async def _devtools_endpoint(browser):
    while line := await browser.stderr.readline():
        if match := re.search(rb"DevTools listening on (ws://\S+)", line):
            asyncio.create_task(_drain(browser.stderr))
            return match.group(1).decode()
    raise RuntimeError("Chromium ended before it opened its DevTools endpoint")


async def _drain(stream):
    while await stream.readline():
        pass
