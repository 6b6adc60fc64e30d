"""valdrix-web in a real browser: Debian's Chromium, headless, through
chromium-driver and Selenium, against valdrixd-sim.

VALDRIX_WEB_SHOTS names a directory to keep the pages' screenshots in.
"""

import json
import os
import shutil
import socket
import subprocess
import sys
import time
import urllib.request

import numpy as np
import pytest

from conftest import SLOW, TOOL_ENV, free_port, sim_executable
from test_web import WebServer

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.options import Options  # noqa: E402
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

from valdrix import Valdrix  # noqa: E402

CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
pytestmark = [pytest.mark.skipif(not os.path.exists(CHROMEDRIVER), reason="chromium-driver is not installed"),
              # The page tests the host's side: an emulated simulator adds only time.
              pytest.mark.skipif(SLOW, reason="the page is tested against a native simulator")]


@pytest.fixture(scope="module")
def browser():
    options = Options()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1100",
                "--disable-gpu"):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.set_page_load_timeout(30)
    yield driver
    driver.quit()


def shot(driver, name):
    where = os.environ.get("VALDRIX_WEB_SHOTS")
    if where:
        os.makedirs(where, exist_ok=True)
        driver.save_screenshot(os.path.join(where, name + ".png"))


def wait(driver, what, timeout=60):
    return WebDriverWait(driver, timeout, poll_frequency=0.1).until(lambda d: what(d))


def text(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def updates(driver):
    return int(text(driver, "rate").split()[0])


def capture_number(driver):
    info = text(driver, "capture-info")
    return int(info.split()[1].rstrip(":")) if info else -1


class Sim:
    """A simulator of the test's own, to be stopped and started again."""

    def __init__(self, port):
        self.port = port
        self.proc = None
        self.start()

    def start(self):
        self.proc = subprocess.Popen([sim_executable(), "--port", str(self.port), "--listen", "127.0.0.1"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("valdrixd-sim did not listen")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


def echo_of(port):
    """What a second client's own capture answers: the target echoes its
    input over SPI only while it is powered and clocked."""
    with Valdrix(port=port) as other:
        return other.capture(b"\x5a" * 4, rx_len=4, samples=1024, timeout=2).rx


def test_page_shows_live_frames_and_its_controls_reach_the_instrument(browser, sim_port, tmp_path):
    web = WebServer(sim_port, tmp_path)
    try:
        browser.get(web.url)
        wait(browser, lambda d: updates(d) > 0 and capture_number(d) > 0)
        first = capture_number(browser)
        wait(browser, lambda d: capture_number(d) > first + 10)
        assert text(browser, "state") == "running"
        assert text(browser, "control") == "you control the instrument"
        shot(browser, "scope")
        assert echo_of(sim_port) == b"\x5a" * 4
        # Switch the target's supply off in the page: another client's
        # capture then gets no answer from the target.
        power = browser.find_element(By.CSS_SELECTOR, "#settings input[name=power]")
        power.click()
        wait(browser, lambda d: "--no-power" in text(d, "command"))
        assert echo_of(sim_port) == b"\xff" * 4
        power.click()
        wait(browser, lambda d: "--no-power" not in text(d, "command"))
        assert echo_of(sim_port) == b"\x5a" * 4
        # A bad value gets a message in the page, and the scope goes on.
        level = browser.find_element(By.CSS_SELECTOR, "#settings input[name=trigger_level]")
        level.clear()
        level.send_keys("99999\t")
        wait(browser, lambda d: "trigger_level: 99999 is outside -32768 to 32767" in text(d, "messages"))
        now = capture_number(browser)
        wait(browser, lambda d: capture_number(d) > now + 5)
    finally:
        web.stop()


def test_page_campaign_t_trace_agrees_with_valdrix_analyze(browser, sim_port, tmp_path):
    web = WebServer(sim_port, tmp_path)
    try:
        browser.get(web.url)
        wait(browser, lambda d: capture_number(d) > 0)
        browser.find_element(By.CSS_SELECTOR, "button[data-tab=campaign]").click()
        form = {"count": "1000000", "seed": "99", "output": "fvr.trs"}
        for name, value in form.items():
            field = browser.find_element(By.CSS_SELECTOR, "#campaign-form [name=%s]" % name)
            field.clear()
            field.send_keys(value)
        for name in ("tvla", "stop_on_leak"):
            browser.find_element(By.CSS_SELECTOR, "#campaign-form [name=%s]" % name).click()
        browser.find_element(By.ID, "campaign-start").click()
        wait(browser, lambda d: "ended" in text(d, "campaign-text"), timeout=120)
        verdict = text(browser, "campaign-verdict")
        assert verdict.startswith("LEAKAGE CONFIRMED by both halves at ")
        assert "stopped: leakage confirmed by both halves" in text(browser, "campaign-text")
        shot(browser, "campaign")
        with urllib.request.urlopen(web.base + "/api/campaign/t") as r:
            live = json.load(r)
        # Stopped early, and every trace of the file was analysed.
        assert not live["running"] and live["analysed"] == live["traces"] < 1000000
        out = tmp_path / "fvr.json"
        env = TOOL_ENV
        done = subprocess.run([sys.executable, "-m", "valdrix.analyze", "tvla", str(tmp_path / "fvr.trs"), "--json",
                               str(out)], env=env, capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        assert "%d traces" % live["traces"] in done.stdout
        reference = np.array(json.loads(out.read_text())["t"])
        assert np.abs(np.array(live["t"]) - reference).max() <= 1e-6
    finally:
        web.stop()


def test_instrument_restart_shows_a_banner_and_recovers(browser, tmp_path):
    sim = Sim(free_port())
    web = WebServer(sim.port, tmp_path)
    try:
        browser.get(web.url)
        wait(browser, lambda d: capture_number(d) > 0)
        sim.stop()
        wait(browser, lambda d: d.find_element(By.ID, "banner").is_displayed())
        assert text(browser, "banner").startswith("instrument 127.0.0.1:%d unreachable (" % sim.port)
        assert text(browser, "banner").endswith("); reconnecting")
        shot(browser, "restart")
        sim.start()  # comes back unpowered, as a restarted instrument does
        wait(browser, lambda d: not d.find_element(By.ID, "banner").is_displayed())
        now = capture_number(browser)
        wait(browser, lambda d: capture_number(d) > now + 5)
        # The settings were applied again: the target is powered and answers.
        assert echo_of(sim.port) == b"\x5a" * 4
    finally:
        web.stop()
        sim.stop()
