"""Holding a program's threads in gdb, shared by the tools that stage what the scheduler would
otherwise decide: quiet settings, the program's own symbols, the counter's value, and letting
one thread alone run until it stops again."""

import sys

import gdb


class Lost(Exception):
    """The program did not stop where it was led, or cannot be led at all."""


def quiet():
    for setting in ("pagination off", "confirm off", "print thread-events off",
                    "print inferior-events off"):
        gdb.execute(f"set {setting}")


def symbol_address(name):
    """The address of a program's own routine or file-scope variable, or None when the
    program has no symbol for it (it is stripped). A compiler may rename a file-local
    variable it has optimised, as clang does, to NAME.0; the C++ name of a file-local one is
    mangled, _ZL5count."""
    for spelling in (name, f"'_ZL{len(name)}{name}'", f"'_ZL{len(name)}{name}.0'", f"'{name}.0'"):
        try:
            return int(gdb.parse_and_eval(f"(long) &{spelling}"))
        except gdb.error:
            continue
    return None


def read_int(address):
    return int.from_bytes(gdb.selected_inferior().read_memory(address, 4), sys.byteorder,
                          signed=True)


def routine():
    """The name of the routine the selected thread is in. Without debugging information, gdb
    names it with its parameters."""
    return (gdb.selected_frame().name() or "").split("(")[0]


def go(thread, command="continue"):
    """Lets `thread` alone run until it stops again, at a breakpoint or after one step."""
    thread.switch()
    try:
        gdb.execute(command, to_string=True)
    except gdb.error as error:
        raise Lost(f"the {thread.name} worker did not get that far: {error}") from error
    if not gdb.selected_inferior().pid or gdb.selected_thread() != thread:
        raise Lost(f"the {thread.name} worker stopped elsewhere")


def run(program, tty):
    """Starts the program with standard output on `tty`. gdb's own messages go to its log,
    where a refusal to trace the program, from the kernel or a filter, can be read."""
    try:
        gdb.execute(f"run > {tty}")
    except gdb.error as error:
        raise Lost(f"gdb cannot run {program}: {error}") from error
    if not gdb.selected_inferior().pid:
        raise Lost(f"gdb cannot trace {program} (is ptrace permitted here?)")
