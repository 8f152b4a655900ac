package tessaly.natives;

import java.io.*;
import java.nio.charset.*;
import java.nio.file.*;
import java.nio.file.attribute.*;
import java.security.*;
import java.util.*;
import java.util.concurrent.*;

/**
 * The jar's index, natives/index.properties ("version=V", and "PLATFORM=FILE SIZE SHA256" for the library at
 * natives/PLATFORM/FILE), which every copy is checked against; and which of its platforms this machine runs.
 */
final class Index {
    static final String DIGITS = "0123456789";
    static final String HEX = DIGITS + "abcdef";
    /** What a version (and a library's file name, less '-') may hold; other characters become '_'. */
    static final String VERSION = DIGITS + "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._-";

    final String version;
    final Map<String, Entry> entries = new TreeMap<>();

    private Index(Properties p) {
        char[] v = p.getProperty("version", "unknown").toCharArray();
        for (int i = 0; i < v.length; i++) {
            v[i] = VERSION.indexOf(v[i]) < 0 ? '_' : v[i];
        }
        version = new String(v);
        for (String key : p.stringPropertyNames()) {
            if (!key.equals("version")) {
                entries.put(key, new Entry(key, p.getProperty(key)));
            }
        }
    }

    static Index read() {
        try (InputStream in = Index.class.getResourceAsStream("/natives/index.properties")) {
            if (in == null) {
                throw new UnsatisfiedLinkError("Tessaly natives: /natives/index.properties is not beside " + Index.class
                        + " (the natives jar is incomplete)");
            }
            Properties p = new Properties();
            p.load(new InputStreamReader(in, StandardCharsets.UTF_8));
            return new Index(p);
        } catch (IOException e) {
            throw NativeLoader.linkError("Tessaly natives: cannot read /natives/index.properties", e);
        }
    }

    /** One library of the index: where it is in the jar and what it must hash to. */
    static final class Entry {
        final String platform;
        final String file;
        final long size;
        final String sha256;

        private Entry(String platform, String value) {
            String[] f = value.trim().split(" ");
            if (f.length != 3 || !of(f[0], VERSION.replace("-", ""), 1, 255) || f[0].startsWith(".") || f[0].endsWith(".")
                    || f[0].contains("..") || !of(f[1], DIGITS, 1, 12) || !of(f[2], HEX, 64, 64)) {
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

        /**
         * The time a copy is given once it has been found to hash to this entry's SHA-256: whole seconds from all
         * of its digits, even and after 1980 (as FAT keeps times). Any write changes a file's time, and the copy
         * is then hashed again.
         */
        FileTime seal() {
            return FileTime.from(315_532_800L + (sha256.hashCode() & 0x0ffffffeL), TimeUnit.SECONDS);
        }

        /** Why the copy at file is not this library, or null: a file of this user's, of this size, sealed or hashed. */
        String mismatch(Path file) throws IOException {
            String owner = Folders.notOwnFile(file);
            if (owner != null) {
                return owner;
            }
            if (Files.size(file) != size) {
                return Files.size(file) + " bytes, not " + size;
            }
            if (Files.getLastModifiedTime(file, LinkOption.NOFOLLOW_LINKS).equals(seal())) {
                return null;
            }
            String hash = sha256(file);
            if (!hash.equals(sha256)) {
                return "SHA-256 " + hash + " does not match the index";
            }
            try {
                Files.setLastModifiedTime(file, seal());
            } catch (IOException e) {
                // A read-only cache: hashed at each start.
            }
            return null;
        }
    }

    /** This JVM's platform of has, or UnsatisfiedLinkError saying why there is none. */
    static String platform(Set<String> has) {
        String osName = System.getProperty("os.name", "");
        String libc = null;
        if (osName.startsWith("Linux")) {
            // The program's interpreter, named near the start of its ELF file.
            try (InputStream in = Files.newInputStream(Paths.get("/proc/self/exe"))) {
                libc = libc(new String(in.readNBytes(4096), StandardCharsets.ISO_8859_1));
            } catch (IOException | RuntimeException e) {
                // Not known: a library the C library cannot load then fails in System.load, in its words.
            }
        }
        return platform(osName, System.getProperty("os.arch", ""), System.getProperty("sun.arch.data.model"), libc, has);
    }

    /**
     * The platform of a machine (libc: "glibc", "musl", "bionic", or null when not known), or UnsatisfiedLinkError
     * naming os.name, os.arch, what was detected and the platforms the jar has. Package-private: tested.
     */
    static String platform(String osName, String osArch, String dataModel, String libc, Set<String> has) {
        String os = osName.toLowerCase(Locale.ROOT);
        String arch = osArch.toLowerCase(Locale.ROOT);
        boolean x64 = arch.equals("amd64") || arch.equals("x86_64");
        boolean arm64 = arch.equals("aarch64") || arch.equals("arm64");
        String platform = null;
        String detected;
        if ("32".equals(dataModel) || Set.of("x86", "i386", "i486", "i586", "i686", "arm").contains(arch)
                || arch.startsWith("armv7")) {
            detected = "a 32-bit JVM (the libraries are 64-bit)";
        } else if (os.startsWith("linux") && libc != null && !libc.equals("glibc")) {
            detected = "Linux with " + (libc.equals("bionic") ? "Android's bionic" : libc)
                    + " libc (the libraries need glibc 2.28 or newer)";
        } else if (os.startsWith("linux")) {
            platform = x64 ? "linux-x64" : arm64 ? "linux-aarch64" : null;
            detected = "Linux on " + osArch;
        } else if (os.startsWith("windows")) {
            platform = x64 ? "windows-x64" : null;
            detected = arm64 ? "Windows on ARM with an arm64 JVM (an x64 JVM runs the x64 library)" : "Windows on " + osArch;
        } else if (os.startsWith("mac") || os.startsWith("darwin")) {
            platform = x64 || arm64 ? "macos" : null;
            detected = "macOS on " + osArch;
        } else {
            detected = "an operating system without a library";
        }
        if (platform != null && has.contains(platform)) {
            return platform;
        }
        throw new UnsatisfiedLinkError("Tessaly natives: no library for this machine: os.name=" + osName + ", os.arch="
                + osArch + ", detected " + (platform != null ? platform + ", which this jar does not hold" : detected)
                + "; this jar has " + (has.isEmpty() ? "none" : String.join(", ", new TreeSet<>(has))));
    }

    /**
     * The C library of the program whose ELF file begins with head, by the interpreter it names: glibc's
     * ld-linux, musl's ld-musl (also its libc), Android's linker (bionic); null for none. Package-private: tested.
     */
    static String libc(String head) {
        return head.contains("/ld-linux") ? "glibc" : head.contains("/ld-musl-") ? "musl"
                : head.contains("/system/bin/linker") ? "bionic" : null;
    }

    /** Whether s has min to max characters, each of chars (no regular expressions: they cost at start-up). */
    static boolean of(String s, String chars, int min, int max) {
        for (int i = 0; i < s.length(); i++) {
            if (chars.indexOf(s.charAt(i)) < 0) {
                return false;
            }
        }
        return s.length() >= min && s.length() <= max;
    }

    static MessageDigest sha256() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);
        }
    }

    static String sha256(Path file) throws IOException {
        return hex(sha256().digest(Files.readAllBytes(file)));
    }

    static String hex(byte[] digest) {
        return String.format("%0" + 2 * digest.length + "x", new java.math.BigInteger(1, digest));
    }
}
