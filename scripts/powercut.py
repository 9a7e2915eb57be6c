#!/usr/bin/env python3
"""Power cuts, counted: records every file-system call that a run of the
launcher or the stager makes on a data folder (strace -f, the wineserver
included), builds the folder as a power cut right after each call could
leave it, runs on each such state what the user would run next, and checks
the result against expected trees computed here from the scenario's own
source trees. Run by scripts/powercut.sh, which builds and prepares Wine.

The model of a power cut after call k (see the README, "Power cuts, counted"):
  data   the metadata calls (create, rename, delete, make and remove a folder,
         set attributes) up to k survive in order; each file holds what it
         held at its last flush before k (a file never flushed is empty);
  zeros  as data, but what was written since the last flush reads as zeros
         of the written length (the file keeps its length);
  meta   as data, and the metadata calls after the last flush of any file or
         folder are lost too.
"""

import argparse
import concurrent.futures
import copy
import hashlib
import os
import pwd
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time

MODELS = ("data", "zeros", "meta")
MAIN_LOG = "handoff.log"  # the sample main program's log: the application's own file
RESERVED = re.compile(r"^(update$|update\.|update~)", re.I)


# ---------------------------------------------------------------- the trace

def parse_c_string(text, pos):
    """Decodes the strace string literal at text[pos] == '"'. Returns
    (bytes, position after the closing quote and any '...')."""
    assert text[pos] == '"'
    out = bytearray()
    i = pos + 1
    simple = {"n": 10, "t": 9, "r": 13, "v": 11, "f": 12, "a": 7, "b": 8, "e": 27,
              '"': 34, "\\": 92, "'": 39, "?": 63}
    while True:
        c = text[i]
        if c == '"':
            i += 1
            break
        if c == "\\":
            n = text[i + 1]
            if n == "x":
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
            elif n in simple:
                out.append(simple[n])
                i += 2
            elif n.isdigit():
                j = i + 1
                while j < i + 4 and text[j].isdigit():
                    j += 1
                out.append(int(text[i + 1:j], 8) & 0xFF)
                i = j
            else:
                raise ValueError("unknown escape in trace: " + text[i:i + 4])
        else:
            out += c.encode("utf-8")
            i += 1
    if text.startswith("...", i):
        raise ValueError("a string was cut short in the trace (raise strace -s)")
    return bytes(out), i


def split_args(text, pos):
    """The arguments of the call whose '(' is just before text[pos]: a list of
    (raw text, decoded string or None). Returns (args, position after ')')."""
    args = []
    while text[pos] == " ":
        pos += 1
    if text[pos] == ")":
        return args, pos + 1
    while True:
        while text[pos] == " ":
            pos += 1
        start = pos
        decoded = None
        depth = 0
        while True:
            c = text[pos]
            if c == '"':
                s, pos = parse_c_string(text, pos)
                if decoded is None and depth == 0:
                    decoded = s
                continue
            if c in "[{(":
                depth += 1
            elif c in "]})":
                if depth == 0:
                    break
                depth -= 1
            elif c == "," and depth == 0:
                break
            elif c == "<":
                # an fd's path or socket: <...> ends with the '>' before the
                # argument's end ("<UNIX:[1->2]>" holds one)
                pos = text.index(">", pos + 1)
                while text[pos + 1] not in ",)":
                    pos = text.index(">", pos + 1)
            pos += 1
        args.append((text[start:pos].strip(), decoded))
        if text[pos] == ")":
            return args, pos + 1
        pos += 1


FD_RE = re.compile(r"^(-?\d+|AT_FDCWD)(?:<(.*)>)?$")


def fd_path(raw):
    m = FD_RE.match(raw)
    if not m:
        return None, None
    return m.group(1), m.group(2)


TRACED = ("open,openat,creat,write,writev,pwrite64,pwritev,pwritev2,ftruncate,truncate,"
          "fsync,fdatasync,sync_file_range,sync,syncfs,rename,renameat,renameat2,unlink,unlinkat,"
          "mkdir,mkdirat,rmdir,chmod,fchmod,fchmodat,setxattr,fsetxattr,lsetxattr,removexattr,"
          "fremovexattr,lremovexattr,link,linkat,symlink,symlinkat,chdir,fchdir,copy_file_range,"
          "sendfile,fallocate,lseek,_llseek,close,dup,dup2,dup3")

LINE_RE = re.compile(r"^(\d+) +(.*)$")


def read_trace_lines(path):
    """Whole calls, each as (pid, text), in the order they completed."""
    pending = {}
    with open(path, "r", encoding="utf-8", errors="surrogateescape") as f:
        for line in f:
            line = line.rstrip("\n")
            m = LINE_RE.match(line)
            if not m:
                continue
            pid, rest = int(m.group(1)), m.group(2)
            if rest.endswith("<unfinished ...>"):
                pending[pid] = rest[: -len("<unfinished ...>")].rstrip()
                continue
            r = re.match(r"^<\.\.\. (\w+) resumed>(.*)$", rest)
            if r:
                head = pending.pop(pid, None)
                if head is None:
                    continue
                tail = r.group(2)
                rest = head + tail
            if rest.startswith("+++") or rest.startswith("---"):
                continue
            yield pid, rest


CALL_RE = re.compile(r"^(\w+)\(")
RESULT_RE = re.compile(r"\)\s+=\s+(-?\d+|0x[0-9a-f]+|\?)(?:<(.*?)>)?")


class Recorder:
    """Turns a trace into events on paths relative to the tracked folder."""

    def __init__(self, root, prefix):
        self.root = os.path.normpath(root)
        self.drive = os.path.join(prefix, "dosdevices", "z:")
        self.cwd = {}
        self.pos = {}
        self.events = []
        self.unknown = []

    def norm(self, pid, path):
        if path is None:
            return None
        path = path.replace(" (deleted)", "")
        if path.startswith(self.drive):
            path = path[len(self.drive):] or "/"
        if not path.startswith("/"):
            path = os.path.join(self.cwd.get(pid, "/"), path)
        return os.path.normpath(path)

    def rel(self, path):
        if path is None:
            return None
        if path == self.root:
            return ""
        if path.startswith(self.root + "/"):
            return path[len(self.root) + 1:]
        return None

    def at_path(self, pid, dirfd_raw, name):
        name = name.decode("utf-8", "surrogateescape")
        if name.startswith("/"):
            return self.norm(pid, name)
        fd, p = fd_path(dirfd_raw)
        base = p if fd != "AT_FDCWD" and p else self.cwd.get(pid, "/")
        return self.norm(pid, os.path.join(base, name))

    def add(self, *event):
        if event[1] is not None and event[1].split("/")[0] != MAIN_LOG:
            self.events.append(event)

    def feed(self, pid, text):
        m = CALL_RE.match(text)
        if not m:
            return
        name = m.group(1)
        try:
            args, end = split_args(text, m.end())
        except (IndexError, ValueError) as e:
            if "cut short" in str(e):
                raise
            return
        r = RESULT_RE.match(text, end - 1)
        if not r:
            return
        result = r.group(1)
        if result == "?" or result.startswith("-"):
            return
        ret = int(result, 0)
        ret_path = self.norm(pid, r.group(2)) if r.group(2) and r.group(2).startswith("/") else None
        a = [x[0] for x in args]
        s = [x[1] for x in args]

        def fdrel(i):
            fd, p = fd_path(a[i])
            # Pipes and sockets show as "pipe:[n]": only a path is a file.
            return fd, self.rel(self.norm(pid, p)) if p and p.startswith("/") else None

        if name in ("chdir",):
            self.cwd[pid] = self.norm(pid, s[0].decode("utf-8", "surrogateescape"))
        elif name == "fchdir":
            fd, p = fd_path(a[0])
            if p:
                self.cwd[pid] = self.norm(pid, p)
        elif name in ("open", "openat", "creat"):
            flags = a[1] if name == "open" else a[2] if name == "openat" else "O_CREAT|O_TRUNC"
            target = self.rel(ret_path)
            if target is None:
                return
            self.pos[(pid, ret)] = 0
            if "O_CREAT" in flags:
                self.add("create", target)
            if "O_TRUNC" in flags:
                self.add("truncate", target, 0)
        elif name == "close":
            fd, _ = fd_path(a[0])
            if fd is not None:
                self.pos.pop((pid, int(fd)), None)
        elif name in ("lseek", "_llseek"):
            fd, _ = fd_path(a[0])
            if fd is None:
                return
            if name == "lseek":
                self.pos[(pid, int(fd))] = ret
            else:
                mm = re.match(r"\[(\d+)\]", a[2])
                if mm:
                    self.pos[(pid, int(fd))] = int(mm.group(1))
        elif name in ("write", "writev", "pwrite64", "pwritev", "pwritev2"):
            fd, path = fdrel(0)
            if path is None:
                return
            if name in ("write", "pwrite64"):
                data = s[1]
            else:
                data = b"".join(parse_iov(a[1]))
            data = data[:ret]
            if name in ("pwrite64", "pwritev", "pwritev2"):
                offset = int(a[-1] if name != "pwritev2" else a[-2])
            else:
                offset = self.pos.get((pid, int(fd)), 0)
                self.pos[(pid, int(fd))] = offset + len(data)
            self.add("write", path, offset, data)
        elif name == "ftruncate":
            fd, path = fdrel(0)
            self.add("truncate", path, int(a[1]))
        elif name == "truncate":
            self.add("truncate", self.rel(self.norm(pid, s[0].decode())), int(a[1]))
        elif name in ("fsync", "fdatasync", "sync_file_range"):
            fd, path = fdrel(0)
            self.add("flush", path)
        elif name in ("sync", "syncfs"):
            self.events.append(("flush-all", ""))
        elif name in ("rename", "renameat", "renameat2"):
            if name == "rename":
                src, dst = self.norm(pid, s[0].decode()), self.norm(pid, s[1].decode())
            else:
                src, dst = self.at_path(pid, a[0], s[1]), self.at_path(pid, a[2], s[3])
            rs, rd = self.rel(src), self.rel(dst)
            if rs is None and rd is None:
                return
            if rs is None or rd is None:
                self.unknown.append("rename across the tracked folder: " + text[:300])
                return
            self.add("rename", rs, rd)
        elif name in ("unlink", "unlinkat", "rmdir"):
            if name == "unlinkat":
                path = self.rel(self.at_path(pid, a[0], s[1]))
                kind = "rmdir" if "AT_REMOVEDIR" in a[2] else "unlink"
            else:
                path = self.rel(self.norm(pid, s[0].decode()))
                kind = name
            self.add(kind, path)
        elif name in ("mkdir", "mkdirat"):
            path = self.norm(pid, s[0].decode()) if name == "mkdir" else self.at_path(pid, a[0], s[1])
            self.add("mkdir", self.rel(path))
        elif name in ("chmod", "fchmod", "fchmodat"):
            if name == "fchmod":
                _, path = fdrel(0)
                mode = a[1]
            elif name == "chmod":
                path, mode = self.rel(self.norm(pid, s[0].decode())), a[1]
            else:
                path, mode = self.rel(self.at_path(pid, a[0], s[1])), a[2]
            self.add("chmod", path, int(mode, 8) & 0o7777)
        elif name in ("setxattr", "fsetxattr", "lsetxattr"):
            path = fdrel(0)[1] if name == "fsetxattr" else self.rel(self.norm(pid, s[0].decode()))
            self.add("setxattr", path, s[1], s[2][: int(a[3])])
        elif name in ("removexattr", "fremovexattr", "lremovexattr"):
            path = fdrel(0)[1] if name == "fremovexattr" else self.rel(self.norm(pid, s[0].decode()))
            self.add("removexattr", path, s[1])
        elif name in ("dup", "dup2", "dup3"):
            # The copy shares the offset; Wine writes through one of them only.
            fd, _ = fd_path(a[0])
            if fd is not None and (pid, int(fd)) in self.pos:
                self.pos[(pid, ret)] = self.pos[(pid, int(fd))]
        elif name in ("link", "linkat", "symlink", "symlinkat", "copy_file_range", "sendfile",
                      "fallocate"):
            if self.root in text:
                self.unknown.append(text[:300])


def parse_iov(raw):
    parts = []
    pos = 0
    while True:
        i = raw.find('iov_base="', pos)
        if i < 0:
            return parts
        s, pos = parse_c_string(raw, i + len("iov_base="))
        parts.append(s)


def record_events(trace, root, prefix):
    rec = Recorder(root, prefix)
    for pid, text in read_trace_lines(trace):
        rec.feed(pid, text)
    if rec.unknown:
        raise SystemExit("powercut: calls the model does not cover:\n  " + "\n  ".join(rec.unknown[:10]))
    return rec.events


# ---------------------------------------------------------------- the model

class Inode:
    __slots__ = ("durable", "current", "dirty", "mode", "xattrs")

    def __init__(self, durable=b"", current=b"", mode=0o644, xattrs=None, dirty=None):
        self.durable = durable
        self.current = bytearray(current)
        self.dirty = list(dirty or [])
        self.mode = mode
        self.xattrs = dict(xattrs or {})


class Tree:
    """Entries by relative path: None for a folder, an Inode for a file."""

    def __init__(self):
        self.entries = {}

    @staticmethod
    def from_disk(root, undurable=()):
        t = Tree()
        for dirpath, dirs, files in os.walk(root):
            rel = os.path.relpath(dirpath, root)
            rel = "" if rel == "." else rel
            for d in dirs:
                t.entries[os.path.join(rel, d)] = None
            for f in files:
                p = os.path.join(rel, f)
                full = os.path.join(root, p)
                with open(full, "rb") as h:
                    data = h.read()
                xattrs = {}
                try:
                    for n in os.listxattr(full):
                        xattrs[n.encode()] = os.getxattr(full, n)
                except OSError:
                    pass
                if any(p == u or p.startswith(u + "/") for u in undurable):
                    ino = Inode(b"", data, os.stat(full).st_mode & 0o7777, xattrs, [(0, len(data))])
                else:
                    ino = Inode(data, data, os.stat(full).st_mode & 0o7777, xattrs)
                t.entries[p] = ino
        return t

    def children(self, path):
        prefix = path + "/"
        return [p for p in self.entries if p.startswith(prefix)]


def apply_event(tree, ev):
    """Applies one event. Returns True for a flush (of a file or a folder)."""
    kind = ev[0]
    e = tree.entries
    if kind == "create":
        if ev[1] not in e:
            e[ev[1]] = Inode()
    elif kind == "truncate":
        ino = e.get(ev[1])
        if isinstance(ino, Inode):
            n = ev[2]
            if n < len(ino.current):
                del ino.current[n:]
            else:
                ino.current.extend(b"\0" * (n - len(ino.current)))
            ino.dirty.append((n, 0))
    elif kind == "write":
        ino = e.get(ev[1])
        if isinstance(ino, Inode):
            off, data = ev[2], ev[3]
            if len(ino.current) < off:
                ino.current.extend(b"\0" * (off - len(ino.current)))
            ino.current[off:off + len(data)] = data
            ino.dirty.append((off, len(data)))
    elif kind == "flush":
        ino = e.get(ev[1])
        if isinstance(ino, Inode):
            ino.durable = bytes(ino.current)
            ino.dirty = []
        return True
    elif kind == "flush-all":
        for ino in e.values():
            if isinstance(ino, Inode):
                ino.durable = bytes(ino.current)
                ino.dirty = []
        return True
    elif kind == "rename":
        src, dst = ev[1], ev[2]
        if src == dst or src not in e:
            return False
        moved = {src: e.pop(src)}
        for p in tree.children(src):
            moved[p] = e.pop(p)
        if dst in e:
            for p in tree.children(dst):
                del e[p]
            del e[dst]
        for p, v in moved.items():
            e[dst + p[len(src):]] = v
    elif kind == "unlink":
        e.pop(ev[1], None)
    elif kind == "rmdir":
        if ev[1] in e and not tree.children(ev[1]):
            del e[ev[1]]
    elif kind == "mkdir":
        e.setdefault(ev[1], None)
    elif kind == "chmod":
        if isinstance(e.get(ev[1]), Inode):
            e[ev[1]].mode = ev[2]
    elif kind == "setxattr":
        if isinstance(e.get(ev[1]), Inode):
            e[ev[1]].xattrs[ev[2]] = ev[3]
    elif kind == "removexattr":
        if isinstance(e.get(ev[1]), Inode):
            e[ev[1]].xattrs.pop(ev[2], None)
    return False


def zeros_content(ino):
    """What the file holds when its length is on the disk but nothing written
    since its last flush is: the flushed bytes, zeros where it was written."""
    n = len(ino.current)
    data = bytearray(ino.durable[:n])
    data.extend(b"\0" * (n - len(data)))
    for off, length in ino.dirty:
        end = min(off + length, n)
        if off < end:
            data[off:end] = b"\0" * (end - off)
    return bytes(data)


def snapshot(tree, model):
    """The state as a dict path -> None (folder) or (bytes, mode, xattrs)."""
    out = {}
    for p, v in tree.entries.items():
        if v is None:
            out[p] = None
        else:
            data = zeros_content(v) if model == "zeros" else v.durable
            out[p] = (data, v.mode, tuple(sorted(v.xattrs.items())))
    return out


def state_key(state):
    h = hashlib.sha256()
    for p in sorted(state):
        v = state[p]
        h.update(p.encode("utf-8", "surrogateescape") + b"\0")
        if v is None:
            h.update(b"D")
        else:
            h.update(b"F" + hashlib.sha256(v[0]).digest() + str(v[1]).encode() + repr(v[2]).encode())
    return h.hexdigest()


def build_states(base, events):
    """For each call k and model, the state a power cut right after call k
    leaves. Yields (k, model, state); k = -1 is the state before the first call."""
    tree = copy.deepcopy(base)
    last_flush_state = snapshot(tree, "data")
    yield -1, "data", last_flush_state
    for k, ev in enumerate(events):
        flushed = apply_event(tree, ev)
        data_state = snapshot(tree, "data")
        if flushed:
            last_flush_state = data_state
        yield k, "data", data_state
        yield k, "zeros", snapshot(tree, "zeros")
        yield k, "meta", last_flush_state


def final_tree_matches(tree_after, root):
    """Compares the model after every call with the folder the run left: a
    check of the recorder itself."""
    actual = Tree.from_disk(root)
    diffs = []
    for p in sorted(set(actual.entries) | set(tree_after.entries)):
        if p.split("/")[0] == MAIN_LOG:
            continue
        a, m = actual.entries.get(p, "missing"), tree_after.entries.get(p, "missing")
        if (a is None) != (m is None) or isinstance(a, str) or isinstance(m, str):
            diffs.append("%s: on disk %s, model %s" % (p, kind_name(a), kind_name(m)))
        elif a is not None and bytes(a.current) != bytes(m.current):
            diffs.append("%s: content differs (disk %d bytes, model %d)" % (p, len(a.current), len(m.current)))
    return diffs


def kind_name(v):
    return "missing" if isinstance(v, str) else "folder" if v is None else "file"


def materialize(state, root, owner):
    if os.path.lexists(root):
        shutil.rmtree(root)
    os.makedirs(root)
    uid = gid = None
    if owner is not None:
        pw = pwd.getpwnam(owner)
        uid, gid = pw.pw_uid, pw.pw_gid
        os.chown(root, uid, gid)
    for p in sorted(state, key=lambda x: (x.count("/"), x)):
        full = os.path.join(root, p)
        v = state[p]
        os.makedirs(os.path.dirname(full), exist_ok=True)
        if v is None:
            os.makedirs(full, exist_ok=True)
        else:
            with open(full, "wb") as h:
                h.write(v[0])
            for n, val in v[2]:
                try:
                    os.setxattr(full, n, val)
                except OSError:
                    pass
            os.chmod(full, v[1])
        if uid is not None:
            os.chown(full, uid, gid)


# ---------------------------------------------------------------- Wine

class Wine:
    def __init__(self, work, user):
        self.work = work
        self.user = user
        self.prefix = os.path.join(work, "wineprefix")

    def command(self, argv, env=None):
        base = ["env", "LANG=C.UTF-8", "LC_ALL=C.UTF-8"] + ["%s=%s" % kv for kv in (env or {}).items()]
        cmd = base + [os.path.join(self.work, "wine-run")] + argv
        if self.user:
            cmd = ["runuser", "-u", self.user, "--"] + cmd
        return cmd

    def server(self, *args):
        cmd = ["env", "WINEPREFIX=" + self.prefix, "HOME=" + os.path.join(self.work, "home"),
               "wineserver"] + list(args)
        if self.user:
            cmd = ["runuser", "-u", self.user, "--"] + cmd
        subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run(self, argv, timeout=60):
        # Output to a file, never a pipe: the programs Wine starts for the
        # prefix inherit the descriptors and outlive the program.
        with tempfile.TemporaryFile() as out:
            p = subprocess.run(self.command(argv), stdout=out, stderr=subprocess.STDOUT,
                               timeout=timeout, stdin=subprocess.DEVNULL)
            out.seek(0)
            return p.returncode, out.read().decode("utf-8", "replace").replace("\r", "")

    def traced(self, argv, trace):
        """Runs argv under strace -f with a fresh wineserver started inside the
        traced run, so that the calls the server makes itself are seen."""
        self.server("-k")
        time.sleep(0.3)
        script = "%s; status=$?; wineserver -w; exit $status" % " ".join(
            shlex.quote(x) for x in (["env", "LANG=C.UTF-8", "LC_ALL=C.UTF-8",
                                      os.path.join(self.work, "wine-run")] + argv))
        # strace runs as the caller and runs the command as the user.
        cmd = ["strace", "-f", "-yy", "-qq", "-s", str(1 << 21), "-x", "-o", trace, "-e",
               "trace=" + TRACED] + (["-u", self.user] if self.user else []) + [
               "env", "WINEPREFIX=" + self.prefix, "HOME=" + os.path.join(self.work, "home"),
               "USER=" + (self.user or os.environ.get("USER", "")), "sh", "-c", script]
        with tempfile.TemporaryFile() as out:
            p = subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
            out.seek(0)
            return p.returncode, out.read().decode("utf-8", "replace").replace("\r", "")


def winpath(path):
    return "Z:" + path.replace("/", "\\")


# ---------------------------------------------------------------- trees

def read_tree(root, skip_reserved=True):
    """path -> bytes (file) or None (folder), relative to root; without the
    top-level names of the update machinery and the main program's log."""
    out = {}
    if not os.path.isdir(root):
        return out
    for dirpath, dirs, files in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        rel = "" if rel == "." else rel
        if rel == "":
            if skip_reserved:
                dirs[:] = [d for d in dirs if not RESERVED.match(d)]
            files = [f for f in files if not (skip_reserved and RESERVED.match(f)) and f != MAIN_LOG]
        for d in dirs:
            out[os.path.join(rel, d)] = None
        for f in files:
            with open(os.path.join(dirpath, f), "rb") as h:
                out[os.path.join(rel, f)] = h.read()
    return out


def write_tree(tree, root, owner=None):
    os.makedirs(root, exist_ok=True)
    for p in sorted(tree, key=lambda x: (x.count("/"), x)):
        full = os.path.join(root, p)
        if tree[p] is None:
            os.makedirs(full, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as h:
                h.write(tree[p])
    if owner:
        subprocess.run(["chown", "-R", owner, root], check=True)


def with_folders(files):
    """A tree of files, with every folder above them."""
    out = dict(files)
    for p in files:
        parts = p.split("/")
        for i in range(1, len(parts)):
            out.setdefault("/".join(parts[:i]), None)
    return out


def tree_diff(actual, expected, limit=6):
    lines = []
    for p in sorted(set(actual) | set(expected)):
        if p not in actual:
            lines.append("missing " + p)
        elif p not in expected:
            lines.append("extra " + p)
        elif (actual[p] is None) != (expected[p] is None):
            lines.append("kind differs " + p)
        elif actual[p] != expected[p]:
            lines.append("content differs " + p)
    more = len(lines) - limit
    return lines[:limit] + (["... %d more" % more] if more > 0 else [])


def machinery(root):
    if not os.path.isdir(root):
        return {}
    return {n: os.path.isdir(os.path.join(root, n)) for n in os.listdir(root) if RESERVED.match(n)}


# ---------------------------------------------------------------- scenarios

def text(path, version):
    return ("%s of version %s\n" % (path, version)).encode() * (1 + len(path) % 3)


def versions(count, mains):
    """Version 1 and version 2 of a sample application with about `count`
    files: most files change, some are removed, some added, a folder goes
    whole, a file becomes a folder and a folder becomes a file."""
    v1 = {"Orbex.exe": mains[0]}
    v2 = {"Orbex.exe": mains[1]}
    for i in range(count):
        path = "lib/d%02d/f%03d.dat" % (i // 10, i)
        v1[path] = text(path, 1)
        if i % 7 == 3:
            continue  # removed by version 2
        v2[path] = v1[path] if i % 5 == 0 else text(path, 2)
    for i in range(max(2, count // 10)):
        v2["new/g%02d/h%03d.dat" % (i // 5, i)] = text("new %d" % i, 2)
    for name in ("a.dat", "b.dat"):
        v1["old-folder/" + name] = text(name, 1)  # the folder goes whole
        v1["shape/part/" + name] = text(name, 1)  # the folder becomes a file
    v1["keep-folder/x.dat"] = text("x", 1)  # dropped; the application's note keeps the folder
    v2["shape/part"] = text("part", 2)
    v1["turn/item"] = text("item", 1)  # the file becomes a folder
    v2["turn/item/inner.txt"] = text("inner", 2)
    return v1, v2


def application_files():
    """Files the application made: on no version's list, kept by every update."""
    return {"settings.ini": b"user settings\r\n", "keep-folder/app-note.txt": b"a note\r\n",
            "lib/d00/user.cfg": b"user configuration\r\n"}


def additions_only(v1, mains, count):
    """A version that only adds and replaces files (for a tree staged without a list)."""
    v2 = {"Orbex.exe": mains[1]}
    for i, path in enumerate(sorted(p for p in v1 if p.startswith("lib/"))):
        if i % 2 == 0:
            v2[path] = text(path, 2)
    for i in range(max(2, count // 10)):
        v2["new/g%03d.dat" % i] = text("new %d" % i, 2)
    return v2


def later_version(v2, mains):
    """Version 3, from version 2: some of its changes undone, others changed again."""
    v3 = {}
    for i, path in enumerate(sorted(v2)):
        if path == "Orbex.exe":
            v3[path] = mains[1] + b"\0version 3"
        elif i % 3 == 0:
            v3[path] = text(path, 3)
        elif i % 11 == 5:
            continue
        else:
            v3[path] = v2[path]
    v3["added-in-3/z.dat"] = text("z", 3)
    return v3


def staged_files(staged):
    """The files of a staged tree, without its version list."""
    return {p: v for p, v in staged.items() if v is not None and p != "update.version"}


def changed_files(source, installed):
    return {p: v for p, v in source.items() if installed.get(p) != v}


class Scenario:
    """One recorded run. kind "apply": the launcher applies (or finishes) an
    update; kind "stage": the stager stages a newer update."""

    def __init__(self, name, kind, count):
        self.name, self.kind, self.count = name, kind, count


# A whole status file: one line, "<state> <detail>", ended by CR LF.
STATUS_LINE = re.compile(rb"^(applied|waiting|discarded|unfinished) [^\r\n\x00]+\r\n$")


def status_line(data):
    """The bytes of update.status in `data`, or None when there is none."""
    try:
        with open(os.path.join(data, "update.status"), "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def scenario_list(quick):
    if quick:
        return [Scenario("apply", "apply", 24), Scenario("recovery", "apply", 24),
                Scenario("recovery-commit", "apply", 24), Scenario("stage", "stage", 12),
                Scenario("apply-unlisted", "apply", 12)]
    # Every apply writes update.status: check_apply reads it in each state a
    # cut leaves and after the next start.
    return [Scenario("apply", "apply", 200), Scenario("recovery", "apply", 200),
            Scenario("recovery-commit", "apply", 200), Scenario("stage", "stage", 40),
            Scenario("apply-unlisted", "apply", 60)]


class Run:
    def __init__(self, args):
        self.args = args
        self.wine = Wine(args.work, args.user)
        self.bin = args.bin
        self.pc = os.path.join(args.work, "powercut")
        os.makedirs(self.pc, exist_ok=True)
        with open(os.path.join(self.bin, "sample_main.exe"), "rb") as h:
            m1 = h.read()
        with open(os.path.join(self.bin, "sample_main_v2.exe"), "rb") as h:
            m2 = h.read()
        self.mains = (m1, m2)
        self.chown = ["chown", "-R", args.user] if args.user else None
        self.lock = threading.Lock()

    # -- running the product

    def place_launcher(self, app):
        os.makedirs(app, exist_ok=True)
        shutil.copy(os.path.join(self.bin, "Orbex.exe"), os.path.join(app, "Orbex.exe"))
        if self.chown:
            subprocess.run(self.chown + [app], check=True)

    def start(self, app, wait=True):
        """Starts the launcher in `app`; True when the main program started
        (its log got a line)."""
        data = os.path.join(app, "OrbexData")
        log = os.path.join(data, MAIN_LOG)
        before = os.path.getsize(log) if os.path.exists(log) else 0
        self.wine.run([os.path.join(app, "Orbex.exe")])
        if not wait:
            return True
        deadline = time.time() + 20
        while time.time() < deadline:
            if os.path.exists(log) and os.path.getsize(log) > before:
                time.sleep(0.05)
                return True
            time.sleep(0.05)
        return False

    def stage(self, source, data, stage_all=False):
        argv = [os.path.join(self.bin, "OrbexStage.exe")] + (["--all"] if stage_all else []) + \
               [winpath(source), winpath(data)]
        return self.wine.run(argv)

    # -- set-up

    def sources(self, sc, d):
        v1, v2 = versions(sc.count, self.mains)
        if sc.name == "apply-unlisted":
            v2 = additions_only(v1, self.mains, sc.count)
        v3 = later_version(v2, self.mains)
        app = application_files()
        for name, tree in (("src-v1", v1), ("src-v2", v2), ("src-v3", v3)):
            if os.path.exists(os.path.join(d, name)):
                shutil.rmtree(os.path.join(d, name))
            write_tree(tree, os.path.join(d, name), self.args.user)
        return v1, v2, v3, app

    def install(self, d, v1, app):
        """The base installation: version 1 staged and applied by the product,
        then the application's own files."""
        appdir = os.path.join(d, "setup", "app")
        if os.path.exists(os.path.join(d, "setup")):
            shutil.rmtree(os.path.join(d, "setup"))
        self.place_launcher(appdir)
        data = os.path.join(appdir, "OrbexData")
        os.makedirs(data)
        if self.chown:
            subprocess.run(self.chown + [data], check=True)
        code, out = self.stage(os.path.join(d, "src-v1"), data, True)
        if code != 0 or not self.start(appdir):
            raise SystemExit("powercut: cannot install version 1 in %s: %s" % (data, out))
        os.remove(os.path.join(data, MAIN_LOG))
        write_tree(app, data, self.args.user)
        if read_tree(data) != with_folders({**v1, **app}):
            raise SystemExit("powercut: the installed version 1 is not as expected in " + data)
        return appdir, data

    def prepare(self, sc, recorded=None):
        """Sets the scenario up and records its run. Returns a dict with the
        base tree, the events, and the expected trees."""
        d = os.path.join(self.pc, sc.name)
        os.makedirs(d, exist_ok=True)
        v1, v2, v3, app = self.sources(sc, d)
        info = {"old": with_folders({**v1, **app})}
        appdir, data = self.install(d, v1, app)
        undurable = ()
        if sc.kind == "apply":
            info["new"] = with_folders({**v1, **v2, **app}) if sc.name == "apply-unlisted" \
                else with_folders({**v2, **app})
            if sc.name == "apply-unlisted":
                # Staged by other means: copied in place, no list, nothing flushed.
                write_tree(with_folders(v2), os.path.join(data, "update"), self.args.user)
                undurable = ("update",)
                info["unflushed_staging"] = {**v1, **app}
            else:
                code, out = self.stage(os.path.join(d, "src-v2"), data, True)
                if code != 0:
                    raise SystemExit("powercut: staging version 2 failed: " + out)
            info["staged"] = read_tree(os.path.join(data, "update"), False)
            if staged_files(info["staged"]) != v2:
                raise SystemExit("powercut: the staged version 2 is not version 2")
            command = [os.path.join(d, "rec", "app", "Orbex.exe")]
        else:
            info["new2"] = with_folders({**v2, **app})
            info["new3"] = with_folders({**v3, **app})
            code, out = self.stage(os.path.join(d, "src-v2"), data)
            if code != 0:
                raise SystemExit("powercut: staging version 2 failed: " + out)
            info["staged2"] = read_tree(os.path.join(data, "update"), False)
            if staged_files(info["staged2"]) != changed_files(v2, v1):
                raise SystemExit("powercut: the staged version 2 holds other files than those changed")
            command = [os.path.join(self.bin, "OrbexStage.exe"), winpath(os.path.join(d, "src-v3")),
                       winpath(os.path.join(d, "rec", "app", "OrbexData"))]
        if recorded is not None:
            # A recovery: the base is a state of another scenario's apply, cut.
            shutil.rmtree(data)
            materialize(recorded, data, self.args.user)
            undurable = ()
        base = Tree.from_disk(data, undurable)
        # The recording, on a copy of the base.
        rec = os.path.join(d, "rec")
        if os.path.exists(rec):
            shutil.rmtree(rec)
        self.place_launcher(os.path.join(rec, "app"))
        shutil.copytree(data, os.path.join(rec, "app", "OrbexData"), symlinks=True)
        if self.chown:
            subprocess.run(self.chown + [rec], check=True)
        subprocess.run(["sync"])
        trace = os.path.join(d, "trace")
        root = os.path.join(rec, "app", "OrbexData")
        code, out = self.wine.traced(command, trace)
        events = record_events(trace, root, self.wine.prefix)
        after = copy.deepcopy(base)
        for ev in events:
            apply_event(after, ev)
        diffs = final_tree_matches(after, root)
        if diffs:
            raise SystemExit("powercut: the recorded calls of %s do not explain the folder the run left:\n  %s"
                             % (sc.name, "\n  ".join(diffs[:10])))
        if sc.kind == "stage":
            if code != 0:
                raise SystemExit("powercut: the recorded stager run failed: " + out)
            info["staged3"] = read_tree(os.path.join(root, "update"), False)
            if staged_files(info["staged3"]) != changed_files(v3, v1):
                raise SystemExit("powercut: the staged version 3 holds other files than those changed")
        else:
            if read_tree(root) != info["new"]:
                raise SystemExit("powercut: the recorded apply did not install version 2:\n  " +
                                 "\n  ".join(tree_diff(read_tree(root), info["new"])))
        info["base"] = base
        info["events"] = events
        self.restart_server()
        return info

    def restart_server(self):
        self.wine.server("-k")
        self.wine.server("-p")

    # -- checks

    def check_apply(self, info, state, final, work):
        """After a cut during an apply: the next start."""
        app = os.path.join(work, "app")
        data = os.path.join(app, "OrbexData")
        materialize(state, data, self.args.user)
        problems = []
        cut_status = status_line(data)
        if cut_status is not None and not STATUS_LINE.match(cut_status):
            problems.append("the cut left update.status not whole: %r" % cut_status[:80])
        expected_new = info["new"]
        main_whole = True
        if "unflushed_staging" in info and not os.path.exists(os.path.join(data, "update.journal")) \
                and os.path.isdir(os.path.join(data, "update")):
            # Before the launcher's journal, a staged file that its writer never
            # flushed may be short; that is the writer's loss (README, "What not
            # to do"). The next start must then apply the staged tree as the cut
            # left it, whole.
            now = staged_files(read_tree(os.path.join(data, "update"), False))
            expected_new = with_folders({**info["unflushed_staging"], **now})
            main_whole = now.get("Orbex.exe") == info["staged"].get("Orbex.exe")
        started = self.start(app, wait=main_whole)
        if not started:
            problems.append("the next start started no main program")
        installed = read_tree(data)
        pending = read_tree(os.path.join(data, "update"), False)
        if installed == expected_new:
            version = "new"
        elif installed == info["old"] and pending == info["staged"]:
            version = "old"
        else:
            version = None
            candidates = {"new": expected_new, "old": info["old"]}
            near = min(candidates, key=lambda v: len(tree_diff(installed, candidates[v], 10**6)))
            problems.append("the installation is neither version whole (against %s: %s)"
                            % (near, "; ".join(tree_diff(installed, candidates[near]))))
        if final and version != "new":
            problems.append("the run had installed the new version, the start after the cut has not")
        # The start says what it did: a whole line, "applied" for the new
        # version (none when the cut left nothing for it to do), "waiting"
        # when the update stays pending.
        after = status_line(data)
        if after is not None and not STATUS_LINE.match(after):
            problems.append("the start left update.status not whole: %r" % after[:80])
        elif version == "new" and after is not None and not after.startswith(b"applied "):
            problems.append("update.status does not say applied: %r" % after)
        elif version == "old" and (after is None or not after.startswith(b"waiting ")):
            problems.append("update.status does not say waiting: %r" % after)
        allowed = {"update.version": False, "update.status": False}
        if version == "old":
            allowed["update"] = True
        for name, is_dir in machinery(data).items():
            if allowed.get(name) != is_dir:
                problems.append("the update machinery left %s%s" % (name, "\\" if is_dir else ""))
        return problems

    def check_stage(self, info, state, final, work):
        """After a cut during a stager run: the state itself, the next start,
        and, from the same state, the next stager run."""
        problems = []
        app = os.path.join(work, "app")
        data = os.path.join(app, "OrbexData")
        materialize(state, data, self.args.user)
        pending = read_tree(os.path.join(data, "update"), False) if os.path.isdir(
            os.path.join(data, "update")) else None
        old = read_tree(os.path.join(data, "update.old"), False) if os.path.isdir(
            os.path.join(data, "update.old")) else None
        if pending == info["staged2"]:
            expected = info["new2"]
        elif pending == info["staged3"]:
            expected = info["new3"]
        elif pending is None and old == info["staged2"]:
            expected = info["old"]
        else:
            near = min(("staged2", "staged3"), key=lambda v: len(tree_diff(pending or {}, info[v], 10**6)))
            problems.append("the pending update is neither the previous one, none, nor the new one whole "
                            "(against %s: %s)" % ("the previous" if near == "staged2" else "the new",
                                                  "; ".join(tree_diff(pending or {}, info[near]))))
            expected = None
        if final and pending != info["staged3"]:
            problems.append("the stager had reported the new update staged; after the cut it is not pending")
        if read_tree(data) != info["old"]:
            problems.append("the stager changed the installation: " + "; ".join(tree_diff(read_tree(data), info["old"])))
        # The next stager run, on a copy of the same state.
        data2 = os.path.join(work, "again", "OrbexData")
        materialize(state, data2, self.args.user)
        code, out = self.stage(os.path.join(self.pc, "stage", "src-v3"), data2)
        if code != 0:
            problems.append("the next stager run failed: " + out.strip().replace("\n", " | "))
        elif read_tree(os.path.join(data2, "update"), False) != info["staged3"]:
            problems.append("after the next stager run the pending update is not the new one whole: " +
                            "; ".join(tree_diff(read_tree(os.path.join(data2, "update"), False), info["staged3"])))
        for name, is_dir in machinery(data2).items():
            if {"update": True, "update.version": False, "update.status": False}.get(name) != is_dir:
                problems.append("after the next stager run the update machinery left %s" % name)
        # The next start.
        if not self.start(app):
            problems.append("the next start started no main program")
        installed = read_tree(data)
        if expected is not None and installed != expected:
            problems.append("after the next start the installation is not the version that was pending: " +
                            "; ".join(tree_diff(installed, expected)))
        allowed = {"update.version": False, "update.status": False, "update.partial": True, "update.old": True}
        for name, is_dir in machinery(data).items():
            if allowed.get(name) != is_dir:
                problems.append("after the next start the update machinery left %s%s"
                                % (name, "\\" if is_dir else ""))
        return problems


def describe(ev):
    if ev is None:
        return "before the first call"
    kind = ev[0]
    if kind == "write":
        return "write %s, %d bytes at %d" % (ev[1], len(ev[3]), ev[2])
    if kind == "truncate":
        return "truncate %s to %d" % (ev[1], ev[2])
    if kind == "rename":
        return "rename %s -> %s" % (ev[1], ev[2])
    if kind == "chmod":
        return "chmod %s %o" % (ev[1], ev[2])
    if kind in ("setxattr", "removexattr"):
        return "%s %s %s" % (kind, ev[1], ev[2].decode("utf-8", "replace"))
    return "%s %s" % (kind, ev[1])


def recovery_base(info, name):
    """The state from which a recovery is recorded: for "recovery", a cut in
    the middle of the apply's moves (data model); for "recovery-commit", a cut
    after the apply appended to its journal (its commit mark), before the
    flush, with the appended bytes read as zeros."""
    events = info["events"]
    if name == "recovery":
        renames = [k for k, ev in enumerate(events) if ev[0] == "rename"]
        target, wanted = renames[len(renames) // 2], "data"
    else:
        target = [k for k, ev in enumerate(events)
                  if ev[0] == "write" and ev[1] == "update.journal" and ev[2] > 0][0]
        wanted = "zeros"
    for k, model, state in build_states(info["base"], events):
        if k == target and model == wanted:
            return state
    raise AssertionError("no such state")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", required=True)
    ap.add_argument("--bin", required=True)
    ap.add_argument("--user", default="")
    ap.add_argument("--quick", action="store_true")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--replay", help="SCENARIO:K:MODEL, one state, checked and kept "
                    "(with --quick for a state the quick share printed)")
    ap.add_argument("--scenario", action="append", help="only this scenario (repeatable)")
    args = ap.parse_args()
    if args.replay:
        args.jobs = 1
    run = Run(args)
    scenarios = scenario_list(args.quick)
    only = None
    if args.replay:
        name, k, model = args.replay.split(":")
        only = (name, int(k), model)
        wanted = {name, "apply"} if name.startswith("recovery") else {name}
        scenarios = [s for s in scenario_list(args.quick) if s.name in wanted]
        scenarios.sort(key=lambda s: s.name != "apply")
    if args.scenario:
        wanted = set(args.scenario) | ({"apply"} if any(n.startswith("recovery") for n in args.scenario)
                                       else set())
        scenarios = [s for s in scenario_list(args.quick) if s.name in wanted]
    total = wrong = 0
    infos = {}
    for sc in scenarios:
        t0 = time.time()
        recorded = recovery_base(infos["apply"], sc.name) if sc.name.startswith("recovery") else None
        info = run.prepare(sc, recorded)
        infos[sc.name] = info
        if (only and only[0] != sc.name) or (args.scenario and sc.name not in args.scenario):
            continue
        events = info["events"]
        check = run.check_apply if sc.kind == "apply" else run.check_stage
        last = len(events) - 1
        # Identical states are checked once; every (call, model) is counted.
        groups = {}
        for k, model, state in build_states(info["base"], events):
            if only and (k, model) != only[1:]:
                continue
            key = (state_key(state), k == last)
            if key not in groups:
                groups[key] = [state, []]
            groups[key][1].append((k, model))
        slots = [os.path.join(run.pc, "run-%d" % i) for i in range(args.jobs)]
        for slot in slots:
            run.place_launcher(os.path.join(slot, "app"))
        free = list(slots)

        def one(key):
            with run.lock:
                slot = free.pop()
            try:
                for _ in range(3):
                    try:
                        return key, check(info, groups[key][0], key[1], slot)
                    except subprocess.TimeoutExpired:
                        # Under 32-bit Wine a program can hang before its
                        # first instruction, waiting on a pipe to the
                        # wineserver (see the Wine notes); Windows has no
                        # such hang. What hung in this slot is ended, and
                        # the state is built and checked again.
                        subprocess.run(["pkill", "-KILL", "-f", slot + "/"],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                        print("note: Wine hung at a start in %s; the state is checked again"
                              % os.path.basename(slot), flush=True)
                return key, ["a program hung at every start (three tries)"]
            finally:
                with run.lock:
                    free.append(slot)

        bad = 0
        count = sum(len(g[1]) for g in groups.values())
        with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
            for key, problems in pool.map(one, list(groups)):
                if problems:
                    bad += len(groups[key][1])
                    for k, model in groups[key][1]:
                        print("wrong: %s:%d:%s after call %d (%s): %s" % (
                            sc.name, k, model, k, describe(events[k] if k >= 0 else None),
                            " / ".join(problems)), flush=True)
                groups[key][0] = None
        if bad:
            print("replay one with: bash scripts/powercut.sh %s--replay %s:K:MODEL" % (
                "--quick " if args.quick else "", sc.name), flush=True)
        total += count
        wrong += bad
        print("%s: %d calls recorded, %d states (%d distinct), %d wrong, %.0f s" % (
            sc.name, len(events), count, len(groups), bad, time.time() - t0), flush=True)
        if only:
            print("the state is kept in " + os.path.join(run.pc, "run-0"))
    run.wine.server("-k")
    print("powercut: %d states, %d wrong" % (total, wrong))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
