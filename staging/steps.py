"""interleave's side inside gdb: runs one program with its standard output on the terminal
that interleave owns, and takes one step at a time, as interleave asks: one letter a line
in, one reply a line out, as JSON. The program is killed at the end, or when a step cannot
be taken."""

import json
import os
import shlex
import sys
import traceback

import gdb

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from counters import GuardTally, LooseTally  # noqa: E402
from holding import Lost, quiet  # noqa: E402
from processes import SpawnList  # noqa: E402

KINDS = {"loosetally": LooseTally, "guardtally": GuardTally, "spawnlist": SpawnList}

requests = os.fdopen(int(os.environ["INTERLEAVE_REQUESTS"]), "r")
replies = os.fdopen(int(os.environ["INTERLEAVE_REPLIES"]), "w", buffering=1)


def reply(**fields):
    replies.write(json.dumps(fields) + "\n")


quiet()
try:
    program = KINDS[os.environ["INTERLEAVE_KIND"]](os.environ["INTERLEAVE_PROGRAM"],
                                                  shlex.quote(os.environ["INTERLEAVE_TTY"]))
    reply(ready=True)
    for request in requests:
        if request.strip() == "end":
            break
        reply(**program.step(request.strip()))
except Lost as error:
    reply(error=str(error))
except Exception as error:  # a fault of this script: its trace goes to gdb's log
    traceback.print_exc()
    reply(error=f"the step could not be taken: {error!r}")
finally:
    live = [str(inferior.num) for inferior in gdb.inferiors() if inferior.pid]
    if live:
        gdb.execute("kill inferiors " + " ".join(live), to_string=True)
    gdb.execute("quit")
