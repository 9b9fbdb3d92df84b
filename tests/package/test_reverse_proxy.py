"""The README's nginx configuration ("Scaling out"): WebSocket upgrades are routed by the customer
id in the request URI ("/agt?" or "/mob?" then eight characters) to the instance serving it."""
import asyncio
import contextlib
import re
import shutil
import socket
import subprocess
import time

import pytest
import websockets

from conftest import SOURCE_DIR


def readme_routing(ports):
    """The README's nginx block (the indented lines after "With nginx:"), on this run's ports."""
    with open(f"{SOURCE_DIR}/README.md") as readme:
        text = readme.read()
    block = re.search(r"With nginx:\n\n((?:    .*\n|\n(?=    ))+)", text).group(1)
    return (block.replace("127.0.0.1:8081", f"127.0.0.1:{ports['a']}")
            .replace("127.0.0.1:8082", f"127.0.0.1:{ports['b']}")
            .replace("listen 80;", f"listen 127.0.0.1:{ports['proxy']};"))


MAIN = """
daemon off;
worker_processes 1;
pid %(dir)s/nginx.pid;
error_log %(dir)s/error.log;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path %(dir)s/body;
    proxy_temp_path %(dir)s/proxy;
    fastcgi_temp_path %(dir)s/fastcgi;
    uwsgi_temp_path %(dir)s/uwsgi;
    scgi_temp_path %(dir)s/scgi;
%(routing)s
}
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_port(port, process):
    for _ in range(100):
        with contextlib.suppress(OSError):
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return True
        if process.poll() is not None:
            return False
        time.sleep(0.05)
    return False


@pytest.fixture
def proxy(tmp_path):
    nginx = shutil.which("nginx") or shutil.which("/usr/sbin/nginx")
    if nginx is None:
        pytest.skip("nginx is not installed (scripts/setup.sh installs nginx-light)")
    ports = {"a": free_port(), "b": free_port(), "proxy": free_port()}
    config = tmp_path / "nginx.conf"
    config.write_text(MAIN % {"dir": tmp_path, "routing": readme_routing(ports)})
    process = subprocess.Popen([nginx, "-p", str(tmp_path), "-c", str(config)],
                               stderr=subprocess.PIPE)
    try:
        if not wait_for_port(ports["proxy"], process):
            process.kill()
            pytest.skip("nginx cannot run here: " + process.communicate()[1].decode(errors="replace"))
        yield ports
    finally:
        process.terminate()
        process.wait(timeout=10)


async def routed_instances(ports, paths):
    # Each backend answers a connection's first message with its own name and the path it saw.
    def backend(name):
        async def answer(ws, path):
            await ws.recv()
            await ws.send(f"{name} {path}")
        return answer

    async with websockets.serve(backend("a"), "127.0.0.1", ports["a"]), \
            websockets.serve(backend("b"), "127.0.0.1", ports["b"]):
        answers = []
        for path in paths:
            async with websockets.connect(f"ws://127.0.0.1:{ports['proxy']}{path}") as ws:
                await ws.send("hello")
                answers.append(await asyncio.wait_for(ws.recv(), 10))
        return answers


def test_each_customer_reaches_its_instance(proxy):
    paths = ["/agt?01000001 secret__________", "/mob?02000001 secret__________",
             "/mob?01000001 secret__________", "/agt?02000001 x", "/mob?09999999 x"]
    quoted = [p.replace(" ", "%20") for p in paths]
    answers = asyncio.run(routed_instances(proxy, quoted))
    assert [a.split()[0] for a in answers] == ["a", "b", "a", "b", "a"]
    # The URI reaches the instance unchanged: it reads the fields at fixed positions.
    assert [a.split(" ", 1)[1] for a in answers] == quoted
