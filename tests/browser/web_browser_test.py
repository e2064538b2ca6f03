#!/usr/bin/python3
"""One browser session through tarpon-web's page, against the real
tarpon-web, tarpons and emulated node on loopback, in headless Chromium:
a mismatch and a broken rule caught by the script as they are typed, the
show-password button, a wrong current password, a mismatch caught by the
server with scripts off (and no show-password button), a change made with
the keyboard alone (the database then holds the new password), the
well-known change-password address, no console error or CSP violation, no
axe-core WCAG 2.1 A/AA violation, and the page's picture.

Usage: web_browser_test.py BIN_DIR SOURCE_DIR WORK_DIR [SCREENSHOT]
Skips (exit 0) when Chromium is not installed. Run with /usr/bin/python3,
whose packages hold Debian's selenium."""

import os
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import time

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu",
                  "--disable-quic", "--no-first-run",
                  "--disable-background-networking",
                  "--disable-component-update", "--disable-sync",
                  "--ignore-certificate-errors", "--window-size=800,1000"]
WAIT = 15  # seconds, for every wait of the session


def free_port():
    """A free port below the range the system hands out to outgoing
    connections, so that none of them takes it before our server binds."""
    for _ in range(200):
        port = random.randint(20000, 32000)
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    raise RuntimeError("no free port")


def wait_for_port(port, seconds=10):
    deadline = time.time() + seconds
    while time.time() < deadline:
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    raise RuntimeError("nothing listens on port %d" % port)


def axe_script(work):
    """axe.min.js from the npm registry, installed once into the build."""
    path = os.path.join(work, "node_modules", "axe-core", "axe.min.js")
    if not os.path.exists(path):
        subprocess.run(["npm", "install", "--no-save", "--no-audit",
                        "--no-fund", "--prefix", work, "axe-core"],
                       check=True, timeout=300)
    with open(path) as f:
        return f.read()


class Servers:
    """tarpons on the emulated node and tarpon-web in a temporary folder."""

    def __init__(self, bin_dir, source_dir):
        self.dir = tempfile.mkdtemp(prefix="tarpon-web-browser-")
        self.write("sna-node.conf", "[node]\nmodes = #BATCH\n"
                   "[partner_lu hosta]\nname = NETA.KSVHOST\n"
                   "[host NETA.KSVHOST]\nusers = users.db\n")
        self.write("users.db", "ALICE SECRET1\n")
        os.chmod(self.path("users.db"), 0o600)
        gateway_port = free_port()
        self.write("services", "tarponGateway %d/tcp\n" % gateway_port)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048",
                        "-nodes", "-keyout", self.path("web.key"), "-out",
                        self.path("web.pem"), "-days", "2", "-subj",
                        "/CN=127.0.0.1", "-addext",
                        "subjectAltName=IP:127.0.0.1"],
                       check=True, capture_output=True)
        os.chmod(self.path("web.key"), 0o600)
        env = dict(os.environ, TARPON_SNA_NODE=self.path("sna-node.conf"),
                   TARPON_SERVICES=self.path("services"))
        for name in ("TARPON_TLS_CA", "TARPON_TLS_CERT", "TARPON_TLS_KEY",
                     "TARPON_WEB_OPTIONS"):
            env.pop(name, None)
        self.processes = []
        self.start([os.path.join(bin_dir, "tarpons"), "-log",
                    self.path("gateway.log"), "-proxy-from", "127.0.0.1"],
                   env, "gateway")
        wait_for_port(gateway_port)
        self.port = free_port()
        self.start([os.path.join(bin_dir, "tarpon-web"), "-listen",
                    "127.0.0.1:%d" % self.port, "-cert", self.path("web.pem"),
                    "-key", self.path("web.key"), "-gateway", "127.0.0.1",
                    "-destinations", "hosta=Host A", "-rules",
                    "hosta=minlength: 4; required: digit; note: Yearly.",
                    "-assets",
                    os.path.join(source_dir, "web", "assets")], env, "web")
        wait_for_port(self.port)

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)

    def read(self, name):
        with open(self.path(name)) as f:
            return f.read()

    def start(self, args, env, name):
        out = open(self.path(name + ".out"), "w")
        err = open(self.path(name + ".err"), "w")
        self.processes.append(subprocess.Popen(
            args, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err))

    def stop(self):
        for process in self.processes:
            process.kill()
            process.wait(timeout=10)
        shutil.rmtree(self.dir, ignore_errors=True)


class Session:
    def __init__(self, driver, servers, axe):
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import WebDriverWait
        self.by = By
        self.driver = driver
        self.servers = servers
        self.axe = axe
        self.wait = WebDriverWait(driver, WAIT)
        self.base = "https://127.0.0.1:%d/" % servers.port

    def find(self, css):
        return self.driver.find_element(self.by.CSS_SELECTOR, css)

    def open(self, query=""):
        self.driver.get(self.base + query)
        self.wait.until(lambda d: d.find_element(self.by.ID, "change"))

    def fill(self, user, current, new, again):
        for field, value in (("user", user), ("currentPassword", current),
                             ("newPassword", new), ("confirmation", again)):
            element = self.find("#" + field)
            element.clear()
            element.send_keys(value)

    def submit_and_wait_for_result(self):
        old = self.find("html")
        self.find("#submit").click()
        self.wait.until(lambda d: old.id != d.find_element(
            self.by.TAG_NAME, "html").id)
        self.wait.until(lambda d: d.find_element(self.by.ID, "result"))

    def check_accessible(self, what):
        self.driver.execute_script(self.axe)
        result = self.driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            "axe.run(document, {runOnly: {type: 'tag', values: "
            "['wcag2a', 'wcag2aa', 'wcag21a', 'wcag21aa']}})"
            ".then(r => done(r.violations.map(v => v.id + ': ' + v.help)));")
        assert result == [], "%s: axe finds %s" % (what, result)

    def check_console(self, what):
        entries = [e for e in self.driver.get_log("browser")
                   if e["level"] in ("SEVERE", "WARNING")]
        assert entries == [], "%s: console says %s" % (what, entries)

    def result_text(self):
        return self.find("#result").text


def walk(s, screenshot):
    # Prefilled user ID, the rules before the form, nothing to complain of.
    s.open("?user=alice")
    assert s.find("#user").get_attribute("value") == "alice"
    assert s.find(".rules").location["y"] < s.find("#change").location["y"]
    s.check_accessible("the empty page")
    s.check_console("the empty page")

    # The destination's rules are on the page and bound the field.
    assert "Yearly." in s.find(".rules").text
    assert s.find("#newPassword").get_attribute("minlength") == "4"

    # A mismatched confirmation is caught before anything is sent, and
    # told beside its field.
    s.fill("alice", "SECRET1", "AFTER1", "AFTER2")
    s.find("#submit").click()
    s.wait.until(lambda d: "differ" in d.find_element(
        s.by.ID, "confirmation-message").text)
    assert s.find("#confirmation").get_attribute("aria-invalid") == "true"
    assert (s.find("#confirmation").get_attribute("aria-describedby") ==
            "confirmation-message")
    assert "change" not in s.servers.read("web.out")

    # A rule broken is shown as soon as the person moves on.
    s.fill("alice", "SECRET1", "AFTERX", "A")
    s.wait.until(lambda d: "lacks" in d.find_element(
        s.by.ID, "newPassword-message").text)
    assert s.find("#newPassword").get_attribute("aria-invalid") == "true"

    # The show-password button shows the text and says so, then hides it.
    field, button = s.find("#newPassword"), s.find("#newPassword-reveal")
    assert button.get_attribute("aria-pressed") == "false"
    button.click()
    assert field.get_attribute("type") == "text"
    assert button.get_attribute("aria-pressed") == "true"
    assert button.text == "Hide password", button.text
    button.click()
    assert field.get_attribute("type") == "password"
    assert button.text == "Show password", button.text

    # A wrong current password: explained as an unknown user ID would be,
    # without the host's text; user ID kept, passwords empty.
    s.fill("alice", "WRONG1", "AFTER1", "AFTER1")
    s.submit_and_wait_for_result()
    text = s.result_text()
    assert "current password is not right" in text, text
    assert "BAD PASSWORD" not in text, text
    assert s.find("#user").get_attribute("value") == "ALICE"
    for field in ("currentPassword", "newPassword", "confirmation"):
        assert s.find("#" + field).get_attribute("value") == "", field
    s.check_accessible("the refusal")
    s.check_console("the refusal")

    # Scripts off: the server finds the mismatch.
    s.driver.execute_cdp_cmd("Emulation.setScriptExecutionDisabled",
                             {"value": True})
    s.open()
    s.fill("alice", "SECRET1", "AFTER1", "AFTER2")
    s.submit_and_wait_for_result()
    assert "differ" in s.result_text(), s.result_text()
    assert s.find("#user").get_attribute("value") == "ALICE"
    assert s.driver.find_elements(s.by.CSS_SELECTOR, ".reveal") == []
    assert "differ" in s.find("#confirmation-message").text
    assert s.find("#confirmation").get_attribute("aria-invalid") == "true"
    s.driver.execute_cdp_cmd("Emulation.setScriptExecutionDisabled",
                             {"value": False})
    s.check_console("the page without scripts")

    # The keyboard alone: Tab from the page's start, typing, a
    # show-password button pressed with the space bar, Enter.
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.keys import Keys
    s.open()
    s.driver.execute_script("document.activeElement.blur()")
    ActionChains(s.driver).send_keys(
        Keys.TAB, "alice", Keys.TAB, "SECRET1", Keys.TAB, Keys.SPACE).perform()
    assert s.find("#currentPassword").get_attribute("type") == "text"
    old = s.find("html")
    ActionChains(s.driver).send_keys(
        Keys.TAB, "AFTER1", Keys.TAB, Keys.TAB, "AFTER1", Keys.ENTER).perform()
    s.wait.until(lambda d: old.id != d.find_element(s.by.TAG_NAME, "html").id)
    s.wait.until(lambda d: d.find_element(s.by.ID, "result"))
    assert "Password changed" in s.result_text(), s.result_text()
    assert s.servers.read("users.db").startswith("ALICE     AFTER1")
    # The plain verdict first, the host's own words on request.
    details = s.find("#result details")
    assert not details.get_attribute("open")
    s.find("#result summary").click()
    assert details.get_attribute("open")
    s.check_accessible("the success")
    s.check_console("the success")
    if screenshot:
        s.find("#newPassword").send_keys("AFTER2")
        s.find("#newPassword-reveal").click()
        s.driver.save_screenshot(screenshot)

    # Password managers send people to the well-known address: it leads
    # to the page.
    s.driver.get(s.base + ".well-known/change-password")
    s.wait.until(lambda d: d.find_element(s.by.ID, "change"))
    assert s.driver.current_url == s.base, s.driver.current_url


def main():
    if len(sys.argv) < 4:
        print(__doc__)
        return 2
    bin_dir, source_dir, work = sys.argv[1:4]
    screenshot = sys.argv[4] if len(sys.argv) > 4 else None
    chromium = shutil.which("chromium")
    driver_path = shutil.which("chromedriver")
    if chromium is None or driver_path is None:
        print("SKIPPED: chromium or chromium-driver is not installed")
        return 0
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    os.makedirs(work, exist_ok=True)
    axe = axe_script(work)
    servers = Servers(bin_dir, source_dir)
    profile = tempfile.mkdtemp(prefix="tarpon-chromium-")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in CHROMIUM_FLAGS + ["--user-data-dir=" + profile]:
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = None
    try:
        driver = webdriver.Chrome(service=Service(driver_path),
                                  options=options)
        driver.set_page_load_timeout(WAIT)
        driver.set_script_timeout(WAIT)
        walk(Session(driver, servers, axe), screenshot)
    finally:
        if driver is not None:
            driver.quit()
        servers.stop()
        shutil.rmtree(profile, ignore_errors=True)
    print("browser session passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
