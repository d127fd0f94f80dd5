#!/usr/bin/env python3
"""scripts/dist packs the same executable into the same bytes: twice, with
the executable touched in between, the zips are equal, their entries come in
order with the commit's time, and SHA256SUMS matches the executable."""
import hashlib
import os
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
DIST = os.path.join(HERE, "..", "..", "scripts", "dist")
EPOCH = 1796741574


def pack(build, out):
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(EPOCH))
    subprocess.run([sys.executable, DIST, build, out], env=env, check=True, stdout=subprocess.DEVNULL)
    return os.path.join(out, "OrvelVssAgent-9.8.7-win-x64.zip")


def main():
    with tempfile.TemporaryDirectory() as tmp:
        build = os.path.join(tmp, "build")
        os.makedirs(os.path.join(build, "bin"))
        with open(os.path.join(build, "CMakeCache.txt"), "w") as f:
            f.write("CMAKE_PROJECT_VERSION:STATIC=9.8.7\n")
        exe = os.path.join(build, "bin", "OrvelVssAgent.exe")
        data = bytes(range(256)) * 64
        with open(exe, "wb") as f:
            f.write(data)
        first = pack(build, os.path.join(tmp, "a"))
        os.utime(exe, (time.time() + 3600, time.time() + 3600))
        second = pack(build, os.path.join(tmp, "b"))
        with open(first, "rb") as a, open(second, "rb") as b:
            assert a.read() == b.read(), "two packs of one executable differ"
        with zipfile.ZipFile(first) as z:
            infos = z.infolist()
            names = [i.filename for i in infos]
            assert names == ["OrvelVssAgent-9.8.7-win-x64/" + n for n in ("OrvelVssAgent.exe", "README.txt",
                                                                            "run-record.schema.json",
                                                                            "SHA256SUMS")], names
            assert all(i.date_time == time.gmtime(EPOCH)[:6] for i in infos), [i.date_time for i in infos]
            assert z.read(names[0]) == data
            sums = z.read(names[3]).decode()
            assert sums == "%s  OrvelVssAgent.exe\n" % hashlib.sha256(data).hexdigest(), sums
            readme = z.read(names[1]).decode()
            for section in ("ProviderName='OrvelVssAgent'", "rebuilt bit for bit"):
                assert section in readme, section
    print("dist: same bytes twice")


if __name__ == "__main__":
    main()
