package tessaly.natives;

import java.io.*;
import java.nio.*;
import java.nio.channels.*;
import java.nio.file.*;
import java.nio.file.attribute.*;
import java.security.*;
import java.util.*;
import java.util.concurrent.*;
import java.util.function.*;

/**
 * The copies in a version folder. The shared copy, under the library's own name, is written once and never
 * rewritten; the first class loader of each JVM loads it. Every other class loader (a second mod, a reloaded
 * one: the JVM lets a file be loaded by one class loader only) gets a copy of its own, NAME-RANDOM.EXT, removed
 * once loaded where the system allows it (not Windows: a later start removes it). Each copy is written under
 * such a name, hashed as it is written, and locked until it is loaded (on Windows, until it is written).
 */
final class Copies {
    private static final String ALREADY_LOADED = "already loaded in another classloader";

    private Copies() {
    }

    /** Loads a verified copy from folder into the caller's class loader; returns the file loaded. */
    static Path load(Path folder, Index.Entry entry, Consumer<String> binder, NativeLoader.Log log) throws IOException {
        Path shared = folder.resolve(entry.file);
        boolean there = Files.exists(shared, LinkOption.NOFOLLOW_LINKS);
        String problem = there ? entry.mismatch(shared) : place(folder, shared, entry, log);
        if (problem != null) {
            log.say(shared + ": " + problem + ", left as it is");
        } else if (there) {
            log.say(shared + ": SHA-256 matches the index, used as it is");
        }
        if (problem == null && bound(shared, binder, log)) {
            return shared;
        } else if (problem == null) {
            log.say(shared + " is loaded by another class loader of this JVM");
        }
        try (Written own = new Written(folder, entry)) {
            log.say("wrote " + own.file + ", this class loader's own copy");
            return bind(own.file, binder, log);
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

    /** Writes the shared copy; null when the shared name then holds the library, else why another's file there is not. */
    private static String place(Path folder, Path shared, Index.Entry entry, NativeLoader.Log log) throws IOException {
        try (Written w = new Written(folder, entry)) {
            if (putInPlace(w.file, shared, true)) {
                Files.setLastModifiedTime(shared, entry.seal());
                log.say("wrote " + shared + " (under a temporary name, checked, then put in place)");
                return null;
            }
        }
        log.say(shared + " appeared meanwhile");
        return entry.mismatch(shared);
    }

    /**
     * Gives part the name file without replacing anything there: a hard link, which fails when the name is taken;
     * where there are no links (FAT, some network shares) or links is false, a move that does not replace either.
     * False when the name was taken. Package-private: the tests drive both ways.
     */
    static boolean putInPlace(Path part, Path file, boolean links) throws IOException {
        try {
            if (links) {
                Files.createLink(file, part);
            } else {
                Files.move(part, file);
            }
            return true;
        } catch (FileAlreadyExistsException e) {
            return false;
        } catch (UnsupportedOperationException | IOException e) {
            if (!links) {
                throw e;
            }
            return putInPlace(part, file, false);
        }
    }

    /** The name the loader gives a copy it writes of the library file: NAME-HEX.EXT (libTrialworks-HEX.so). */
    private static String writtenName(String file, String hex) {
        int dot = file.indexOf('.') < 0 ? file.length() : file.indexOf('.');
        return file.substring(0, dot) + "-" + hex + file.substring(dot);
    }

    /** Whether name is one the loader gives the copies it writes of the library file, with 16 hex digits. */
    static boolean isWrittenName(String file, String name) {
        int dot = file.indexOf('.') < 0 ? file.length() : file.indexOf('.');
        String hex = name.length() == file.length() + 17 ? name.substring(dot + 1, dot + 17) : "";
        return Index.of(hex, Index.HEX, 16, 16) && name.equals(writtenName(file, hex));
    }

    /** The jar's library in a new file of its own name in folder, owner-only, checked; closing removes it if it can. */
    private static final class Written implements AutoCloseable {
        final Path file;
        private final FileChannel channel;

        Written(Path folder, Index.Entry entry) throws IOException {
            file = folder.resolve(writtenName(entry.file, String.format("%016x", ThreadLocalRandom.current().nextLong())));
            channel = FileChannel.open(file, Set.of(StandardOpenOption.CREATE_NEW, StandardOpenOption.WRITE), Folders.POSIX
                    ? new FileAttribute<?>[] {PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rw-------"))}
                    : new FileAttribute<?>[0]);
            try {
                if (channel.tryLock() == null) {
                    throw new IOException(file + " is locked by another process");
                }
                MessageDigest sha = Index.sha256();
                long size = 0;
                try (InputStream in = Copies.class.getResourceAsStream(entry.resource())) {
                    if (in == null) {
                        throw new UnsatisfiedLinkError("Tessaly natives: " + entry.resource() + " is missing from the jar");
                    }
                    byte[] buffer = new byte[1 << 16];
                    for (int n; (n = in.read(buffer)) > 0; size += n) {
                        sha.update(buffer, 0, n);
                        for (ByteBuffer b = ByteBuffer.wrap(buffer, 0, n); b.hasRemaining();) {
                            channel.write(b);
                        }
                    }
                }
                String hash = Index.hex(sha.digest());
                if (size != entry.size || !hash.equals(entry.sha256)) {
                    throw new UnsatisfiedLinkError("Tessaly natives: the jar's " + entry.resource() + " (" + size
                            + " bytes, SHA-256 " + hash + ") does not match its index: the jar is damaged");
                }
                if (!Folders.POSIX) {
                    channel.close(); // Windows: no lock in the way of the system mapping it
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
