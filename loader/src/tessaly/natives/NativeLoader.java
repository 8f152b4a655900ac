package tessaly.natives;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.io.PrintStream;
import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
import java.lang.ref.Cleaner;
import java.nio.channels.FileChannel;
import java.nio.channels.FileLock;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Deque;
import java.util.HashSet;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Objects;
import java.util.Properties;
import java.util.Random;
import java.util.Set;
import java.util.TreeMap;
import java.util.TreeSet;
import java.util.WeakHashMap;
import java.util.function.Consumer;

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
    /** The cache folder's lock file and the folder of the files that say which JVM uses which copy. */
    private static final String LOCK = ".lock";
    private static final String HELD = ".held";
    /** How long a JVM waits for the cache folder's lock before it tries the next folder. */
    private static final long LOCK_WAIT_MS = 30_000;
    /** Age after which a temporary file in a version folder is taken as left over by a JVM that ended. */
    private static final long STALE_MS = 3_600_000;
    /** A version folder's name: VERSION-first 16 hex digits of the library's SHA-256. */
    private static final String VERSION_FOLDER = "[0-9A-Za-z._-]+-[0-9a-f]{16}";
    /**
     * One load or clean-up at a time in this JVM, over every copy of this class (a string literal is the same
     * object in every class loader): file locks belong to the process, not to a class loader.
     */
    private static final String MONITOR = "tessaly.natives.NativeLoader";
    /** Holders of copies loaded into the boot class loader, kept for the JVM's life. */
    private static final List<Object> FOREVER = new ArrayList<>();
    private static Cleaner cleaner;
    /** The class loaders this copy of the class has loaded the library into, and the file each got. */
    private static final Map<ClassLoader, Path> LOADED = new WeakHashMap<>();
    /** Whether files have owners and POSIX modes to check (not on Windows). */
    private static final boolean POSIX = FileSystems.getDefault().supportedFileAttributeViews().contains("posix");

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
        Consumer<String> binder = binder(systemLoad);
        ClassLoader target = caller.lookupClass().getClassLoader();
        synchronized (LOADED) {
            Path done = LOADED.get(target);
            if (done != null) {
                return done;
            }
            PrintStream log = Boolean.getBoolean(DEBUG_PROPERTY) ? System.err : null;
            Path file = new NativeLoader(log).run(binder, "class loader " + target + " of " + caller.lookupClass(),
                    target);
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
            Path file = new NativeLoader(out).run(binder(systemLoad), "the self-check's class loader",
                    NativeLoader.class.getClassLoader());
            out.println("self-check: OK, " + file + " is loaded");
            out.flush();
            System.exit(0);
        } catch (UnsatisfiedLinkError | RuntimeException | ReflectiveOperationException e) {
            out.println("self-check: FAILED: " + e);
            out.flush();
            System.exit(1);
        }
    }

    /** systemLoad (System.load as some class calls it) as a Consumer of the file name. */
    private static Consumer<String> binder(MethodHandle systemLoad) {
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
    Path run(Consumer<String> binder, String into, ClassLoader target) {
        Index index = readIndex();
        say("natives jar " + index.version + " holds " + String.join(", ", index.entries.keySet()) + "; loading into "
                + into);
        String explicit = System.getProperty(LIBRARY_PROPERTY);
        boolean verify = !"false".equalsIgnoreCase(System.getProperty(VERIFY_PROPERTY));
        if (explicit != null && !explicit.isEmpty() && !verify) {
            return loadExplicit(index, null, Paths.get(explicit).toAbsolutePath(), binder);
        }
        String osName = System.getProperty("os.name", "");
        String platform = choosePlatform(osName, System.getProperty("os.arch", ""),
                System.getProperty("sun.arch.data.model"), osName.startsWith("Linux") && runsOnMusl(),
                index.entries.keySet());
        Entry entry = index.entries.get(platform);
        say("platform " + platform + " (os.name=" + osName + ", os.arch=" + System.getProperty("os.arch")
                + "): resource " + entry.resource().substring(1) + ", " + entry.size + " bytes, SHA-256 "
                + entry.sha256);
        if (explicit != null && !explicit.isEmpty()) {
            return loadExplicit(index, entry, Paths.get(explicit).toAbsolutePath(), binder);
        }
        String folderName = index.version + "-" + entry.sha256.substring(0, 16);
        List<String> refusals = new ArrayList<>();
        for (Path base : bases(osName, refusals)) {
            try {
                return loadFrom(base, folderName, entry, binder, target);
            } catch (IOException | UnsatisfiedLinkError | RuntimeException e) {
                String why = base.resolve(folderName) + ": " + describe(e);
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
     * Loads a verified copy from the version folder folderName under base: the first name whose file matches
     * the index and that no other class loader of this JVM holds; a missing one is written first. All of it
     * under the cache folder's lock file, with this JVM's other class loaders waiting on one monitor; the copy
     * loaded is marked in use for as long as target lives, and copies no JVM uses are then removed.
     */
    private Path loadFrom(Path base, String folderName, Entry entry, Consumer<String> binder, ClassLoader target)
            throws IOException {
        synchronized (MONITOR) {
            Path folder = trustedFolder(base, folderName);
            Path realBase = folder.getParent();
            try (FolderLock unused = FolderLock.take(realBase)) {
                Path held = ownFolder(realBase.resolve(HELD));
                Set<String> here = usedHere(held, folderName);
                int dot = entry.file.indexOf('.');
                String stem = dot < 0 ? entry.file : entry.file.substring(0, dot);
                String suffix = dot < 0 ? "" : entry.file.substring(dot);
                for (int n = 1; n <= MAX_COPIES; n++) {
                    String name = n == 1 ? entry.file : stem + "-" + n + suffix;
                    Path file = folder.resolve(name);
                    if (here.contains(name)) {
                        say(file + " is in use by another class loader of this JVM; trying the next name");
                        continue;
                    }
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
                    Holder holder = Holder.take(held, folderName, name);
                    try {
                        binder.accept(file.toString());
                    } catch (UnsatisfiedLinkError e) {
                        holder.run();
                        if (String.valueOf(e.getMessage()).contains(ALREADY_LOADED)) {
                            say(file + " is loaded by another class loader of this JVM; this one gets a copy of its own");
                            continue;
                        }
                        throw linkError("System.load failed: " + e.getMessage(), e);
                    }
                    holder.keepWhile(target);
                    say("loaded " + file);
                    sweep(realBase, held, folderName);
                    return file;
                }
            }
            throw new IOException(MAX_COPIES + " copies in use or damaged");
        }
    }

    /** The cache folder's lock file, held while a JVM picks, writes, loads or removes copies there. */
    private static final class FolderLock implements AutoCloseable {
        private final FileChannel channel;

        private FolderLock(FileChannel channel) {
            this.channel = channel;
        }

        /** Waits for the lock up to LOCK_WAIT_MS; a JVM that keeps it longer is named in the refusal. */
        static FolderLock take(Path folder) throws IOException {
            Path file = folder.resolve(LOCK);
            FileChannel channel = FileChannel.open(file, StandardOpenOption.CREATE, StandardOpenOption.READ,
                    StandardOpenOption.WRITE, LinkOption.NOFOLLOW_LINKS);
            try {
                long until = System.nanoTime() + LOCK_WAIT_MS * 1_000_000L;
                while (true) {
                    if (channel.tryLock() != null) {
                        return new FolderLock(channel);
                    }
                    if (System.nanoTime() - until > 0) {
                        throw new IOException(file + " stayed locked by another process for " + LOCK_WAIT_MS / 1000
                                + " s");
                    }
                    Thread.sleep(20);
                }
            } catch (IOException | RuntimeException e) {
                channel.close();
                throw e;
            } catch (InterruptedException e) {
                channel.close();
                Thread.currentThread().interrupt();
                throw new IOException("interrupted while waiting for " + file);
            }
        }

        @Override
        public void close() throws IOException {
            channel.close();
        }
    }

    /**
     * A file in the cache folder's .held folder, named FOLDER+COPY+PID+RANDOM and locked, that says a JVM uses a
     * copy. It is held for as long as the class loader the copy was loaded into lives; when that one is
     * collected, the lock is let go and the file removed. A JVM that ends leaves it unlocked, and the next
     * clean-up removes it.
     */
    private static final class Holder implements Runnable {
        private final Path file;
        private final FileChannel channel;

        private Holder(Path file, FileChannel channel) {
            this.file = file;
            this.channel = channel;
        }

        static Holder take(Path held, String folderName, String copy) throws IOException {
            String name = folderName + "+" + copy + "+" + ProcessHandle.current().pid() + "+"
                    + Long.toHexString(new Random().nextLong() & Long.MAX_VALUE);
            Path file = held.resolve(name);
            FileChannel channel = FileChannel.open(file, StandardOpenOption.CREATE_NEW, StandardOpenOption.READ,
                    StandardOpenOption.WRITE, LinkOption.NOFOLLOW_LINKS);
            try {
                if (channel.tryLock() == null) {
                    throw new IOException(file + " is locked by another process");
                }
            } catch (IOException | RuntimeException e) {
                channel.close();
                Files.deleteIfExists(file);
                throw e;
            }
            return new Holder(file, channel);
        }

        /** Held until loader is collected (for ever when it is the boot loader, null). */
        void keepWhile(ClassLoader loader) {
            if (loader == null) {
                FOREVER.add(this);
                return;
            }
            synchronized (FOREVER) {
                if (cleaner == null) {
                    cleaner = Cleaner.create();
                }
            }
            cleaner.register(loader, this);
        }

        /** Lets the copy go: the lock released and the file removed. */
        @Override
        public void run() {
            synchronized (MONITOR) {
                try {
                    channel.close();
                    Files.deleteIfExists(file);
                } catch (IOException e) {
                    // A clean-up of another JVM removes it once it is unlocked.
                }
            }
        }
    }

    /**
     * The copies of folderName that this JVM's class loaders hold, from their files in held. On Linux a file
     * this process does not have open is left over from an earlier process with the same id (a container's
     * JVM is often process 1) and does not count; elsewhere each such file counts.
     */
    private static Set<String> usedHere(Path held, String folderName) throws IOException {
        Set<String> open = openFilesOfThisProcess();
        Set<String> copies = new HashSet<>();
        String pid = Long.toString(ProcessHandle.current().pid());
        try (DirectoryStream<Path> s = Files.newDirectoryStream(held)) {
            for (Path h : s) {
                String[] f = h.getFileName().toString().split("\\+");
                if (f.length == 4 && f[0].equals(folderName) && heldHere(h, f, pid, open)) {
                    copies.add(f[1]);
                }
            }
        }
        return copies;
    }

    /**
     * Whether the held file h (its name split into f) is this process's own: its process id, and on Linux a
     * file this process has open (open, from openFilesOfThisProcess; null where that is not known).
     */
    private static boolean heldHere(Path h, String[] f, String pid, Set<String> open) {
        return f[2].equals(pid) && (open == null || open.contains(h.toString()));
    }

    /** The files this process has open (Linux: /proc/self/fd), or null where that cannot be read. */
    private static Set<String> openFilesOfThisProcess() {
        Path fds = Paths.get("/proc/self/fd");
        if (!Files.isDirectory(fds)) {
            return null;
        }
        Set<String> open = new HashSet<>();
        try (DirectoryStream<Path> s = Files.newDirectoryStream(fds)) {
            for (Path fd : s) {
                try {
                    open.add(Files.readSymbolicLink(fd).toString());
                } catch (IOException | RuntimeException e) {
                    // Closed meanwhile.
                }
            }
        } catch (IOException | RuntimeException e) {
            return null;
        }
        return open;
    }

    /**
     * Removes what no JVM uses from the cache folder realBase: the files of JVMs that have ended or let their
     * copy go, the folders of other versions, and in the current one the copies after the first name
     * (libTrialworks-2.so, ...), which a JVM makes only while the first is taken. A copy some JVM holds stays,
     * and so does one that cannot be removed (Windows: loaded). Runs under the folder's lock.
     */
    private void sweep(Path realBase, Path held, String current) {
        Set<String> open = openFilesOfThisProcess();
        String pid = Long.toString(ProcessHandle.current().pid());
        Set<String> inUse = new HashSet<>();
        try (DirectoryStream<Path> s = Files.newDirectoryStream(held)) {
            for (Path h : s) {
                String[] f = h.getFileName().toString().split("\\+");
                if (f.length != 4) {
                    removeQuietly(h);
                    continue;
                }
                // POSIX locks belong to the process: closing any channel of a file this process holds locked
                // would let the lock go. This process's own files are never opened here, only looked up.
                if (POSIX && heldHere(h, f, pid, open)) {
                    inUse.add(f[0] + "/" + f[1]);
                    continue;
                }
                try (FileChannel c = FileChannel.open(h, StandardOpenOption.READ, StandardOpenOption.WRITE,
                        LinkOption.NOFOLLOW_LINKS)) {
                    FileLock lock = c.tryLock();
                    if (lock == null) {
                        inUse.add(f[0] + "/" + f[1]);
                    } else {
                        Files.delete(h);
                        say("removed " + h + " (its JVM has ended or let the copy go)");
                    }
                } catch (IOException | RuntimeException e) {
                    // Locked by this JVM (OverlappingFileLockException), or not to be opened: in use.
                    inUse.add(f[0] + "/" + f[1]);
                }
            }
        } catch (IOException | RuntimeException e) {
            say("no clean-up: " + describe(e));
            return;
        }
        long stale = System.currentTimeMillis() - STALE_MS;
        try (DirectoryStream<Path> folders = Files.newDirectoryStream(realBase)) {
            for (Path folder : folders) {
                String name = folder.getFileName().toString();
                if (!name.matches(VERSION_FOLDER) || !Files.isDirectory(folder, LinkOption.NOFOLLOW_LINKS)) {
                    continue;
                }
                boolean other = !name.equals(current);
                try (DirectoryStream<Path> files = Files.newDirectoryStream(folder)) {
                    for (Path file : files) {
                        String copy = file.getFileName().toString();
                        if (inUse.contains(name + "/" + copy) || Files.isDirectory(file, LinkOption.NOFOLLOW_LINKS)) {
                            continue;
                        }
                        if (copy.startsWith(".")) {
                            // Another loader's temporary file, once it is old enough to be left over.
                            if (Files.getLastModifiedTime(file, LinkOption.NOFOLLOW_LINKS).toMillis() < stale) {
                                removeQuietly(file);
                            }
                        } else if (other || copy.matches(".*-[0-9]+\\..*|.*-[0-9]+")) {
                            if (removeQuietly(file)) {
                                say("removed " + file + " (no JVM uses it)");
                            }
                        }
                    }
                }
                if (other && removeQuietly(folder)) {
                    say("removed " + folder + " (another version, no JVM uses it)");
                }
            }
        } catch (IOException | RuntimeException e) {
            say("clean-up stopped: " + describe(e));
        }
    }

    /** Deletes p; false when it cannot be (in use on Windows, a folder not empty, gone). */
    private static boolean removeQuietly(Path p) {
        try {
            Files.delete(p);
            return true;
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }

    /**
     * The version folder name under base, as the file system names it (no symbolic links), created owner-only
     * where missing. Nothing is created before every folder that exists on the way, from base up to the root,
     * has passed: base and the version folder belong to this user and only this user may write them; each
     * folder above belongs to root or to this user and no one else may write it, unless it has the sticky
     * bit (where others may add names but not remove or rename this user's). Another user can then neither
     * change nor swap anything loaded from there.
     */
    private Path trustedFolder(Path base, String name) throws IOException {
        if (!POSIX) {
            Path folder = base.resolve(name);
            Files.createDirectories(folder);
            return folder;
        }
        Deque<String> missing = new ArrayDeque<>();
        Path existing = base;
        while (existing != null && !Files.exists(existing, LinkOption.NOFOLLOW_LINKS)) {
            missing.push(existing.getFileName().toString());
            existing = existing.getParent();
        }
        if (existing == null) {
            throw new IOException("no folder of " + base + " exists");
        }
        Path real = existing.toRealPath();
        if (missing.isEmpty()) {
            checkOwn(real);
            checkAncestors(real.getParent());
        } else {
            checkAncestors(real);
        }
        while (!missing.isEmpty()) {
            real = ownFolder(real.resolve(missing.pop()));
            say("created " + real);
        }
        return ownFolder(real.resolve(name));
    }

    /** folder, created owner-only if missing (by this JVM or another at the same time), checked as this user's. */
    private static Path ownFolder(Path folder) throws IOException {
        if (!POSIX) {
            // Windows: no owner-only mode to give or check, as in trustedFolder.
            return Files.createDirectories(folder);
        }
        try {
            Files.createDirectory(folder,
                    PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
        } catch (FileAlreadyExistsException e) {
            // Made by another JVM, or there before: checked below like any other.
        }
        checkOwn(folder);
        return folder;
    }

    /** Refuses folder unless it is a folder (not a link to one) of this user's that no one else may write. */
    private static void checkOwn(Path folder) throws IOException {
        PosixFileAttributes a = Files.readAttributes(folder, PosixFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
        if (!a.isDirectory()) {
            throw new IOException(folder + " is not a folder" + (a.isSymbolicLink() ? " (a symbolic link)" : ""));
        }
        if (!Owners.isUser(folder, a)) {
            throw new IOException(folder + " belongs to " + a.owner().getName() + ", not to this user ("
                    + Owners.name() + ")");
        }
        if (a.permissions().contains(PosixFilePermission.GROUP_WRITE)
                || a.permissions().contains(PosixFilePermission.OTHERS_WRITE)) {
            throw new IOException(folder + " is writable by others (" + PosixFilePermissions.toString(a.permissions())
                    + ")");
        }
    }

    /** Refuses unless folder and every folder above it belongs to root or this user and is safe from others. */
    private static void checkAncestors(Path folder) throws IOException {
        for (Path p = folder; p != null; p = p.getParent()) {
            PosixFileAttributes a = Files.readAttributes(p, PosixFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
            if (!Owners.isUser(p, a) && !Owners.isRoot(p, a)) {
                throw new IOException(p + ", a folder above the cache, belongs to " + a.owner().getName()
                        + ", not to root or this user (" + Owners.name() + ")");
            }
            Set<PosixFilePermission> perms = a.permissions();
            boolean writable = perms.contains(PosixFilePermission.GROUP_WRITE)
                    || perms.contains(PosixFilePermission.OTHERS_WRITE);
            if (writable && !sticky(p)) {
                throw new IOException(p + ", a folder above the cache, is writable by others ("
                        + PosixFilePermissions.toString(perms) + ") and has no sticky bit: another user could"
                        + " swap the folders below it");
            }
        }
    }

    /** True when p has the sticky bit (false where the file system does not say). */
    private static boolean sticky(Path p) {
        try {
            Object mode = Files.getAttribute(p, "unix:mode", LinkOption.NOFOLLOW_LINKS);
            return mode instanceof Integer && ((Integer) mode & 01000) != 0;
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }

    /**
     * Whether a file belongs to this user or to root. By user id where the file system gives it (unix:uid)
     * and the process's own is known (Linux: /proc/self/status, which also serves a user id with no name, as
     * containers run); else by name, user.name (the JVM takes it from the process's user id) and root.
     */
    private static final class Owners {
        static final Integer UID = ownUid();
        static final UserPrincipal USER = lookUp(System.getProperty("user.name", ""));
        static final UserPrincipal ROOT = lookUp("root");

        static boolean isUser(Path p, PosixFileAttributes a) throws IOException {
            Integer uid = uid(p);
            if (uid != null && UID != null) {
                return uid.equals(UID);
            }
            if (USER == null) {
                throw new IOException("this user (user.name=" + System.getProperty("user.name") + ") is not known to"
                        + " the system, so no folder's owner can be checked");
            }
            return a.owner().equals(USER);
        }

        static boolean isRoot(Path p, PosixFileAttributes a) throws IOException {
            Integer uid = uid(p);
            return uid != null ? uid == 0 : ROOT != null && a.owner().equals(ROOT);
        }

        static String name() {
            return System.getProperty("user.name", "?") + (UID != null ? ", user id " + UID : "");
        }

        private static Integer uid(Path p) throws IOException {
            if (!FileSystems.getDefault().supportedFileAttributeViews().contains("unix")) {
                return null;
            }
            Object uid = Files.getAttribute(p, "unix:uid", LinkOption.NOFOLLOW_LINKS);
            return uid instanceof Integer ? (Integer) uid : null;
        }

        /** The process's effective user id from /proc/self/status ("Uid: real effective saved fs"), or null. */
        private static Integer ownUid() {
            try {
                for (String line : Files.readAllLines(Paths.get("/proc/self/status"), StandardCharsets.ISO_8859_1)) {
                    if (line.startsWith("Uid:")) {
                        return Integer.valueOf(line.substring(4).trim().split("\\s+")[1]);
                    }
                }
            } catch (IOException | RuntimeException e) {
                // No /proc (macOS): by name.
            }
            return null;
        }

        private static UserPrincipal lookUp(String name) {
            try {
                return FileSystems.getDefault().getUserPrincipalLookupService().lookupPrincipalByName(name);
            } catch (IOException | RuntimeException e) {
                return null;
            }
        }
    }

    /**
     * Writes the jar's library to file: under a temporary name in the same folder, checked, then put in place.
     * Returns false when file then holds something else (another process's doing).
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
            // Hashed once, as it was written: the folder is this user's alone, checked above, so the bytes
            // stay the ones hashed, and the name given below is this file's own or refused.
            if (putInPlace(part, file, true)) {
                say("wrote " + file + " (under a temporary name, checked, then put in place)");
                return true;
            }
        } finally {
            Files.deleteIfExists(part);
        }
        // Another process put its copy there first (and may hold it loaded); that one is checked.
        String problem = mismatch(file, entry);
        if (problem != null) {
            say(file + " appeared meanwhile: " + problem + "; trying the next name");
            return false;
        }
        say(file + " appeared meanwhile, and matches the index");
        return true;
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

    /** Why file is not the library of the index, or null when it is. */
    private static String mismatch(Path file, Entry entry) throws IOException {
        if (!Files.isRegularFile(file, LinkOption.NOFOLLOW_LINKS)) {
            return "not a regular file";
        }
        if (POSIX) {
            PosixFileAttributes a = Files.readAttributes(file, PosixFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
            if (!Owners.isUser(file, a)) {
                return "belongs to " + a.owner().getName() + ", not to this user";
            }
            if (a.permissions().contains(PosixFilePermission.GROUP_WRITE)
                    || a.permissions().contains(PosixFilePermission.OTHERS_WRITE)) {
                return "writable by others (" + PosixFilePermissions.toString(a.permissions()) + ")";
            }
        }
        if (Files.size(file) != entry.size) {
            return Files.size(file) + " bytes, not " + entry.size;
        }
        String hash = sha256(file);
        return hash.equals(entry.sha256) ? null : "SHA-256 " + hash + " does not match the index";
    }

    /**
     * Loads the file named by tessaly.natives.library: when entry is not null, only if it is this platform's
     * library of the index and lies where no other user can change it.
     */
    private Path loadExplicit(Index index, Entry entry, Path file, Consumer<String> binder) {
        say("library file " + file + " (from " + LIBRARY_PROPERTY + ")");
        if (entry == null) {
            say("not checked against the index (" + VERIFY_PROPERTY + "=false)");
        } else {
            String hash;
            try {
                if (POSIX) {
                    Path real = file.toRealPath();
                    PosixFileAttributes a = Files.readAttributes(real, PosixFileAttributes.class);
                    if (!Owners.isUser(real, a) && !Owners.isRoot(real, a)
                            || a.permissions().contains(PosixFilePermission.GROUP_WRITE)
                            || a.permissions().contains(PosixFilePermission.OTHERS_WRITE)) {
                        throw new IOException(real + " belongs to " + a.owner().getName() + " ("
                                + PosixFilePermissions.toString(a.permissions()) + "): only root or this user may"
                                + " own and write it");
                    }
                    checkAncestors(real.getParent());
                    file = real;
                }
                hash = sha256(file);
            } catch (IOException e) {
                throw linkError("Tessaly natives: cannot use " + LIBRARY_PROPERTY + "=" + file + ": " + describe(e), e);
            }
            if (!hash.equals(entry.sha256)) {
                String other = index.entries.values().stream().filter(e -> e.sha256.equals(hash))
                        .map(e -> e.platform).findFirst().orElse(null);
                throw new UnsatisfiedLinkError("Tessaly natives: " + LIBRARY_PROPERTY + "=" + file + " (SHA-256 " + hash
                        + ") is " + (other != null ? "the " + other + " library" : "no library")
                        + " of natives jar " + index.version + "; this JVM needs its " + entry.platform
                        + " library; -D" + VERIFY_PROPERTY + "=false loads it unchecked");
            }
            say(file + ": SHA-256 matches the index's " + entry.platform + " library");
        }
        try {
            binder.accept(file.toString());
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
            return muslMapped(Files.readAllLines(Paths.get("/proc/self/maps"), StandardCharsets.ISO_8859_1));
        } catch (IOException | RuntimeException e) {
            // No /proc: not detectable; a glibc library then fails in System.load with the loader's own message.
            return false;
        }
    }

    /** True when lines of a memory map (/proc/PID/maps) name musl's loader or libc. Package-private: tested. */
    static boolean muslMapped(List<String> lines) {
        for (String line : lines) {
            if (line.contains("/ld-musl-") || line.contains("/libc.musl-")) {
                return true;
            }
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
