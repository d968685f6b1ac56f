#!/usr/bin/env python3
"""Writes a program's manual page from its --help, with help2man, at build time.

    manpage.py --program build/tools/tolvex --include packaging/tolvex.h2m \
               --version 0.1.0 --output build/packaging/tolvex.1.gz

help2man turns the program's --help into NAME, SYNOPSIS and OPTIONS; the include file brings
what --help does not say (DESCRIPTION, EXIT STATUS, FILES, EXAMPLES, SEE ALSO). A program with
subcommands (CLI11's "Subcommands:" list) gets a COMMANDS section made from each subcommand's
own --help, in place of the list, so that every option of every command is in the page; any
other list of the help (tolvex-sim's commands on standard input) a section of its own. The
page is gzipped the way Debian ships manual pages (no file name, no time stamp in the gzip
header).
"""

import argparse
import gzip
import os
import re
import subprocess
import sys
import tempfile


def run_help(program, *words):
    result = subprocess.run([program, *words, "--help"], capture_output=True, text=True,
                            timeout=30)
    if result.returncode != 0:
        sys.exit(f"manpage.py: {program} {' '.join(words)} --help: status {result.returncode}")
    return result.stdout


OPTION_HEADINGS = ("Options", "Positionals")


def sections(help_text):
    """CLI11's help: {heading: [[names, description, [[names, description], ...]], ...]}. An
    entry is indented by two spaces, one of its own list (the faults under "fault") by four;
    a deeper line goes on with the description of the entry above it (a long name pushes the
    description to the next line)."""
    found, heading = {}, None
    for line in help_text.splitlines():
        indent = len(line) - len(line.lstrip())
        if re.match(r"^\S.*:$", line):
            heading = line[:-1]
            found[heading] = []
        elif not line.strip():
            heading = None
        elif heading is None:
            continue
        elif indent in (2, 4):
            names, _, description = line.strip().partition("  ")
            entry = [names.strip(), description.strip(), []]
            if indent == 2 or not found[heading]:
                found[heading].append(entry)
            else:
                found[heading][-1][2].append(entry)
        elif found[heading]:
            last = found[heading][-1]
            last = last[2][-1] if last[2] else last
            last[1] = (last[1] + " " + line.strip()).strip()
    return found


def roff(text):
    return text.replace("\\", "\\e").replace("-", "\\-")


def entry_list(entries):
    """A tagged paragraph for each entry, its own entries indented under it."""
    out = []
    for names, description, children in entries:
        out += [".TP", f"\\fB{roff(names)}\\fR", roff(description)]
        if children:
            out += [".RS", *entry_list(children), ".RE"]
    return out


def extra_sections(program, help_text):
    """help2man's include text for what its own reading of --help lays out badly: [COMMANDS],
    each subcommand with its usage and its options (from the subcommand's --help), and a
    section for each further list (tolvex-sim's commands on standard input, with the faults
    under "fault")."""
    out = []
    for heading, entries in sections(help_text).items():
        if heading in OPTION_HEADINGS:
            continue
        if heading != "Subcommands":
            out += [f"[{heading.split(',')[0].upper()}]", *entry_list(entries)]
            continue
        out.append("[COMMANDS]")
        for name, _, _ in entries:
            text = run_help(program, name)
            usage = re.search(r"^Usage: \S+ (.*)$", text, re.M).group(1)
            options = [entry for heading, rows in sections(text).items() for entry in rows
                       if heading in OPTION_HEADINGS and entry[0] != "-h,--help"]
            out += [".TP", f"\\fB{roff(usage)}\\fR", roff(text.splitlines()[0])]
            if options:
                out += [".RS", *entry_list(options), ".RE"]
    return "\n".join(out) + "\n" if out else ""


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--include", required=True, help="help2man include file")
    parser.add_argument("--version", required=True, help="the version the page names")
    parser.add_argument("--help2man", default="help2man")
    parser.add_argument("--output", required=True, help="NAME.1.gz")
    args = parser.parse_args()

    help_text = run_help(args.program)
    with tempfile.TemporaryDirectory() as folder:
        includes = [args.include]
        extra = extra_sections(args.program, help_text)
        if extra:  # first: the other sections follow in the order the includes give them
            includes.insert(0, os.path.join(folder, "extra.h2m"))
            with open(includes[0], "w") as f:
                f.write(extra)
        page = os.path.join(folder, "page.1")
        # --version-string: the page does not depend on the program having --version.
        subprocess.run([args.help2man, "--no-info", "--section=1",
                        f"--version-string={args.version}",
                        *(f"--include={include}" for include in includes),
                        f"--output={page}", args.program], check=True, timeout=60)
        with open(page) as f:
            text = f.read()
    # help2man's own reading of the lists that have sections of their own now.
    text = re.sub(r'^\.SS "[^"]*:"\n.*?(?=^\.S[HS] )', "", text, flags=re.M | re.S)
    with open(args.output, "wb") as f:
        with gzip.GzipFile(filename="", mode="wb", fileobj=f, compresslevel=9, mtime=0) as z:
            z.write(text.encode())


if __name__ == "__main__":
    main()
