package tessaly.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.io.InputStream;
import java.lang.annotation.ElementType;
import java.lang.annotation.Retention;
import java.lang.annotation.RetentionPolicy;
import java.lang.annotation.Target;
import java.lang.ref.WeakReference;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;
import java.util.Set;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.function.BiConsumer;
import java.util.regex.Pattern;
import java.util.stream.Stream;
import java.util.zip.ZipEntry;
import java.util.zip.ZipInputStream;
import java.util.zip.ZipOutputStream;

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;

import tessaly.service.ReferenceService;

/**
 * The natives jar (system property tessaly.nativesJar) and its loader, tessaly.natives.NativeLoader, as game
 * hosts use them: in this JVM, the loader's classes in one child class loader and the host's classes (the host
 * jar, tessaly.hostJar, and a mod class calling the loader, tessaly.nativesModJar) in another, once per mod;
 * in child JVMs (tessaly.java, with -Xcheck:jni), the jar's self-check over cache folders made to fail in each
 * way the loader must survive. Scratch folders go in a folder of java.io.tmpdir that other users can read, so
 * that rows run as another user reach the jar from any checkout.
 *
 * The jar the tests use is the build's with one more line in its index: a file standing for another
 * platform's library (OTHER_PLATFORM, the file foreign), which this JVM must refuse to load. Where the suite
 * runs as root, rows that need a second user run their JVM as nobody (setpriv), and the swap race runs with
 * the attacker tessaly.swapFolders and the library it plants, tessaly.planted. Rows tagged "files" prove the
 * loader's handling of its cache folders, which depends on neither the JVM's architecture nor the library's:
 * a foreign JVM under qemu-user skips them.
 */
class NativeLoaderTest {
    /** A row of the cache-folder handling (tag "files"), which a foreign JVM under qemu-user skips. */
    @Target(ElementType.METHOD)
    @Retention(RetentionPolicy.RUNTIME)
    @Tag("files")
    @Test
    @interface FilesTest {
    }

    private static final String HELPER = "quenby.tessaly.client.online.TessalyServerConnectionHelper";
    private static final boolean POSIX =
            java.nio.file.FileSystems.getDefault().supportedFileAttributeViews().contains("posix");
    /** The build's library file (tessaly.library) by its name: libTrialworks.so, Skyrope.dll. */
    private static final String LIBRARY =
            Path.of(java.util.Objects.requireNonNull(System.getProperty("tessaly.library"), "-Dtessaly.library"))
                    .getFileName().toString();

    /** The names of the copies the loader writes for one class loader: libTrialworks-<16 hex>.so, Skyrope-<...>.dll. */
    private static final Pattern OWN_COPY = Pattern.compile(Pattern.quote(LIBRARY.substring(0, LIBRARY.indexOf('.')))
            + "-[0-9a-f]{16}" + Pattern.quote(LIBRARY.substring(LIBRARY.indexOf('.'))));

    private static Path jar;
    private static Path scratch;
    private static String otherPlatform;
    private static Path foreign;
    private static ReferenceService service;
    private static final List<URLClassLoader> loaders = new ArrayList<>();

    @BeforeAll
    static void start() throws IOException {
        scratch = Files.createTempDirectory("tessaly-loader-test-");
        if (POSIX) {
            Files.setPosixFilePermissions(scratch, PosixFilePermissions.fromString("rwxr-xr-x"));
        }
        Files.createDirectories(scratch.resolve("models"));
        jar = withOtherPlatform(Path.of(System.getProperty("tessaly.nativesJar")));
        Files.write(scratch.resolve("models/cube.enc"), MeshFiles.encrypt(MeshFiles.document("cube", 4, 7)));
        service = ReferenceService.start(scratch.resolve("models"));
    }

    @AfterAll
    static void stop() throws Exception {
        service.close();
        for (URLClassLoader l : loaders) {
            l.close();
        }
        if (POSIX) {
            command("chmod", "-R", "u+w", scratch.toString());
        }
        deleteTree(scratch);
    }

    /**
     * A copy of the build's natives jar whose index also names another platform's library: the file foreign,
     * the built library with one byte more (a file System.load would take), as linux-aarch64 (linux-x64 when
     * this JVM is the aarch64 one).
     */
    private static Path withOtherPlatform(Path built) throws IOException {
        byte[] library = Files.readAllBytes(Path.of(System.getProperty("tessaly.library")));
        byte[] other = Arrays.copyOf(library, library.length + 1);
        foreign = Files.createDirectories(scratch.resolve("other-platform")).resolve(LIBRARY);
        Files.write(foreign, other);
        return withIndex(built, "two-platforms", index -> {
            otherPlatform = index.contains("linux-x64=") ? "linux-aarch64" : "linux-x64";
            return index + otherPlatform + "=" + LIBRARY + " " + other.length + " " + sha256(other) + "\n";
        });
    }

    /** A copy of the test's jar (jar), named for what differs, whose index text edit changes. */
    private static Path withIndex(String name, java.util.function.UnaryOperator<String> edit) throws IOException {
        return withIndex(jar, name, edit);
    }

    private static Path withIndex(Path from, String name, java.util.function.UnaryOperator<String> edit)
            throws IOException {
        Path out = scratch.resolve("tessaly-natives-" + name + ".jar");
        try (ZipInputStream in = new ZipInputStream(Files.newInputStream(from));
             ZipOutputStream zip = new ZipOutputStream(Files.newOutputStream(out))) {
            for (ZipEntry e; (e = in.getNextEntry()) != null;) {
                byte[] data = in.readAllBytes();
                if (e.getName().equals("natives/index.properties")) {
                    data = edit.apply(new String(data, StandardCharsets.UTF_8)).getBytes(StandardCharsets.UTF_8);
                }
                zip.putNextEntry(new ZipEntry(e.getName()));
                zip.write(data);
            }
        }
        return out;
    }

    private static String sha256(byte[] data) {
        try {
            return String.format("%064x", new java.math.BigInteger(1,
                    java.security.MessageDigest.getInstance("SHA-256").digest(data)));
        } catch (java.security.NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);
        }
    }

    @Test
    void loadsIntoTheHostsClassLoaderOnceEachForEveryMod() throws Exception {
        System.setProperty("tessaly.natives.cache", scratch.resolve("in-jvm").toString());
        List<String> loaded = new ArrayList<>();
        // Two mods, each with its own copy of the loader's classes and of the host's classes, as a reloaded
        // mod has them: the second must get a copy of its own, not "already loaded in another classloader".
        for (int mod = 1; mod <= 2; mod++) {
            URLClassLoader host = modClassLoader("" + mod);
            assertSame(host.getParent(), Class.forName("tessaly.natives.NativeLoader", false, host).getClassLoader());
            Method load = Class.forName("tessaly.jvmmod.NativesMod", true, host).getMethod("load");
            String file = (String) load.invoke(null);
            assertEquals(file, load.invoke(null), "a second call from the same class loader");
            loaded.add(file);
            Class<?> helper = Class.forName(HELPER, true, host);
            assertSame(host, helper.getClassLoader());
            callAll(helper, "mod " + mod);
        }
        // The first mod loads the shared copy; the second one a copy of its own, removed once loaded (the
        // system keeps it mapped).
        Path folder = versionFolder(scratch.resolve("in-jvm"));
        assertEquals(folder.resolve(LIBRARY).toString(), loaded.get(0));
        Path own = Path.of(loaded.get(1));
        assertTrue(own.getParent().equals(folder) && OWN_COPY.matcher(own.getFileName().toString()).matches(), loaded.toString());
        assertFalse(Files.exists(own), own + " stays after it was loaded");
        assertTrue(Files.readString(Path.of("/proc/self/maps")).contains(own + " (deleted)"), own + " is not mapped");
        for (Path p : List.of(folder, folder.getParent())) {
            assertEquals("rwx------", PosixFilePermissions.toString(Files.getPosixFilePermissions(p)), p.toString());
        }
    }

    /** Makes the seven calls through the host class; each must reach the service and answer. */
    private static void callAll(Class<?> helper, String who) throws Exception {
        for (Route route : Route.ALL) {
            String name = route.method();
            String[] values = new String[route.values()];
            for (int i = 0; i < values.length; i++) {
                values[i] = name.equals("loadRemoteMesh") ? "cube" : "v" + (i + 1);
            }
            CompletableFuture<Object[]> done = new CompletableFuture<>();
            try {
                route.call(helper, (BiConsumer<Object, Throwable>) (value, failure) -> done.complete(new Object[] {value, failure}),
                        Route.strings(service.baseUrl(), values));
            } catch (Exception | Error e) {
                throw e;
            } catch (Throwable e) {
                throw new AssertionError(who + " " + name, e);
            }
            Object[] outcome = done.get(20, TimeUnit.SECONDS);
            assertNull(outcome[1], who + " " + name);
            if (outcome[0] instanceof HttpResponse) {
                assertEquals(200, ((HttpResponse<?>) outcome[0]).statusCode(), who + " " + name);
            } else {
                assertEquals("quenby.tessaly.api.client.model.Mesh", outcome[0].getClass().getName(), who + " " + name);
                assertSame(helper.getClassLoader(), outcome[0].getClass().getClassLoader(), who + " " + name);
            }
        }
    }

    /** A self-check's outcome. */
    private record Run(int exit, String output) {
        String loadedFile() {
            return output.lines().filter(l -> l.startsWith("self-check: OK, ")).findFirst()
                    .map(l -> l.substring("self-check: OK, ".length(), l.length() - " is loaded".length())).orElse(null);
        }
    }

    /** java -Xcheck:jni -Dtessaly.natives.cache=CACHE PROPS... -jar the natives jar, started. */
    private static Process startSelfCheck(Path cache, List<String> props) throws IOException {
        return startSelfCheck(List.of(), cache, props);
    }

    /** The same, as user nobody (the command setpriv and its options), for rows that need a second user. */
    private static final List<String> AS_NOBODY = List.of("setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups");

    private static Process startSelfCheck(List<String> asUser, Path cache, List<String> props) throws IOException {
        return startSelfCheck(asUser, jar, cache, props);
    }

    private static Process startSelfCheck(List<String> asUser, Path jarFile, Path cache, List<String> props)
            throws IOException {
        return selfCheckCommand(asUser, jarFile, cache, props).start();
    }

    /** java -Xcheck:jni [-Dtessaly.natives.cache=CACHE] PROPS... -jar JAR, as asUser (a command prefix). */
    private static ProcessBuilder selfCheckCommand(List<String> asUser, Path jarFile, Path cache, List<String> props) {
        List<String> command = new ArrayList<>(asUser);
        command.addAll(List.of(System.getProperty("tessaly.java",
                Path.of(System.getProperty("java.home"), "bin", "java").toString()), "-Xcheck:jni"));
        if (cache != null) {
            command.add("-Dtessaly.natives.cache=" + cache);
        }
        command.addAll(props);
        command.addAll(List.of("-jar", jarFile.toString()));
        return new ProcessBuilder(command).redirectErrorStream(true);
    }

    private static Run finish(Process child) throws Exception {
        String out = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(child.waitFor(60, TimeUnit.SECONDS), "self-check still running:\n" + out);
        assertFalse(Pattern.compile(System.getProperty("tessaly.jniFail", "WARNING in native method")).matcher(out).find(), out);
        return new Run(child.exitValue(), out);
    }

    private static Run selfCheck(Path cache, String... props) throws Exception {
        return finish(startSelfCheck(cache, List.of(props)));
    }

    /** The version folder a self-check made in the loader's folder of cache (the only one there). */
    private static Path versionFolder(Path cache) throws IOException {
        try (Stream<Path> s = Files.list(cache.resolve("tessaly-natives"))) {
            return s.filter(p -> p.getFileName().toString().matches("[0-9A-Za-z._-]+-[0-9a-f]{16}")).findFirst().orElseThrow();
        }
    }

    /** The shared copy a self-check left in cache. */
    private static Path cachedFile(Path cache) throws IOException {
        return versionFolder(cache).resolve(LIBRARY);
    }

    /**
     * What a cache folder holds before the self-check, the system properties it gets, and what it must do:
     * exit status, lines of output, where the library loaded comes from (null: none loaded).
     */
    private interface Setup {
        Path prepare(Path dir) throws Exception;
    }

    private record Case(String name, Setup setup, String[] props, int exit, String[] output, String loadedFrom) {
    }

    @Test
    void selfCheckUsesVerifiedCopiesAndFallsBackWhenAFolderIsRefused() throws Exception {
        String built = System.getProperty("tessaly.library");
        Case[] cases = {
            new Case("empty cache: written, checked, renamed, loaded", dir -> dir.resolve("cache"), new String[0], 0,
                new String[] {"platform linux-", "created ", "wrote ", "/" + LIBRARY + " (under a temporary name, checked, then put in place)"},
                "cache/"),
            new Case("a cached copy is used as it is", dir -> {
                Path cache = dir.resolve("cache");
                assertEquals(0, selfCheck(cache).exit());
                return cache;
            }, new String[0], 0, new String[] {"SHA-256 matches the index, used as it is"}, "cache/"),
            new Case("a cache folder that cannot be created: java.io.tmpdir", dir -> {
                Files.writeString(dir.resolve("file"), "not a folder");
                return dir.resolve("file/cache");
            }, new String[] {"-Djava.io.tmpdir=TMP"}, 0, new String[] {"refused ", "file/cache/"}, "tmp/tessaly-natives-"),
            new Case("a cache folder others can write: java.io.tmpdir", dir -> {
                Path cache = Files.createDirectories(dir.resolve("cache"));
                Files.setPosixFilePermissions(cache, PosixFilePermissions.fromString("rwxrwxrwx"));
                return cache;
            }, new String[] {"-Djava.io.tmpdir=TMP"}, 0, new String[] {"is writable by others (rwxrwxrwx)"},
                "tmp/tessaly-natives-"),
            new Case("a cache folder in a folder others can write, no sticky bit: java.io.tmpdir", dir -> {
                Path open = Files.createDirectories(dir.resolve("open"));
                Files.setPosixFilePermissions(open, PosixFilePermissions.fromString("rwxrwxrwx"));
                return Files.createDirectories(open.resolve("cache"));
            }, new String[] {"-Djava.io.tmpdir=TMP"}, 0,
                new String[] {"open, a folder above the cache, is writable by others (rwxrwxrwx) and has no sticky bit"},
                "tmp/tessaly-natives-"),
            new Case("a cache folder in a sticky folder others can write, as /tmp: used", dir -> {
                Path open = Files.createDirectories(dir.resolve("sticky"));
                chmod("1777", open);
                return open.resolve("cache");
            }, new String[0], 0, new String[] {"created "}, "sticky/cache/"),
            new Case("every folder refused: each refusal reported", dir -> {
                Files.writeString(dir.resolve("file"), "not a folder");
                return dir.resolve("file/cache");
            }, new String[] {"-Djava.io.tmpdir=FILE/tmp"}, 1,
                new String[] {"could not load natives/linux-", "file/cache/", "file/tmp/tessaly-natives-",
                    "self-check: FAILED: java.lang.UnsatisfiedLinkError"}, null),
            new Case("an explicit library file that matches the index", dir -> dir.resolve("cache"),
                new String[] {"-Dtessaly.natives.library=" + built}, 0,
                new String[] {": SHA-256 matches the index", "loaded " + built}, built),
            new Case("an explicit file that is not in the index", dir -> dir.resolve("cache"),
                new String[] {"-Dtessaly.natives.library=" + jar}, 1,
                new String[] {"is no library of natives jar", "-Dtessaly.natives.verify=false loads it unchecked"}, null),
            new Case("an explicit file of another platform: refused before System.load", dir -> dir.resolve("cache"),
                new String[] {"-Dtessaly.natives.library=" + foreign}, 1,
                new String[] {"is the " + otherPlatform + " library of natives jar", "needs its linux-"}, null),
            new Case("an explicit file loaded unchecked: System.load's own cause", dir -> dir.resolve("cache"),
                new String[] {"-Dtessaly.natives.library=" + jar, "-Dtessaly.natives.verify=false"}, 1,
                new String[] {"not checked against the index", "System.load failed: " + jar}, null),
        };
        for (int i = 0; i < cases.length; i++) {
            Case c = cases[i];
            Path dir = Files.createDirectories(scratch.resolve("self-check-" + i));
            Path cache = c.setup.prepare(dir);
            String[] props = Arrays.stream(c.props).map(p -> p.replace("TMP", dir.resolve("tmp").toString())
                    .replace("FILE", dir.resolve("file").toString())).toArray(String[]::new);
            List<String> before = listing(cache);
            Run run = selfCheck(cache, props);
            assertEquals(c.exit, run.exit(), c.name + ":\n" + run.output());
            if (run.output().contains("refused " + cache)) {
                assertEquals(before, listing(cache), c.name + ": a refused folder was changed");
            }
            for (String line : c.output) {
                assertTrue(run.output().contains(line), c.name + ": no \"" + line + "\" in\n" + run.output());
            }
            if (c.loadedFrom == null) {
                assertNull(run.loadedFile(), c.name);
            } else {
                String expected = c.loadedFrom.startsWith("/") ? c.loadedFrom : dir.resolve(c.loadedFrom).toString();
                assertTrue(run.loadedFile().startsWith(expected), c.name + ": loaded " + run.loadedFile());
            }
        }
    }

    @FilesTest
    void aCachedCopyIsNeverRewrittenAndADamagedOneNeverLoaded() throws Exception {
        Path cache = scratch.resolve("reuse");
        assertEquals(0, selfCheck(cache).exit());
        Path file = cachedFile(cache);
        byte[] good = Files.readAllBytes(file);
        Object inode = Files.getAttribute(file, "unix:ino");
        // Sealed by its time once checked; with another time (an older loader's copy, or written since) it is
        // hashed again, then sealed again, its bytes and inode untouched.
        FileTime sealed = Files.getLastModifiedTime(file);
        Files.setLastModifiedTime(file, FileTime.fromMillis(1_000_000_000L));
        Run again = selfCheck(cache);
        assertEquals(file.toString(), again.loadedFile(), again.output());
        assertEquals(inode, Files.getAttribute(file, "unix:ino"));
        assertArrayEquals(good, Files.readAllBytes(file));
        assertEquals(sealed, Files.getLastModifiedTime(file));

        // Damaged, half-written or planted: such a file stays as it is, unloaded; a fresh copy goes in
        // under the next name.
        Object[][] damages = {
            {"cut in half", Arrays.copyOf(good, good.length / 2), "bytes, not " + good.length},
            {"one byte changed", flipped(good, good.length / 3), "does not match the index"},
            {"planted: same size, other bytes", flipped(good, 64), "does not match the index"},
        };
        for (Object[] d : damages) {
            Path dir = scratch.resolve("damaged-" + d[0].toString().replace(' ', '-'));
            assertEquals(0, selfCheck(dir).exit());
            Path damaged = cachedFile(dir);
            Files.write(damaged, (byte[]) d[1]);
            Run run = selfCheck(dir);
            assertEquals(0, run.exit(), d[0] + ":\n" + run.output());
            assertTrue(run.output().contains(damaged + ": " ) && run.output().contains((String) d[2]), d[0] + ":\n" + run.output());
            Path own = Path.of(run.loadedFile());
            assertTrue(own.getParent().equals(damaged.getParent()) && OWN_COPY.matcher(own.getFileName().toString()).matches()
                    && !Files.exists(own), d[0] + ": loaded " + own);
            assertArrayEquals((byte[]) d[1], Files.readAllBytes(damaged), d[0] + ": the damaged file was rewritten");
        }

        // A jar whose index differs from the cached copy's SHA-256 in its last digit alone (the version folder's
        // name takes the first 16): the copy is not loaded, and neither is the jar's own library.
        Path doctored = withIndex("doctored", index -> index.replace(sha256(good),
                sha256(good).substring(0, 63) + (sha256(good).endsWith("0") ? "1" : "0")));
        Run run = finish(startSelfCheck(List.of(), doctored, cache, List.of()));
        assertEquals(1, run.exit(), run.output());
        assertTrue(run.output().contains(file + ": SHA-256 " + sha256(good) + " does not match the index")
                && run.output().contains("does not match its index: the jar is damaged"), run.output());
    }

    @FilesTest
    void jvmsStartingAtOnceAllLoadOneCopy() throws Exception {
        Path cache = scratch.resolve("at-once");
        List<Process> children = new ArrayList<>();
        for (int i = 0; i < 4; i++) {
            children.add(startSelfCheck(cache, List.of()));
        }
        for (Process child : children) {
            Run run = finish(child);
            assertEquals(0, run.exit(), run.output());
            assertEquals(cachedFile(cache).toString(), run.loadedFile(), run.output());
        }
        try (Stream<Path> s = Files.list(cachedFile(cache).getParent())) {
            assertEquals(List.of(LIBRARY), s.map(p -> p.getFileName().toString()).toList(), "no temporary or second copy left");
        }
    }

    /**
     * Two versions of the jar (a player updating the add-on while another game runs) start together on one
     * cache, round after round, with java.io.tmpdir unusable: each loads from its own version folder, and
     * neither's clean-up touches the other's.
     */
    @FilesTest
    void twoVersionsStartingTogetherBothLoadEveryTime() throws Exception {
        Path cache = scratch.resolve("two-versions");
        Path second = withIndex("second-version", index -> index.replaceFirst("(?m)^version=.*$", "version=2.0.0-next"));
        List<String> noTmp = List.of("-Djava.io.tmpdir=" + Files.writeString(scratch.resolve("no-tmp"), "") + "/tmp");
        int rounds = Integer.getInteger("tessaly.versionRounds", 40);
        int failed = 0;
        for (int round = 0; round < rounds; round++) {
            List<Process> children = List.of(startSelfCheck(List.of(), jar, cache, noTmp),
                    startSelfCheck(List.of(), second, cache, noTmp));
            for (Process child : children) {
                Run run = finish(child);
                if (run.exit() != 0) {
                    failed++;
                    System.out.println("round " + round + ":\n" + run.output());
                }
            }
        }
        assertEquals(0, failed, "self-checks that failed, of " + 2 * rounds);
        List<String> left = listing(cache.resolve("tessaly-natives"));
        assertEquals(2, left.stream().filter(f -> f.matches("[^/]*-[0-9a-f]{16}/" + Pattern.quote(LIBRARY))).count(),
                left.toString());
        assertTrue(left.stream().anyMatch(f -> f.startsWith("2.0.0-next-")), left.toString());
    }

    /** A row of the rows that need root: who runs the self-check, and how its environment differs. */
    private record AsUser(String name, List<String> user, Setup setup, java.util.function.Consumer<java.util.Map<String, String>> env,
            int exit, String words, String loadedFrom) {
    }

    /**
     * Rows that need root or a second user: root (the suite) sets up what the self-check finds, then runs it as
     * nobody, as a user id without a name, as root, or on a file system mounted noexec. Each row's java.io.tmpdir
     * is a folder of the row's user, unless the row makes it.
     */
    @FilesTest
    void foldersOfOtherUsersAreRefusedAndTheUsersOwnAccepted() throws Exception {
        assumeTrue(runsAsRootWithSetpriv(), "needs root and setpriv to run a JVM as a second user");
        java.util.function.Consumer<java.util.Map<String, String>> same = env -> { };
        Path sharedTmp = Files.createDirectories(scratch.resolve("shared-tmp"));
        chmod("1777", sharedTmp);
        List<String> asRoot = List.of();
        AsUser[] rows = {
            new AsUser("a cache folder of another user (daemon), with a sound copy", AS_NOBODY, dir -> {
                Path cache = dir.resolve("cache");
                assertEquals(0, selfCheck(cache).exit());
                chown("daemon:daemon", cache);
                return cache;
            }, same, 0, "cache, a folder above the cache, belongs to daemon, not to root or this user (nobody, user id 65534)",
                "tmp/tessaly-natives-65534/"),
            new AsUser("a sound copy of another user (daemon) in the user's own folder", AS_NOBODY, dir -> {
                Path cache = dir.resolve("cache");
                assertEquals(0, selfCheck(cache).exit());
                chown("nobody:nogroup", cache);
                chown("daemon:daemon", cachedFile(cache));
                return cache;
            }, same, 0, LIBRARY + ": belongs to daemon, not to this user", "cache/"),
            new AsUser("the user's cache folder in a folder of another user (daemon)", AS_NOBODY, dir -> {
                Path theirs = Files.createDirectories(dir.resolve("theirs"));
                Path cache = Files.createDirectories(theirs.resolve("cache"));
                chown("daemon:daemon", theirs);
                chown("nobody:nogroup", cache);
                return cache;
            }, same, 0, "theirs, a folder above the cache, belongs to daemon, not to root or this user (nobody, user id 65534)",
                "tmp/tessaly-natives-65534/"),
            new AsUser("another user's link at the fallback folder's name, to a folder of the user's: not followed", AS_NOBODY, dir -> {
                Path mine = Files.createDirectories(dir.resolve("mine/lookalike-0123456789abcdef"));
                Files.copy(Path.of(System.getProperty("tessaly.library")), mine.resolve(LIBRARY));
                Files.writeString(mine.resolve(LIBRARY.replace(".", "-0123456789abcdef.")), "the user's own file");
                Files.writeString(mine.resolve(".keep"), "the user's own file");
                chown("nobody:nogroup", dir.resolve("mine"));
                command("touch", "-h", "-d", "2001-01-01", mine.toString(), mine.resolve(LIBRARY).toString());
                Path tmp = Files.createDirectories(dir.resolve("tmp"));
                chmod("1777", tmp);
                Files.createSymbolicLink(tmp.resolve("tessaly-natives-65534"), dir.resolve("mine"));
                Files.writeString(dir.resolve("file"), "not a folder");
                return dir.resolve("file/cache");
            }, same, 1, "tessaly-natives-65534 is not a folder (a symbolic link)", null),
            new AsUser("a read-only cache folder holding a verified copy", AS_NOBODY, dir -> {
                Path cache = dir.resolve("cache");
                assertEquals(0, selfCheck(cache).exit());
                chown("nobody:nogroup", cache);
                command("chmod", "-R", "a-w", cache.resolve("tessaly-natives").toString());
                return cache;
            }, same, 0, "SHA-256 matches the index, used as it is", "cache/"),
            new AsUser("a folder above the cache writable by the user's own private group (umask 002): used", asRoot, dir -> {
                Path own = Files.createDirectories(dir.resolve("group-own"));
                chmod("0775", own);
                return own.resolve("cache");
            }, same, 0, "created ", "group-own/cache/"),
            new AsUser("a folder two above the cache writable by a group of other users (daemon): refused", asRoot, dir -> {
                Path theirs = Files.createDirectories(dir.resolve("group-daemon"));
                command("chown", "root:daemon", theirs.toString());
                chmod("0775", theirs);
                return Files.createDirectories(theirs.resolve("mid")).resolve("cache");
            }, same, 0, "group-daemon, a folder above the cache, is writable by others (rwxrwxr-x) and has no sticky bit",
                "tmp/tessaly-natives-0/"),
            new AsUser("a user id without a name, with HOME: its own cache folder", setpriv(4242), dir -> {
                chown("4242:4242", Files.createDirectories(dir.resolve("home")));
                return null;
            }, env -> env.put("HOME", env.get("ROW_DIR") + "/home"), 0, "created ", "home/.cache/tessaly-natives/"),
            new AsUser("two user ids without a name, no HOME: each its own fallback folder (1)", setpriv(4243), dir -> null,
                env -> env.remove("HOME"), 0, "user.home=?", sharedTmp + "/tessaly-natives-4243/"),
            new AsUser("two user ids without a name, no HOME: each its own fallback folder (2)", setpriv(4244), dir -> null,
                env -> env.remove("HOME"), 0, "user.home=?", sharedTmp + "/tessaly-natives-4244/"),
            new AsUser("every folder on a file system mounted noexec: the likely cause named",
                List.of("unshare", "-m", "sh", "-c", "mount -t tmpfs -o noexec tmpfs \"$0\" && mkdir \"$0/tmp\" && exec \"$@\"",
                    "ROW_DIR/noexec"),
                dir -> Files.createDirectories(dir.resolve("noexec")).resolve("cache"),
                same, 1, "is the folder on a file system mounted noexec? -Dtessaly.natives.cache=FOLDER", null),
        };
        for (int i = 0; i < rows.length; i++) {
            AsUser row = rows[i];
            Path dir = Files.createDirectories(scratch.resolve("other-user-" + i));
            Path cache = row.setup().prepare(dir);
            Path tmp = dir.resolve(row.name().contains("noexec") ? "noexec/tmp" : "tmp");
            if (row.loadedFrom() != null && row.loadedFrom().startsWith(sharedTmp.toString())) {
                tmp = sharedTmp;
            } else if (!Files.exists(tmp) && !row.name().contains("noexec")) {
                Files.createDirectories(tmp);
                if (row.user() == AS_NOBODY) {
                    chown("nobody:nogroup", tmp);
                }
            }
            List<String> user = row.user().stream().map(a -> a.replace("ROW_DIR", dir.toString())).toList();
            List<String> before = listing(dir.resolve("mine"));
            ProcessBuilder b = selfCheckCommand(user, jar, cache, List.of("-Djava.io.tmpdir=" + tmp));
            b.environment().put("ROW_DIR", dir.toString());
            row.env().accept(b.environment());
            Run run = finish(b.start());
            assertEquals(row.exit(), run.exit(), row.name() + ":\n" + run.output());
            assertTrue(run.output().contains(row.words()), row.name() + ": no \"" + row.words() + "\" in\n" + run.output());
            if (row.loadedFrom() == null) {
                assertNull(run.loadedFile(), row.name());
            } else {
                String from = row.loadedFrom().startsWith("/") ? row.loadedFrom() : dir.resolve(row.loadedFrom()).toString();
                assertTrue(run.loadedFile().startsWith(from), row.name() + ": loaded " + run.loadedFile());
            }
            assertEquals(before, listing(dir.resolve("mine")), row.name() + ": the user's own files were changed");
        }
    }

    /** setpriv's prefix for a user and group id that have no name. */
    private static List<String> setpriv(int id) {
        return List.of("setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups");
    }

    /**
     * The swap race: a cache folder of root's (0700, sound in itself) in a folder anyone may write, without the
     * sticky bit; user nobody keeps exchanging it with a folder of theirs holding a
     * library of their own under the same names, while 60 JVMs (tessaly.swapJvms), 6 at a time, load from it
     * as root. None may run the planted library.
     */
    @FilesTest
    void anotherUserSwappingTheCacheFolderNeverGetsALibraryLoaded() throws Exception {
        assumeTrue(runsAsRootWithSetpriv(), "needs root and setpriv to run the attacker as a second user");
        String swapper = System.getProperty("tessaly.swapFolders");
        String planted = System.getProperty("tessaly.planted");
        assumeTrue(swapper != null && planted != null, "needs the attacker and its library (native Linux builds)");
        Path dir = Files.createDirectories(scratch.resolve("swap"));
        // Where nobody can run it from, whatever folder the build is in.
        swapper = Files.copy(Path.of(swapper), dir.resolve("swap-folders")).toString();
        Path open = Files.createDirectories(dir.resolve("open"));
        Files.setPosixFilePermissions(open, PosixFilePermissions.fromString("rwxrwxrwx"));
        Path cache = open.resolve("cache");
        Path tmp = Files.createDirectories(dir.resolve("tmp"));
        assertEquals(0, selfCheck(cache, "-Djava.io.tmpdir=" + tmp).exit());
        // root's cache folder as a loader makes it (owner-only, a sound copy), and the attacker's beside it: the
        // same names, the planted bytes.
        Path theirs = Files.createDirectories(open.resolve("theirs"));
        Path made = tmp.resolve("tessaly-natives-0");
        for (String folder : listing(made)) {
            if (folder.matches("[^/.][^/]*-[0-9a-f]{16}")) {
                Path planted0 = Files.createDirectories(theirs.resolve("tessaly-natives").resolve(folder)).resolve(LIBRARY);
                Files.copy(Path.of(planted), planted0);
                Path own = Files.createDirectories(cache.resolve("tessaly-natives").resolve(folder));
                Files.copy(made.resolve(folder).resolve(LIBRARY), own.resolve(LIBRARY));
                for (Path p : List.of(own, own.getParent())) {
                    Files.setPosixFilePermissions(p, PosixFilePermissions.fromString("rwx------"));
                }
            }
        }
        Files.setPosixFilePermissions(cache, PosixFilePermissions.fromString("rwx------"));
        chown("nobody:nogroup", theirs);
        List<String> attack = new ArrayList<>(AS_NOBODY);
        attack.addAll(List.of(swapper, cache.toString(), theirs.toString(), "600",
                System.getProperty("tessaly.swapPause", "1000")));
        Process attacker = new ProcessBuilder(attack).redirectErrorStream(true).start();
        int jvms = Integer.getInteger("tessaly.swapJvms", 60);
        int planted0 = 0;
        int fromCache = 0;
        int notRefused = 0;
        try {
            for (int batch = 0; batch < jvms / 6; batch++) {
                List<Process> children = new ArrayList<>();
                for (int i = 0; i < 6; i++) {
                    children.add(startSelfCheck(cache, List.of("-Djava.io.tmpdir=" + tmp)));
                }
                for (Process child : children) {
                    Run run = finish(child);
                    if (run.output().contains("PLANTED LIBRARY RAN")) {
                        planted0++;
                    }
                    if (run.loadedFile() != null && run.loadedFile().startsWith(open.toString())) {
                        fromCache++;
                    }
                    // Refused, whichever folder the name held at the time: root's in a folder others can swap,
                    // or nobody's.
                    if (!run.output().contains("refused " + cache)) {
                        notRefused++;
                    }
                }
                if (!attacker.isAlive()) {
                    throw new AssertionError("the attacker stopped early:\n"
                            + new String(attacker.getInputStream().readAllBytes(), StandardCharsets.UTF_8));
                }
            }
        } finally {
            attacker.destroy();
            attacker.waitFor(10, TimeUnit.SECONDS);
        }
        System.out.println("swap race: " + jvms + " JVMs, " + planted0 + " ran the planted library, " + fromCache
                + " loaded from the swapped folder, " + notRefused + " did not refuse it");
        assertEquals(0, planted0, "JVMs that ran the planted library, of " + jvms);
        assertEquals(0, fromCache, "JVMs that loaded from the swapped folder, of " + jvms);
        assertEquals(0, notRefused, "JVMs that did not refuse the swapped folder, of " + jvms);
    }

    private static boolean runsAsRootWithSetpriv() {
        return "root".equals(System.getProperty("user.name")) && Files.isExecutable(Path.of("/usr/bin/setpriv"));
    }

    /**
     * A mod unloaded as the host developers' guide says (HTTP_CLIENT let go) and loaded again, 100 times
     * (tessaly.reloads), beside a mod that stays, with the loader's classes in turn: in the mod's own class
     * loader from a plain jar, from a jar nested in the mod's jar (served from memory by a class loader of the
     * mod's own), and in a class loader above the mod's. Every load succeeds, every dropped class loader is
     * collected and its copy unmapped, and the cache then holds at most two copies.
     */
    @Test
    @Tag("reload")
    void reloadedModsAreCollectedAndLeaveNoCopiesBehind() throws Exception {
        Path cache = scratch.resolve("reload");
        int reloads = Integer.getInteger("tessaly.reloads", 100);
        Path nesting = nestingJar();
        URL[] modUrls = {url(Path.of(System.getProperty("tessaly.hostJar"))),
            url(Path.of(System.getProperty("tessaly.nativesModJar")))};
        List<WeakReference<ClassLoader>> dropped = new ArrayList<>();
        inCache(cache, () -> {
            startMod(keep(new URLClassLoader("staying", append(modUrls, url(jar)), ClassLoader.getPlatformClassLoader())), true);
            for (int i = 0; i < reloads; i++) {
                String name = "reloaded-" + i;
                URLClassLoader above = new URLClassLoader(new URL[] {url(jar)}, ClassLoader.getPlatformClassLoader());
                ClassLoader mod = i % 3 == 0 ? new URLClassLoader(name, append(modUrls, url(jar)), ClassLoader.getPlatformClassLoader())
                        : i % 3 == 1 ? new NestedJarLoader(name, nesting) : new URLClassLoader(name, modUrls, above);
                startMod(mod, i % 10 == 0);
                Class.forName("tessaly.jvmmod.NativesMod", true, mod).getMethod("unload").invoke(null);
                if (mod instanceof URLClassLoader) {
                    ((URLClassLoader) mod).close();
                }
                above.close();
                dropped.add(new WeakReference<>(mod));
            }
        });
        Path folder = versionFolder(cache);
        for (int gc = 0; dropped.stream().anyMatch(r -> r.get() != null) || mappedCopies(folder) > 1; gc++) {
            assertTrue(gc < 300, dropped.stream().filter(r -> r.get() != null).count() + " of " + reloads
                    + " dropped class loaders not collected, " + mappedCopies(folder) + " copies mapped, after 300 collections");
            System.gc();
            Thread.sleep(100);
        }
        List<String> copies = listing(folder).stream()
                .filter(f -> f.equals(LIBRARY) || OWN_COPY.matcher(f).matches()).toList();
        System.out.println("reload: " + reloads + " reloads, the cache holds " + copies);
        assertTrue(copies.size() <= 2 && copies.contains(LIBRARY), "copies left: " + copies);
    }

    private static URL[] append(URL[] urls, URL more) {
        URL[] all = Arrays.copyOf(urls, urls.length + 1);
        all[urls.length] = more;
        return all;
    }

    /** How many copies of folder this process maps (each file once, removed or not). */
    private static long mappedCopies(Path folder) throws IOException {
        return Files.readAllLines(Path.of("/proc/self/maps")).stream().filter(l -> l.contains(folder + "/"))
                .map(l -> l.substring(l.indexOf(folder.toString()))).distinct().count();
    }

    /** Loads the library through the mod in host, on a thread whose context class loader is the mod's, as a game does. */
    private static void startMod(ClassLoader host, boolean calls) throws Exception {
        Thread thread = Thread.currentThread();
        ClassLoader context = thread.getContextClassLoader();
        thread.setContextClassLoader(host);
        try {
            Class.forName("tessaly.jvmmod.NativesMod", true, host).getMethod("load").invoke(null);
            if (calls) {
                callAll(Class.forName(HELPER, true, host), host.getName());
            }
        } finally {
            thread.setContextClassLoader(context);
        }
    }

    /** A mod's jar as jar-in-jar mod loaders take it: the host's and the mod's classes, the natives jar nested. */
    private static Path nestingJar() throws IOException {
        Path out = scratch.resolve("nesting-mod.jar");
        Set<String> seen = new java.util.HashSet<>();
        try (ZipOutputStream zip = new ZipOutputStream(Files.newOutputStream(out))) {
            for (String part : List.of("tessaly.hostJar", "tessaly.nativesModJar")) {
                try (ZipInputStream in = new ZipInputStream(Files.newInputStream(Path.of(System.getProperty(part))))) {
                    for (ZipEntry e; (e = in.getNextEntry()) != null;) {
                        byte[] data = in.readAllBytes();
                        if (seen.add(e.getName())) {
                            zip.putNextEntry(new ZipEntry(e.getName()));
                            zip.write(data);
                        }
                    }
                }
            }
            zip.putNextEntry(new ZipEntry("META-INF/jars/tessaly-natives.jar"));
            zip.write(Files.readAllBytes(jar));
        }
        return out;
    }

    /** A mod's class loader that serves its jar and the jars nested in it (META-INF/jars/) from memory. */
    private static final class NestedJarLoader extends ClassLoader {
        private final java.util.Map<String, byte[]> entries = new java.util.HashMap<>();

        NestedJarLoader(String name, Path modJar) throws IOException {
            super(name, ClassLoader.getPlatformClassLoader());
            read(Files.readAllBytes(modJar));
        }

        private void read(byte[] jarBytes) throws IOException {
            try (ZipInputStream zip = new ZipInputStream(new java.io.ByteArrayInputStream(jarBytes))) {
                for (ZipEntry e; (e = zip.getNextEntry()) != null;) {
                    byte[] data = zip.readAllBytes();
                    if (e.getName().startsWith("META-INF/jars/")) {
                        read(data);
                    } else {
                        entries.putIfAbsent(e.getName(), data);
                    }
                }
            }
        }

        @Override
        protected Class<?> findClass(String name) throws ClassNotFoundException {
            byte[] b = entries.get(name.replace('.', '/') + ".class");
            if (b == null) {
                throw new ClassNotFoundException(name);
            }
            return defineClass(name, b, 0, b.length);
        }

        @Override
        public InputStream getResourceAsStream(String name) {
            byte[] b = entries.get(name);
            return b != null ? new java.io.ByteArrayInputStream(b) : super.getResourceAsStream(name);
        }
    }

    /**
     * The clean-up another JVM's start does, in a cache folder that also holds what is not the loader's: the
     * loader's own left-overs go (a copy a killed JVM was writing, another version's folder unused for a day);
     * a copy a JVM holds locked, one just made, another version's folder used lately, files and folders under
     * other names, a link under the loader's names and what it points to all stay.
     */
    @FilesTest
    void theCleanUpRemovesOnlyTheLoadersOwnLeftOvers() throws Exception {
        Path cache = scratch.resolve("clean-up");
        assertEquals(0, selfCheck(cache).exit());
        Path shared = cachedFile(cache);
        Path folder = shared.getParent();
        Path own = folder.getParent();
        java.util.function.Function<String, String> copy = hex -> LIBRARY.replace(".", "-" + hex + ".");
        Path killed = Files.writeString(folder.resolve(copy.apply("00000000000000aa")), "a copy a killed JVM was writing");
        Path held = Files.writeString(folder.resolve(copy.apply("00000000000000bb")), "a copy a JVM holds");
        Path precious = Files.writeString(scratch.resolve("precious"), "the user's own");
        Path link = Files.createSymbolicLink(folder.resolve(copy.apply("00000000000000dd")), precious);
        Path older = Files.createDirectories(own.resolve("0.9.0-0123456789abcdef"));
        Path mixed = Files.createDirectories(own.resolve("0.8.0-0123456789abcdef"));
        Path recent = Files.createDirectories(own.resolve("0.9.5-0123456789abcdef"));
        for (Path p : List.of(older, mixed, recent)) {
            Files.writeString(p.resolve(LIBRARY), "another version's copy");
        }
        Files.writeString(older.resolve(copy.apply("00000000000000ee")), "another version's own copy");
        Files.writeString(mixed.resolve("notes.txt"), "not the loader's");
        List<Path> foreign = new ArrayList<>();
        for (Path in : List.of(cache, own)) {
            Path lwjgl = Files.createDirectories(in.resolve("lwjgl-3.3.3-0123456789abcdef"));
            foreign.add(Files.writeString(lwjgl.resolve("liblwjgl.so"), "another library's"));
            foreign.add(lwjgl);
        }
        List<String> old = new ArrayList<>(List.of("touch", "-h", "-d", "2001-01-01"));
        for (Path p : List.of(killed, held, link, older.resolve(LIBRARY), older.resolve(copy.apply("00000000000000ee")),
                mixed.resolve(LIBRARY), older, mixed)) {
            old.add(p.toString());
        }
        foreign.forEach(p -> old.add(p.toString()));
        command(old.toArray(new String[0]));
        Path fresh = Files.writeString(folder.resolve(copy.apply("00000000000000cc")), "a copy a JVM has just made");
        Run run;
        try (java.nio.channels.FileChannel c = java.nio.channels.FileChannel.open(held, java.nio.file.StandardOpenOption.WRITE);
             java.nio.channels.FileLock lock = c.lock()) {
            run = selfCheck(cache);
        }
        assertEquals(shared.toString(), run.loadedFile(), run.output());
        for (Path gone : List.of(killed, older)) {
            assertFalse(Files.exists(gone, java.nio.file.LinkOption.NOFOLLOW_LINKS), gone + " stayed:\n" + run.output());
        }
        for (Path kept : List.of(held, fresh, link, precious, recent.resolve(LIBRARY), mixed.resolve("notes.txt"),
                foreign.get(0), foreign.get(2))) {
            assertTrue(Files.exists(kept, java.nio.file.LinkOption.NOFOLLOW_LINKS), kept + " was removed:\n" + run.output());
        }
        assertFalse(Files.exists(mixed.resolve(LIBRARY)), run.output());
    }

    /**
     * A new copy goes in place only where its name is free: with a file already at the name, through a hard
     * link and through the move used where there are none, the file there keeps its inode and bytes.
     */
    @FilesTest
    void aNewCopyNeverReplacesAFileAtItsName() throws Exception {
        assumeTrue(java.nio.file.FileSystems.getDefault().supportedFileAttributeViews().contains("unix"),
                "needs inode numbers (unix:ino)");
        URLClassLoader natives = keep(new URLClassLoader(new URL[] {url(jar)}, ClassLoader.getPlatformClassLoader()));
        Method put = Class.forName("tessaly.natives.Copies", false, natives).getDeclaredMethod("putInPlace",
                Path.class, Path.class, boolean.class);
        put.setAccessible(true);
        Path dir = Files.createDirectories(scratch.resolve("put-in-place"));
        for (boolean links : new boolean[] {true, false}) {
            Path there = Files.writeString(dir.resolve("taken-" + links), "another process's copy");
            Object inode = Files.getAttribute(there, "unix:ino");
            Path part = Files.writeString(dir.resolve(".part-" + links), "the new copy");
            assertEquals(false, put.invoke(null, part, there, links), "links " + links);
            assertEquals(inode, Files.getAttribute(there, "unix:ino"), "links " + links);
            assertEquals("another process's copy", Files.readString(there), "links " + links);
            Path free = dir.resolve("free-" + links);
            assertEquals(true, put.invoke(null, part, free, links), "links " + links);
            assertEquals("the new copy", Files.readString(free), "links " + links);
        }
    }

    @Test
    void machinesWithoutALibraryAreNamedInTheError() throws Exception {
        URLClassLoader natives = keep(new URLClassLoader(new URL[] {url(jar)}, ClassLoader.getPlatformClassLoader()));
        Class<?> platform = Class.forName("tessaly.natives.Index", false, natives);
        Method choose = platform.getDeclaredMethod("platform", String.class, String.class, String.class, String.class, Set.class);
        choose.setAccessible(true);
        Set<String> all = Set.of("linux-x64", "linux-aarch64", "windows-x64", "macos");
        // os.name, os.arch, sun.arch.data.model, C library, the jar's platforms; the folder, or words of the error.
        Object[][] machines = {
            {"Linux", "amd64", "64", "glibc", all, "linux-x64"},
            {"Linux", "aarch64", "64", "glibc", all, "linux-aarch64"},
            {"Linux", "amd64", "64", null, all, "linux-x64"},
            {"Windows 11", "amd64", "64", null, all, "windows-x64"},
            {"Mac OS X", "aarch64", "64", null, all, "macos"},
            {"Mac OS X", "x86_64", "64", null, all, "macos"},
            {"Linux", "amd64", "64", "musl", all, "detected Linux with musl libc"},
            {"Linux", "aarch64", "64", "bionic", all, "detected Linux with Android's bionic libc"},
            {"Linux", "i386", "32", "glibc", all, "detected a 32-bit JVM"},
            {"Windows 10", "x86", null, null, all, "detected a 32-bit JVM"},
            {"Windows 11", "aarch64", "64", null, all, "detected Windows on ARM with an arm64 JVM"},
            {"FreeBSD", "amd64", "64", null, all, "detected an operating system without a library"},
            {"Linux", "s390x", "64", "glibc", all, "detected Linux on s390x"},
            {"Linux", "aarch64", "64", "glibc", Set.of("linux-x64"), "detected linux-aarch64, which this jar does not hold"},
        };
        // The C library, from the interpreter the JVM's program names: glibc's, musl's (also its libc), Android's
        // linker for bionic; none (a static program) is not known.
        Method libc = platform.getDeclaredMethod("libc", String.class);
        libc.setAccessible(true);
        Object[][] interpreters = {
            {"/lib64/ld-linux-x86-64.so.2", "glibc"},
            {"/lib/ld-linux-aarch64.so.1", "glibc"},
            {"/lib/ld-musl-x86_64.so.1", "musl"},
            {"/lib/ld-musl-aarch64.so.1", "musl"},
            {"/system/bin/linker64", "bionic"},
            {"", null},
        };
        for (Object[] m : interpreters) {
            assertEquals(m[1], libc.invoke(null, "\u007fELF\u0002\u0001\u0001" + m[0] + "\u0000GLIBC_2.2.5"), (String) m[0]);
        }
        for (Object[] m : machines) {
            String expected = (String) m[5];
            try {
                assertEquals(expected, choose.invoke(null, m[0], m[1], m[2], m[3], m[4]), Arrays.toString(m));
            } catch (InvocationTargetException e) {
                String message = e.getCause().getMessage();
                assertTrue(e.getCause() instanceof UnsatisfiedLinkError, Arrays.toString(m) + ": " + e.getCause());
                assertTrue(expected.startsWith("detected "), Arrays.toString(m) + ": " + message);
                String has = new java.util.TreeSet<>((Set<?>) m[4]).toString().replaceAll("[\\[\\]]", "");
                assertTrue(message.contains("os.name=" + m[0] + ", os.arch=" + m[1] + ", " + expected)
                        && message.endsWith("; this jar has " + has), Arrays.toString(m) + ": " + message);
            }
        }
    }

    /** The names in folder and below it, sorted; empty when it does not exist or is no folder. */
    private static List<String> listing(Path folder) throws IOException {
        if (!Files.isDirectory(folder)) {
            return List.of();
        }
        try (Stream<Path> s = Files.walk(folder)) {
            return s.map(p -> folder.relativize(p).toString()).sorted().toList();
        }
    }

    private static void chmod(String mode, Path p) throws Exception {
        command("chmod", mode, p.toString());
    }

    private static void chown(String user, Path... paths) throws Exception {
        List<String> command = new ArrayList<>(List.of("chown", "-R", user));
        for (Path p : paths) {
            command.add(p.toString());
        }
        command(command.toArray(new String[0]));
    }

    private static void command(String... command) throws Exception {
        Process p = new ProcessBuilder(command).inheritIO().start();
        assertEquals(0, p.waitFor(), String.join(" ", command));
    }

    /**
     * The loader in a Windows JVM, against the jar's windows-x64 slot: the cache under %LOCALAPPDATA%, a copy
     * for a second class loader while the first DLL is loaded (and so cannot be replaced or deleted), a damaged
     * cached copy left as it is. Under wine only these run (the others expect Linux's files and permissions).
     */
    @org.junit.jupiter.api.Nested
    @org.junit.jupiter.api.condition.EnabledOnOs(org.junit.jupiter.api.condition.OS.WINDOWS)
    class OnWindows {
        private static final String DLL = LIBRARY;
        private static final String WINDOWS_HELPER = "quenby.tessaly.api.client.online.TessalyServerConnectionHelper";

        @Test
        void theCacheFolderIsUnderLocalAppData() throws Exception {
            String local = System.getenv("LOCALAPPDATA");
            assertTrue(local != null && Path.of(local).isAbsolute(), "LOCALAPPDATA=" + local);
            Run run = selfCheck(null);
            assertEquals(0, run.exit(), run.output());
            Path file = Path.of(run.loadedFile());
            assertEquals(Path.of(local, "tessaly-natives"), file.getParent().getParent(), run.output());
            assertEquals(DLL, file.getFileName().toString(), run.output());
            assertTrue(run.output().contains("platform windows-x64 "), run.output());
        }

        @Test
        void aSecondClassLoaderGetsACopyWhileTheFirstDllIsLoaded() throws Exception {
            Path cache = scratch.resolve("windows-in-jvm");
            System.setProperty("tessaly.natives.cache", cache.toString());
            List<Path> loaded = new ArrayList<>();
            for (int mod = 1; mod <= 2; mod++) {
                URLClassLoader host = modClassLoader("win-" + mod);
                loaded.add(Path.of((String) Class.forName("tessaly.jvmmod.NativesMod", true, host).getMethod("load")
                        .invoke(null)));
                callAll(Class.forName(WINDOWS_HELPER, true, host), "mod " + mod);
            }
            Path folder = loaded.get(0).getParent();
            assertEquals(folder.resolve(DLL), loaded.get(0));
            assertTrue(loaded.get(1).getParent().equals(folder) && OWN_COPY.matcher(loaded.get(1).getFileName().toString())
                    .matches(), loaded.toString());
            // Windows lets nobody replace or delete a DLL that a process has loaded.
            for (Path p : loaded) {
                byte[] before = Files.readAllBytes(p);
                org.junit.jupiter.api.Assertions.assertThrows(IOException.class, () -> Files.write(p, new byte[] {0}), p + " was rewritten");
                org.junit.jupiter.api.Assertions.assertThrows(IOException.class, () -> Files.delete(p), p + " was deleted");
                assertArrayEquals(before, Files.readAllBytes(p), p.toString());
            }
            // Another JVM meanwhile loads the first copy as it is.
            Run run = selfCheck(cache);
            assertEquals(0, run.exit(), run.output());
            assertEquals(folder.resolve(DLL).toString(), run.loadedFile(), run.output());
            assertTrue(run.output().contains("SHA-256 matches the index, used as it is"), run.output());
        }

        @Test
        void aDamagedCachedCopyIsLeftAlone() throws Exception {
            Object[][] damages = {
                {"cut in half", (java.util.function.UnaryOperator<byte[]>) b -> Arrays.copyOf(b, b.length / 2), "bytes, not "},
                {"one byte changed", (java.util.function.UnaryOperator<byte[]>) b -> flipped(b, b.length / 3),
                    "does not match the index"},
            };
            for (Object[] d : damages) {
                Path cache = scratch.resolve("windows-damaged-" + d[0].toString().replace(' ', '-'));
                assertEquals(0, selfCheck(cache).exit());
                Path damaged = cachedFile(cache);
                byte[] good = Files.readAllBytes(damaged);
                @SuppressWarnings("unchecked")
                byte[] bad = ((java.util.function.UnaryOperator<byte[]>) d[1]).apply(good);
                Files.write(damaged, bad);
                Run run = selfCheck(cache);
                assertEquals(0, run.exit(), d[0] + ":\n" + run.output());
                assertTrue(run.output().contains(damaged + ": ") && run.output().contains((String) d[2]),
                        d[0] + ":\n" + run.output());
                Path own = Path.of(run.loadedFile());
                assertTrue(own.getParent().equals(damaged.getParent()) && OWN_COPY.matcher(own.getFileName().toString())
                        .matches(), d[0] + ": loaded " + own);
                assertArrayEquals(bad, Files.readAllBytes(damaged), d[0] + ": the damaged file was rewritten");
            }
        }

        /**
         * A user name the system's code page cannot write (Chinese and Cyrillic under code page 1252), and so
         * %LOCALAPPDATA% and %TEMP%, which System.load cannot pass on: the copy goes to the user's own folder in
         * %ProgramData%, whose path is ASCII.
         */
        @Test
        void aProfileTheCodePageCannotWriteLoadsFromAnAsciiFolder() throws Exception {
            Path profile = scratch.resolve("\u5f20\u4e09\u0418\u0432\u0430\u043d");
            ProcessBuilder b = selfCheckCommand(List.of(), jar, null, List.of());
            b.environment().put("LOCALAPPDATA", profile.resolve("Local").toString());
            b.environment().put("TMP", Files.createDirectories(profile.resolve("Temp")).toString());
            b.environment().put("TEMP", profile.resolve("Temp").toString());
            Run run = finish(b.start());
            assertEquals(0, run.exit(), run.output());
            assertTrue(run.output().contains("cannot write this path"), run.output());
            Path programData = Path.of(System.getenv("ProgramData"));
            assertTrue(run.loadedFile().startsWith(programData.resolve("tessaly-natives-u").toString()), run.output());
        }
    }

    private static byte[] flipped(byte[] data, int at) {
        byte[] copy = data.clone();
        copy[at] ^= 0x40;
        return copy;
    }

    /**
     * A mod's class loaders as a game makes them, both open for the test's life: its own copy of the
     * loader's classes, and above it the host's and the mod's classes. Returns the mod's.
     */
    private static URLClassLoader modClassLoader(String name) throws IOException {
        URLClassLoader natives = keep(new URLClassLoader("natives-" + name, new URL[] {url(jar)},
                ClassLoader.getPlatformClassLoader()));
        return keep(new URLClassLoader("host-" + name, new URL[] {url(Path.of(System.getProperty("tessaly.hostJar"))),
            url(Path.of(System.getProperty("tessaly.nativesModJar")))}, natives));
    }

    /** A part of a test that may throw. */
    private interface Body {
        void run() throws Exception;
    }

    /** Runs body with the loaders this JVM holds caching in cache; the property is cleared after. */
    private static void inCache(Path cache, Body body) throws Exception {
        System.setProperty("tessaly.natives.cache", cache.toString());
        try {
            body.run();
        } finally {
            System.clearProperty("tessaly.natives.cache");
        }
    }

    private static URLClassLoader keep(URLClassLoader l) {
        loaders.add(l);
        return l;
    }

    private static URL url(Path p) throws IOException {
        return p.toUri().toURL();
    }

    /** Deletes root and all below it; on Windows, what this JVM holds loaded stays. */
    private static void deleteTree(Path root) throws IOException {
        try (Stream<Path> s = Files.walk(root)) {
            for (Path p : s.sorted(Comparator.reverseOrder()).toList()) {
                try {
                    Files.delete(p);
                } catch (IOException e) {
                    if (POSIX) {
                        throw e;
                    }
                }
            }
        }
    }
}
