#!/usr/bin/python3
"""Through a private lighttpd and one FastCGI process of archivecgi for all requests, in headless Chromium: index pages,
neighbours in each order, search, downloads, refusals, hostile messages. Usage: browser_test.py CLI CGI SOURCE_DIR"""
import base64, contextlib, os, pathlib, shutil, socket, subprocess, sys, tempfile, time, unittest, urllib.request
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.wait import WebDriverWait

CLI, CGI, TOP = sys.argv[1:4]
ATTACHMENT = bytes(range(256)) * 3 + b"end"
XSS = "<script>window.pwned=1</script><img src=x onerror=\"window.pwned=2\">"
HTML = f"<p onclick=\"window.pwned=3\">{XSS}<a href=\"javascript:window.pwned=4\">click</a></p>"


def message(subject, author, day, kind=None, *parts):
    mime = f"MIME-Version: 1.0\nContent-Type: multipart/{kind}; boundary=B\n" if kind else ""
    body = "".join(f"--B\n{p}\n" for p in parts) + "--B--\n" if kind else "Hello.\n"
    return (f"From x Mon Jan  1 00:00:00 2001\nFrom: {author}\nTo: list@example.org\nSubject: {subject}\n"
            f"Date: {day} Oct 2026 10:00:00 +0000\n{mime}\n{body}\n")


children = lambda pid: pathlib.Path(f"/proc/{pid}/task/{pid}/children").read_text().split()  # noqa: E731


def until(check):  # polls for up to five seconds
    for _ in range(100):
        with contextlib.suppress(OSError):
            if check():
                return
        time.sleep(0.05)


MBOX = "".join([
    message("Agenda", "Ann Lee <ann@example.org>", "Mon, 5"),
    message("Re: Agenda", "Bob Roe <bob@example.org>", "Tue, 6"),
    message("Budget", "Ann Lee <ann@example.org>", "Tue, 6", "mixed", "Content-Type: text/plain\n\nfigures attached",
            "Content-Type: application/octet-stream; name=figures.bin\nContent-Transfer-Encoding: base64\n\n"
            + base64.encodebytes(ATTACHMENT).decode()),
    message("Re: Agenda", "Ann Lee <ann@example.org>", "Wed, 7"),
    message(XSS, f"\"{XSS}\" <evil@example.org>", "Thu, 8", "mixed",
            f"Content-Type: text/plain\n\n{XSS}", f"Content-Type: text/html\n\n{HTML}"),
])


class Archive(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        home = cls.tmp.name
        for d in ("etc", "dlmgr", "run"):
            os.mkdir(f"{home}/{d}")
        shutil.copytree(f"{TOP}/data/web", f"{home}/web")
        pathlib.Path(f"{home}/etc/kelmo.ini").write_text(
            f"[DlManager]\nDbPath={home}/dlmgr\n[Language Selection]\nen-us=English,utf-8,en-us.txt\n"
            f"de-de=Deutsch,utf-8,de-de.txt\n[Config]\nWebAdminDirectory={home}/web\n")
        pathlib.Path(f"{home}/list.mbox").write_text(MBOX)
        for args in (["init"], ["import", "demo", f"{home}/list.mbox"], ["pages", "demo"]):
            subprocess.run([CLI, "--config", f"{home}/etc"] + args, check=True, stdout=subprocess.DEVNULL)
        port = str(socket.create_server(("127.0.0.1", 0)).getsockname()[1])  # closed again at once
        conf = pathlib.Path(f"{TOP}/data/lighttpd.conf.in").read_text()
        for name, value in (("ADDRESS", "127.0.0.1"), ("PORT", port), ("WEB", f"{home}/web"),
                            ("STATE", f"{home}/run"), ("CGI", CGI), ("CONFIG", f"{home}/etc")):
            conf = conf.replace(f"@{name}@", value)
        pathlib.Path(f"{home}/run/lighttpd.conf").write_text(conf.replace('"max-procs" => 2', '"max-procs" => 1'))
        cls.server = subprocess.Popen(["/usr/sbin/lighttpd", "-D", "-f", f"{home}/run/lighttpd.conf"],
                                      stderr=open(f"{home}/run/stderr.log", "w"))  # the FastCGI process's
        cls.base = f"http://127.0.0.1:{port}/vubo/scripts/archivecgi.exe?"
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for o in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
            options.add_argument(o)
        cls.driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        until(lambda: urllib.request.urlopen(cls.base + "Command=GetThreadIndex&mailinglist=demo"))
        cls.backend = children(cls.server.pid)

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        served = children(cls.server.pid)
        cls.server.terminate()  # which ends the FastCGI process: its leak check runs at exit
        cls.server.wait()
        until(lambda: all(not os.path.exists(f"/proc/{p}") or " Z " in pathlib.Path(f"/proc/{p}/stat").read_text()
                          for p in served))
        log = "".join(pathlib.Path(f"{cls.tmp.name}/run/{f}").read_text() for f in ("error.log", "stderr.log"))
        cls.tmp.cleanup()
        if "Sanitizer" in log or "runtime error" in log or len(cls.backend) != 1 or served != cls.backend:
            raise AssertionError(f"{cls.backend} then {served}: {log}")

    def click(self, text=None, element=None):  # and wait for the page it leads to
        before = self.driver.current_url
        (element or self.driver.find_element(By.LINK_TEXT, text)).click()
        WebDriverWait(self.driver, 10).until(lambda d: d.current_url != before)

    def shown(self):  # the message's number, from the address of its page
        return int(self.driver.current_url.split("nId=")[1].split("&")[0])

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

    def test_hostile_message_runs_nothing(self):
        for query in ("GetThreadIndex&mailinglist=demo", "GetAuthorIndex&mailinglist=demo",
                      "Search&mailinglist=demo&by=subject&partial=1&text=script", "ShowMessage&mailinglist=demo&nId=5"):
            self.driver.get(self.base + "Command=" + query + "&sort=ByAuthor&locale=en-us")
            time.sleep(0.2)
            self.assertEqual(self.driver.execute_script(
                "return [window.pwned || null, document.querySelectorAll('script,img[onerror],[onclick]:not(input),"
                "a[href^=javascript]').length]"), [None, 0], query)
        self.assertIn("<pre class=\"body\">&lt;script&gt;window.pwned=1", self.driver.page_source)
        for query, status, disposition in (
                ("GetPart&mailinglist=demo&nId=5&part=2", 200, "attachment;"), ("Nope&mailinglist=demo", 400, None),
                ("GetSource&mailinglist=demo&nId=5", 200, "attachment;"), ("GetThreadIndex&mailinglist=..", 400, None),
                ("GetThreadIndex&mailinglist=none", 404, None), ("GetThreadIndex&mailinglist=demo&POST", 400, None),
                ("GetThreadIndex&mailinglist=demo", 200, None),
                ("GetPart&mailinglist=demo&nId=3&part=2", 200, "attachment;")):
            try:  # each through the one process, a refused request followed by another
                response = urllib.request.urlopen(self.base + "Command=" + query, b"x" if "POST" in query else None)
            except urllib.error.HTTPError as e:
                response = e
            sent, body = response.headers["Content-Disposition"], response.read()
            self.assertEqual((response.status, sent and sent[:11], "nId=3" not in query or body == ATTACHMENT),
                             (status, disposition, True))
            self.assertEqual(("default-src 'none'" in response.headers["Content-Security-Policy"],
                              response.headers["X-Content-Type-Options"]), (True, "nosniff"))
            self.assertNotIn(self.tmp.name, body.decode("latin-1"))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
