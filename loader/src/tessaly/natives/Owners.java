package tessaly.natives;

import java.io.*;
import java.nio.charset.*;
import java.nio.file.*;
import java.nio.file.attribute.*;
import java.util.*;

/**
 * Who owns a file and who else may write it, where files have POSIX owners: by user id where the process's is
 * known (Linux, which also serves ids without a name, as containers run), else by name.
 */
final class Owners {
    private static final LinkOption NOFOLLOW = LinkOption.NOFOLLOW_LINKS;
    /** This process's effective user and group ids, or null. */
    static final String UID = id(0);
    private static final String GID = id(1);

    private Owners() {
    }

    /**
     * Why someone else could change p, or null: it belongs to another user (root too, unless rootToo), or others
     * may write it (a group other than this user's private group counts; a sticky folder does not, when sticky).
     * One look at p's owner, group and mode.
     */
    static String why(Path p, boolean rootToo, boolean sticky) throws IOException {
        Map<String, Object> u = Files.readAttributes(p, "unix:uid,gid,mode", NOFOLLOW);
        String uid = UID != null ? String.valueOf(u.get("uid")) : Files.getOwner(p, NOFOLLOW).getName();
        int mode = (Integer) u.get("mode");
        if (!uid.equals(UID != null ? UID : System.getProperty("user.name"))
                && !(rootToo && uid.equals(UID != null ? "0" : "root"))) {
            return "belongs to " + Files.getOwner(p, NOFOLLOW).getName() + ", not to " + (rootToo ? "root or " : "")
                    + "this user (" + name() + ")";
        }
        if (((mode & 02) != 0 || (mode & 020) != 0 && !privateGroup(String.valueOf(u.get("gid"))))
                && !(sticky && (mode & 01000) != 0)) {
            return "is writable by others (" + PosixFilePermissions.toString(Files.getPosixFilePermissions(p, NOFOLLOW))
                    + ")" + (sticky ? " and has no sticky bit: another user could swap the folders below it" : "");
        }
        return null;
    }

    /**
     * Whether the group gid is this user's private group (umask 002 systems): the user's own primary group,
     * which /etc/group lists with no member but the user and /etc/passwd gives no other user.
     */
    private static boolean privateGroup(String gid) throws IOException {
        if (UID == null || !gid.equals(GID)) {
            return false;
        }
        boolean listed = false;
        for (String line : Files.readAllLines(Paths.get("/etc/group"), StandardCharsets.ISO_8859_1)) {
            String[] f = line.split(":", -1);
            if (f.length >= 4 && f[2].equals(gid)) {
                listed = true;
                if (!f[3].isEmpty() && !f[3].equals(System.getProperty("user.name"))) {
                    return false;
                }
            }
        }
        for (String line : Files.readAllLines(Paths.get("/etc/passwd"), StandardCharsets.ISO_8859_1)) {
            String[] f = line.split(":", -1);
            if (f.length >= 4 && f[3].equals(gid) && !f[2].equals(UID)) {
                return false;
            }
        }
        return listed;
    }

    private static String name() {
        return System.getProperty("user.name") + (UID != null ? ", user id " + UID : "");
    }

    /** The effective user (0) or group (1) id from /proc/self/status ("Uid: real effective ..."), or null. */
    private static String id(int which) {
        try {
            for (String line : Files.readAllLines(Paths.get("/proc/self/status"), StandardCharsets.ISO_8859_1)) {
                if (line.startsWith(which == 0 ? "Uid:" : "Gid:")) {
                    return line.split("\t")[2];
                }
            }
        } catch (IOException | RuntimeException e) {
            // No /proc (macOS): by name.
        }
        return null;
    }
}
