package tessaly.natives;

import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.Map;
import java.util.Properties;
import java.util.TreeMap;

/**
 * The jar's index, natives/index.properties: "version=V" and one line per platform, "PLATFORM=FILE SIZE SHA256",
 * for the library at natives/PLATFORM/FILE. The index is what every copy is checked against.
 */
final class Index {
    private static final String INDEX = "/natives/index.properties";

    final String version;
    final Map<String, Entry> entries = new TreeMap<>();

    private Index(Properties p) {
        version = p.getProperty("version", "unknown").replaceAll("[^A-Za-z0-9._-]", "_");
        for (String key : p.stringPropertyNames()) {
            if (!key.equals("version")) {
                entries.put(key, new Entry(key, p.getProperty(key)));
            }
        }
    }

    static Index read() {
        try (InputStream in = Index.class.getResourceAsStream(INDEX)) {
            if (in == null) {
                throw new UnsatisfiedLinkError("Tessaly natives: " + INDEX + " is not beside " + Index.class
                        + " (the natives jar is incomplete)");
            }
            Properties p = new Properties();
            p.load(new InputStreamReader(in, StandardCharsets.UTF_8));
            return new Index(p);
        } catch (IOException e) {
            throw NativeLoader.linkError("Tessaly natives: cannot read " + INDEX, e);
        }
    }

    /** The platform's entry, said with where it came from. */
    Entry entry(String platform, NativeLoader.Log log) {
        Entry e = entries.get(platform);
        log.say("platform " + platform + " (os.name=" + System.getProperty("os.name") + ", os.arch="
                + System.getProperty("os.arch") + "): resource " + e.resource().substring(1) + ", " + e.size
                + " bytes, SHA-256 " + e.sha256);
        return e;
    }

    /** One library of the index: where it is in the jar and what it must hash to. */
    static final class Entry {
        final String platform;
        final String file;
        final long size;
        final String sha256;

        private Entry(String platform, String value) {
            String[] f = value.trim().split("\\s+");
            if (f.length != 3 || !f[0].matches("[A-Za-z0-9_]+(\\.[A-Za-z0-9_]+)*") || !f[1].matches("[0-9]{1,12}")
                    || !f[2].matches("[0-9a-f]{64}")) {
                throw new UnsatisfiedLinkError("Tessaly natives: the jar's index is damaged at " + platform + "=" + value);
            }
            this.platform = platform;
            this.file = f[0];
            this.size = Long.parseLong(f[1]);
            this.sha256 = f[2];
        }

        String resource() {
            return "/natives/" + platform + "/" + file;
        }

        /** The library's bytes from the jar. */
        InputStream open() {
            InputStream in = Index.class.getResourceAsStream(resource());
            if (in == null) {
                throw new UnsatisfiedLinkError("Tessaly natives: " + resource() + " is missing from the jar");
            }
            return in;
        }

        /** Refuses what was read from the jar, size bytes hashing to hash, unless it is this entry's library. */
        void checkJar(long size, String hash) {
            if (size != this.size || !hash.equals(sha256)) {
                throw new UnsatisfiedLinkError("Tessaly natives: the jar's " + resource() + " (" + size
                        + " bytes, SHA-256 " + hash + ") does not match its index: the jar is damaged");
            }
        }

        /** Why the copy at file is not this library, or null when it is (checked by Folders as this user's). */
        String mismatch(Path file) throws IOException {
            String owner = Folders.notOwnFile(file);
            if (owner != null) {
                return owner;
            }
            long actual = Files.size(file);
            if (actual != size) {
                return actual + " bytes, not " + size;
            }
            String hash = sha256(file);
            return hash.equals(sha256) ? null : "SHA-256 " + hash + " does not match the index";
        }
    }

    static MessageDigest sha256() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);
        }
    }

    static String sha256(Path file) throws IOException {
        MessageDigest sha = sha256();
        try (InputStream in = Files.newInputStream(file)) {
            byte[] buffer = new byte[1 << 16];
            for (int n; (n = in.read(buffer)) > 0;) {
                sha.update(buffer, 0, n);
            }
        }
        return hex(sha.digest());
    }

    static String hex(byte[] bytes) {
        StringBuilder s = new StringBuilder();
        for (byte b : bytes) {
            s.append(Character.forDigit((b >> 4) & 15, 16)).append(Character.forDigit(b & 15, 16));
        }
        return s.toString();
    }
}
