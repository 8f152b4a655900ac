package tessaly.natives;

import java.io.IOException;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.AclFileAttributeView;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Deque;
import java.util.EnumSet;
import java.util.List;
import java.util.Locale;
import java.util.Set;

/**
 * The folders a copy may be kept in, and their trust. The game often runs as an administrator, so nothing another
 * user could have written or swapped is ever loaded: where files have POSIX owners, the loader's own folder and
 * the version folder in it belong to this user and only this user may write them, and every folder above belongs
 * to root or this user and no one else may write it (a group of this user alone does not count) unless it has the
 * sticky bit, where others may add names but not remove or rename this user's. Checked before anything is made.
 */
final class Folders {
    /** Whether files have POSIX owners and modes to check (not on Windows). */
    static final boolean POSIX = FileSystems.getDefault().supportedFileAttributeViews().contains("posix");
    private static final LinkOption NOFOLLOW = LinkOption.NOFOLLOW_LINKS;
    /** This process's effective user and group ids, or null where they are not known. */
    private static final long[] IDS = POSIX ? ids() : null;
    /** Windows: the loader's folder in the machine's common application data, named per user. */
    private static final String SHARED = "tessaly-natives-u";

    private Folders() {
    }

    /**
     * The loader's own folders to try, in order: tessaly-natives in the user's cache folder (or the one
     * tessaly.natives.cache names); tessaly-natives-UID under java.io.tmpdir (Windows: tessaly-natives in the
     * user's Temp); on Windows last, tessaly-natives-uHASH in %ProgramData%, whose path is ASCII where a user's
     * profile is not. A folder whose path System.load cannot pass to the system is refused here.
     */
    static List<Path> bases(List<String> refusals, NativeLoader.Log log) {
        String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
        boolean windows = os.startsWith("windows");
        String home = System.getProperty("user.home", "");
        if (!home.startsWith("/") && !windows) {
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
        if (windows) {
            add(bases, tmp, "tessaly-natives", refusals, log);
            String tag = Index.hex(Index.sha256().digest(user().getBytes(StandardCharsets.UTF_8))).substring(0, 16);
            add(bases, env("ProgramData", "C:\\ProgramData"), SHARED + tag, refusals, log);
        } else {
            add(bases, tmp, "tessaly-natives-" + (IDS != null ? Long.toString(IDS[0])
                    : "u" + Integer.toHexString(user().hashCode())), refusals, log);
        }
        return bases;
    }

    /** Adds parent/own to bases, or its refusal: not absolute, or a path System.load cannot pass on. */
    private static void add(List<Path> bases, String parent, String own, List<String> refusals, NativeLoader.Log log) {
        Path base = null;
        String why;
        try {
            base = Paths.get(parent).resolve(own);
            String encoding = System.getProperty("sun.jnu.encoding", Charset.defaultCharset().name());
            why = !base.isAbsolute() ? "not an absolute path (user.home=" + System.getProperty("user.home") + ")"
                    : !Charset.forName(encoding).newEncoder().canEncode(base.toString())
                    ? "the system's code page (sun.jnu.encoding=" + encoding + ") cannot write this path, and"
                            + " System.load passes it on in that code page"
                    : null;
        } catch (RuntimeException e) {
            why = NativeLoader.describe(e);
        }
        if (why == null) {
            bases.add(base);
        } else {
            String where = base != null ? base.toString() : parent + " " + own;
            refusals.add(where + ": " + why);
            log.say("refused " + where + ": " + why);
        }
    }

    private static String env(String name, String otherwise) {
        String v = System.getenv(name);
        return v != null && !v.isEmpty() ? v : otherwise;
    }

    private static String user() {
        return System.getProperty("user.name", "");
    }

    /**
     * The version folder name in base, as the file system names it, created owner-only where missing, with
     * base and the folders above it checked first. A link is followed only above base.
     */
    static Path trusted(Path base, String name, NativeLoader.Log log) throws IOException {
        if (!POSIX) {
            boolean shared = base.getFileName().toString().startsWith(SHARED);
            Path own = base;
            if (shared && !Files.isDirectory(own, NOFOLLOW)) {
                ownerOnlyAcl(Files.createDirectory(own));
            } else if (shared) {
                checkAcl(own);
            }
            return Files.createDirectories(own.resolve(name));
        }
        Deque<String> missing = new ArrayDeque<>();
        Path existing = base.getParent();
        while (existing != null && !Files.exists(existing, NOFOLLOW)) {
            missing.push(existing.getFileName().toString());
            existing = existing.getParent();
        }
        if (existing == null) {
            throw new IOException("no folder of " + base + " exists");
        }
        Path real = existing.toRealPath();
        checkAncestors(real);
        while (!missing.isEmpty()) {
            real = ownFolder(real.resolve(missing.pop()), log);
        }
        return ownFolder(ownFolder(real.resolve(base.getFileName()), log).resolve(name), log);
    }

    /** folder, made owner-only if missing (by this JVM or another at the same time), then checked as this user's. */
    private static Path ownFolder(Path folder, NativeLoader.Log log) throws IOException {
        try {
            Files.createDirectory(folder, PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
            log.say("created " + folder);
        } catch (FileAlreadyExistsException e) {
            // There before, or made by another JVM meanwhile: checked like any other.
        }
        PosixFileAttributes a = Files.readAttributes(folder, PosixFileAttributes.class, NOFOLLOW);
        if (!a.isDirectory()) {
            throw new IOException(folder + " is not a folder" + (a.isSymbolicLink() ? " (a symbolic link)" : ""));
        }
        if (!isUser(folder, a)) {
            throw new IOException(folder + " belongs to " + a.owner().getName() + ", not to this user (" + userName() + ")");
        }
        if (writableByOthers(folder, a)) {
            throw new IOException(folder + " is writable by others (" + PosixFilePermissions.toString(a.permissions()) + ")");
        }
        return folder;
    }

    /** Refuses unless folder and every folder above it belongs to root or this user and is safe from others. */
    private static void checkAncestors(Path folder) throws IOException {
        for (Path p = folder; p != null; p = p.getParent()) {
            PosixFileAttributes a = Files.readAttributes(p, PosixFileAttributes.class, NOFOLLOW);
            if (!isUser(p, a) && !isRoot(p, a)) {
                throw new IOException(p + ", a folder above the cache, belongs to " + a.owner().getName()
                        + ", not to root or this user (" + userName() + ")");
            }
            Object mode = Files.getAttribute(p, "unix:mode", NOFOLLOW);
            if (writableByOthers(p, a) && (((Integer) mode) & 01000) == 0) {
                throw new IOException(p + ", a folder above the cache, is writable by others ("
                        + PosixFilePermissions.toString(a.permissions()) + ") and has no sticky bit: another user"
                        + " could swap the folders below it");
            }
        }
    }

    /**
     * Why file is not a copy this user may load as it is (not a regular file, another user's, writable by
     * others), or null.
     */
    static String notOwnFile(Path file) throws IOException {
        if (!Files.isRegularFile(file, NOFOLLOW)) {
            return "not a regular file";
        }
        if (POSIX) {
            PosixFileAttributes a = Files.readAttributes(file, PosixFileAttributes.class, NOFOLLOW);
            if (!isUser(file, a)) {
                return "belongs to " + a.owner().getName() + ", not to this user";
            }
            if (writableByOthers(file, a)) {
                return "writable by others (" + PosixFilePermissions.toString(a.permissions()) + ")";
            }
        }
        return null;
    }

    /** An explicit library file as the file system names it, when root or this user owns it and all above it. */
    static Path trustedFile(Path file) throws IOException {
        if (!POSIX) {
            return file;
        }
        Path real = file.toRealPath();
        PosixFileAttributes a = Files.readAttributes(real, PosixFileAttributes.class);
        if (!isUser(real, a) && !isRoot(real, a) || writableByOthers(real, a)) {
            throw new IOException(real + " belongs to " + a.owner().getName() + " ("
                    + PosixFilePermissions.toString(a.permissions()) + "): only root or this user may own and write it");
        }
        checkAncestors(real.getParent());
        return real;
    }

    /** Whether someone else may write p: others may, or a group that is not this user's alone. */
    private static boolean writableByOthers(Path p, PosixFileAttributes a) throws IOException {
        Set<PosixFilePermission> perms = a.permissions();
        return perms.contains(PosixFilePermission.OTHERS_WRITE)
                || perms.contains(PosixFilePermission.GROUP_WRITE) && !privateGroup(p);
    }

    /**
     * Whether p's group is this user's private group: the user's own primary group, which /etc/group lists with
     * no member but the user and /etc/passwd gives no other user as primary group (a user-private group, as
     * umask 002 systems make).
     */
    private static boolean privateGroup(Path p) throws IOException {
        String gid = String.valueOf(Files.getAttribute(p, "unix:gid", NOFOLLOW));
        if (IDS == null || !gid.equals(Long.toString(IDS[1]))) {
            return false;
        }
        boolean listed = false;
        for (String line : Files.readAllLines(Paths.get("/etc/group"), StandardCharsets.ISO_8859_1)) {
            String[] f = line.split(":", -1);
            if (f.length >= 4 && f[2].equals(gid)) {
                listed = true;
                for (String member : f[3].split(",")) {
                    if (!member.isEmpty() && !member.equals(user())) {
                        return false;
                    }
                }
            }
        }
        for (String line : Files.readAllLines(Paths.get("/etc/passwd"), StandardCharsets.ISO_8859_1)) {
            String[] f = line.split(":", -1);
            if (f.length >= 4 && f[3].equals(gid) && !f[2].equals(Long.toString(IDS[0]))) {
                return false;
            }
        }
        return listed;
    }

    /** Whether this user owns p: by user id where the file system and the process give it, else by name. */
    private static boolean isUser(Path p, PosixFileAttributes a) throws IOException {
        Object uid = IDS != null ? Files.getAttribute(p, "unix:uid", NOFOLLOW) : null;
        return uid != null ? uid.toString().equals(Long.toString(IDS[0])) : a.owner().getName().equals(user());
    }

    private static boolean isRoot(Path p, PosixFileAttributes a) throws IOException {
        Object uid = IDS != null ? Files.getAttribute(p, "unix:uid", NOFOLLOW) : null;
        return uid != null ? uid.toString().equals("0") : a.owner().getName().equals("root");
    }

    private static String userName() {
        return user() + (IDS != null ? ", user id " + IDS[0] : "");
    }

    /**
     * The effective user and group ids: Linux's /proc/self/status ("Uid: real effective ...", "Gid: ..."), which
     * also serves ids without a name, as containers run; else the JDK's UnixSystem where the runtime has it.
     */
    private static long[] ids() {
        long[] ids = {-1, -1};
        try {
            for (String line : Files.readAllLines(Paths.get("/proc/self/status"), StandardCharsets.ISO_8859_1)) {
                int which = line.startsWith("Uid:") ? 0 : line.startsWith("Gid:") ? 1 : -1;
                if (which >= 0) {
                    ids[which] = Long.parseLong(line.substring(4).trim().split("\\s+")[1]);
                }
            }
            if (ids[0] >= 0 && ids[1] >= 0) {
                return ids;
            }
        } catch (IOException | RuntimeException e) {
            // No /proc (macOS): below.
        }
        try {
            Class<?> unix = Class.forName("com.sun.security.auth.module.UnixSystem");
            Object system = unix.getConstructor().newInstance();
            return new long[] {(Long) unix.getMethod("getUid").invoke(system), (Long) unix.getMethod("getGid").invoke(system)};
        } catch (ReflectiveOperationException | RuntimeException | LinkageError e) {
            return null;
        }
    }

    /** Windows: folder's access list set to its owner alone, nothing inherited from the shared folder above. */
    private static void ownerOnlyAcl(Path folder) throws IOException {
        AclFileAttributeView view = Files.getFileAttributeView(folder, AclFileAttributeView.class);
        view.setAcl(List.of(AclEntry.newBuilder().setType(AclEntryType.ALLOW).setPrincipal(view.getOwner())
                .setPermissions(EnumSet.allOf(AclEntryPermission.class))
                .setFlags(java.nio.file.attribute.AclEntryFlag.FILE_INHERIT,
                        java.nio.file.attribute.AclEntryFlag.DIRECTORY_INHERIT)
                .build()));
        checkAcl(folder);
    }

    /** Windows: refuses folder unless this user owns it and no one else may write it. */
    private static void checkAcl(Path folder) throws IOException {
        AclFileAttributeView view = Files.getFileAttributeView(folder, AclFileAttributeView.class, NOFOLLOW);
        String owner = view.getOwner().getName();
        if (!owner.equalsIgnoreCase(user()) && !owner.toLowerCase(Locale.ROOT).endsWith("\\" + user().toLowerCase(Locale.ROOT))) {
            throw new IOException(folder + " belongs to " + owner + ", not to this user (" + user() + ")");
        }
        Set<AclEntryPermission> writes = EnumSet.of(AclEntryPermission.WRITE_DATA, AclEntryPermission.APPEND_DATA,
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
