#!/usr/bin/env python3
"""The pages for people in a real browser (headless Chromium through
chromedriver), against a service this script starts on a free loopback port:
sign up, a wrong password, sign in, messages sent as the add-in sends them
appear by themselves, a recipient's open turns one to opened by itself, a
subject holding <script> stays text, and a password is recovered through the
outbox's link.

    pages_test.py --service PATH [--screenshots DIR]

With a service already running (the real one of the add-in's test namespace,
tests/tools/check-browser-real-addin.sh), the shipped add-in in the stand-in
Outlook of an x64 build tree sends the message instead, and the story is the
short one: sign up, sign in, the add-in's message appears not opened, a
recipient's open turns it to opened.

    pages_test.py --service-url http://127.0.0.1:80 --outlook BUILD_TREE

Exits 77 (skipped, as ctest is told) when Chromium, chromedriver or
python3-selenium is missing.
"""
import argparse
import glob
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77
TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tests", "tools")
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
THUNDERBIRD = "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Thunderbird/128.5.0"

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service as DriverService
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
    from selenium.webdriver.common.by import By
except ImportError:
    print("SKIPPED: python3-selenium is not installed (apt-get install python3-selenium)")
    sys.exit(SKIP)


class Quorvia:
    """The service, started for the test in a folder of its own."""

    outlook = None  # sent through the feed form, not by the add-in
    cacert = None

    def __init__(self, program, folder):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        self.base = f"http://127.0.0.1:{self.port}"
        self.data = os.path.join(folder, "data")
        self.log = open(os.path.join(folder, "service.log"), "w")
        # Recipients' opens arrive with an X-Forwarded-For address, so they are
        # told apart from the sender's own fetches from 127.0.0.1.
        self.process = subprocess.Popen(
            [program, "serve", "--listen", f"127.0.0.1:{self.port}", "--data", self.data,
             "--public-url", self.base, "--trust-forwarded-for"],
            stdout=self.log, stderr=subprocess.STDOUT)
        for _ in range(200):
            try:
                urllib.request.urlopen(self.base + "/healthz", timeout=1)
                return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("the service did not start; see " + self.log.name)

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        self.log.close()

    def outbox(self):
        return sorted(glob.glob(os.path.join(self.data, "outbox", "*.eml")))


class RunningQuorvia:
    """A service somebody else runs, which the add-in in the stand-in Outlook of
    the build tree `outlook` reaches over HTTPS; the tree's test CA signs its
    certificate."""

    def __init__(self, base, outlook):
        self.base, self.outlook = base.rstrip("/"), outlook
        self.cacert = os.path.join(outlook, "tls", "test-ca.crt")

    def stop(self):
        pass


def addin_form(login, password, to, subject):
    """The feed form as the add-in writes it: every byte %XX, to and subj as UTF-16LE."""
    hexed = lambda data: "".join(f"%{b:02X}" for b in data)
    return (f"login={hexed(login.encode())}&password={hexed(password.encode())}"
            f"&to={hexed(to.encode('utf-16-le'))}&subj={hexed(subject.encode('utf-16-le'))}&raw=1")


def send_message(quorvia, login, password, to, subject):
    """A tracked message as the add-in sends it; the pixel's URL."""
    if quorvia.outlook:
        return send_with_addin(quorvia.outlook, login, password, to, subject)
    request = urllib.request.Request(quorvia.base + "/index.php/messagefeed",
                                     data=addin_form(login, password, to, subject).encode(),
                                     headers={"Content-Type": "application/x-www-form-urlencoded"})
    fragment = urllib.request.urlopen(request, timeout=10).read().decode()
    return quorvia.base + re.search(r'src="[^"]*(/t/[^"]+\.gif)"', fragment).group(1)


def send_with_addin(tree, login, password, to, subject):
    """The shipped add-in in the stand-in Outlook under Wine sends the message;
    the pixel's URL from the body that went out."""
    with tempfile.TemporaryDirectory(prefix="quorvia-outlook-") as folder:
        # A scenario file, not --set: Wine hands a program its command line in
        # the ANSI code page, which has no room for most subjects.
        scenario, body = os.path.join(folder, "scenario.txt"), os.path.join(folder, "body.html")
        with open(scenario, "w", encoding="utf-8") as out:
            out.write("".join(f"{key} = {value}\n" for key, value in (
                ("service", "external"), ("login", login), ("password", password), ("to", to), ("cc", ""),
                ("bcc", ""), ("subject", subject), ("body", "<html><body><p>Numbers attached.</p></body></html>"),
                ("tracking", "on"))))
        program = os.path.join(tree, "bin", "outlook_standin.exe")
        wine = subprocess.run(["bash", os.path.join(TOOLS, "wine-loader.sh"), program],
                              check=True, capture_output=True, text=True).stdout.strip()
        run = subprocess.run([wine, "outlook_standin.exe", "--scenario", scenario, "--body-out", body],
                             cwd=os.path.dirname(program), capture_output=True, text=True, timeout=60)
        said = run.stdout + run.stderr
        assert run.returncode == 0 and re.search(r"^  sent$", said, re.M), "the stand-in Outlook did not send:\n" + said
        sent = open(body, encoding="utf-8").read()
    found = re.search(r'<img alt="qvmk" src="(https://[^"]+/t/[\w-]+\.gif)"', sent)
    assert found, "the sent body carries no pixel: " + sent
    return found.group(1)


def open_as_recipient(quorvia, pixel):
    """The recipient's desktop mail client, elsewhere, shows the message: it fetches the pixel."""
    request = urllib.request.Request(pixel, headers={"User-Agent": THUNDERBIRD, "X-Forwarded-For": "203.0.113.7"})
    context = ssl.create_default_context(cafile=quorvia.cacert) if quorvia.cacert else None
    urllib.request.urlopen(request, timeout=10, context=context).read()


def browser(folder):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--no-first-run", "--window-size=1280,900", f"--user-data-dir={folder}/chromium"):
        options.add_argument(flag)
    return webdriver.Chrome(service=DriverService(CHROMEDRIVER), options=options)


class Person:
    def __init__(self, driver, quorvia, shots):
        self.driver, self.quorvia, self.shots = driver, quorvia, shots

    def go(self, path):
        self.driver.get(self.quorvia.base + path)

    def fill(self, **fields):
        for name, value in fields.items():
            element = self.driver.find_element(By.NAME, name)
            element.clear()
            element.send_keys(value)
        self.driver.find_element(By.CSS_SELECTOR, "main form button[type=submit]").click()

    def text(self):
        # The page may be reloading meanwhile, by itself or after a form.
        try:
            return self.driver.find_element(By.TAG_NAME, "main").text
        except (NoSuchElementException, StaleElementReferenceException):
            return ""

    def sees(self, words, seconds=5):
        deadline = time.monotonic() + seconds
        while words not in self.text():
            if time.monotonic() > deadline:
                raise AssertionError(f"'{words}' not shown within {seconds} s; the page shows:\n{self.text()}")
            time.sleep(0.2)

    def shot(self, name):
        if not self.shots:
            return
        for width, height, kind in ((1280, 900, "desktop"), (390, 844, "phone")):
            self.driver.set_window_size(width, height)
            self.driver.save_screenshot(os.path.join(self.shots, f"{name}-{kind}.png"))
        self.driver.set_window_size(1280, 900)


def run(args):
    folder = tempfile.mkdtemp(prefix="quorvia-browser-")
    quorvia = RunningQuorvia(args.service_url, args.outlook) if args.service_url else Quorvia(args.service, folder)
    # The rest of the story (wrong passwords, markup in subjects, recovery
    # through the outbox) needs a service of this script's own and is told once.
    whole_story = quorvia.outlook is None
    shots = args.screenshots
    driver = None
    try:
        driver = browser(folder)
        ann = Person(driver, quorvia, shots)
        email, password = "ann@example.com", "first password"

        ann.go("/index.php/memberreg")
        ann.shot("signup")
        ann.fill(email=email, password=password, password2=password)
        ann.sees("Your account is ready")
        assert "Quorvia > Setup" in ann.text(), ann.text()
        # The Secure session cookie is kept over plain http on 127.0.0.1.
        assert driver.get_cookie("qv_session"), driver.get_cookies()
        driver.find_element(By.CSS_SELECTOR, "header button").click()  # sign out
        ann.sees("Sign in to Quorvia")

        if whole_story:
            ann.fill(email=email, password="not the password")
            ann.sees("Wrong e-mail address or password")
        ann.fill(email=email, password=password)
        ann.sees("No tracked messages yet")

        quarterly = send_message(quorvia, email, password, "Пётр <petr@example.org>", "Quarterly numbers / Квартал")
        if whole_story:
            send_message(quorvia, email, password, "eve@example.org", "<script>window.pwned=1</script>")
        ann.sees("Quarterly numbers / Квартал", seconds=40)  # the page reloaded by itself
        if whole_story:
            ann.sees("<script>window.pwned=1</script>")
            assert driver.execute_script("return window.pwned") is None
        assert "Not yet" in ann.text(), ann.text()

        open_as_recipient(quorvia, quarterly)
        ann.sees("Opened", seconds=40)
        ann.shot("report")
        if not whole_story:
            return
        driver.find_element(By.LINK_TEXT, "Quarterly numbers / Квартал").click()
        ann.sees("Thunderbird showed the message.")
        when = driver.find_element(By.CSS_SELECTOR, "table.opens time")
        assert not when.text.endswith("UTC"), "the script shows times in the reader's zone: " + when.text
        ann.shot("message")

        # Signed out before going on: a page asked for while the sign-out is
        # still under way can be overtaken by its redirect.
        driver.find_element(By.CSS_SELECTOR, "header button").click()
        ann.sees("Sign in to Quorvia")
        ann.go("/index.php/memberforgot")
        ann.fill(email=email)
        ann.sees("Check your mail")
        for _ in range(100):
            if quorvia.outbox():
                break
            time.sleep(0.05)
        mail = open(quorvia.outbox()[0], encoding="utf-8").read()
        link = re.search(r"^(http://127\.0\.0\.1:\d+/index\.php/memberreset\?token=[\w-]+)\r?$", mail, re.M).group(1)
        driver.get(link)
        ann.fill(password="second password", password2="second password")
        ann.sees("Your password is changed")
        driver.find_element(By.CSS_SELECTOR, "header button").click()
        ann.sees("Sign in to Quorvia")
        ann.fill(email=email, password=password)
        ann.sees("Wrong e-mail address or password")
        ann.fill(email=email, password="second password")
        ann.sees("Quarterly numbers")
        driver.get(link)
        ann.sees("This link does not work any more")
    finally:
        if driver:
            driver.quit()
        quorvia.stop()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--service", help="the service's program, started here")
    where.add_argument("--service-url", help="a service already running, e.g. http://127.0.0.1:80")
    parser.add_argument("--outlook", help="with --service-url: the x64 build tree whose add-in sends")
    parser.add_argument("--screenshots")
    args = parser.parse_args()
    if bool(args.service_url) != bool(args.outlook):
        parser.error("--service-url and --outlook go together")
    for program in (CHROMIUM, CHROMEDRIVER):
        if not os.access(program, os.X_OK):
            print(f"SKIPPED: {program} is missing (apt-get install chromium chromium-driver)")
            return SKIP
    run(args)
    print("browser test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
