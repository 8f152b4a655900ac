package tessaly.natives;

import java.io.*;
import java.nio.channels.*;
import java.nio.file.*;
import java.nio.file.attribute.*;

/**
 * Removes what the loader left behind in its own folder, and nothing else: in the version folder just used, the
 * copies written under names of their own (NAME-RANDOM.EXT) that no JVM holds; in the folder of another version
 * that no JVM has used for a day, those and the shared copy, then the folder if that empties it. Only regular
 * files of this user under those names, never through a link. A file some JVM holds stays: its writer keeps it
 * locked until it is loaded and removed, and Windows refuses to open a loaded library for writing. Runs after
 * each load, in the loading thread, under the loader's monitor.
 */
final class CleanUp {
    /** How long another version's folder must have gone unused (each load marks its folder's time) to be removed. */
    static final long UNUSED_MS = 24 * 3_600_000L;
    /** A file younger than this stays: a JVM may have just made it and not yet locked it. */
    private static final long GRACE_MS = 10_000;
    private static final LinkOption NOFOLLOW = LinkOption.NOFOLLOW_LINKS;

    private CleanUp() {
    }

    /** Marks folder (the version folder just loaded from) as used now, then removes the left-overs beside it. */
    static void run(Path folder, Index.Entry entry, NativeLoader.Log log) {
        long now = System.currentTimeMillis();
        try {
            Files.setLastModifiedTime(folder, FileTime.fromMillis(now));
        } catch (IOException e) {
            // A read-only cache: nothing to clean there either.
        }
        try (DirectoryStream<Path> folders = Files.newDirectoryStream(folder.getParent())) {
            for (Path other : folders) {
                boolean current = other.getFileName().equals(folder.getFileName());
                String version = other.getFileName().toString();
                int dash = version.length() - 17;
                // A version folder: VERSION-first 16 hex digits of the library's SHA-256.
                if (dash < 1 || version.charAt(dash) != '-' || !Index.of(version.substring(dash + 1), Index.HEX, 16, 16)
                        || !Index.of(version.substring(0, dash), Index.VERSION, 1, 255) || !Files.isDirectory(other, NOFOLLOW)
                        || !current && Files.getLastModifiedTime(other, NOFOLLOW).toMillis() > now - UNUSED_MS) {
                    continue;
                }
                try (DirectoryStream<Path> files = Files.newDirectoryStream(other)) {
                    for (Path file : files) {
                        String name = file.getFileName().toString();
                        if ((Copies.isWrittenName(entry.file, name) || !current && name.equals(entry.file))
                                && Folders.notOwnFile(file) == null
                                && Files.getLastModifiedTime(file, NOFOLLOW).toMillis() < now - GRACE_MS
                                && removeUnlocked(file)) {
                            log.say("removed " + file + " (no JVM holds it)");
                        }
                    }
                }
                if (!current && removeEmpty(other)) {
                    log.say("removed " + other + " (another version's, unused for a day)");
                }
            }
            log.say("cleaned up");
        } catch (IOException | RuntimeException e) {
            log.say("clean-up stopped: " + NativeLoader.describe(e));
        }
    }

    /** Deletes file unless a process holds it locked or the system refuses (Windows: loaded somewhere). */
    private static boolean removeUnlocked(Path file) {
        try (FileChannel c = FileChannel.open(file, StandardOpenOption.WRITE, NOFOLLOW)) {
            if (c.tryLock() == null) {
                return false;
            }
            Files.delete(file);
            return true;
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }

    /** Deletes folder when it is empty; false otherwise (something not the loader's stays in it). */
    private static boolean removeEmpty(Path folder) {
        try {
            Files.delete(folder);
            return true;
        } catch (IOException e) {
            return false;
        }
    }
}
