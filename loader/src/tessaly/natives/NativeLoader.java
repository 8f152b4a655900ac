package tessaly.natives;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.io.PrintStream;
import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Objects;
import java.util.Properties;
import java.util.Set;
import java.util.TreeMap;
import java.util.TreeSet;
import java.util.WeakHashMap;

/**
 * Loads the Tessaly native library (libTrialworks.so, libSkyrope.dylib, Skyrope.dll) from this jar into the
 * class loader of the host's TessalyServerConnectionHelper. The host calls, once before the first native call,
 * from that class or any class of the same class loader:
 *
 * <pre>
 * NativeLoader.load(MethodHandles.lookup());
 * </pre>
 *
 * System.load binds a library to the class loader of the class that calls it, and the JVM looks native methods
 * up only there. Through the caller's Lookup, System.load runs as the caller's class, so the library is bound to
 * the host's class loader wherever this class was loaded from.
 *
 * The steps: the platform from os.name and os.arch; the library's resource natives/PLATFORM/FILE and its SHA-256
 * and size from natives/index.properties; a folder per version and content hash in the user's cache folder
 * (created owner-only), or under java.io.tmpdir when that one cannot be created, written or loaded from; a copy
 * is used only when its SHA-256 matches the index, is never rewritten, and a new copy is written under a
 * temporary name, checked and then renamed into place. Each class loader gets a copy of its own (the JVM lets a
 * file be loaded by one class loader only); a second call from the same class loader does nothing.
 *
 * System properties: tessaly.natives.library=FILE loads FILE instead (checked against the index unless
 * tessaly.natives.verify=false); tessaly.natives.cache=FOLDER replaces the user's cache folder;
 * tessaly.natives.debug=true prints each decision to standard error. {@code java -jar} on this jar runs the same
 * steps as a self-check.
 */
public final class NativeLoader {
    /** An explicit library file to load instead of the jar's. */
    public static final String LIBRARY_PROPERTY = "tessaly.natives.library";
    /** "false": the explicit library file is loaded without checking it against the index. */
    public static final String VERIFY_PROPERTY = "tessaly.natives.verify";
    /** The cache folder to use instead of the user's. */
    public static final String CACHE_PROPERTY = "tessaly.natives.cache";
    /** "true": each decision is printed to standard error. */
    public static final String DEBUG_PROPERTY = "tessaly.natives.debug";

    private static final String INDEX = "/natives/index.properties";
    private static final String ALREADY_LOADED = "already loaded in another classloader";
    /** Copies per folder, one per class loader that loads the library at the same time. */
    private static final int MAX_COPIES = 64;
    /** The class loaders this copy of the class has loaded the library into, and the file each got. */
    private static final Map<ClassLoader, Path> LOADED = new WeakHashMap<>();

    /** System.load as some class calls it. */
    interface Binder {
        void load(String file);
    }

    private final PrintStream log;

    private NativeLoader(PrintStream log) {
        this.log = log;
    }

    /**
     * Loads the library into the class loader of caller's class, once per class loader. caller must be the
     * full-access Lookup of a class in the class loader of TessalyServerConnectionHelper, as
     * MethodHandles.lookup() in that class gives it. Returns the file loaded.
     *
     * @throws UnsatisfiedLinkError no library for this machine, or none could be loaded; the message names
     *         each refusal and its cause
     * @throws IllegalArgumentException caller is not a full-access Lookup
     */
    public static Path load(MethodHandles.Lookup caller) {
        Objects.requireNonNull(caller, "caller");
        MethodHandle systemLoad;
        try {
            // A caller-sensitive method found through a Lookup runs as the Lookup's class.
            systemLoad = caller.findStatic(System.class, "load", MethodType.methodType(void.class, String.class));
        } catch (NoSuchMethodException | IllegalAccessException e) {
            throw new IllegalArgumentException("NativeLoader.load needs MethodHandles.lookup() of the host's own class"
                    + " (full access), not " + caller, e);
        }
        Binder binder = binder(systemLoad);
        ClassLoader target = caller.lookupClass().getClassLoader();
        synchronized (LOADED) {
            Path done = LOADED.get(target);
            if (done != null) {
                return done;
            }
            PrintStream log = Boolean.getBoolean(DEBUG_PROPERTY) ? System.err : null;
            Path file = new NativeLoader(log).run(binder, "class loader " + target + " of " + caller.lookupClass());
            LOADED.put(target, file);
            return file;
        }
    }

    /**
     * The self-check: the same steps on this machine, each decision printed, the library loaded into this
     * class's own class loader. Exit status 0 when it loaded, 1 otherwise.
     */
    public static void main(String[] args) {
        PrintStream out = System.out;
        out.println("tessaly-natives self-check: java " + System.getProperty("java.version") + " ("
                + System.getProperty("java.vendor") + ", " + System.getProperty("sun.arch.data.model", "?")
                + "-bit) at " + System.getProperty("java.home"));
        try {
            MethodHandle systemLoad = MethodHandles.lookup().findStatic(System.class, "load",
                    MethodType.methodType(void.class, String.class));
            Path file = new NativeLoader(out).run(binder(systemLoad), "the self-check's class loader");
            out.println("self-check: OK, " + file + " is loaded");
            out.flush();
            System.exit(0);
        } catch (UnsatisfiedLinkError | RuntimeException | ReflectiveOperationException e) {
            out.println("self-check: FAILED: " + e);
            out.flush();
            System.exit(1);
        }
    }

    /** systemLoad (System.load as some class calls it) as a Binder. */
    private static Binder binder(MethodHandle systemLoad) {
        return file -> {
            try {
                systemLoad.invokeExact(file);
            } catch (RuntimeException | Error e) {
                throw e;
            } catch (Throwable e) {
                throw new IllegalStateException(e);
            }
        };
    }

    private void say(String line) {
        if (log != null) {
            log.println("[tessaly-natives] " + line);
            log.flush();
        }
    }

    /** One library of the index: where it is in the jar and what it must hash to. */
    private static final class Entry {
        final String platform;
        final String file;
        final long size;
        final String sha256;

        Entry(String platform, String value) {
            String[] f = value.trim().split("\\s+");
            if (f.length != 3 || !f[2].matches("[0-9a-f]{64}") || !f[1].matches("[0-9]{1,12}")) {
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
    }

    private static final class Index {
        final String version;
        final Map<String, Entry> entries = new TreeMap<>();

        Index(Properties p) {
            version = p.getProperty("version", "unknown").replaceAll("[^A-Za-z0-9._-]", "_");
            for (String key : p.stringPropertyNames()) {
                if (!key.equals("version")) {
                    entries.put(key, new Entry(key, p.getProperty(key)));
                }
            }
        }
    }

    private static Index readIndex() {
        try (InputStream in = NativeLoader.class.getResourceAsStream(INDEX)) {
            if (in == null) {
                throw new UnsatisfiedLinkError("Tessaly natives: " + INDEX + " is not beside " + NativeLoader.class
                        + " (the natives jar is incomplete)");
            }
            Properties p = new Properties();
            p.load(new java.io.InputStreamReader(in, StandardCharsets.UTF_8));
            return new Index(p);
        } catch (IOException e) {
            throw linkError("Tessaly natives: cannot read " + INDEX, e);
        }
    }

    /** The steps, with every refusal kept for the final message. */
    Path run(Binder binder, String into) {
        Index index = readIndex();
        say("natives jar " + index.version + " holds " + String.join(", ", index.entries.keySet()) + "; loading into "
                + into);
        String explicit = System.getProperty(LIBRARY_PROPERTY);
        if (explicit != null && !explicit.isEmpty()) {
            return loadExplicit(index, Paths.get(explicit).toAbsolutePath(), binder);
        }
        String osName = System.getProperty("os.name", "");
        String platform = choosePlatform(osName, System.getProperty("os.arch", ""),
                System.getProperty("sun.arch.data.model"), osName.startsWith("Linux") && runsOnMusl(),
                index.entries.keySet());
        Entry entry = index.entries.get(platform);
        say("platform " + platform + " (os.name=" + osName + ", os.arch=" + System.getProperty("os.arch")
                + "): resource " + entry.resource().substring(1) + ", " + entry.size + " bytes, SHA-256 "
                + entry.sha256);
        String folderName = index.version + "-" + entry.sha256.substring(0, 16);
        List<String> refusals = new ArrayList<>();
        for (Path base : bases(osName, refusals)) {
            Path folder = base.resolve(folderName);
            try {
                return loadFrom(folder, entry, binder);
            } catch (IOException | UnsatisfiedLinkError | RuntimeException e) {
                String why = folder + ": " + describe(e);
                say("refused " + why);
                refusals.add(why);
            }
        }
        throw new UnsatisfiedLinkError("Tessaly natives: could not load " + entry.resource().substring(1)
                + " from any folder:\n  " + String.join("\n  ", refusals)
                + "\n(-D" + DEBUG_PROPERTY + "=true prints each step; -D" + CACHE_PROPERTY + "=FOLDER names another folder)");
    }

    /** The folders to try, in order: the cache folder, then one under java.io.tmpdir; both per user. */
    private List<Path> bases(String osName, List<String> refusals) {
        List<Path> bases = new ArrayList<>();
        String cache = System.getProperty(CACHE_PROPERTY);
        String home = System.getProperty("user.home", "");
        try {
            if (cache != null && !cache.isEmpty()) {
                bases.add(Paths.get(cache).toAbsolutePath());
                say("cache folder " + bases.get(0) + " (from " + CACHE_PROPERTY + ")");
            } else {
                String os = osName.toLowerCase(Locale.ROOT);
                Path root;
                if (os.startsWith("windows")) {
                    String local = System.getenv("LOCALAPPDATA");
                    root = local != null && !local.isEmpty() ? Paths.get(local) : Paths.get(home, "AppData", "Local");
                } else if (os.startsWith("mac")) {
                    root = Paths.get(home, "Library", "Caches");
                } else {
                    String xdg = System.getenv("XDG_CACHE_HOME");
                    root = xdg != null && Paths.get(xdg).isAbsolute() ? Paths.get(xdg) : Paths.get(home, ".cache");
                }
                if (!root.isAbsolute()) {
                    throw new IOException("no absolute home folder (user.home=" + home + ")");
                }
                bases.add(root.resolve("tessaly-natives"));
                say("cache folder " + bases.get(0));
            }
        } catch (IOException | RuntimeException e) {
            refusals.add("the user's cache folder: " + describe(e));
            say("no cache folder: " + describe(e));
        }
        String tmp = System.getProperty("java.io.tmpdir", "");
        try {
            bases.add(Paths.get(tmp).toAbsolutePath().resolve("tessaly-natives-" + userTag()));
        } catch (RuntimeException e) {
            refusals.add("java.io.tmpdir=" + tmp + ": " + describe(e));
        }
        return bases;
    }

    /** The user's name as a file name holds it anywhere: ASCII letters, digits, '.', '_', '-', else a hash of it. */
    private static String userTag() {
        String user = System.getProperty("user.name", "");
        String safe = user.replaceAll("[^A-Za-z0-9._-]", "_");
        if (safe.equals(user) && !user.isEmpty() && user.length() <= 32 && !user.startsWith(".")) {
            return user;
        }
        return "u" + sha256(user.getBytes(StandardCharsets.UTF_8)).substring(0, 16);
    }

    /**
     * Loads a verified copy from folder: the first name whose file matches the index and that no other class
     * loader of this JVM holds; a missing one is written first.
     */
    private Path loadFrom(Path folder, Entry entry, Binder binder) throws IOException {
        prepareFolder(folder);
        int dot = entry.file.indexOf('.');
        String stem = dot < 0 ? entry.file : entry.file.substring(0, dot);
        String suffix = dot < 0 ? "" : entry.file.substring(dot);
        for (int n = 1; n <= MAX_COPIES; n++) {
            Path file = folder.resolve(n == 1 ? entry.file : stem + "-" + n + suffix);
            if (Files.exists(file, LinkOption.NOFOLLOW_LINKS)) {
                String problem = mismatch(file, entry);
                if (problem != null) {
                    say(file + ": " + problem + ", not loaded; trying the next name");
                    continue;
                }
                say(file + ": SHA-256 matches the index, used as it is");
            } else if (!write(folder, file, entry)) {
                continue;
            }
            try {
                binder.load(file.toString());
            } catch (UnsatisfiedLinkError e) {
                if (String.valueOf(e.getMessage()).contains(ALREADY_LOADED)) {
                    say(file + " is loaded by another class loader of this JVM; this one gets a copy of its own");
                    continue;
                }
                throw linkError("System.load failed: " + e.getMessage(), e);
            }
            say("loaded " + file);
            return file;
        }
        throw new IOException(MAX_COPIES + " copies in use or damaged");
    }

    /** Creates folder owner-only where needed and refuses one that others could write or that is not ours. */
    private void prepareFolder(Path folder) throws IOException {
        boolean posix = FileSystems.getDefault().supportedFileAttributeViews().contains("posix");
        if (!Files.isDirectory(folder)) {
            if (posix) {
                Files.createDirectories(folder,
                        PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
            } else {
                Files.createDirectories(folder);
            }
            say("created " + folder);
        }
        if (!posix) {
            return;
        }
        Path probe = Files.createTempFile(folder, ".owner-", ".tmp");
        try {
            for (Path p : new Path[] {folder, folder.getParent()}) {
                if (!Files.getOwner(p).equals(Files.getOwner(probe))) {
                    throw new IOException(p + " belongs to " + Files.getOwner(p).getName() + ", not to this user");
                }
                Set<PosixFilePermission> perms = Files.getPosixFilePermissions(p);
                if (perms.contains(PosixFilePermission.GROUP_WRITE) || perms.contains(PosixFilePermission.OTHERS_WRITE)) {
                    throw new IOException(p + " is writable by others (" + PosixFilePermissions.toString(perms) + ")");
                }
            }
        } finally {
            Files.deleteIfExists(probe);
        }
    }

    /**
     * Writes the jar's library to file: under a temporary name in the same folder, checked, then renamed into
     * place. Returns false when file then holds something else (another process's doing).
     */
    private boolean write(Path folder, Path file, Entry entry) throws IOException {
        Path part = Files.createTempFile(folder, "." + entry.file + "-", ".part");
        try {
            MessageDigest sha = sha256Digest();
            long size = 0;
            try (InputStream in = NativeLoader.class.getResourceAsStream(entry.resource());
                 OutputStream out = Files.newOutputStream(part)) {
                if (in == null) {
                    throw new UnsatisfiedLinkError("Tessaly natives: " + entry.resource() + " is missing from the jar");
                }
                byte[] buffer = new byte[1 << 16];
                for (int n; (n = in.read(buffer)) > 0; size += n) {
                    sha.update(buffer, 0, n);
                    out.write(buffer, 0, n);
                }
            }
            String hash = hex(sha.digest());
            if (size != entry.size || !hash.equals(entry.sha256)) {
                throw new UnsatisfiedLinkError("Tessaly natives: the jar's " + entry.resource() + " (" + size
                        + " bytes, SHA-256 " + hash + ") does not match its index: the jar is damaged");
            }
            String problem = mismatch(part, entry);
            if (problem != null) {
                throw new IOException("the copy written to " + part + " reads back wrong: " + problem);
            }
            // Into place without replacing anything: a hard link fails when the name is taken; where there
            // are no links (FAT, some network shares), a rename, which does not replace either.
            try {
                try {
                    Files.createLink(file, part);
                } catch (FileAlreadyExistsException e) {
                    throw e;
                } catch (UnsupportedOperationException | IOException e) {
                    Files.move(part, file);
                }
            } catch (FileAlreadyExistsException e) {
                // Another process put its copy there first (and may hold it loaded); that one is checked.
                say(file + " appeared meanwhile");
            }
        } finally {
            Files.deleteIfExists(part);
        }
        String problem = mismatch(file, entry);
        if (problem != null) {
            say(file + ": " + problem + " after writing it; trying the next name");
            return false;
        }
        say("wrote " + file + " (under a temporary name, checked, then put in place)");
        return true;
    }

    /** Why file is not the library of the index, or null when it is. */
    private static String mismatch(Path file, Entry entry) throws IOException {
        if (!Files.isRegularFile(file, LinkOption.NOFOLLOW_LINKS)) {
            return "not a regular file";
        }
        if (Files.size(file) != entry.size) {
            return Files.size(file) + " bytes, not " + entry.size;
        }
        String hash = sha256(file);
        return hash.equals(entry.sha256) ? null : "SHA-256 " + hash + " does not match the index";
    }

    private Path loadExplicit(Index index, Path file, Binder binder) {
        say("library file " + file + " (from " + LIBRARY_PROPERTY + ")");
        if ("false".equalsIgnoreCase(System.getProperty(VERIFY_PROPERTY))) {
            say("not checked against the index (" + VERIFY_PROPERTY + "=false)");
        } else {
            String hash;
            try {
                hash = sha256(file);
            } catch (IOException e) {
                throw linkError("Tessaly natives: cannot read " + LIBRARY_PROPERTY + "=" + file + ": " + describe(e), e);
            }
            boolean known = index.entries.values().stream().anyMatch(e -> e.sha256.equals(hash));
            if (!known) {
                throw new UnsatisfiedLinkError("Tessaly natives: " + LIBRARY_PROPERTY + "=" + file + " (SHA-256 " + hash
                        + ") is no library of natives jar " + index.version + "; -D" + VERIFY_PROPERTY
                        + "=false loads it unchecked");
            }
            say(file + ": SHA-256 matches the index");
        }
        try {
            binder.load(file.toString());
        } catch (UnsatisfiedLinkError e) {
            throw linkError("Tessaly natives: System.load failed: " + e.getMessage(), e);
        }
        say("loaded " + file);
        return file;
    }

    /**
     * The jar's platform folder for a machine, or UnsatisfiedLinkError naming os.name, os.arch, what was detected
     * and the platforms the jar has. Package-private: the tests give it other machines.
     */
    static String choosePlatform(String osName, String osArch, String dataModel, boolean musl, Set<String> has) {
        String os = osName.toLowerCase(Locale.ROOT);
        String arch = osArch.toLowerCase(Locale.ROOT);
        boolean x64 = arch.equals("amd64") || arch.equals("x86_64");
        boolean arm64 = arch.equals("aarch64") || arch.equals("arm64");
        String platform = null;
        String detected;
        if ("32".equals(dataModel) || arch.matches("x86|i[3-6]86|arm|armv7.*")) {
            detected = "a 32-bit JVM (the libraries are 64-bit)";
        } else if (os.startsWith("linux")) {
            platform = musl ? null : x64 ? "linux-x64" : arm64 ? "linux-aarch64" : null;
            detected = musl ? "Linux with musl libc (the libraries need glibc 2.28 or newer)" : "Linux on " + osArch;
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
        if (platform != null) {
            detected = platform + ", which this jar does not hold";
        }
        throw new UnsatisfiedLinkError("Tessaly natives: no library for this machine: os.name=" + osName + ", os.arch="
                + osArch + ", detected " + detected + "; this jar has "
                + (has.isEmpty() ? "none" : String.join(", ", new TreeSet<>(has))));
    }

    /** True when this JVM runs on musl libc: its dynamic loader or libc is mapped into the process. */
    private static boolean runsOnMusl() {
        try {
            for (String line : Files.readAllLines(Paths.get("/proc/self/maps"), StandardCharsets.ISO_8859_1)) {
                if (line.contains("/ld-musl-") || line.contains("/libc.musl-")) {
                    return true;
                }
            }
        } catch (IOException | RuntimeException e) {
            // No /proc: not detectable; a glibc library then fails in System.load with the loader's own message.
        }
        return false;
    }

    private static String describe(Throwable e) {
        String m = e.getMessage();
        return e.getClass().getSimpleName() + (m == null ? "" : ": " + m);
    }

    private static UnsatisfiedLinkError linkError(String message, Throwable cause) {
        UnsatisfiedLinkError e = new UnsatisfiedLinkError(message);
        e.initCause(cause);
        return e;
    }

    private static MessageDigest sha256Digest() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);
        }
    }

    private static String sha256(Path file) throws IOException {
        MessageDigest sha = sha256Digest();
        try (InputStream in = Files.newInputStream(file)) {
            byte[] buffer = new byte[1 << 16];
            for (int n; (n = in.read(buffer)) > 0;) {
                sha.update(buffer, 0, n);
            }
        }
        return hex(sha.digest());
    }

    private static String sha256(byte[] data) {
        return hex(sha256Digest().digest(data));
    }

    private static String hex(byte[] bytes) {
        StringBuilder s = new StringBuilder();
        for (byte b : bytes) {
            s.append(Character.forDigit((b >> 4) & 15, 16)).append(Character.forDigit(b & 15, 16));
        }
        return s.toString();
    }
}
