#!/usr/bin/env python3
"""What an installation of tolvex brings, checked against the built programs themselves.

    packaging_test.py --build BUILD --source SOURCE CHECK

CHECK is one of:
  install     cmake --install with --prefix, with DESTDIR, and both: every file where it belongs,
              the reader.conf.d file commented out with a LIBPATH naming the installed handler,
              the install manifest listing exactly what was installed (uninstalling by it)
  deb         cpack -G DEB, installed into a throw-away dpkg root: the control fields, the
              conffile kept on remove and gone on purge, the programs and the handler run
  man         the manual pages name every option and command each --help lists
  completion  bash, with the completion sourced, completes each command, option and value
"""

import argparse
import ctypes
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from e2e import check, failures  # noqa: E402  the verdicts the tests share

PROGRAMS = ("tolvex", "tolvex-sim")
HANDLER = "libtolvex_ifd.so"
HANDLER_ENTRIES = ("IFDHCreateChannelByName", "IFDHCreateChannel", "IFDHCloseChannel",
                   "IFDHGetCapabilities", "IFDHSetCapabilities", "IFDHSetProtocolParameters",
                   "IFDHPowerICC", "IFDHTransmitToICC", "IFDHControl", "IFDHICCPresence")
READER_KEYS = ["FRIENDLYNAME", "DEVICENAME", "LIBPATH", "CHANNELID"]
# The values completed for the options that take one; any other option's value is free text
# (a number, a seed), for which nothing is offered.
PROTOCOLS = {"t0", "t1", "any"}
TOOLS = {}  # cmake and cpack, of the build's own CMake


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=120, **options)


# --- what the programs say about themselves -------------------------------------------------

def help_entries(program, *words):
    """{heading: [first word of each entry]} of a CLI11 --help ("Options", "Subcommands",
    tolvex-sim's "Commands on standard input, one a line")."""
    found, heading = {}, None
    for line in run(program, *words, "--help").stdout.splitlines():
        if re.match(r"^\S.*:$", line):
            heading = line[:-1]
            found[heading] = []
        elif not line.strip():
            heading = None
        elif heading and re.match(r"^  \S", line):
            found[heading].append(line.split()[0])
    return found


def options_of(program, *words):
    """{--option: takes a value} from a --help ("-h,--help" is --help)."""
    options = {}
    for line in run(program, *words, "--help").stdout.splitlines():
        match = re.match(
            r"^  (?:-\w,)?(--[\w-]+)( (?:[A-Z][A-Z0-9_=]*|[a-z0-9-]+(?:\|[a-z0-9-]+)+)"
            r"(?::\S+)?(?: |$))?", line)
        if match:
            options[match.group(1)] = match.group(2) is not None
    return options


def card_models(sim):
    """The card models tolvex-sim knows: its console's answer to "card" alone."""
    result = run(sim, "--pty", input="card\nquit\n")
    match = re.search(r"card takes one of (.*)", result.stdout)
    return set(match.group(1).split(", ")) if match else set()


# --- install --------------------------------------------------------------------------------

def etc_for(prefix):
    """Where the reader.conf.d folder goes for a prefix (GNUInstallDirs' rule)."""
    prefix = prefix.rstrip("/")
    if prefix in ("", "/usr"):
        return "/etc"
    return "/etc" + prefix if prefix.startswith("/opt/") else prefix + "/etc"


def reader_conf(path):
    """The reader.conf.d file: (every line commented out or blank, its settings uncommented)."""
    if not os.path.isfile(path):
        return False, {}
    with open(path) as f:
        lines = f.read().splitlines()
    commented = all(not line.strip() or line.startswith("#") for line in lines)
    settings = {}
    for line in lines:  # "#KEY value": a setting to uncomment; "# ..." is a comment
        match = re.match(r"^#?([A-Z]+)\s+(\S.*)$", line)
        if match and match.group(1) in READER_KEYS:
            settings[match.group(1)] = match.group(2).strip()
    return commented, settings


def installed_files(prefix):
    return {f"{prefix}/bin/tolvex", f"{prefix}/bin/tolvex-sim",
            f"{prefix}/lib/pcsc/drivers/serial/{HANDLER}",
            f"{etc_for(prefix)}/reader.conf.d/tolvex",
            f"{prefix}/share/man/man1/tolvex.1.gz", f"{prefix}/share/man/man1/tolvex-sim.1.gz",
            f"{prefix}/share/bash-completion/completions/tolvex",
            f"{prefix}/share/bash-completion/completions/tolvex-sim",
            f"{prefix}/share/doc/tolvex/README.md", f"{prefix}/share/doc/tolvex/README.pcscd.md",
            f"{prefix}/share/doc/tolvex/copyright", f"{prefix}/share/doc/tolvex/changelog.gz"}


def check_install(build, source, folder):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        configured = re.search(r"^CMAKE_INSTALL_PREFIX:PATH=(.*)$", f.read(), re.M).group(1)
    # (what, --prefix or None for the configured one, DESTDIR or None)
    rows = [
        ("--prefix", f"{folder}/prefix", None),
        ("DESTDIR, the configured prefix", None, f"{folder}/destdir"),
        ("DESTDIR and --prefix /usr", "/usr", f"{folder}/destdir-usr"),
    ]
    for what, prefix, destdir in rows:
        command = [TOOLS["cmake"], "--install", build] + (["--prefix", prefix] if prefix else [])
        env = {k: v for k, v in os.environ.items() if k != "DESTDIR"}
        env.update({"DESTDIR": destdir} if destdir else {})
        result = run(*command, env=env)
        check(result.returncode == 0, f"{what}: cmake --install", result.stderr)
        prefix = prefix or configured
        root = destdir or ""
        expected = {root + path for path in installed_files(prefix)}
        found = {os.path.join(d, name) for top in {root + prefix, root + etc_for(prefix)}
                 for d, _, names in os.walk(top) for name in names}
        check(found == expected, f"{what}: the files installed",
              f"missing {sorted(expected - found)}, unexpected {sorted(found - expected)}")
        conf = f"{root}{etc_for(prefix)}/reader.conf.d/tolvex"
        commented, settings = reader_conf(conf)
        libpath = f"{prefix}/lib/pcsc/drivers/serial/{HANDLER}"
        check(commented and list(settings) == READER_KEYS and settings["LIBPATH"] == libpath,
              f"{what}: reader.conf.d commented out, LIBPATH {libpath}", settings)
        check(os.path.isfile(root + settings.get("LIBPATH", "/none")),
              f"{what}: the handler is where LIBPATH says")
        with open(os.path.join(build, "install_manifest.txt")) as f:
            manifest = set(f.read().split())
        check(manifest == {path[len(root):] for path in expected},
              f"{what}: the install manifest lists what was installed", sorted(manifest))
    tolvex = f"{folder}/prefix/bin/tolvex"
    result = run(tolvex, "info") if os.path.exists(tolvex) else None
    check(result is not None and result.returncode == 0 and "firmware" in result.stdout,
          "the installed tolvex runs (info, the built-in simulated reader)",
          result and result.stdout + result.stderr)


# --- the Debian package ---------------------------------------------------------------------

def check_deb(build, source, folder):
    result = run(TOOLS["cpack"], "-G", "DEB", "-B", f"{folder}/out", cwd=build)
    debs = [n for n in os.listdir(f"{folder}/out") if n.endswith(".deb")] if \
        os.path.isdir(f"{folder}/out") else []
    check(result.returncode == 0 and len(debs) == 1, "cpack -G DEB makes one package",
          result.stdout[-2000:] + result.stderr)
    if not debs:
        return
    deb = f"{folder}/out/{debs[0]}"
    # Debian's own checks of a package: not one error or warning.
    result = run("lintian", "--tag-display-limit", "0", deb)
    complaints = [line for line in result.stdout.splitlines() if line[:2] in ("E:", "W:")]
    check(result.returncode == 0 and not complaints, "lintian finds nothing to complain of",
          "\n".join(complaints) or result.stderr[-2000:])
    fields = {}
    for line in run("dpkg-deb", "-f", deb).stdout.splitlines():
        key, _, value = line.partition(": ")
        if not line.startswith(" "):
            fields[key] = value
    depends = {d.split()[0] for d in fields.get("Depends", "").split(", ") if d}
    rows = [
        ("Package", fields.get("Package") == "tolvex"),
        ("Depends: the shared libraries the programs use, found by dpkg-shlibdeps",
         {"libc6", "libstdc++6"} <= depends),
        ("Recommends: pcscd", fields.get("Recommends") == "pcscd"),
        ("Provides: pcsc-ifd-handler", fields.get("Provides") == "pcsc-ifd-handler"),
    ]
    for what, ok in rows:
        check(ok, f"package control: {what}", fields)
    control = f"{folder}/control"
    run("dpkg-deb", "-e", deb, control)
    with open(f"{control}/conffiles") as f:
        check(f.read().split() == ["/etc/reader.conf.d/tolvex"],
              "conffiles: /etc/reader.conf.d/tolvex")

    # A dpkg root of its own: works unprivileged, and dpkg does what apt would.
    root = f"{folder}/root"
    for sub in ("info", "updates", "triggers"):
        os.makedirs(f"{root}/var/lib/dpkg/{sub}")
    for name in ("status", "available"):
        open(f"{root}/var/lib/dpkg/{name}", "w").close()
    # Maintainer scripts run on DPKG_ROOT, without chroot (which needs root, and a shell there).
    dpkg = ["dpkg", f"--root={root}", "--log=/dev/null", "--force-not-root",
            "--force-script-chrootless"]

    def files():
        return {os.path.relpath(os.path.join(d, n), root) for d, _, names in os.walk(root)
                for n in names if not d.startswith(f"{root}/var/lib/dpkg")}

    result = run(*dpkg, "--force-depends", "-i", deb)
    check(result.returncode == 0, "dpkg -i into a root of its own", result.stderr)
    expected = {path[1:] for path in installed_files("/usr")}
    check(files() == expected, "the package's files", sorted(files() ^ expected))
    commented, settings = reader_conf(f"{root}/etc/reader.conf.d/tolvex")
    check(commented and settings.get("LIBPATH") == f"/usr/lib/pcsc/drivers/serial/{HANDLER}",
          "/etc/reader.conf.d/tolvex: commented out, LIBPATH the package's handler", settings)
    try:
        handler = ctypes.CDLL(root + settings.get("LIBPATH", "/none"))
        missing = [name for name in HANDLER_ENTRIES if not hasattr(handler, name)]
    except OSError as e:
        missing = [str(e)]
    check(not missing, "the package's handler loads with its entry points", missing)
    for command, want in ((["tolvex", "info"], "firmware"), (["tolvex-sim", "--help"], "--pty")):
        result = run(f"{root}/usr/bin/{command[0]}", *command[1:])
        check(result.returncode == 0 and want in result.stdout,
              f"the package's {' '.join(command)}", result.stdout + result.stderr)
    # A reader enabled, as its administrator does, then the package removed: the file stays,
    # and the postrm tells the administrator why pcscd will not start with it.
    conf = f"{root}/etc/reader.conf.d/tolvex"
    with open(conf) as f:
        enabled = re.sub(r"^#([A-Z]+ )", r"\1", f.read(), flags=re.M)
    with open(conf, "w") as f:
        f.write(enabled)
    result = run(*dpkg, "-r", "tolvex")
    check(result.returncode == 0 and files() == {"etc/reader.conf.d/tolvex"},
          "dpkg -r: everything gone but the changed conffile", sorted(files()))
    check("pcscd will not start" in result.stderr, "dpkg -r: the postrm says why pcscd stops",
          result.stderr)
    result = run(*dpkg, "-P", "tolvex")
    check(result.returncode == 0 and not files(), "dpkg -P: the conffile gone too",
          sorted(files()))
    # Purged while installed, with a reader enabled: the file goes, and nothing is said.
    result = run(*dpkg, "--force-depends", "-i", deb)
    with open(conf, "w") as f:
        f.write(enabled)
    result = run(*dpkg, "--purge", "tolvex")
    check(result.returncode == 0 and not files() and "pcscd will not start" not in result.stderr,
          "dpkg --purge: all gone, and no warning", result.stderr)


# --- manual pages ---------------------------------------------------------------------------

def page_text(path):
    with gzip.open(path, "rt") as f:
        roff = f.read()
    return roff, re.sub(r"\\f[BIRP]", "", roff).replace("\\-", "-")


def named(word, text):
    """The word stands in the text on its own (--jitter is not in --jitter-gap)."""
    return re.search(rf"(?<![\w-]){re.escape(word)}(?![\w-])", text) is not None


def check_man(build, source, folder):
    models = card_models(os.path.join(build, "tools", "tolvex-sim"))
    for name in PROGRAMS:
        program = os.path.join(build, "tools", name)
        roff, text = page_text(os.path.join(build, "packaging", f"{name}.1.gz"))
        result = run("groff", "-man", "-Tutf8", "-ww", "-z", input=roff)
        check(result.returncode == 0 and not result.stderr, f"{name}(1): groff, no warning",
              result.stderr)
        sections = set(re.findall(r'^\.SH "?([^"\n]*)"?$', roff, re.M))
        wanted = {"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "EXAMPLES",
                  "SEE ALSO"}
        check(wanted <= sections, f"{name}(1): sections", sorted(sections))
        # Every word --help lists (options, commands, console commands), and each command's
        # options in that command's own entry of COMMANDS.
        entries = help_entries(program)
        words = {word for heading in entries.values() for word in heading} | models
        absent = sorted(w for w in words if not named(w, text))
        check(words and not absent,
              f"{name}(1): all {len(words)} words of --help, and the card models, are in it",
              absent)
        commands = entries.get("Subcommands", [])
        section = re.search(r"^\.SH COMMANDS\n(.*?)(^\.SH |\Z)", text, re.M | re.S)
        section = "\n" + section.group(1) if section else ""
        starts = [section.find(f"\n.TP\n{command} ") for command in commands] + [len(section)]
        for i, command in enumerate(commands):
            end = min(s for s in starts[i + 1:] if s >= 0)
            entry = section[starts[i]:end] if starts[i] >= 0 else ""
            words = {w for h in help_entries(program, command).values() for w in h
                     if w != "-h,--help"}
            absent = sorted(w for w in words if not named(w, entry))
            check(starts[i] >= 0 and not absent, f"{name}(1): COMMANDS names {command} and "
                  f"its {len(words)} options and arguments", absent)


# --- bash completion ------------------------------------------------------------------------

def completions(script, program, rows, folder):
    """Each row's COMPREPLY: bash in `folder` with the completion sourced, COMP_WORDS set as
    bash sets them (a word is split at "=", "--card=" ends on the word "=")."""
    lines = [f"source '{script}'"]
    for words in rows:
        quoted = " ".join(f"'{w}'" for w in (program, *words))
        lines.append(f"COMP_WORDS=({quoted}); COMP_CWORD={len(words)}; COMPREPLY=(); _tolvex; "
                     'printf "%s\\037" "${COMPREPLY[@]}"; echo')
    result = run("bash", "--norc", "--noprofile", input="\n".join(lines) + "\n", cwd=folder)
    check(result.returncode == 0 and not result.stderr, f"{program}: the completion runs",
          result.stderr)
    return [set(filter(None, line.split("\x1f"))) for line in result.stdout.splitlines()]


def check_completion(build, source, folder):
    script = os.path.join(source, "packaging", "tolvex.bash-completion")
    models = card_models(os.path.join(build, "tools", "tolvex-sim"))
    check(len(models) >= 2, "tolvex-sim names its card models", models)
    ports = {"0=", "1=", "2=", "3="}
    device = tempfile.mkdtemp(dir=folder)
    open(os.path.join(device, "ttyX0"), "w").close()
    # (bash runs in `device`: a file name is completed from there)
    values = {"--protocol": PROTOCOLS, "--card": models, "--reader": {"0", "1", "2", "3"},
              "--port": ports, "--link": {"ttyX0"}, "--replay": {"ttyX0"}}
    for name in PROGRAMS:
        program = os.path.join(build, "tools", name)
        # tolvex-sim may start with no card at all
        values["--card"] = models | {"none"} if name == "tolvex-sim" else models
        commands = help_entries(program).get("Subcommands", [])
        options = options_of(program)
        # (words after the program, the last one being completed; what must be offered)
        rows = [(["--"], set(options))]
        rows.append(([""], set(commands) if commands else set(options)))
        for option, takes_value in options.items():
            if takes_value:
                rows.append(([option, ""], values.get(option, set())))
        for command in commands:
            command_options = options_of(program, command)
            rows.append(([command, "--"], set(command_options)))
            rows += [([command, o, ""], values.get(o, set()))
                     for o, takes in command_options.items() if takes]
        if commands:
            rows += [
                (["--card", "t1", "a"], {c for c in commands if c.startswith("a")}),
                (["--card", "=", "t1"], {v for v in models if v.startswith("t1")}),
                (["--card", "="], models),
                (["--port", "0", "="], {"/dev/ttyS0"} if os.path.exists("/dev/ttyS0") else set()),
                (["--port", "0", "=", device + "/tt"], {device + "/ttyX0"}),
                (["--port", f"0={device}/tt"], {f"0={device}/ttyX0"}),
            ]
        if "--link" in options:
            rows.append((["--link", device + "/tt"], {device + "/ttyX0"}))
        got = completions(script, program, [words for words, _ in rows], device)
        for (words, want), offered in zip(rows, got + [None] * len(rows)):
            check(offered == want, f"{name} {' '.join(words)}<TAB>",
                  f"offered {sorted(offered or [])}, want {sorted(want)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--cmake", default="cmake")
    parser.add_argument("--cpack", default="cpack")
    parser.add_argument("check", choices=("install", "deb", "man", "completion"))
    args = parser.parse_args()
    TOOLS.update(cmake=args.cmake, cpack=args.cpack)
    build, source = os.path.abspath(args.build), os.path.abspath(args.source)
    # The build's own install manifest (what a `cmake --install build` is removed by) is
    # rewritten by every install and by cpack: put back as it was.
    manifest = os.path.join(build, "install_manifest.txt")
    saved = open(manifest, "rb").read() if os.path.exists(manifest) else None
    folder = tempfile.mkdtemp(prefix=f"tolvex-{args.check}-")
    try:
        globals()[f"check_{args.check}"](build, source, folder)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        if saved is not None:
            with open(manifest, "wb") as f:
                f.write(saved)
        elif os.path.exists(manifest) and args.check in ("install", "deb"):
            os.remove(manifest)
    print(f"{'FAILED' if failures else 'passed'}: {args.check}, {len(failures)} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
