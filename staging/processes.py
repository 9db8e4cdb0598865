"""spawnlist taken one step at a time in gdb (run by steps.py).

gdb keeps both processes of the fork (detach-on-fork off) and resumes only the one whose
turn it is (schedule-multiple off). The parent's steps are its fork, its line and its exit;
the child's are its exec of the listing program and the listing, up to its exit. Every
place is found by the C library's own names, fork and puts, and by catching the exec, so
the program as installed, stripped, can be held too. After each step the processes' parents are
read from /proc, so the child's re-parenting shows when the parent has gone."""

import os

import gdb

from holding import Lost, run


def parent_of(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("PPid:"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


class SpawnList:
    def __init__(self, program, tty):
        self.program = program
        for setting in ("detach-on-fork off", "follow-fork-mode parent", "schedule-multiple off",
                        "follow-exec-mode same"):
            gdb.execute(f"set {setting}")
        start = gdb.Breakpoint("fork", internal=True)
        run(program, tty)
        start.delete()
        gdb.execute("catch exec", to_string=True)
        self.parent = gdb.selected_inferior()
        self.pids = {"parent": self.parent.pid}
        self.child = None
        self.next = {"P": "fork", "C": "exec"}
        self.exits = {}
        gdb.events.exited.connect(self.exited)

    def exited(self, event):
        role = "parent" if event.inferior.num == self.parent.num else "child"
        self.exits[role] = getattr(event, "exit_code", None)

    def resume(self, inferior, command="continue"):
        gdb.execute(f"inferior {inferior.num}", to_string=True)
        try:
            gdb.execute(command, to_string=True)
        except gdb.error as error:
            raise Lost(f"{self.program} did not get that far: {error}") from error

    def step(self, letter):
        kind = self.next[letter]
        reply = {"kind": kind}
        if kind == "fork":
            self.resume(self.parent, "finish")  # gdb takes the child as the fork returns
            self.child = next(i for i in gdb.inferiors() if i.num != self.parent.num and i.pid)
            self.pids["child"] = self.child.pid
            self.next["P"] = "line"
        elif kind == "line":
            puts = gdb.Breakpoint("puts", internal=True)
            self.resume(self.parent)
            puts.enabled = False
            self.resume(self.parent, "finish")
            puts.delete()
            self.next["P"] = "exit"
        elif kind == "exit":
            self.resume(self.parent)
            reply["status"] = self.exits.get("parent")
            self.next["P"] = "done"
        elif kind == "exec":
            self.resume(self.child)
            reply["failed"] = "child" in self.exits
            reply["status"] = self.exits.get("child")
            self.next["C"] = "list"
        else:
            reply["ended"] = "child" in self.exits  # a failed exec has ended it already
            if not reply["ended"]:
                self.resume(self.child)
            reply["status"] = self.exits.get("child")
            self.next["C"] = "done"
        reply["processes"] = self.processes()
        return reply

    def processes(self):
        """Each live process's role and its parent's, named by role where it has one: gdb
        started the parent; interleave is the subreaper that takes an orphan."""
        names = {pid: role for role, pid in self.pids.items()}
        names[os.getpid()] = "gdb"
        names[os.getppid()] = "interleave"
        names[1] = "init (1)"
        table = []
        for role, pid in self.pids.items():
            if role in self.exits:
                continue
            ppid = parent_of(pid)
            if ppid is not None:
                table.append([role, names.get(ppid, f"pid {ppid}")])
        return table
