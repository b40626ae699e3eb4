"""Drives headless Chromium through the web view; see browser.sh."""
import sys
import tempfile

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

base, shots, profile_root = sys.argv[1], sys.argv[2], sys.argv[3]
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--disable-dev-shm-usage", "--window-size=1100,800",
            "--user-data-dir=" + tempfile.mkdtemp(dir=None, prefix="profile-", suffix="")):
    options.add_argument(arg)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
driver.set_page_load_timeout(30)


def shot(name):
    driver.save_screenshot(f"{shots}/{name}.png")


def no_alert(where):
    try:
        text = driver.switch_to.alert.text
        check(False, f"{where}: a script ran (alert '{text}')")
    except NoAlertPresentException:
        pass
    check("owned" not in driver.title, f"{where}: a script changed the title to {driver.title!r}")


try:
    # The root, then a directory.
    driver.get(base + "/proj/")
    shot("1-root")
    body = driver.find_element(By.TAG_NAME, "body").text
    check("trunk/" in body, "the root lists trunk/")
    check("alice" in body, "the root shows the author")
    driver.find_element(By.LINK_TEXT, "trunk/").click()
    shot("2-directory")
    check(driver.current_url.endswith("/proj/trunk/"), "clicking trunk/ opens it: " + driver.current_url)
    rows = driver.find_elements(By.CSS_SELECTOR, "table.listing tbody tr")
    names = [r.find_element(By.TAG_NAME, "td").text for r in rows]
    check(names == ["../", "docs/", "hello.c"], f"the directory lists {names}")
    hello = [r for r in rows if r.find_element(By.TAG_NAME, "td").text == "hello.c"][0]
    cells = [c.text for c in hello.find_elements(By.TAG_NAME, "td")]
    check(cells[1] == str(len('#include <stdio.h>\nint main(void) {\n  puts("hi");\n  return 0;\n}\n')) and cells[2] == "r2" and cells[3] == "alice", f"hello.c's row: {cells}")
    check("ago" in cells[5], f"hello.c's age: {cells[5]}")

    # A file: its text with line numbers.
    driver.find_element(By.LINK_TEXT, "hello.c").click()
    shot("3-file")
    lines = driver.find_elements(By.CSS_SELECTOR, "table.code tr")
    check(len(lines) == 5, f"hello.c shows {len(lines)} lines")
    check('puts("hi");' in lines[2].text, f"line 3 reads {lines[2].text!r}")
    check(lines[0].find_element(By.CSS_SELECTOR, "td.ln").text == "1", "line numbers start at 1")
    check(driver.find_element(By.ID, "raw-link").text == "Raw", "a text file offers its raw bytes")

    # Its log, then a revision.
    driver.find_element(By.ID, "log-link").click()
    shot("4-log")
    entries = driver.find_elements(By.CSS_SELECTOR, "section.entry h2")
    check([e.text.split()[0] for e in entries] == ["r2", "r1"], f"the log shows {[e.text for e in entries]}")
    check("Say hello" in driver.find_element(By.TAG_NAME, "body").text, "the log shows the message")
    driver.find_element(By.LINK_TEXT, "r1").click()
    shot("5-revision")
    body = driver.find_element(By.TAG_NAME, "body").text
    check("Revision 1" in body and "Start the project" in body, "the revision page shows r1")
    after = [a.text for a in driver.find_elements(By.CSS_SELECTOR, "a.after")]
    check("/trunk/docs/logo.png" in after and "/trunk/" in after, f"r1 links its paths: {after}")
    driver.find_element(By.LINK_TEXT, "/trunk/hello.c").click()
    check(driver.current_url.endswith("/proj/trunk/hello.c?r=1"), "the link opens hello.c at r1")
    check(len(driver.find_elements(By.CSS_SELECTOR, "table.code tr")) == 4, "hello.c at r1 has 4 lines")
    shot("6-file-at-r1")

    # A binary file: a download link, no text.
    driver.get(base + "/proj/trunk/docs/logo.png")
    shot("7-binary")
    check(driver.find_element(By.ID, "raw-link").text == "Download", "a binary file offers a download")
    check(not driver.find_elements(By.CSS_SELECTOR, "table.code"), "a binary file shows no text")

    # Hostile names, messages and properties show as text and run nothing.
    driver.get(base + "/hostile/")
    shot("8-hostile-root")
    no_alert("the hostile listing")
    links = [a.text for a in driver.find_elements(By.CSS_SELECTOR, "table.listing a")]
    check(any(t.startswith("<script>") for t in links), f"the script name shows as text: {links}")
    check(any(t.startswith('"><img') for t in links), f"the img name shows as text: {links}")
    check(not driver.find_elements(By.CSS_SELECTOR, "main img, main script, main b"),
          "no element came out of a name")
    driver.get(base + "/hostile/?log")
    shot("9-hostile-log")
    no_alert("the hostile log")
    check("<script>document.title='owned'</script>" in driver.find_element(By.CSS_SELECTOR, ".msg").text,
          "the message shows as text")
    driver.get(base + "/hostile/page.html")
    shot("10-hostile-page")
    no_alert("the page of an HTML file")
    check("<b onmouseover=alert(3)>x</b>" in driver.find_element(By.TAG_NAME, "body").text,
          "the property shows as text")
    driver.get(base + "/hostile/page.html?raw")
    shot("11-hostile-raw")
    no_alert("an HTML file served raw (sandboxed)")
finally:
    driver.quit()

sys.exit(1 if failures else 0)
