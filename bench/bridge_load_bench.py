"""Load through the real bridge: 8 approved origins with 4 pages each call QXMeridiaControl as fast
as they can (GenRandomNumber of a length each call picks, checked by the answer's length, and
every eighth call HashResult of a text no other call uses then GetHash, checked against the MD5
of that text), while one worker is killed every 30 s.

Checks that every request gets exactly one answer, and that it is its own: the right hash, or the
documented 410 ("the control was released") or 500 after a kill; an answer for another call or
another origin would show as a wrong hash. Samples the bridge's and the workers' memory and open
descriptors, and compares the end of the run with the end of the warm-up.

Usage: /usr/bin/python3 bench/bridge_load_bench.py BIN_DIR [SECONDS]   (default 600)"""

import hashlib
import http.client
import json
import os
import random
import signal
import sys
import threading
import time

sys.dont_write_bytecode = True

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "bridge", "e2e"))

import fixture  # noqa: E402

ORIGINS = ["https://load%d.example" % i for i in range(8)]
PAGES_PER_ORIGIN = 4
KILL_EVERY_S = 30
SAMPLE_EVERY_S = 5
PROG_ID = "QXMeridiaControl.SGN"


class Tally:
    def __init__(self):
        self.lock = threading.Lock()
        self.times = []
        self.answered = 0
        self.released = 0  # 410 after a kill
        self.failed = 0    # 500 after a kill
        self.wrong = []    # answers that were not the request's own

    def add(self, seconds):
        with self.lock:
            self.times.append(seconds)
            self.answered += 1

    def note(self, field):
        with self.lock:
            setattr(self, field, getattr(self, field) + 1)

    def fault(self, text):
        with self.lock:
            if len(self.wrong) < 20:
                self.wrong.append(text)
            else:
                self.wrong[-1] = "... and more"


def text_of(value):
    """The page's text from a wire value (["s", text] or a bare string)."""
    if isinstance(value, list) and len(value) == 2 and value[0] == "s":
        return value[1]
    if isinstance(value, str):
        return value
    return None


class Page(threading.Thread):
    def __init__(self, port, origin, number, tally, stop, turn):
        super().__init__(daemon=True)
        self.turn = turn
        self.port, self.origin, self.number = port, origin, number
        self.tally, self.stop = tally, stop
        self.connection = None
        self.object = None
        self.serial = 0

    def post(self, body):
        """(status, json) of one call; a dropped connection is reopened once and counted."""
        payload = json.dumps(body).encode()
        for attempt in range(2):
            if self.connection is None:
                self.connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
            try:
                start = time.perf_counter()
                self.connection.request("POST", "/korvan/v1/call", payload,
                                        {"Origin": self.origin, "Content-Type": "text/plain;charset=UTF-8"})
                response = self.connection.getresponse()
                data = response.read()
                self.tally.add(time.perf_counter() - start)
                if response.getheader("Connection", "").lower() == "close":
                    self.connection.close()
                    self.connection = None
                return response.status, json.loads(data)
            except (OSError, http.client.HTTPException) as error:
                self.connection.close()
                self.connection = None
                if attempt == 1:
                    self.tally.fault("%s page %d: no answer: %r" % (self.origin, self.number, error))
        return None, None

    def call(self, member, *args):
        return self.post({"v": 1, "op": "call", "object": self.object, "member": member,
                          "args": [["s", a] for a in args]})

    def ready(self):
        # IsOnline resets the module's state, the hash of another page's turn included.
        with self.turn:
            status, body = self.post({"v": 1, "op": "create", "progId": PROG_ID})
            if status != 200:
                return False
            self.object = body.get("object")
            status, body = self.call("IsOnline")
        return status == 200

    def after_kill(self, status):
        if status == 410:
            self.tally.note("released")
        elif status == 500:
            self.tally.note("failed")
        else:
            return False
        self.object = None
        return True

    def checked_hash(self):
        """HashResult of a text no other call uses, then GetHash. The hash lives in the worker's
        control module, shared by an origin's objects, so an origin's pages take turns."""
        self.serial += 1
        text = "%s page %d call %d %08x" % (self.origin, self.number, self.serial, random.getrandbits(32))
        with self.turn:
            status, body = self.call("HashResult", text)
            if status == 200:
                status, body = self.call("GetHash")
        if status != 200:
            return status, body
        got = text_of(body.get("value"))
        want = hashlib.md5(text.encode("cp1252")).hexdigest()
        if got is None or got.lower() != want:
            self.tally.fault("%s: GetHash gave %r for a text hashing to %s" % (self.origin, got, want))
        return status, body

    def checked_random(self):
        """GenRandomNumber of a length this call chose: an answer of another length is not its own."""
        length = 2 * random.randint(1, 32)
        status, body = self.post({"v": 1, "op": "call", "object": self.object, "member": "GenRandomNumber",
                                  "args": [["n", length]]})
        if status == 200:
            got = text_of(body.get("value"))
            if got is None or len(got) != length:
                self.tally.fault("%s: GenRandomNumber(%d) gave %r" % (self.origin, length, got))
        return status, body

    def run(self):
        calls = 0
        while not self.stop.is_set():
            if self.object is None and not self.ready():
                self.object = None
                time.sleep(0.05)
                continue
            calls += 1
            status, body = self.checked_hash() if calls % 8 == 0 else self.checked_random()
            if status != 200 and not self.after_kill(status):
                self.tally.fault("%s: answered %s %s" % (self.origin, status, body))


def children(pid):
    found = []
    try:
        for task in os.listdir("/proc/%d/task" % pid):
            with open("/proc/%d/task/%s/children" % (pid, task)) as f:
                found.extend(int(p) for p in f.read().split())
    except OSError:
        pass
    return found


def usage(pid):
    """(resident KiB, open descriptors) of a process, or None once it is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        return rss, len(os.listdir("/proc/%d/fd" % pid))
    except (OSError, StopIteration):
        return None


def percentile(sorted_values, fraction):
    index = min(len(sorted_values) - 1, max(0, round(fraction * len(sorted_values)) - 1))
    return sorted_values[index]


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    os.environ["KORVAN_BIN_DIR"] = os.path.abspath(sys.argv[1])
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 600
    warm_up = min(60, seconds // 5)
    with fixture.World() as world:
        bridge = fixture.Bridge(world, ORIGINS)
        world.bridges.append(bridge)
        tally, stop = Tally(), threading.Event()
        turns = {origin: threading.Lock() for origin in ORIGINS}
        pages = [Page(bridge.port, origin, n, tally, stop, turns[origin])
                 for origin in ORIGINS for n in range(PAGES_PER_ORIGIN)]
        for page in pages:
            page.start()
        started = time.monotonic()
        samples = []  # (elapsed, bridge (rss, fds), workers' mean (rss, fds))
        kills = 0
        next_kill, next_sample = started + KILL_EVERY_S, started + SAMPLE_EVERY_S
        answered_at_warm_up, warm_up_time = None, None
        while time.monotonic() - started < seconds:
            time.sleep(0.2)
            now = time.monotonic()
            if answered_at_warm_up is None and now - started >= warm_up:
                answered_at_warm_up, warm_up_time = tally.answered, now
            if now >= next_kill:
                workers = children(bridge.process.pid)
                if workers:
                    os.kill(workers[kills % len(workers)], signal.SIGKILL)
                    kills += 1
                next_kill += KILL_EVERY_S
            if now >= next_sample:
                workers = [u for u in (usage(p) for p in children(bridge.process.pid)) if u]
                mean = (sum(u[0] for u in workers) / len(workers), sum(u[1] for u in workers) / len(workers)) \
                    if workers else (0, 0)
                samples.append((now - started, usage(bridge.process.pid), mean))
                next_sample += SAMPLE_EVERY_S
        stop.set()
        for page in pages:
            page.join(timeout=70)
        ended = time.monotonic()
        alive = bridge.process.poll() is None

    times = sorted(tally.times)
    if not times:
        print("bridge_load_bench: no call was answered", file=sys.stderr)
        return 1
    rate = (tally.answered - (answered_at_warm_up or 0)) / max(ended - (warm_up_time or started), 1e-9)
    print("bridge load: %d origins x %d pages, %d s, %d workers killed" %
          (len(ORIGINS), PAGES_PER_ORIGIN, seconds, kills))
    print("  calls answered %d, %.0f calls/s after warm-up; p50 %.3f ms, p99 %.3f ms" %
          (tally.answered, rate, percentile(times, 0.5) * 1e3, percentile(times, 0.99) * 1e3))
    print("  after kills: %d answered 410, %d answered 500" % (tally.released, tally.failed))
    after = [s for s in samples if s[0] >= warm_up and s[1]]
    verdict = True
    if after:
        first, last = after[0], after[-1]
        peak_rss = max(s[1][0] for s in after)
        peak_fds = max(s[1][1] for s in after)
        print("  bridge: RSS %d KiB at warm-up, %d at the end, peak %d; descriptors %d, %d, peak %d" %
              (first[1][0], last[1][0], peak_rss, first[1][1], last[1][1], peak_fds))
        print("  workers (mean of those alive): RSS %d KiB at warm-up, %d at the end; descriptors %.1f, %.1f" %
              (first[2][0], last[2][0], first[2][1], last[2][1]))
        for name, a, b in (("bridge RSS", first[1][0], last[1][0]), ("bridge descriptors", first[1][1], last[1][1]),
                           ("worker RSS", first[2][0], last[2][0]), ("worker descriptors", first[2][1], last[2][1])):
            if a and b > a * 1.10:
                print("  %s grew by more than 10%%: %s -> %s" % (name, a, b))
                verdict = False
    if tally.wrong:
        verdict = False
        print("  answers that were not the request's own, or missing:")
        for line in tally.wrong:
            print("    " + line)
    if not alive:
        verdict = False
        print("  the bridge ended during the run")
    print("  verdict: %s" % ("every request had exactly its own answer; memory and descriptors flat"
                             if verdict else "FAILED"))
    return 0 if verdict else 1


if __name__ == "__main__":
    sys.exit(main())
