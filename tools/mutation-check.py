#!/usr/bin/env python3
"""Measures how many realistic faults the tests catch.

Each fault of tools/mutations.txt is applied alone to a copy of the tree (built once, then
incrementally), its area's Windows tests and the host suite run, and the fault is undone.
A fault is "caught" when a test fails, "NOT CAUGHT" when all pass, "not applicable" when
its text is gone and "does not build" when the mutant fails to compile (never counted as
caught). Prints the faults no test caught and a summary.

usage: tools/mutation-check.py [--list FILE] [--work DIR] [--only N,N...] [--jobs N]
Runs itself in a private network namespace (the sender's ports) when it can.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def parse_list(path):
    areas, faults = {}, []
    for line in open(path, encoding="utf-8").read().split("\n"):
        if line.startswith("area "):
            _, name, regex = line.split(" ", 2)
            areas[name] = areas[name] + "|" + regex if name in areas else regex
        elif line.startswith("@ "):
            _, area, file, what = line.split(" ", 3)
            faults.append({"id": len(faults) + 1, "area": area, "file": file, "what": what, "old": [], "new": []})
        elif line[:1] in ("-", "+") and faults:
            faults[-1]["old" if line[0] == "-" else "new"].append(line[2:])
    for fault in faults:
        if fault["area"] not in areas:
            sys.exit(f"fault {fault['id']}: unknown area {fault['area']}")
        fault["old"], fault["new"] = "\n".join(fault["old"]), "\n".join(fault["new"])
    return areas, faults


def run(command, cwd, timeout=None):
    """Runs a command in a session of its own; (exit status or None on time-out, output)."""
    started = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               errors="replace", start_new_session=True)
    try:
        output = started.communicate(timeout=timeout)[0]
        return started.returncode, output
    except subprocess.TimeoutExpired:
        os.killpg(started.pid, 9)
        return None, started.communicate()[0]


def copy_tree(work):
    """Brings the copy up to date with the working tree; unchanged files keep their times."""
    listed = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "-z"], cwd=root, check=True,
                            capture_output=True).stdout.decode().split("\0")
    for name in filter(None, listed):
        source, target = os.path.join(root, name), os.path.join(work, name)
        if not os.path.isfile(source):
            continue
        data = open(source, "rb").read()
        if os.path.exists(target) and open(target, "rb").read() == data:
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(source, target)
        shutil.copymode(source, target)


class Bed:
    def __init__(self, work, jobs):
        self.work, self.jobs = work, str(jobs)
        self.windows, self.host = os.path.join(work, "build/windows"), os.path.join(work, "build/host")
        self.targets = {}

    def build_targets(self, regex):
        """Ninja outputs (programs, libraries) that the selected tests run or name as arguments."""
        if regex not in self.targets:
            shown = subprocess.run(["ctest", "--test-dir", self.windows, "-R", regex, "--show-only=json-v1"],
                                   capture_output=True, text=True, check=True).stdout
            known = subprocess.run(["ninja", "-C", self.windows, "-t", "targets", "all"], capture_output=True,
                                   text=True, check=True).stdout
            known = {line.split(":")[0] for line in known.splitlines()}
            wanted = set()
            for test in json.loads(shown)["tests"]:
                for word in test.get("command", []):
                    path = os.path.relpath(re.sub(r"^[A-Za-z]:", "", word), self.windows)
                    if path in known:
                        wanted.add(path)
            self.targets[regex] = sorted(wanted)
        return self.targets[regex]

    def build(self, regex):
        """(built, host code changed)"""
        status, output = run(["ninja", "-C", self.windows, "-j", self.jobs] + self.build_targets(regex), self.work)
        if status != 0:
            return False, False
        status, output = run(["ninja", "-C", self.host, "-j", self.jobs], self.work)
        return status == 0, "no work to do" not in output

    def ctest(self, tree, regex, timeout):
        command = ["ctest", "--test-dir", tree, "--output-on-failure"]
        command += ["-R", regex] if regex else ["-j", self.jobs]
        status, output = run(command, self.work, timeout)
        if status is None:
            # A hanging test: nothing of it may outlive the run.
            subprocess.run([os.path.join(self.windows, "wine-prefix.sh"), "cleanup"], capture_output=True)
            return ["(time-out)"], output
        failed = re.findall(r"^\s*\d+ - (\S+) \(", output.split("tests FAILED:")[-1], re.M) if status else []
        return failed or (["(ctest " + str(status) + ")"] if status else []), output


def failed_cases(output):
    """The Google Test cases that failed, as ctest shows their output: which cases catch a fault."""
    return sorted(set(re.findall(r"^\[  FAILED  \] ([\w/]+\.[\w/]+)", output, re.M)))


def show_failure(failed, output):
    """A failing unchanged tree voids its faults: show why, indented, so the report stays readable."""
    if failed:
        print("\n".join("    | " + line for line in output.splitlines()[-80:]), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--list", default=os.path.join(root, "tools/mutations.txt"))
    parser.add_argument("--work", default=os.path.join(root, "build/mutation"))
    parser.add_argument("--only", help="comma-separated fault numbers")
    parser.add_argument("--jobs", type=int, default=os.cpu_count())
    args = parser.parse_args()
    if os.environ.get("VELMORA_PRIVATE_NET") != "1" and os.geteuid() == 0 and shutil.which("unshare"):
        os.environ["VELMORA_PRIVATE_NET"] = "1"
        os.execvp("unshare", ["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$0" "$@"', sys.executable]
                  + sys.argv)

    areas, faults = parse_list(args.list)
    if args.only:
        chosen = {int(n) for n in args.only.split(",")}
        faults = [fault for fault in faults if fault["id"] in chosen]
    started = time.monotonic()
    work = os.path.join(os.path.abspath(args.work), "tree")
    copy_tree(work)
    bed = Bed(work, args.jobs)
    status, output = run(["env", f"VELMORA_JOBS={args.jobs}", "bash", "tools/build.sh"], work)
    if status != 0:
        sys.exit(output[-3000:] + "\nmutation check: the unchanged tree does not build")

    # The unchanged tree first: an area whose tests fail already can tell nothing.
    budget, baseline_failed = {}, {}
    for area in sorted({fault["area"] for fault in faults}):
        begin = time.monotonic()
        failed, output = bed.ctest(bed.windows, areas[area], 3600)
        budget[area] = 2 * (time.monotonic() - begin) + 120
        baseline_failed[area] = failed
        print(f"baseline {area}: {'FAILED ' + ' '.join(failed) if failed else 'passed'} "
              f"({time.monotonic() - begin:.0f} s)", flush=True)
        show_failure(failed, output)
    begin = time.monotonic()
    host_failed, output = bed.ctest(bed.host, None, 3600)
    host_budget = 2 * (time.monotonic() - begin) + 120
    print(f"baseline host: {'FAILED ' + ' '.join(host_failed) if host_failed else 'passed'}", flush=True)
    show_failure(host_failed, output)

    results = []
    for fault in faults:
        begin = time.monotonic()
        path = os.path.join(work, fault["file"])
        original = open(path, encoding="utf-8").read() if os.path.exists(path) else ""
        if not fault["old"] or fault["old"] not in original:
            verdict, detail = "not applicable", "text not found"
        elif baseline_failed[fault["area"]] or host_failed:
            verdict, detail = "not run", "the unchanged tree fails these tests"
        else:
            with open(path, "w", encoding="utf-8") as mutant:
                mutant.write(original.replace(fault["old"], fault["new"], 1))
            try:
                built, host_changed = bed.build(areas[fault["area"]])
                if not built:
                    verdict, detail = "does not build", ""
                else:
                    failed, output = bed.ctest(bed.windows, areas[fault["area"]], budget[fault["area"]])
                    cases = failed_cases(output)
                    if host_changed:
                        failed_host, output = bed.ctest(bed.host, None, host_budget)
                        failed += [name + " (host)" for name in failed_host]
                        cases += [name + " (host)" for name in failed_cases(output)]
                    failed += ["{" + " ".join(cases) + "}"] if cases else []
                    verdict, detail = ("caught", " ".join(failed)) if failed else ("NOT CAUGHT", "")
            finally:
                with open(path, "w", encoding="utf-8") as restored:
                    restored.write(original)
        results.append((fault, verdict))
        print(f"{fault['id']:3} {fault['area']:12} {verdict:15} {time.monotonic() - begin:5.0f} s  {fault['what']}"
              + (f"  [{detail}]" if detail else ""), flush=True)

    print("\nNot caught by any test:")
    for fault, verdict in results:
        if verdict == "NOT CAUGHT":
            print(f"  {fault['id']:3} {fault['area']:12} {fault['file']}: {fault['what']}")
    counts = {verdict: sum(1 for _, v in results if v == verdict) for _, verdict in results}
    print("\nSummary: " + ", ".join(f"{count} {verdict}" for verdict, count in sorted(counts.items()))
          + f" of {len(results)} faults; {(time.monotonic() - started) / 60:.1f} min")
    return 1 if counts.get("NOT CAUGHT") or counts.get("does not build") else 0


if __name__ == "__main__":
    sys.exit(main())
