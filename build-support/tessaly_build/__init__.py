"""What the build-support scripts share: the facts of settings.sh (facts) and
the readers of ELF, PE and Mach-O files (formats). The scripts import it by
putting build-support/ first on sys.path; they run with Debian's
/usr/bin/python3, which sees the python3-pyelftools, python3-pefile and
python3-macholib packages that build-support/install-deps.sh installs."""
