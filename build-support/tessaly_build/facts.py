"""The facts written once in build-support/settings.sh (NAME='VALUE' lines), which CMake and the shell
scripts read too: the shipped libraries' names and Java packages, the built-in test key, the JDK and the
JNI-warning pattern; and the digests and lists the release's files share."""
import hashlib
import os
import re

BUILD_SUPPORT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(BUILD_SUPPORT)
SETTINGS = os.path.join(BUILD_SUPPORT, "settings.sh")
# What a release folder ships: (folder, platform, architecture); the file
# names come from settings.sh.
SHIPPED = [("linux-x64", "linux", "x86_64"), ("linux-aarch64", "linux", "aarch64"),
           ("windows-x64", "windows", "x86_64"), ("macos", "macos", "universal")]
# How each platform names a shared library after its base name.
FILE_PATTERNS = {"linux": "lib%s.so", "macos": "lib%s.dylib", "windows": "%s.dll"}


def setting(name):
    """The VALUE of settings.sh's tessaly_NAME='VALUE' line."""
    with open(SETTINGS) as f:
        m = re.search(r"^tessaly_%s='([^']*)'$" % re.escape(name), f.read(), re.M)
    if not m:
        raise KeyError("build-support/settings.sh has no tessaly_%s line" % name)
    return m.group(1)


def library_file(platform):
    """The shipped file's name on PLATFORM: libTrialworks.so, libSkyrope.dylib, Skyrope.dll."""
    return FILE_PATTERNS[platform] % setting(platform + "_library")


def java_package(platform):
    """The Java package (dotted) whose TessalyServerConnectionHelper declares the native methods."""
    return setting(platform + "_package")


def test_key():
    """The built-in test mesh key, 32 lower-case hex digits."""
    return setting("test_mesh_key").lower()


def sha256_file(path):
    """The SHA-256 of the file at PATH, in hex: the digest every manifest, index and sums file holds."""
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def differs(folder, entry):
    """Whether the file of a manifest ENTRY ({path, size, sha256}, path under FOLDER) is missing or another."""
    path = os.path.join(folder, entry["path"])
    return not os.path.isfile(path) or os.path.getsize(path) != entry["size"] or sha256_file(path) != entry["sha256"]


def files_under(folder):
    """Every file under FOLDER but symbolic links, sorted."""
    return sorted(os.path.join(base, n) for base, _, names in os.walk(folder) for n in names
                  if not os.path.islink(os.path.join(base, n)))


def export_list(path, package=None):
    """[(kind, name)] of an export list (build-support/exports/*.txt): "jni NAME", "func NAME" or "data NAME"
    lines, "#" starting a comment, @TESSALY_JNI_PACKAGE@ filled in with PACKAGE (dotted or JNI form).
    ValueError, in words, for a line of another form or a package the list needs and PACKAGE lacks."""
    entries = []
    with open(path) as f:
        for n, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            if "@TESSALY_JNI_PACKAGE@" in line:
                if not package:
                    raise ValueError("%s names the package @TESSALY_JNI_PACKAGE@: give --jni-package" % path)
                line = line.replace("@TESSALY_JNI_PACKAGE@", package.replace(".", "_"))
            kind, _, name = line.partition(" ")
            if kind not in ("jni", "func", "data") or not name.strip():
                raise ValueError("%s:%d: expected 'jni NAME', 'func NAME' or 'data NAME'" % (path, n))
            entries.append((kind, name.strip()))
    return entries


def natives_index(version, libraries):
    """The natives jar's natives/index.properties, which the loader reads: "version=V", then
    "PLATFORM=FILE SIZE SHA256" for each (platform, file name, size, SHA-256) of LIBRARIES, sorted."""
    return "version=%s\n" % version + "".join("%s=%s %d %s\n" % entry for entry in sorted(libraries))
