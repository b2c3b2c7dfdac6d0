#!/usr/bin/env bash
# Makes dist/Vesplin-2.3.0.1006.zip: the PE32 program for 32-bit Windows in x86\,
# the x86_64 program for 64-bit Windows in x64\, each with the help pages it
# opens from its own folder, and a short readme.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/host.sh
VESPLIN_ARCHS="i686 x86_64" bash scripts/build.sh >/dev/null
python3 tests/check_binary.py "$(build_dir_for i686)/bin/Vesplin.exe" i686 >/dev/null
python3 tests/check_binary.py "$(build_dir_for x86_64)/bin/Vesplin.exe" x86_64 >/dev/null
mkdir -p dist
out=dist/Vesplin-2.3.0.1006.zip
python3 - "$out" "$(build_dir_for i686)/bin" "$(build_dir_for x86_64)/bin" <<'PY'
import os, sys, zipfile
out, x86, x64 = sys.argv[1:4]
readme = """Vesplin 2.3 (build 1006)

x86\\Vesplin.exe  for 32-bit Windows (PE32). It also runs on 64-bit Windows
                 under WoW64, which redirects its view of the system folder
                 and of parts of the registry.
x64\\Vesplin.exe  for 64-bit Windows: no redirection, the system's own 64-bit
                 power and event-log libraries.

Keep each program in its folder with its HELP folder: the help pages, the
configuration file vesplinCfg.dat, the log vesplin.log and the marker file
sleepflag live beside the executable. Run it as an administrator so it may
change the power policy and put the machine to sleep.
"""
tmp = out + ".tmp"
with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("README.txt", readme.replace("\n", "\r\n"))
    for folder, src in (("x86", x86), ("x64", x64)):
        z.write(os.path.join(src, "Vesplin.exe"), folder + "/Vesplin.exe")
        # The console tool that joins many machines' results goes beside it.
        tool = os.path.join(src, "vesplin-report.exe")
        if os.path.exists(tool):
            z.write(tool, folder + "/vesplin-report.exe")
        help_dir = os.path.join(src, "HELP")
        for name in sorted(os.listdir(help_dir)):
            z.write(os.path.join(help_dir, name), folder + "/HELP/" + name)
with zipfile.ZipFile(tmp) as z:
    names = set(z.namelist())
for folder in ("x86", "x64"):
    for name in ("Vesplin.exe", "HELP/index.html", "HELP/hid_config.htm"):
        if folder + "/" + name not in names:
            sys.exit("the archive lacks %s/%s" % (folder, name))
os.replace(tmp, out)
with zipfile.ZipFile(out) as z:
    for info in z.infolist():
        print("%8d  %s" % (info.file_size, info.filename))
PY
echo "made $out"
