#!/usr/bin/env python3
"""The rows of `make bench`. Each row measures one thing on two sides, ours and a reference,
in interleaved rounds (ours first, then the reference first, and so on), so that the noise of a
shared machine falls on both; it reports min and median of each side and the ratio of the
medians. Every sample runs in a fresh process. Nothing here fails on a slow figure: a row only
fails when it cannot measure (a send refused, a file that did not arrive).

Usage: bench.py --build BUILD [--rows ID,...] [--rounds N] [--list]
Run it through bench/run, which provides the X display and the Wine server."""

import argparse
import csv
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import time
from pathlib import Path

MIB = 1024 * 1024
SMALL_FILES = 200
CARD_OBJECTS = 10000
# The five files of an update that the check looks for, none of them on the card.
UPDATE_NAMES = ["UPDATE.FIR", "MAIN.BIN", "TABLE.DAT", "FONTS.DAT", "LOADER.BIN"]
ROW_BUDGET_S = 60  # a slow row stops after this, once it has two rounds
PROFILE = "; the benchmark's camera: a card as large as any send\n[card]\ncapacity = 1T\n"
# The same camera, answering MTP property lists (GetObjectPropList).
LISTING_PROFILE = PROFILE + "[camera]\nobject_prop_list = yes\n"
FIRMINFO = """[Firmware Folder Name]
FIRMWARE
--------------------
[Firmware File Name]
UPDATE.FIR

[Camera Model Name]
Tarvo Camera X1

[Firmware Version]
1.0.2.0

[CF Capacity]
66000
"""


class BenchError(Exception):
    pass


def run_figures(what, command, timeout):
    """Runs a measuring program: its "key value" lines, of which "seconds" must be one."""
    done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise BenchError(f"{what}: {done.stderr.strip() or done.returncode}")
    figures = {}
    for line in done.stdout.splitlines():
        parts = line.split()
        if len(parts) == 2 and re.fullmatch(r"[0-9.]+", parts[1]):
            figures[parts[0]] = float(parts[1])
    if "seconds" not in figures:
        raise BenchError(f"{what} reported nothing: {done.stdout!r}")
    return figures


def windows(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return folder


def expect_arrived(folder, sources):
    for source in sources:
        copy = folder / source.name
        if not copy.is_file() or copy.stat().st_size != source.stat().st_size:
            raise BenchError(f"{copy} did not arrive whole")


class Line:
    """One line of the table: a figure read from the samples of a row's two sides."""

    def __init__(self, what, unit, key, ref_key=None, scale=1.0, size=0, target=None):
        self.what, self.unit, self.key, self.scale, self.size = what, unit, key, scale, size
        self.ref_key = ref_key or key
        self.target = target  # ("ratio", minimum) or ("below", maximum of our median)

    def met(self, ours, ratio):
        if not self.target:
            return ""
        kind, bound = self.target
        return "yes" if (ratio >= bound if kind == "ratio" else ours < bound) else "no"

    def target_text(self):
        if not self.target:
            return ""
        kind, bound = self.target
        return f"ratio >= {bound:g}" if kind == "ratio" else f"< {bound:g} {self.unit}"

    def show(self, value):
        text = f"{value:.3f} {self.unit}" if value < 100 else f"{value:.0f} {self.unit}"
        if self.size and self.unit == "s" and value > 0:
            text += f" ({self.size / value / 1e6:.0f} MB/s)"
        return text


class Row:
    def __init__(self, ident, reference, lines, setup, ours, ref, teardown=None, needs=()):
        self.ident, self.reference, self.lines = ident, reference, lines
        self.setup, self.ours, self.ref, self.teardown = setup, ours, ref, teardown
        self.needs = needs  # programs the row runs besides ours


class Bench:
    def __init__(self, build):
        self.build = build
        windows_build = build / "x86_64"
        self.wine_run = windows_build / "wine-run"
        self.program = windows_build / "bench" / "vandrel_bench.exe"
        self.library = windows_build / "driver" / "KXPTPCLS.DLL"
        self.wizard = windows_build / "app" / "Vandrel.exe"
        self.vcam = build / "native" / "vcam" / "vcam"
        self.walk = build / "native" / "bench" / "ptpip_walk"
        self.out = build / "bench"
        self.work = self.out / "work"
        self.servers = []

    # --- the sides -------------------------------------------------------------------------

    def measure(self, *args):
        """One run of vandrel_bench under Wine: its "key value" lines."""
        return run_figures(f"vandrel_bench {args[0]}",
                           [str(self.wine_run), str(self.program), *map(str, args)], 1200)

    def send(self, camera, sources):
        """Our side: the files sent to the embedded camera of `camera`, on an empty card."""
        card = fresh(camera / "card")
        figures = self.measure("send", windows(camera), *map(windows, sources))
        expect_arrived(card, sources)
        return figures

    def copy(self, sources):
        """The reference: CopyFileA of the files into an empty folder."""
        copies = fresh(self.work / "copies")
        figures = self.measure("copy", windows(copies), *map(windows, sources))
        expect_arrived(copies, sources)
        return figures

    def gphoto2(self, port, *args, cwd=None):
        home = self.work / "home"  # gphoto2 keeps its settings there
        home.mkdir(exist_ok=True)
        start = time.perf_counter()
        done = subprocess.run(["gphoto2", "--port", f"ptpip:127.0.0.1:{port}:{port}", *args],
                              capture_output=True, text=True, timeout=600, cwd=cwd,
                              env=dict(os.environ, HOME=str(home)))
        seconds = time.perf_counter() - start
        if done.returncode != 0:
            raise BenchError(f"gphoto2 {' '.join(args)}: {done.stdout.strip()} {done.stderr.strip()}")
        return {"seconds": seconds}

    # --- fixtures --------------------------------------------------------------------------

    def data_file(self, name, size):
        path = self.work / "data" / name
        if not path.exists() or path.stat().st_size != size:
            path.parent.mkdir(parents=True, exist_ok=True)
            with open(path, "wb") as f:
                for _ in range(size // MIB):
                    f.write(os.urandom(MIB))
                f.write(os.urandom(size % MIB))
        return path

    def camera(self, name, settings, profile=PROFILE):
        """A folder with the library, its settings, the camera's profile and a card."""
        folder = fresh(self.work / name)
        # The library as it ships: stripped as the release kit strips it. Wine reads a DLL's
        # debug information into memory with its code, some 20 MB of it.
        subprocess.run(["x86_64-w64-mingw32-strip", "--strip-all", "-o",
                        str(folder / "KXPTPCLS.DLL"), str(self.library)], check=True)
        (folder / "KXPTPCLS.ini").write_text(settings)
        (folder / "camera.ini").write_text(profile)
        (folder / "card").mkdir()
        return folder

    def embedded(self, name, card=None, verify="content", profile=PROFILE):
        card_line = f"card = {windows(card)}\n" if card else "card = card\n"
        return self.camera(name, "transport = virtual\nprofile = camera.ini\n" + card_line +
                           f"verify = {verify}\n", profile)

    def full_card(self, objects=CARD_OBJECTS, name="card10k"):
        card = self.work / name
        if len(list(card.glob("*.JPG"))) != objects:
            fresh(card)
            for i in range(objects):
                (card / f"IMG_{i:05d}.JPG").write_bytes(b"\xff\xd8" + bytes(126))
        return card

    def start_vcam(self, card, text=PROFILE):
        profile = self.work / "vcam.ini"
        profile.write_text(text)
        server = subprocess.Popen([str(self.vcam), "--profile", str(profile), "--card", str(card),
                                   "--port", "0", "--quiet"],
                                  stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.servers.append(server)
        first = server.stdout.readline()
        found = re.match(r"vcam listening on 127\.0\.0\.1:(\d+)", first)
        if not found:
            raise BenchError(f"vcam did not start: {first!r}")
        return int(found.group(1))

    def ptpip(self, name, port):
        return self.camera(name, f"transport = ptpip\nhosts = 127.0.0.1:{port}\n")

    def stop_servers(self):
        for server in self.servers:
            server.send_signal(signal.SIGTERM)
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
        self.servers = []

    # --- the rows --------------------------------------------------------------------------

    def send_row(self, ident, size):
        state = {}

        def setup():
            state["file"] = self.data_file(f"BIG{size // MIB}.BIN", size)
            state["camera"] = self.embedded("camera", verify="size")

        mib = size // MIB
        lines = [Line(f"{mib} MiB through the driver to the embedded camera, entry checked "
                      "(verify = size)", "s", "seconds",
                      size=size, target=("ratio", 0.8))]
        if size >= 256 * MIB:
            lines.append(Line(f"Peak memory, {mib} MiB send", "MiB", "peak_mib",
                              target=("below", 32)))
        return Row(ident, "CopyFileA of the same file, same Wine", lines, setup,
                   lambda _: self.send(state["camera"], [state["file"]]),
                   lambda _: self.copy([state["file"]]))

    def verified_send_row(self):
        """What the read-back of the default `verify = content` adds to a 64 MiB send."""
        state = {}

        def setup():
            state["file"] = self.data_file("BIG64.BIN", 64 * MIB)
            state["checked"] = self.embedded("camera", verify="content")
            state["sent"] = self.embedded("camera-size", verify="size")

        line = Line("64 MiB to the embedded camera, content read back and compared "
                    "(verify = content)", "s", "seconds", size=64 * MIB)
        return Row("send-64M-verified", "the same send, entry checked only (verify = size)",
                   [line], setup, lambda _: self.send(state["checked"], [state["file"]]),
                   lambda _: self.send(state["sent"], [state["file"]]))

    def ptpip_send_row(self):
        state = {}

        def setup():
            state["file"] = self.data_file("BIG64.BIN", 64 * MIB)
            state["card"] = fresh(self.work / "ip-card")
            state["port"] = self.start_vcam(state["card"])
            state["camera"] = self.ptpip("camera-ip", state["port"])
            state["names"] = fresh(self.work / "ip-files")

        # vcam keeps what it received: every send needs a name of its own.
        def named(prefix, i):
            path = state["names"] / f"{prefix}{i:03d}.BIN"
            os.link(state["file"], path)
            return path

        def ours(i):
            path = named("V", i)
            figures = self.measure("send", windows(state["camera"]), windows(path))
            expect_arrived(state["card"], [path])
            return figures

        def ref(i):
            path = named("G", i)
            figures = self.gphoto2(state["port"], "--folder", "/store_00010001",
                                   "--upload-file", path.name, cwd=state["names"])
            expect_arrived(state["card"], [path])
            return figures

        line = Line("64 MiB over PTP/IP on loopback to vcam (connection and session included)",
                    "s", "session_seconds", ref_key="seconds", size=64 * MIB,
                    target=("ratio", 2))
        return Row("send-64M-ptpip", "gphoto2 --upload-file to the same vcam (whole process)",
                   [line], setup, ours, ref, self.stop_servers, needs=("gphoto2",))

    def small_files_row(self):
        state = {}

        def setup():
            folder = fresh(self.work / "data" / "small")
            for i in range(SMALL_FILES):
                (folder / f"S{i:04d}.BIN").write_bytes(os.urandom(4096))
            state["files"] = sorted(folder.iterdir())
            state["camera"] = self.embedded("camera", verify="size")

        line = Line(f"{SMALL_FILES} files of 4 KiB, embedded camera (verify = size)", "ms/file", "seconds",
                    scale=1000.0 / SMALL_FILES, target=("below", 1))
        return Row("small-files", "CopyFileA of the same files", [line], setup,
                   lambda _: self.send(state["camera"], state["files"]),
                   lambda _: self.copy(state["files"]))

    def check_row(self, ident, transport, bound, lists=True):
        """lists: the camera answers MTP property lists; else every entry is a GetObjectInfo."""
        state = {}
        profile = LISTING_PROFILE if lists else PROFILE

        def setup():
            state["card"] = self.full_card()
            if transport == "ptpip":
                port = self.start_vcam(state["card"], profile)
                state["camera"] = self.ptpip("camera-ip10k", port)
            else:
                state["camera"] = self.embedded("camera10k", state["card"], profile=profile)

        def ours(_):
            return self.measure("check", windows(state["camera"]), *UPDATE_NAMES)

        def ref(_):
            return self.measure("lookup", windows(state["card"]), *UPDATE_NAMES)

        where = "over PTP/IP on loopback" if transport == "ptpip" else "embedded"
        how = "property lists" if lists else "a GetObjectInfo per object"
        line = Line(f'"Not yet on the card" check, {len(UPDATE_NAMES)}-file update, card of '
                    f"{CARD_OBJECTS} objects, {where}, {how}", "s", "seconds",
                    target=("below", bound))
        return Row(ident, "FindFirstFileA of the same names in the card's folder", [line], setup,
                   ours, ref, self.stop_servers)

    def split_writes_row(self):
        """A PTP/IP camera that writes each dataset and its response apart, without
        TCP_NODELAY, against the same camera writing them as one."""
        state = {}
        objects = 304

        def setup():
            card = self.full_card(objects, "card304")
            state["card"] = card
            split = self.start_vcam(card, PROFILE + "[camera]\nsplit_writes = yes\n")
            state["split"] = self.ptpip("camera-split", split)
            prompt = self.start_vcam(card, PROFILE)
            state["prompt"] = self.ptpip("camera-prompt", prompt)
            state["ports"] = {"split": split, "prompt": prompt}

        def check(camera):
            return self.measure("check", windows(state[camera]), *UPDATE_NAMES)

        def walk(camera):
            return run_figures("ptpip_walk",
                               [str(self.walk), "127.0.0.1", str(state["ports"][camera])], 600)

        what = (f"card of {objects} objects over PTP/IP, a camera that writes dataset and "
                "response apart without TCP_NODELAY")
        return [
            Row("check-ptpip-split-writes", "the same camera writing them as one",
                [Line(f'"Not yet on the card" check under Wine, {what}', "s", "seconds",
                      target=("ratio", 0.8))],
                setup, lambda _: check("split"), lambda _: check("prompt"), self.stop_servers),
            Row("walk-ptpip-split-writes", "the same camera writing them as one",
                [Line(f"The PTP library's own walk, native, {what}", "s", "seconds",
                      target=("ratio", 0.8))],
                setup, lambda _: walk("split"), lambda _: walk("prompt"), self.stop_servers),
        ]

    def wizard_row(self):
        state = {}

        def setup():
            update = self.camera("update", "transport = virtual\nprofile = camera.ini\n")
            shutil.copy(self.wizard, update / "Vandrel.exe")
            (update / "FirmInfo.txt").write_text(FIRMINFO)
            (update / "FIRMWARE").mkdir()
            # No readme.txt: Finish then opens nothing.
            parts = [update / "UPDATE.FIR", update / "FIRMWARE" / "MAIN.BIN"]
            for path, size in zip(parts, (48 * MIB, 16 * MIB)):
                shutil.copy(self.data_file(f"UPDATE{size // MIB}.BIN", size), path)
            state["update"], state["parts"] = update, parts

        def ours(_):
            card = fresh(state["update"] / "card")
            figures = self.measure("wizard", windows(state["update"]))
            expect_arrived(card, state["parts"])
            return figures

        line = Line("Wizard walk of a 64 MiB update through Vandrel.exe (checks and copy)", "s",
                    "seconds", size=64 * MIB)
        return Row("wizard-64M", "CopyFileA of the update's files", [line], setup, ours,
                   lambda _: self.copy(state["parts"]))

    def rows(self):
        return [
            self.send_row("send-64M", 64 * MIB),
            self.send_row("send-256M", 256 * MIB),
            self.verified_send_row(),
            self.ptpip_send_row(),
            self.small_files_row(),
            self.check_row("check-embedded", "virtual", 1),
            self.check_row("check-ptpip", "ptpip", 2),
            self.check_row("check-ptpip-objectinfo", "ptpip", 2, lists=False),
            *self.split_writes_row(),
            self.wizard_row(),
        ]


def run_row(row, rounds):
    """Samples of both sides, interleaved; a slow row runs fewer rounds."""
    samples = {"ours": [], "ref": []}
    row.setup()
    start = time.perf_counter()
    try:
        for i in range(rounds):
            for side in (("ours", "ref") if i % 2 == 0 else ("ref", "ours")):
                measure = row.ours if side == "ours" else row.ref
                samples[side].append(measure(i))
            if i >= 1 and time.perf_counter() - start > ROW_BUDGET_S:
                break
    finally:
        if row.teardown:
            row.teardown()
    return samples


def summarize(row, line, samples):
    ours = [s[line.key] * line.scale for s in samples["ours"]]
    ref = [s[line.ref_key] * line.scale for s in samples["ref"]]
    ours_median, ref_median = statistics.median(ours), statistics.median(ref)
    ratio = ref_median / ours_median if ours_median > 0 else float("inf")
    return {
        "row": row.ident, "what": line.what, "unit": line.unit, "rounds": len(ours),
        "ours_min": min(ours), "ours_median": ours_median, "reference": row.reference,
        "ref_min": min(ref), "ref_median": ref_median, "ratio": ratio,
        "target": line.target_text(), "met": line.met(ours_median, ratio),
        "ours_samples": " ".join(f"{v:.4f}" for v in ours),
        "ref_samples": " ".join(f"{v:.4f}" for v in ref),
    }


def machine(bench):
    def first_line(*command):
        try:
            done = subprocess.run(command, capture_output=True, text=True, timeout=60)
            return (done.stdout.strip().splitlines() or [""])[0]
        except OSError:
            return "unknown"

    cpu = "unknown"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    return (f"{os.cpu_count()} CPUs (nproc), {cpu}; "
            f"Wine {first_line(str(bench.wine_run), '--version')}; "
            f"{first_line('gphoto2', '--version')}; "
            f"commit {first_line('git', '-C', str(Path(__file__).parent), 'rev-parse', '--short', 'HEAD')}")


def ratio_text(ratio):
    return f"{ratio:.2f}" if ratio >= 0.1 else f"{ratio:.2g}"


def markdown(results, failures, machine_text):
    out = [f"Machine: {machine_text}", "",
           "| Row | What | Vandrel min | Vandrel median | Reference | Ref. min | Ref. median "
           "| Ratio (ref. / Vandrel) | Target | Met |",
           "|---|---|---|---|---|---|---|---|---|---|"]
    for r in results:
        line = r["line"]
        out.append(f"| {r['row']} | {r['what']} | {line.show(r['ours_min'])} "
                   f"| {line.show(r['ours_median'])} | {r['reference']} "
                   f"| {line.show(r['ref_min'])} | {line.show(r['ref_median'])} "
                   f"| {ratio_text(r['ratio'])} | {r['target']} | {r['met']} |")
    for ident, error in failures:
        out.append(f"| {ident} | not measured: {error} | | | | | | | | |")
    out += ["", "Medians and minimums of interleaved rounds (see the CSV for every sample); "
            "a ratio above 1 means Vandrel took less time or memory than the reference."]
    return "\n".join(out) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, type=Path)
    parser.add_argument("--rows", help="comma-separated row ids (default: all)")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--list", action="store_true", help="list the row ids")
    args = parser.parse_args()

    bench = Bench(args.build.resolve())
    rows = bench.rows()
    if args.list:
        for row in rows:
            print(f"{row.ident}: {row.lines[0].what}")
        return 0
    wanted = set(args.rows.split(",")) if args.rows else None
    if wanted and wanted - {row.ident for row in rows}:
        parser.error(f"unknown rows: {', '.join(sorted(wanted - {r.ident for r in rows}))}")
    bench.out.mkdir(parents=True, exist_ok=True)
    bench.work.mkdir(parents=True, exist_ok=True)

    results, failures = [], []
    for row in rows:
        if wanted and row.ident not in wanted:
            continue
        missing = [program for program in row.needs if not shutil.which(program)]
        if missing:
            failures.append((row.ident, f"{', '.join(missing)} not installed"))
            continue
        print(f"== {row.ident}", flush=True)
        try:
            samples = run_row(row, max(1, args.rounds))
        except (BenchError, subprocess.TimeoutExpired, OSError) as error:
            print(f"   not measured: {error}", flush=True)
            failures.append((row.ident, str(error)))
            continue
        for line in row.lines:
            result = summarize(row, line, samples)
            result["line"] = line
            results.append(result)
            print(f"   {line.what}: Vandrel {line.show(result['ours_median'])}, reference "
                  f"{line.show(result['ref_median'])}, ratio {ratio_text(result['ratio'])} "
                  f"({result['rounds']} rounds)", flush=True)

    table = markdown(results, failures, machine(bench))
    (bench.out / "bench.md").write_text(table)
    with open(bench.out / "bench.csv", "w", newline="") as f:
        fields = ["row", "what", "unit", "rounds", "ours_min", "ours_median", "reference",
                  "ref_min", "ref_median", "ratio", "target", "met", "ours_samples",
                  "ref_samples"]
        writer = csv.DictWriter(f, fieldnames=fields, extrasaction="ignore")
        writer.writeheader()
        writer.writerows(results)
    print()
    print(table)
    print(f"Written: {bench.out / 'bench.md'}, {bench.out / 'bench.csv'}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
