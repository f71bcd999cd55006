"""kelvane monitor in a real browser (headless Chromium through Selenium): the live page follows a
growing file and flags a noisy ancilla, the server listens on loopback only and answers only its
own page's websocket, and the report file renders with the network off."""

import io
import json
import os
import shutil
import subprocess
import sys
import threading
import time
from urllib.parse import urlparse

import numpy as np
import pytest
import stim
from PIL import Image
from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

import kelvane
from kelvane.cli import main
from kelvane.kvlx import KvlxWriter
from kelvane.monitor import StreamMonitor, embed_json, make_app, page_html, same_origin

NOISY_ANCILLA = (2.0, 2.0)  # qubit 9 of Stim's d=3 rotated surface code


@pytest.fixture(scope="module")
def experiment(tmp_path_factory):
    """Shots from a device whose ancilla at (2, 2) misreads 20% of the time, and the model of the
    device as designed (1% everywhere), with its layout."""
    tmp = tmp_path_factory.mktemp("monitor")
    clean = stim.Circuit.generated("surface_code:rotated_memory_z", distance=3, rounds=3,
                                   after_clifford_depolarization=0.01, before_measure_flip_probability=0.01)
    line = "X_ERROR(0.01) 2 9 11 13 14 16 18 25"
    assert line in str(clean)
    device = stim.Circuit(str(clean).replace(line, line + "\nX_ERROR(0.2) 9"))
    dem = clean.detector_error_model(decompose_errors=True)
    dets, obs = device.compile_detector_sampler(seed=5).sample(3000, separate_observables=True)
    dem.to_file(str(tmp / "model.dem"))
    layout = kelvane.layout_from_stim(dem)
    np.save(tmp / "layout.npy", layout)
    return tmp, dem, layout, dets, obs, clean


@pytest.fixture(scope="module")
def browser():
    options = Options()
    options.binary_location = shutil.which("chromium")
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1200,900"):
        options.add_argument(arg)
    driver = webdriver.Chrome(options=options, service=Service(shutil.which("chromedriver")))
    yield driver
    driver.quit()


def listening_addresses(port):
    """The local addresses of the sockets listening on `port` (from /proc/net/tcp and tcp6)."""
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for row in f.readlines()[1:]:
                local, state = row.split()[1], row.split()[3]
                address, hex_port = local.split(":")
                if state == "0A" and int(hex_port, 16) == port:
                    found.append(address)
    return found


def page(driver):
    return driver.execute_script("""
        return {frames: Number(document.body.dataset.frames || -1),
                points: document.querySelectorAll('#lattice .point').length,
                worst: document.querySelector('#worst tbody').innerText,
                far: [...document.querySelectorAll('#worst tr.far')].map(tr => [...tr.cells].map(td => td.innerText)),
                flagged: Number(document.getElementById('flagged').textContent),
                ler: document.getElementById('ler').innerText,
                decoder: document.getElementById('decoder').innerText,
                incomplete: Number(document.getElementById('incomplete').innerText.replace(/,/g, ''))};""")


def wait_for(driver, condition, timeout=30):
    return WebDriverWait(driver, timeout, poll_frequency=0.05).until(lambda d: condition(page(d)) and page(d))


def test_live_page_follows_a_growing_file(experiment, browser, tmp_path):
    tmp, dem, layout, dets, obs, _ = experiment
    rounds, slots = layout.shape
    path = tmp_path / "run.kvlx"
    with open(path, "wb", buffering=0) as f:
        writer = KvlxWriter(f)
        writer.write_shots(dets[:200], obs[:200], layout=layout)
        proc = subprocess.Popen(
            [sys.executable, "-m", "kelvane", "monitor", str(path), "--dem", str(tmp / "model.dem"),
             "--layout", str(tmp / "layout.npy"), "--port", "0", "--interval", "0.5"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        try:
            url = next(line for line in proc.stdout if "http://" in line).split()[-3]
            port = urlparse(url).port
            assert urlparse(url).hostname == "127.0.0.1"
            assert listening_addresses(port) == ["0100007F"]  # 127.0.0.1 only, no IPv6 or wildcard

            browser.get(url)
            first = wait_for(browser, lambda p: p["frames"] == 200 * rounds and p["points"] == slots)
            writer.write_shots(dets[200:], obs[200:], layout=layout)
            last = wait_for(browser, lambda p: p["frames"] == 3000 * rounds)
            png = browser.get_screenshot_as_png()
        finally:
            proc.terminate()
            proc.wait(10)
    assert last["points"] == slots and last["worst"] != first["worst"]
    # Only the detectors of the misreading ancilla are flagged, each far above its expected rate.
    assert last["flagged"] >= 1 and last["far"]
    for detector, _, x, y, expected, observed, sigma in last["far"]:
        assert (float(x), float(y)) == NOISY_ANCILLA and float(sigma) > 5 and float(observed) > float(expected)
    # Every shot is scored, except any the reader met half-written (counted as cut short, once at
    # the end of the data and once more when the rest of the shot arrives).
    scored = int(last["ler"].split(" / ")[1].split(";")[0].replace(",", ""))
    assert "Wilson" in last["ler"] and 3000 - last["incomplete"] <= scored <= 3000
    image = np.asarray(Image.open(io.BytesIO(png)).convert("RGB"))
    assert (image < 250).any(axis=2).mean() > 0.05 and len(np.unique(image.reshape(-1, 3), axis=0)) > 50


def test_report_renders_offline(experiment, browser, tmp_path):
    tmp, dem, layout, dets, obs, _ = experiment
    with KvlxWriter(tmp_path / "run.kvlx") as writer:  # a file that carries its model and layout
        writer.write_shots(dets, obs, layout=layout, dem=dem)
    out = tmp_path / "run.html"
    assert main(["monitor", str(tmp_path / "run.kvlx"), "--report", str(out), "--commit", "2", "--buffer", "2"]) == 0
    html = out.read_text()
    assert "<script src=" not in html and "<link" not in html
    graph = kelvane.SpacetimeGraph.from_detector_error_model(dem)
    errors = int((graph.decode_sliding(dets, commit=2, buffer=2) != obs).any(axis=1).sum())

    browser.execute_cdp_cmd("Network.enable", {})
    browser.execute_cdp_cmd("Network.emulateNetworkConditions",
                            {"offline": True, "latency": 0, "downloadThroughput": -1, "uploadThroughput": -1})
    try:
        browser.get(out.as_uri())
        shown = wait_for(browser, lambda p: p["points"] == layout.shape[1])
        # One round at a time: round 0 of a Z memory has only the Z ancillas' detectors.
        Select(browser.find_element(By.ID, "round")).select_by_value("0")
        wait_for(browser, lambda p: p["points"] == (layout[0] >= 0).sum() < layout.shape[1])
    finally:
        browser.execute_cdp_cmd("Network.emulateNetworkConditions",
                                {"offline": False, "latency": 0, "downloadThroughput": -1, "uploadThroughput": -1})
    assert shown["frames"] == 3000 * layout.shape[0] and shown["far"]
    assert f"({errors} / 3,000;" in shown["ler"]
    assert "backlog 0 rounds" in shown["decoder"] and "commit step median" in shown["decoder"]


def test_the_recent_view_forgets_a_repaired_ancilla(experiment, tmp_path):
    tmp, dem, layout, dets, obs, clean = experiment
    repaired = clean.compile_detector_sampler(seed=6).sample(2000)
    with KvlxWriter(tmp_path / "run.kvlx") as writer:
        writer.write_shots(np.concatenate([dets, repaired]), layout=layout)
    monitor = StreamMonitor(str(tmp_path / "run.kvlx"), dem, layout, recent_shots=500)
    monitor.run(follow=False)
    snap = monitor.snapshot()
    whole, recent = snap["whole"], snap["recent"]
    assert (whole["worst"][0]["x"], whole["worst"][0]["y"]) == NOISY_ANCILLA and whole["worst"][0]["sigma"] > 5
    # Blocks of 4096 frames (1024 shots) leave the view whole: it keeps 500 to 1524 shots.
    assert 500 <= recent["shots"] < 1524 and max(abs(w["sigma"]) for w in recent["worst"]) < 5
    assert snap["frames"] == 5000 * layout.shape[0] and snap["ler"] is None  # no truth written


@pytest.mark.parametrize("origin, host, allowed", [
    (None, "127.0.0.1:8765", True),                       # not a browser: no Origin at all
    ("http://127.0.0.1:8765", "127.0.0.1:8765", True),    # the page's own host
    ("HTTP://LOCALHOST:8765", "localhost:8765", True),
    ("http://example.org", "example.org:80", True),       # the scheme's port, written or not
    ("http://evil.example", "127.0.0.1:8765", False),     # another site open in the browser
    ("http://127.0.0.1:8766", "127.0.0.1:8765", False),   # another port on the same machine
    ("http://localhost:8765", "127.0.0.1:8765", False),   # another name is another origin
    ("http://127.0.0.1:8765.evil.example", "127.0.0.1:8765", False),
    ("http://user@127.0.0.1:8765", "127.0.0.1:8765", False),
    ("null", "127.0.0.1:8765", False),                    # an opaque origin (a file, a sandbox)
    ("file://", "127.0.0.1:8765", False),
    ("http://127.0.0.1:8765", None, False),
])
def test_websocket_origin_rule(origin, host, allowed):
    assert same_origin(origin, host) is allowed


def test_websocket_refuses_another_origin(experiment, tmp_path):
    import uvicorn
    from websockets.exceptions import InvalidStatus
    from websockets.sync.client import connect

    tmp, dem, layout, dets, obs, _ = experiment
    with KvlxWriter(tmp_path / "run.kvlx") as writer:
        writer.write_shots(dets[:100], obs[:100], layout=layout)
    app = make_app(StreamMonitor(str(tmp_path / "run.kvlx"), dem, layout), interval=0.05, follow=False)
    server = uvicorn.Server(uvicorn.Config(app, host="127.0.0.1", port=0, log_level="error", lifespan="on"))
    thread = threading.Thread(target=server.run, daemon=True)
    thread.start()
    try:
        while not server.started:
            time.sleep(0.02)
        port = server.servers[0].sockets[0].getsockname()[1]
        for origin, allowed in [(None, True), (f"http://127.0.0.1:{port}", True), ("http://evil.example", False),
                                (f"http://127.0.0.1:{port + 1}", False), ("null", False)]:
            try:
                with connect(f"ws://127.0.0.1:{port}/ws", origin=origin, proxy=None, open_timeout=5) as ws:
                    ws.send("next")
                    assert json.loads(ws.recv(timeout=5))["source"] == str(tmp_path / "run.kvlx") and allowed, origin
            except InvalidStatus as e:
                assert e.response.status_code == 403 and not allowed, origin
    finally:
        server.should_exit = True
        thread.join(10)


@pytest.mark.parametrize("text", ["</script><script>alert(1)</script>", "<!--<script>", "a<b<<c", "<\u2028>"])
def test_embedded_json_has_no_less_than(text):
    data = embed_json({"source": text, "n": [1, None]})
    assert "<" not in data and json.loads(data) == {"source": text, "n": [1, None]}
    html = page_html({"source": text})
    script = html.split("const embedded = ")[1].split(";\n")[0]
    assert json.loads(script) == {"source": text}
