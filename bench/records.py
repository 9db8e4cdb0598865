"""The records: one a counter run, with the fields the tables and figures are made from,
written as CSV or as JSON lines."""

import csv
import json

# The programs that each counter experiment runs and records.
PROGRAMS = {"guard": ("guardtally", "serialtally"), "race": ("loosetally",)}
# One record a counter run, in this order in the CSV file.
FIELDS = ("program", "placement", "reader", "run", "lines", "seconds", "rate", "bound", "breaks",
          "block_breaks", "drift", "runs", "mean_run", "voluntary_switches", "involuntary_switches",
          "system_seconds", "futex_calls", "other_load", "disturbed")


def write_records(records, files):
    """Writes every record to each open file, as CSV where its name ends in .csv and as
    JSON lines otherwise, and closes it."""
    for file in files:
        if file.name.endswith(".csv"):
            table = csv.DictWriter(file, FIELDS)
            table.writeheader()
            table.writerows(records)
        else:
            file.writelines(json.dumps(run) + "\n" for run in records)
        file.close()
