#!/usr/bin/python3
"""One browser session through tarpon-web's page, against the real
tarpon-web, tarpons and emulated node on loopback, in headless Chromium:
a mismatch and a broken rule caught by the script as they are typed, the
checklist ticking as one types, the show-password button, a wrong current
password, the server's own messages with scripts off (no browser bubble),
a change made with the keyboard alone (the database then holds the new
password) and its done state, the well-known change-password address, a
table of states (the checklist, the done state, a right-to-left page,
320 px in every language, and a change to two hosts that one refuses)
with no sideways scrolling, no console error or
CSP violation and no axe-core WCAG 2.1 A/AA violation, and their pictures.

Usage: web_browser_test.py BIN_DIR SOURCE_DIR WORK_DIR [PICTURES_DIR]
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
                   "[partner_lu hostb]\nname = NETA.HOSTB\n"
                   "[host NETA.KSVHOST]\nusers = users.db\n"
                   "[host NETA.HOSTB]\nusers = b.db\npassword_history = 3\n")
        self.write("users.db", "ALICE SECRET1\nBOB SECRET1\n")
        # Host B keeps BOB's last passwords: AFTER2 leaves a partial change.
        self.write("b.db", "BOB SECRET1 history=AFTER2\n")
        os.chmod(self.path("b.db"), 0o600)
        self.write("logo.svg", '<svg xmlns="http://www.w3.org/2000/svg" '
                   'width="40" height="40"><circle cx="20" cy="20" r="18" '
                   'fill="#1a56b0"/></svg>')
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
                    "hosta=minlength: 4; required: digit; case: ignored; "
                    "note: Yearly.",
                    "-rules-note", "hosta:fr=Chaque année.",
                    "-sign-on-url", "https://sign-on.example/",
                    "-help-desk", "Help line 555-0100",
                    "-help-desk-url", "tel:5550100",
                    "-organisation", "Example Works",
                    "-logo", self.path("logo.svg"),
                    "-assets",
                    os.path.join(source_dir, "web", "assets")], env, "web")
        wait_for_port(self.port)
        # A second tarpon-web offering both hosts, for a change to several.
        self.several_port = free_port()
        self.start([os.path.join(bin_dir, "tarpon-web"), "-listen",
                    "127.0.0.1:%d" % self.several_port, "-cert",
                    self.path("web.pem"), "-key", self.path("web.key"),
                    "-gateway", "127.0.0.1", "-destinations",
                    "hosta=Host A,hostb=Host B", "-assets",
                    os.path.join(source_dir, "web", "assets")], env, "several")
        wait_for_port(self.several_port)

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
    def __init__(self, driver, servers, axe, pictures=None):
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.ui import WebDriverWait
        self.by = By
        self.driver = driver
        self.servers = servers
        self.axe = axe
        self.pictures = pictures
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

    def show(self, language, width):
        """The page in language at width CSS pixels."""
        self.driver.execute_cdp_cmd("Network.enable", {})
        self.driver.execute_cdp_cmd("Network.setExtraHTTPHeaders", {
            "headers": {"Accept-Language": language}})
        self.driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
            "width": width, "height": 1000, "deviceScaleFactor": 1,
            "mobile": width < 400})
        self.open()
        assert self.find("html").get_attribute("lang") == language

    def type_partial(self):
        self.fill("alice", "SECRET1", "abc", "")
        self.find("#currentPassword").click()
        self.wait.until(lambda d: d.find_element(
            self.by.ID, "newPassword-message").text != "")

    def reveal_new(self):
        self.find("#newPassword").send_keys("AFTER1")
        self.find("#newPassword-reveal").click()

    def check_layout(self, what):
        sizes = self.driver.execute_script(
            "const card = document.querySelector('main').getBoundingClientRect();"
            "const out = [...document.querySelectorAll('main *')].filter("
            "  e => e.getClientRects().length && "
            "  !e.closest('.visually-hidden')).filter(e => {"
            "  const r = e.getBoundingClientRect();"
            "  return r.left < card.left - 1 || r.right > card.right + 1; })"
            "  .map(e => e.tagName + '#' + e.id + '.' + e.className);"
            "return [document.documentElement.scrollWidth, innerWidth, out];")
        assert sizes[0] <= sizes[1], "%s: scrolls sideways %s" % (what, sizes)
        assert sizes[2] == [], "%s: outside the card %s" % (what, sizes[2])

    def picture(self, name):
        if self.pictures:
            os.makedirs(self.pictures, exist_ok=True)
            self.driver.save_screenshot(
                os.path.join(self.pictures, name + ".png"))


LANGUAGES = ["ar", "de", "en", "es", "fr", "it", "nl", "pl", "pt"]


def walk(s):
    # Prefilled user ID, its rule beside it, the checklist beside the new
    # password, nothing to complain of.
    s.open("?user=alice")
    assert s.find("#user").get_attribute("value") == "alice"
    assert "capitals" in s.find("#user-rule").text
    rules_y = s.find(".rules").location["y"]
    assert s.find("#newPassword").location["y"] < rules_y
    assert rules_y < s.find("#confirmation").location["y"]
    assert s.find("#change").get_attribute("novalidate") == "true"
    s.check_accessible("the empty page")
    s.check_console("the empty page")

    # The destination's rules are on the page and bound the field; the
    # case rule is said.
    assert "Yearly." in s.find(".rules").text
    assert "takes every letter as a capital" in s.find(".rules").text
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

    # A rule broken is said precisely as soon as the person moves on.
    s.fill("alice", "SECRET1", "AFTERX", "A")
    s.wait.until(lambda d: d.find_element(
        s.by.ID, "newPassword-message").text == "Add a digit (0 to 9).")
    assert s.find("#newPassword").get_attribute("aria-invalid") == "true"

    # The checklist ticks as one types (small letters as capitals), and
    # says so politely once typing pauses.
    def met():
        return [li.get_attribute("data-met") for li in s.driver.find_elements(
            s.by.CSS_SELECTOR, ".rule-set li[data-rule]")]
    assert s.find("#rules-status").get_attribute("aria-live") == "polite"
    field = s.find("#newPassword")
    field.clear()
    field.send_keys("ab")
    assert met() == ["no", "yes", "no"], met()
    s.wait.until(lambda d: d.find_element(s.by.ID, "rules-status")
                 .get_attribute("textContent") == "1 of 3 rules met.")
    field.send_keys("c1")
    assert met() == ["yes", "yes", "yes"], met()
    s.wait.until(lambda d: d.find_element(s.by.ID, "rules-status")
                 .get_attribute("textContent") == "Every rule is met.")
    states = [e.get_attribute("textContent") for e in s.driver.find_elements(
        s.by.CSS_SELECTOR, ".rule-set li[data-rule] .state")]
    assert states == ["Met:"] * 3, states

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
    assert "BAD PASSWORD" not in text and "ERROR" not in text, text
    assert s.find("#user").get_attribute("value") == "ALICE"
    for field in ("currentPassword", "newPassword", "confirmation"):
        assert s.find("#" + field).get_attribute("value") == "", field
    s.check_accessible("the refusal")
    s.check_console("the refusal")

    # Scripts off: no browser bubble holds the form back; the server finds
    # the short password and the mismatch, and says so in its words.
    s.driver.execute_cdp_cmd("Emulation.setScriptExecutionDisabled",
                             {"value": True})
    for new, again, where, said in (
            ("AB1", "AB1", "newPassword", "Use at least 4 characters."),
            ("AFTER1", "AFTER2", "confirmation", "differ")):
        s.open()
        s.fill("alice", "SECRET1", new, again)
        s.submit_and_wait_for_result()
        assert said in s.result_text(), s.result_text()
        assert said in s.find("#%s-message" % where).text
        assert s.find("#" + where).get_attribute("aria-invalid") == "true"
        assert s.find("#user").get_attribute("value") == "ALICE"
    assert s.driver.find_elements(s.by.CSS_SELECTOR, ".reveal") == []
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
    assert s.servers.read("users.db").startswith("ALICE     AFTER1")
    # The done state: the account, the host, what next, where to sign on;
    # no form left. The host's own words on request.
    text = s.result_text()
    for part in ("Password changed", "ALICE", "Host A", "next sign-on",
                 "Sign on to Host A", "Change another password"):
        assert part in text, (part, text)
    assert s.find("#sign-on").get_attribute("href") == \
        "https://sign-on.example/"
    assert s.driver.find_elements(s.by.ID, "change") == []
    details = s.find("#result details")
    assert not details.get_attribute("open")
    s.find("#result summary").click()
    assert details.get_attribute("open")
    s.check_accessible("the success")
    s.check_console("the success")
    s.picture("done")

    # Password managers send people to the well-known address: it leads
    # to the page.
    s.driver.get(s.base + ".well-known/change-password")
    s.wait.until(lambda d: d.find_element(s.by.ID, "change"))
    assert s.driver.current_url == s.base, s.driver.current_url

    # The table of states: each in its language and width, accessible,
    # without sideways scrolling, its buttons inside the card.
    for name, language, width, action in (
            ("checklist", "en", 800, s.type_partial),
            ("rtl", "ar", 800, s.type_partial),
            ("320px", "fr", 320, s.reveal_new)):
        s.show(language, width)
        action()
        s.check_layout(name)
        s.check_accessible(name)
        s.check_console(name)
        s.picture(name)
        if name == "rtl":
            assert s.find("html").get_attribute("dir") == "rtl"
            # Mirrored: the field's label starts at the right.
            label, card = s.find("label[for=user]"), s.find("main")
            assert (label.location["x"] + label.size["width"] >
                    card.location["x"] + card.size["width"] - 60)
    # Every language at 320 px: a whole page, nothing sideways.
    for language in LANGUAGES:
        s.show(language, 320)
        s.reveal_new()
        s.check_layout("320 px, " + language)
        s.check_accessible("320 px, " + language)
    s.show("en", 800)
    several(s)


def several(s):
    """Both hosts ticked (the default), a password Host B has had: a table
    of both, the partial outcome said plainly, the form set to retry Host B
    alone."""
    s.driver.get("https://127.0.0.1:%d/" % s.servers.several_port)
    s.wait.until(lambda d: d.find_element(s.by.ID, "change"))
    boxes = s.driver.find_elements(s.by.CSS_SELECTOR,
                                   "input[type=checkbox][name=destinations]")
    assert [b.is_selected() for b in boxes] == [True, True]
    s.fill("bob", "SECRET1", "AFTER2", "AFTER2")
    s.submit_and_wait_for_result()
    rows = [r.text for r in s.driver.find_elements(
        s.by.CSS_SELECTOR, "table.hosts tbody tr")]
    assert len(rows) == 2 and "Host A" in rows[0] and "Host B" in rows[1], rows
    text = s.result_text()
    for part in ("Changed at some hosts only",
                 "Now takes the new password: Host A.",
                 "Still takes the old password: Host B."):
        assert part in text, (part, text)
    ticked = [b.get_attribute("value") for b in s.driver.find_elements(
        s.by.CSS_SELECTOR, "input[type=checkbox]:checked")]
    assert ticked == ["hostb"], ticked
    assert s.servers.read("users.db").find("BOB       AFTER2") >= 0
    s.check_accessible("the partial change")
    s.check_console("the partial change")
    s.picture("partial")


def main():
    if len(sys.argv) < 4:
        print(__doc__)
        return 2
    bin_dir, source_dir, work = sys.argv[1:4]
    pictures = sys.argv[4] if len(sys.argv) > 4 else None
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
        walk(Session(driver, servers, axe, pictures))
    finally:
        if driver is not None:
            driver.quit()
        servers.stop()
        shutil.rmtree(profile, ignore_errors=True)
    print("browser session passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
