package tessaly.natives;

import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.channels.FileChannel;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.MessageDigest;
import java.util.Set;
import java.util.concurrent.ThreadLocalRandom;
import java.util.function.Consumer;

/**
 * The copies in a version folder. One shared copy under the library's own name (libTrialworks.so), written once
 * and never rewritten, which the first class loader of each JVM loads; every other class loader (a second mod, a
 * reloaded one: the JVM lets a file be loaded by one class loader only) gets a copy of its own under a name no
 * one else uses, NAME-RANDOM.EXT, removed as soon as it is loaded where the system allows it (not on Windows,
 * where a later start removes it). Every copy is written under such a name, locked while it is written and
 * loaded, and hashed as it is written; a file at the shared name is loaded only when it matches the index.
 */
final class Copies {
    private static final String ALREADY_LOADED = "already loaded in another classloader";

    private Copies() {
    }

    /** Loads a verified copy from folder into the caller's class loader; returns the file loaded. */
    static Path load(Path folder, Index.Entry entry, Consumer<String> binder, NativeLoader.Log log) throws IOException {
        Path shared = folder.resolve(entry.file);
        String problem;
        if (Files.exists(shared, LinkOption.NOFOLLOW_LINKS)) {
            problem = entry.mismatch(shared);
            log.say(shared + (problem == null ? ": SHA-256 matches the index, used as it is" : ": " + problem
                    + ", left as it is"));
        } else {
            problem = place(folder, shared, entry, log);
        }
        if (problem == null) {
            if (bound(shared, binder, log)) {
                return shared;
            }
            log.say(shared + " is loaded by another class loader of this JVM");
        }
        try (Written own = new Written(folder, entry)) {
            log.say("wrote " + own.file + ", this class loader's own copy");
            if (!bound(own.file, binder, log)) {
                throw new IOException(own.file + " is " + ALREADY_LOADED);
            }
            return own.file;
        }
    }

    /** Loads file, which no other class loader may hold. */
    static Path bind(Path file, Consumer<String> binder, NativeLoader.Log log) {
        if (!bound(file, binder, log)) {
            throw new UnsatisfiedLinkError("Tessaly natives: System.load failed: " + file + " is " + ALREADY_LOADED);
        }
        return file;
    }

    /** System.load of file: true when loaded, false when another class loader of this JVM holds it. */
    private static boolean bound(Path file, Consumer<String> binder, NativeLoader.Log log) {
        try {
            binder.accept(file.toString());
        } catch (UnsatisfiedLinkError e) {
            String m = String.valueOf(e.getMessage());
            if (m.contains(ALREADY_LOADED)) {
                return false;
            }
            throw NativeLoader.linkError("Tessaly natives: System.load failed: " + m + (m.contains("failed to map segment")
                    ? " (is the folder on a file system mounted noexec? -D" + NativeLoader.CACHE_PROPERTY
                            + "=FOLDER keeps the copies in another)" : ""), e);
        }
        log.say("loaded " + file);
        return true;
    }

    /**
     * Writes the shared copy: under a name of its own, checked, then given the shared name where it is free.
     * Returns null when the shared name now holds the library, else why the file another process put there first
     * is not it.
     */
    private static String place(Path folder, Path shared, Index.Entry entry, NativeLoader.Log log) throws IOException {
        try (Written w = new Written(folder, entry)) {
            if (putInPlace(w.file, shared, true)) {
                log.say("wrote " + shared + " (under a temporary name, checked, then put in place)");
                return null;
            }
        }
        String problem = entry.mismatch(shared);
        log.say(shared + " appeared meanwhile" + (problem == null ? ", and matches the index" : ": " + problem));
        return problem;
    }

    /**
     * Gives part the name file without replacing anything there: a hard link, which fails when the name is
     * taken; where there are no links (FAT, some network shares) or links is false, a move that does not
     * replace either. False when the name was taken. Package-private: the tests drive both ways.
     */
    static boolean putInPlace(Path part, Path file, boolean links) throws IOException {
        try {
            if (links) {
                try {
                    Files.createLink(file, part);
                    return true;
                } catch (FileAlreadyExistsException e) {
                    throw e;
                } catch (UnsupportedOperationException | IOException e) {
                    // No hard links here: the move below.
                }
            }
            Files.move(part, file);
            return true;
        } catch (FileAlreadyExistsException e) {
            return false;
        }
    }

    /** Whether name is one the loader gives the copies it writes of the library file: NAME-16 hex digits.EXT. */
    static boolean writtenName(String file, String name) {
        int dot = file.indexOf('.');
        String stem = dot < 0 ? file : file.substring(0, dot);
        String ext = dot < 0 ? "" : file.substring(dot);
        return name.length() == file.length() + 17 && name.startsWith(stem + "-") && name.endsWith(ext)
                && name.substring(stem.length() + 1, stem.length() + 17).matches("[0-9a-f]{16}");
    }

    /**
     * The jar's library written to a new file of its own name in a folder, owner-only, hashed as it is written
     * and checked against the index. It stays locked until closed, which removes it (where the system allows:
     * a loaded copy on Windows stays) and lets the lock go. The lock tells another JVM's clean-up that the file
     * is in use; on Windows it is let go once the file is written, before the system maps it.
     */
    private static final class Written implements AutoCloseable {
        final Path file;
        private final FileChannel channel;

        Written(Path folder, Index.Entry entry) throws IOException {
            String name = String.format("%016x", ThreadLocalRandom.current().nextLong());
            int dot = entry.file.indexOf('.');
            file = folder.resolve(dot < 0 ? entry.file + "-" + name
                    : entry.file.substring(0, dot) + "-" + name + entry.file.substring(dot));
            FileAttribute<?>[] mode = Folders.POSIX
                    ? new FileAttribute<?>[] {PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rw-------"))}
                    : new FileAttribute<?>[0];
            channel = FileChannel.open(file, Set.of(StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE), mode);
            try {
                if (channel.tryLock() == null) {
                    throw new IOException(file + " is locked by another process");
                }
                MessageDigest sha = Index.sha256();
                long size = 0;
                try (InputStream in = entry.open()) {
                    byte[] buffer = new byte[1 << 16];
                    for (int n; (n = in.read(buffer)) > 0; size += n) {
                        sha.update(buffer, 0, n);
                        for (ByteBuffer b = ByteBuffer.wrap(buffer, 0, n); b.hasRemaining();) {
                            channel.write(b);
                        }
                    }
                }
                entry.checkJar(size, Index.hex(sha.digest()));
                if (!Folders.POSIX) {
                    channel.close();
                }
            } catch (IOException | RuntimeException | Error e) {
                close();
                throw e;
            }
        }

        @Override
        public void close() {
            try {
                Files.deleteIfExists(file);
            } catch (IOException | RuntimeException e) {
                // Loaded (Windows), or held by another program (an antivirus): a later start removes it.
            }
            try {
                channel.close();
            } catch (IOException e) {
                // Nothing of it is needed any more.
            }
        }
    }
}
