#!/usr/bin/python3
"""The archive through a private lighttpd and one FastCGI process of archivecgi that serves every
request (refusals among them), read in headless Chromium: index pages, next and previous in
each order, search, downloads, and hostile messages that must run nothing.
Usage: browser_test.py DLARCHIVE ARCHIVECGI SOURCE_DIR"""
import base64, contextlib, os, pathlib, shutil, socket, subprocess, sys, tempfile, time, unittest
import urllib.error, urllib.request
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.wait import WebDriverWait

CLI, CGI, TOP = sys.argv[1:4]
ATTACHMENT = bytes(range(256)) * 3 + b"end"
XSS = "<script>window.pwned=1</script><img src=x onerror=\"window.pwned=2\">"
HTML = f"<p onclick=\"window.pwned=3\">{XSS}<a href=\"javascript:window.pwned=4\">click</a></p>"


def message(subject, author, day, kind=None, *parts):
    mime, body = "", "Hello.\n"
    if kind:
        mime = f"MIME-Version: 1.0\nContent-Type: multipart/{kind}; boundary=B\n"
        body = "".join(f"--B\n{p}\n" for p in parts) + "--B--\n"
    return (f"From x Mon Jan  1 00:00:00 2001\nFrom: {author}\nTo: list@example.org\nSubject: {subject}\n"
            f"Date: {day} Oct 2026 10:00:00 +0000\n{mime}\n{body}\n")


def until(check):  # polls for up to five seconds
    for _ in range(100):
        with contextlib.suppress(OSError):
            if check():
                return
        time.sleep(0.05)


ANN = "Ann Lee <ann@example.org>"
MBOX = "".join([
    message("Agenda", ANN, "Mon, 5"),
    message("Re: Agenda", "Bob Roe <bob@example.org>", "Tue, 6"),
    message("Budget", ANN, "Tue, 6", "mixed", "Content-Type: text/plain\n\nfigures attached",
            "Content-Type: application/octet-stream; name=figures.bin\nContent-Transfer-Encoding: base64\n\n"
            + base64.encodebytes(ATTACHMENT).decode()),
    message("Re: Agenda", ANN, "Wed, 7"),
    message(XSS, f"\"{XSS}\" <evil@example.org>", "Thu, 8", "mixed",
            f"Content-Type: text/plain\n\n{XSS}", f"Content-Type: text/html\n\n{HTML}"),
])


class Archive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        home = cls.tmp.name
        for d in ("etc", "dlmgr", "run", "downloads"):
            os.mkdir(f"{home}/{d}")
        shutil.copytree(f"{TOP}/data/web", f"{home}/web")
        pathlib.Path(f"{home}/etc/kelmo.ini").write_text(
            f"[DlManager]\nDbPath={home}/dlmgr\n[Language Selection]\nen-us=English,utf-8,en-us.txt\n"
            f"de-de=Deutsch,utf-8,de-de.txt\n[Config]\nWebAdminDirectory={home}/web\n")
        pathlib.Path(f"{home}/list.mbox").write_text(MBOX)
        for args in (["init"], ["import", "demo", f"{home}/list.mbox"], ["pages", "demo"]):
            subprocess.run([CLI, "--config", f"{home}/etc"] + args, check=True, stdout=subprocess.DEVNULL)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        conf = pathlib.Path(f"{TOP}/data/lighttpd.conf.in").read_text()
        for name, value in (("ADDRESS", "127.0.0.1"), ("PORT", str(port)), ("WEB", f"{home}/web"),
                            ("STATE", f"{home}/run"), ("CGI", CGI), ("CONFIG", f"{home}/etc")):
            conf = conf.replace(f"@{name}@", value)
        pathlib.Path(f"{home}/run/lighttpd.conf").write_text(conf.replace('"max-procs" => 2', '"max-procs" => 1'))
        cls.stderr = open(f"{home}/run/stderr.log", "w")  # the FastCGI process's standard error
        cls.server = subprocess.Popen(["/usr/sbin/lighttpd", "-D", "-f", f"{home}/run/lighttpd.conf"],
                                      stderr=cls.stderr)
        cls.base = f"http://127.0.0.1:{port}/vubo/scripts/archivecgi.exe?"
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for o in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
            options.add_argument(o)
        options.add_experimental_option("prefs", {"download.default_directory": f"{home}/downloads"})
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        until(lambda: urllib.request.urlopen(cls.base + "Command=GetThreadIndex&mailinglist=demo"))
        cls.backend = cls.backends()

    @classmethod
    def backends(cls):
        return pathlib.Path(f"/proc/{cls.server.pid}/task/{cls.server.pid}/children").read_text().split()

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        served = cls.backends()
        cls.server.terminate()  # which ends the FastCGI process: its leak check runs at exit
        cls.server.wait()
        until(lambda: all(pathlib.Path(f"/proc/{p}/stat").read_text().split()[2] == "Z" for p in served))
        cls.stderr.close()
        log = "".join(pathlib.Path(f"{cls.tmp.name}/run/{f}").read_text() for f in ("error.log", "stderr.log"))
        cls.tmp.cleanup()
        if "Sanitizer" in log or "runtime error" in log or len(cls.backend) != 1 or served != cls.backend:
            raise AssertionError(f"{cls.backend} then {served}: {log}")

    def click(self, text=None, element=None):  # and wait for the page it leads to
        before = self.driver.current_url
        (element or self.driver.find_element(By.LINK_TEXT, text)).click()
        WebDriverWait(self.driver, 10).until(lambda d: d.current_url != before)

    def shown(self):  # the message's number, from its source link
        return int(self.driver.find_element(By.PARTIAL_LINK_TEXT, "source").get_attribute("href").split("nId=")[1]
                   .split("&")[0])

    def test_walk_each_order_and_back(self):
        for index, start, label, walk in (("GetThreadIndex", "Agenda", "By thread", [1, 2, 4]),
                                          ("GetAuthorIndex", "Agenda", "By author", [1, 3, 4]),
                                          ("GetDateIndex", "Re: Agenda", "By date", [2, 3])):
            self.driver.get(self.base + f"Command={index}&mailinglist=demo&locale=en-us")
            self.click(element=self.driver.find_elements(By.LINK_TEXT, start)[0])
            seen = [self.shown()]
            for step in ("Next message", "Previous message"):  # to the end of the order, then back
                while self.driver.find_elements(By.LINK_TEXT, step):
                    self.click(step)
                    seen.append(self.shown())
            self.assertEqual(seen, walk + walk[-2::-1], index)
            self.click(label)
            self.assertIn(f"Command={index}", self.driver.current_url)

    def test_search_by_author_and_date(self):
        for by, text, found in (("author", "Ann Lee", ["Agenda", "Budget", "Re: Agenda"]),
                                ("date", "6 Oct 2026", ["Re: Agenda", "Budget"])):
            self.driver.get(self.base + "Command=Search&mailinglist=demo&locale=en-us")
            self.driver.find_element(By.NAME, "text").send_keys(text)
            self.driver.find_element(By.CSS_SELECTOR, f"option[value={by}]").click()
            self.click(element=self.driver.find_element(By.CSS_SELECTOR, "input[type=submit]"))
            links = self.driver.find_elements(By.CSS_SELECTOR, "ul.results a")
            self.assertEqual([a.text for a in links], found)
            self.click(element=links[-1])
            self.assertEqual(self.shown(), 4 if by == "author" else 3)

    def test_download_is_the_part(self):
        self.driver.get(self.base + "Command=ShowMessage&mailinglist=demo&nId=3&sort=ByThread&locale=en-us")
        self.driver.find_element(By.LINK_TEXT, "figures.bin").click()
        path = pathlib.Path(f"{self.tmp.name}/downloads/figures.bin")
        until(path.exists)
        self.assertEqual(path.read_bytes(), ATTACHMENT)

    def test_hostile_message_runs_nothing(self):
        for query in ("Command=GetThreadIndex&mailinglist=demo", "Command=GetAuthorIndex&mailinglist=demo",
                      "Command=Search&mailinglist=demo&by=subject&partial=1&text=script",
                      "Command=ShowMessage&mailinglist=demo&nId=5&sort=ByAuthor"):
            self.driver.get(self.base + query + "&locale=en-us")
            time.sleep(0.2)
            self.assertIsNone(self.driver.execute_script("return window.pwned"), query)
            self.assertEqual(self.driver.execute_script(
                "return document.querySelectorAll('script,img[onerror],[onclick]:not(input),a[href^=javascript]')"
                ".length"), 0, query)
        self.assertIn("<pre class=\"body\">&lt;script&gt;window.pwned=1", self.driver.page_source)
        for query, status, disposition in (
                ("GetPart&mailinglist=demo&nId=5&part=2", 200, "attachment;"), ("Nope&mailinglist=demo", 400, None),
                ("GetSource&mailinglist=demo&nId=5", 200, "attachment;"), ("GetThreadIndex&mailinglist=..", 400, None),
                ("GetThreadIndex&mailinglist=none", 404, None), ("GetThreadIndex&mailinglist=demo&POST", 400, None),
                ("GetThreadIndex&mailinglist=demo", 200, None)):
            try:  # each through the one process, a refused request followed by another
                response = urllib.request.urlopen(self.base + "Command=" + query, b"x" if "POST" in query else None)
            except urllib.error.HTTPError as e:
                response = e
            sent = response.headers["Content-Disposition"]
            self.assertEqual((response.status, sent and sent[:11]), (status, disposition))
            self.assertIn("default-src 'none'", response.headers["Content-Security-Policy"])
            self.assertEqual(response.headers["X-Content-Type-Options"], "nosniff")
            self.assertNotIn(self.tmp.name, response.read().decode("latin-1"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
