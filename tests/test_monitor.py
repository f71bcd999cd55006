"""kelvane monitor in a real browser (headless Chromium through Selenium): the live page waits for
frames, follows a growing file and flags a noisy ancilla on a lattice coloured by its distance from
the model, the server listens on loopback only and answers only its own page's websocket, and the
report file renders with the network off (ancillas ranked with each one's rounds a click away,
the logical error rate, drift and rounds/s over time)."""

import http.client
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
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

import kelvane
from kelvane.cli import main
from kelvane.kvlx import KvlxWriter
from kelvane.monitor import StreamMonitor, _loopback_hosts, embed_json, make_app, page_html, same_origin

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
        const plot = id => document.getElementById(id);
        const rows = sel => [...document.querySelectorAll(sel)].map(tr => [...tr.cells].map(td => td.innerText));
        return {frames: Number(document.body.dataset.frames || -1),
                state: document.getElementById('state').innerText,
                waiting: !document.getElementById('waiting').hidden,
                points: document.querySelectorAll('#lattice .point').length,
                colours: plot('lattice').data ? plot('lattice').data[0].marker.color : [],
                slots: plot('lattice').data ? plot('lattice').data[0].customdata : [],
                colour_title: plot('lattice').data ? plot('lattice').data[0].marker.colorbar.title.text : '',
                ancillas: rows('#ancillas tr.ancilla'),
                worst: document.querySelector('#ancillas tbody').innerText,
                far: rows('#ancillas tr.ancilla.far'),
                detail: rows('#ancillas tr.detail table.rounds tr').slice(1),
                ler_traces: plot('ler_plot').data ? plot('ler_plot').data.map(t => t.x.length) : [],
                ler_axis: plot('ler_plot').layout ? plot('ler_plot').layout.xaxis.title.text : '',
                drift_axis: plot('drift').layout ? plot('drift').layout.xaxis.title.text : '',
                throughput: plot('throughput').data ? plot('throughput').data[0].x.length : 0,
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
        writer = KvlxWriter(f)  # the file header only, for now
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
            waiting = wait_for(browser, lambda p: p["frames"] == 0)
            assert waiting["waiting"] and waiting["state"] == "(waiting for frames)"
            writer.write_shots(dets[:200], obs[:200], layout=layout)
            first = wait_for(browser, lambda p: p["frames"] == 200 * rounds and p["points"] == slots)
            assert not first["waiting"] and first["state"] == "(live)"
            writer.write_shots(dets[200:], obs[200:], layout=layout)
            last = wait_for(browser, lambda p: p["frames"] == 3000 * rounds)
            # A click on the flagged ancilla's place on the lattice opens its rounds in the table.
            slot = int(last["far"][0][0])
            point = browser.find_elements(By.CSS_SELECTOR, "#lattice .point")[last["slots"].index(slot)]
            ActionChains(browser).move_to_element(point).click().perform()
            detail = wait_for(browser, lambda p: len(p["detail"]) == (layout[:, slot] >= 0).sum())["detail"]
            assert [int(row[0]) for row in detail] == list(np.flatnonzero(layout[:, slot] >= 0))
            png = browser.get_screenshot_as_png()
        finally:
            proc.terminate()
            proc.wait(10)
    assert last["points"] == slots and last["worst"] != first["worst"]
    # Only the misreading ancilla is flagged, far above its expected rate, and ranked first.
    assert last["flagged"] == 1 and len(last["far"]) == 1 and last["ancillas"][0] == last["far"][0]
    slot, x, y, _, expected, observed, sigma, _ = last["far"][0]
    assert (float(x), float(y)) == NOISY_ANCILLA and float(sigma) > 5 and float(observed) > float(expected)
    # The lattice is coloured by that distance (a rate would lie in [0, 1]): the noisy ancilla
    # stands out, the others lie within the threshold.
    colours = dict(zip(last["slots"], last["colours"]))
    assert "σ" in last["colour_title"] and colours.pop(int(slot)) == pytest.approx(float(sigma), abs=0.01)
    assert max(abs(c) for c in colours.values()) < 5
    # Every shot is scored, except any the reader met half-written (counted as cut short, once at
    # the end of the data and once more when the rest of the shot arrives).
    scored = int(last["ler"].split(" / ")[1].split(";")[0].replace(",", ""))
    assert "Wilson" in last["ler"] and 3000 - last["incomplete"] <= scored <= 3000
    image = np.asarray(Image.open(io.BytesIO(png)).convert("RGB"))
    assert (image < 250).any(axis=2).mean() > 0.05 and len(np.unique(image.reshape(-1, 3), axis=0)) > 50


def test_report_renders_offline(experiment, browser, tmp_path):
    tmp, dem, layout, dets, obs, _ = experiment
    # A file that carries its model and layout, under a name that would end the page's script
    # element if the JSON embedded in it kept its "<".
    source = tmp_path / "run<!--<script>.kvlx"
    with KvlxWriter(source) as writer:
        writer.write_shots(dets, obs, layout=layout, dem=dem)
    out = tmp_path / "run.html"
    assert main(["monitor", str(source), "--report", str(out), "--commit", "2", "--buffer", "2"]) == 0
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
        assert browser.find_element(By.ID, "source").text.startswith(str(source) + " ·")
        # The per-round detail of the worst ancilla, one click away: each of its rounds, its
        # detector and that detector's distance from the model as detector_report finds it.
        browser.find_element(By.CSS_SELECTOR, "#ancillas tr.ancilla").click()
        slot = int(shown["ancillas"][0][0])
        column = layout[:, slot]
        detail = wait_for(browser, lambda p: len(p["detail"]) == (column >= 0).sum())["detail"]
        report = kelvane.detector_report(dets, dem)
        for r, detector, _, observed, sigma in detail:
            assert int(detector[1:]) == column[int(r)]
            assert float(sigma) == pytest.approx(report.sigma[column[int(r)]], abs=0.01)
            assert float(observed) == pytest.approx(report.observed[column[int(r)]], abs=1e-5)
        png = browser.get_screenshot_as_png()
        # One round at a time: round 0 of a Z memory has only the Z ancillas' detectors.
        Select(browser.find_element(By.ID, "round")).select_by_value("0")
        wait_for(browser, lambda p: p["points"] == (layout[0] >= 0).sum() < layout.shape[1])
    finally:
        browser.execute_cdp_cmd("Network.emulateNetworkConditions",
                                {"offline": False, "latency": 0, "downloadThroughput": -1, "uploadThroughput": -1})
    assert shown["frames"] == 3000 * layout.shape[0] and shown["far"] and not shown["waiting"]
    assert f"({errors} / 3,000;" in shown["ler"]
    assert "backlog 0 rounds" in shown["decoder"] and "commit step median" in shown["decoder"]
    # Over time: the windowed and cumulative logical error rates with their band, the drift, and
    # rounds/s as a curve (the reader's own samples, not one point per snapshot).
    assert len(shown["ler_traces"]) == 3 and min(shown["ler_traces"]) > 1
    assert shown["ler_axis"].startswith("time read") and shown["drift_axis"].startswith("time read")
    assert shown["throughput"] > 1
    if os.environ.get("KELVANE_MONITOR_SCREENSHOT"):
        with open(os.environ["KELVANE_MONITOR_SCREENSHOT"], "wb") as f:
            f.write(png)


def test_the_recent_view_forgets_a_repaired_ancilla(experiment, tmp_path):
    tmp, dem, layout, dets, obs, clean = experiment
    repaired = clean.compile_detector_sampler(seed=6).sample(2000)
    with KvlxWriter(tmp_path / "run.kvlx") as writer:
        writer.write_shots(np.concatenate([dets, repaired]), layout=layout)
    monitor = StreamMonitor(str(tmp_path / "run.kvlx"), dem, layout, recent_shots=500)
    monitor.run(follow=False)
    snap = monitor.snapshot()
    whole, recent = snap["whole"], snap["recent"]
    assert (whole["ancillas"][0]["x"], whole["ancillas"][0]["y"]) == NOISY_ANCILLA and whole["ancillas"][0]["sigma"] > 5
    # Blocks of 4096 frames (1024 shots) leave the view whole: it keeps 500 to 1524 shots.
    assert 500 <= recent["shots"] < 1524 and max(abs(w["sigma"]) for w in recent["ancillas"]) < 5
    assert snap["frames"] == 5000 * layout.shape[0] and snap["ler"] is None  # no truth written


def test_a_second_bad_ancilla_is_ranked_behind_a_worse_one(tmp_path):
    # 15 rounds; the ancilla at (2, 2) misreads 20% of the time, the one at (6, 2) 3%: every
    # round of the first is further from the model than any of the second, yet both are listed.
    line = "X_ERROR(0.01) 2 9 11 13 14 16 18 25"
    clean = stim.Circuit.generated("surface_code:rotated_memory_z", distance=3, rounds=15,
                                   after_clifford_depolarization=0.01, before_measure_flip_probability=0.01)
    device = stim.Circuit(str(clean).replace(line, line + "\nX_ERROR(0.2) 9\nX_ERROR(0.03) 13"))
    dem = clean.detector_error_model(decompose_errors=True)
    kelvane.write_stim_experiment(device, 2000, tmp_path / "run.kvlx", seed=3)
    monitor = StreamMonitor(str(tmp_path / "run.kvlx"), dem)
    monitor.run(follow=False)
    ranked = monitor.snapshot()["whole"]["ancillas"]
    assert [(a["x"], a["y"]) for a in ranked[:2]] == [(2, 2), (6, 2)] and len(ranked) == 8
    assert ranked[1]["sigma"] > 10 > 5 > abs(ranked[2]["sigma"]) and ranked[1]["rounds"] == 16
    assert abs(ranked[1]["worst_sigma"]) == max(abs(s[ranked[1]["slot"]]) for s in monitor.snapshot()["whole"]["sigma"]
                                                if s[ranked[1]["slot"]] is not None)


@pytest.mark.parametrize("stamped", [True, False])
def test_series_over_time_and_the_windowed_logical_error_rate(stamped, tmp_path):
    # 10 blocks of 200 shots, the blocks 1 s apart by the frames' timestamps (or all stamped 0);
    # the truth of the first half is flipped, so the decoder is wrong there almost every time.
    circuit = stim.Circuit.generated("surface_code:rotated_memory_z", distance=3, rounds=3,
                                     after_clifford_depolarization=0.001, before_measure_flip_probability=0.001)
    dem = circuit.detector_error_model(decompose_errors=True)
    layout = kelvane.layout_from_stim(dem)
    dets, obs = circuit.compile_detector_sampler(seed=8).sample(2000, separate_observables=True)
    obs[:1000] ^= True
    with KvlxWriter(tmp_path / "run.kvlx") as writer:
        for block in range(10):
            part = slice(200 * block, 200 * (block + 1))
            writer.write_shots(dets[part], obs[part], layout=layout, timestamp_ns=10**9 * block * stamped)
    monitor = StreamMonitor(str(tmp_path / "run.kvlx"), dem, layout, recent_shots=400)
    monitor.run(follow=False)
    snap = monitor.snapshot()
    series = snap["ler"]["series"]
    assert snap["clock"] == ("stamp" if stamped else "read") and series["window_shots"] == 400
    if stamped:  # acquisition seconds since the first frame
        assert snap["drift"]["t"][0] == 0 and snap["drift"]["t"][-1] == series["t"][-1] == 9
    assert all(a <= b for a, b in zip(series["t"], series["t"][1:]))
    # The window forgets the first half; the cumulative rate does not.
    assert series["rate"][4] > 0.9 and series["rate"][-1] < 0.05 and 0.45 < series["cumulative"][-1] < 0.55
    assert all(lo <= r <= hi for lo, r, hi in zip(series["low"], series["rate"], series["high"]))
    assert snap["ler"]["errors"] == round(series["cumulative"][-1] * 2000)


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


@pytest.mark.parametrize("listen, answers", [
    ("127.0.0.1", ["127.0.0.1", "[::1]", "localhost"]), ("localhost", ["127.0.0.1", "[::1]", "localhost"]),
    ("::1", ["127.0.0.1", "[::1]", "localhost"]), ("127.0.0.2", ["127.0.0.1", "127.0.0.2", "[::1]", "localhost"]),
    ("0.0.0.0", None), ("192.168.1.5", None), ("monitor.lab.example", None),
])
def test_a_loopback_server_answers_loopback_names(listen, answers):
    assert _loopback_hosts(listen) == (None if answers is None else sorted(answers))


def test_websocket_refuses_another_origin(experiment, tmp_path):
    import uvicorn
    from websockets.exceptions import InvalidStatus
    from websockets.sync.client import connect

    tmp, dem, layout, dets, obs, _ = experiment
    with KvlxWriter(tmp_path / "run.kvlx") as writer:
        writer.write_shots(dets[:100], obs[:100], layout=layout)
    app = make_app(StreamMonitor(str(tmp_path / "run.kvlx"), dem, layout), interval=0.05, follow=False,
                   hosts=_loopback_hosts("127.0.0.1"))
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
        # A site made to resolve to this machine (DNS rebinding) is its own page's origin: the
        # server listening on loopback answers loopback names only, the page and the websocket.
        for host, status in [(f"127.0.0.1:{port}", 200), (f"localhost:{port}", 200), (f"evil.example:{port}", 400)]:
            for path, headers, ok in [("/snapshot", {}, 200), ("/ws", {"Upgrade": "websocket", "Connection": "Upgrade",
                                       "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ==", "Sec-WebSocket-Version": "13",
                                       "Origin": f"http://{host}"}, 101)]:
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
                conn.request("GET", path, headers={"Host": host, **headers})
                assert conn.getresponse().status == (ok if status == 200 else 400), (host, path)
                conn.close()
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
