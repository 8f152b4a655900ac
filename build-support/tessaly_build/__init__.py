"""What the build-support scripts share: the facts of settings.sh (facts) and
the reader of ELF, PE and Mach-O files (formats, on LIEF). The scripts import
it by putting build-support/ first on sys.path and run with Debian's
/usr/bin/python3; importing it puts build/tools/lief, where
build-support/install-deps.sh installs the pinned LIEF, on sys.path."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "tools", "lief"))
