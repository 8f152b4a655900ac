package tessaly.natives;

import java.io.*;
import java.nio.charset.*;
import java.nio.file.*;
import java.nio.file.attribute.*;
import java.util.*;

/**
 * The loader's own folders and their trust. The game often runs as an administrator, so nothing another user
 * could have written or swapped is ever loaded: where files have POSIX owners, the loader's folder and the
 * version folder in it are real folders of this user that no one else may write, and every folder above belongs
 * to root or this user and no one else may write it (this user's private group aside) unless it has the sticky
 * bit, where others may add names but not remove or rename this user's. All is checked before anything is made.
 */
final class Folders {
    static final boolean POSIX = FileSystems.getDefault().supportedFileAttributeViews().contains("posix");
    private static final LinkOption NOFOLLOW = LinkOption.NOFOLLOW_LINKS;
    /** Windows: the prefix of the loader's folder in %ProgramData%, one per user. */
    private static final String SHARED = "tessaly-natives-u";

    private Folders() {
    }

    /**
     * The loader's folders to try, in order: tessaly-natives in the user's cache folder (or tessaly.natives.cache);
     * tessaly-natives-UID in java.io.tmpdir (Windows: tessaly-natives in the user's Temp); on Windows last,
     * tessaly-natives-uHASH in %ProgramData%, an ASCII path where the profile's is not. Refused here: a folder
     * whose path is not absolute, or that System.load cannot pass on in the system's code page.
     */
    static List<Path> bases(List<String> refusals, NativeLoader.Log log) {
        String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
        boolean windows = os.startsWith("windows");
        String home = System.getProperty("user.home", "");
        if (!windows && !home.startsWith("/")) {
            home = env("HOME", home); // user.home is "?" for a user id without a name
        }
        String cache = System.getProperty(NativeLoader.CACHE_PROPERTY, "");
        if (cache.isEmpty()) {
            String xdg = env("XDG_CACHE_HOME", "");
            cache = windows ? env("LOCALAPPDATA", home + "\\AppData\\Local")
                    : !os.startsWith("mac") && xdg.startsWith("/") ? xdg
                    : !home.startsWith("/") ? "no home folder"
                    : os.startsWith("mac") ? home + "/Library/Caches" : home + "/.cache";
        }
        List<Path> bases = new ArrayList<>();
        add(bases, cache, "tessaly-natives", refusals, log);
        String tmp = System.getProperty("java.io.tmpdir", "");
        String user = System.getProperty("user.name", "");
        if (windows) {
            add(bases, tmp, "tessaly-natives", refusals, log);
            String tag = Index.hex(Index.sha256().digest(user.getBytes(StandardCharsets.UTF_8))).substring(0, 16);
            add(bases, env("ProgramData", "C:\\ProgramData"), SHARED + tag, refusals, log);
        } else {
            add(bases, tmp, "tessaly-natives-" + (Owners.UID != null ? Owners.UID : "u" + Integer.toHexString(user.hashCode())),
                    refusals, log);
        }
        return bases;
    }

    private static void add(List<Path> bases, String parent, String own, List<String> refusals, NativeLoader.Log log) {
        String why;
        try {
            Path base = Paths.get(parent).resolve(own);
            String encoding = System.getProperty("sun.jnu.encoding", Charset.defaultCharset().name());
            why = !base.isAbsolute() ? "not an absolute path (user.home=" + System.getProperty("user.home") + ")"
                    : !Charset.forName(encoding).newEncoder().canEncode(base.toString())
                    ? "the system's code page (sun.jnu.encoding=" + encoding + ") cannot write this path, and"
                            + " System.load passes it on in that code page" : null;
            if (why == null) {
                bases.add(base);
                return;
            }
        } catch (RuntimeException e) {
            why = NativeLoader.describe(e);
        }
        refusals.add(parent + File.separator + own + ": " + why);
        log.say("refused " + refusals.get(refusals.size() - 1));
    }

    private static String env(String name, String otherwise) {
        String v = System.getenv(name);
        return v != null && !v.isEmpty() ? v : otherwise;
    }

    /** The version folder name in base, checked (and what is missing made owner-only); links followed above base only. */
    static Path trusted(Path base, String name, NativeLoader.Log log) throws IOException {
        if (!POSIX) {
            if (base.getFileName().toString().startsWith(SHARED)) {
                ownerOnly(base);
            }
            return Files.createDirectories(base.resolve(name));
        }
        Deque<String> missing = new ArrayDeque<>();
        Path existing = base.getParent();
        for (; existing != null && !Files.exists(existing, NOFOLLOW); existing = existing.getParent()) {
            missing.push(existing.getFileName().toString());
        }
        if (existing == null) {
            throw new IOException("no folder of " + base + " exists");
        }
        Path real = existing.toRealPath();
        checkAbove(real);
        while (!missing.isEmpty()) {
            real = own(real.resolve(missing.pop()), log);
        }
        return own(own(real.resolve(base.getFileName()), log).resolve(name), log);
    }

    /** Refuses unless folder and every folder above it belongs to root or this user and is safe from others. */
    private static void checkAbove(Path folder) throws IOException {
        for (Path p = folder; p != null; p = p.getParent()) {
            String why = Owners.why(p, true, true);
            if (why != null) {
                throw new IOException(p + ", a folder above the cache, " + why);
            }
        }
    }

    /** folder, made owner-only if missing (by this JVM or another meanwhile), then checked as this user's own. */
    private static Path own(Path folder, NativeLoader.Log log) throws IOException {
        try {
            Files.createDirectory(folder, PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
            log.say("created " + folder);
        } catch (FileAlreadyExistsException e) {
            // Checked like any other.
        }
        BasicFileAttributes a = Files.readAttributes(folder, BasicFileAttributes.class, NOFOLLOW);
        String why = a.isDirectory() ? Owners.why(folder, false, false)
                : "is not a folder" + (a.isSymbolicLink() ? " (a symbolic link)" : "");
        if (why != null) {
            throw new IOException(folder + " " + why);
        }
        return folder;
    }

    /** Why file is not a copy this user may load as it is (not a regular file, another's, others may write), or null. */
    static String notOwnFile(Path file) throws IOException {
        return !Files.isRegularFile(file, NOFOLLOW) ? "not a regular file" : POSIX ? Owners.why(file, false, false) : null;
    }

    /** An explicit library file as the file system names it, when it and all above it are root's or this user's. */
    static Path trustedFile(Path file) throws IOException {
        if (!POSIX) {
            return file;
        }
        Path real = file.toRealPath();
        String why = Owners.why(real, true, false);
        if (why != null) {
            throw new IOException(real + " " + why);
        }
        checkAbove(real.getParent());
        return real;
    }

    /**
     * Windows: folder in the shared %ProgramData%, made with an access list of its owner alone (nothing inherited
     * from above), or refused unless this user owns it and no one else may write it.
     */
    private static void ownerOnly(Path folder) throws IOException {
        AclFileAttributeView view;
        if (!Files.isDirectory(folder, NOFOLLOW)) {
            view = Files.getFileAttributeView(Files.createDirectory(folder), AclFileAttributeView.class);
            view.setAcl(List.of(AclEntry.newBuilder().setType(AclEntryType.ALLOW).setPrincipal(view.getOwner())
                    .setPermissions(EnumSet.allOf(AclEntryPermission.class))
                    .setFlags(AclEntryFlag.FILE_INHERIT, AclEntryFlag.DIRECTORY_INHERIT).build()));
        }
        view = Files.getFileAttributeView(folder, AclFileAttributeView.class, NOFOLLOW);
        String owner = view.getOwner().getName();
        String user = System.getProperty("user.name", "").toLowerCase(Locale.ROOT);
        if (!owner.toLowerCase(Locale.ROOT).equals(user) && !owner.toLowerCase(Locale.ROOT).endsWith("\\" + user)) {
            throw new IOException(folder + " belongs to " + owner + ", not to this user (" + user + ")");
        }
        EnumSet<AclEntryPermission> writes = EnumSet.of(AclEntryPermission.WRITE_DATA, AclEntryPermission.APPEND_DATA,
                AclEntryPermission.DELETE_CHILD, AclEntryPermission.WRITE_ACL, AclEntryPermission.WRITE_OWNER);
        for (AclEntry e : view.getAcl()) {
            String who = e.principal().getName();
            if (e.type() == AclEntryType.ALLOW && !who.equals(owner) && !who.endsWith("\\SYSTEM")
                    && !who.endsWith("\\Administrators") && e.permissions().stream().anyMatch(writes::contains)) {
                throw new IOException(folder + " may be written by " + who + ", not only by this user");
            }
        }
    }
}
