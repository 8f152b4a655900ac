"""What the build-support scripts share: facts (settings.sh) and formats (ELF,
PE and Mach-O, through the LIEF that install-deps.sh pins in build/tools/lief)."""
import sys

from .facts import ROOT

sys.path.insert(0, ROOT + "/build/tools/lief")
