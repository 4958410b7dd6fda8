# SPDX-License-Identifier: MIT
"""Prints where, beneath the install prefix given as the argument, this
interpreter finds pure-Python packages: the directory the tarvel package is
installed into."""

import os
import sys
import sysconfig


def site_dir(prefix):
    schemes = sysconfig.get_scheme_names()
    base = prefix
    if "deb_system" in schemes:
        # Debian's interpreter: /usr/local/lib/python3.X/dist-packages for
        # /usr/local, its system layout lib/python3/dist-packages elsewhere
        # (a package built for /usr).
        if os.path.normpath(prefix) == "/usr/local":
            scheme, base = "posix_local", "/usr"
        else:
            scheme = "deb_system"
    elif os.name == "nt":
        scheme = "nt"
    else:
        scheme = "posix_prefix"
    path = sysconfig.get_path("purelib", scheme, vars={"base": base, "platbase": base})
    return os.path.relpath(path, prefix).replace(os.sep, "/")


if __name__ == "__main__":
    print(site_dir(sys.argv[1]))
