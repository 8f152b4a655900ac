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
import java.io.OutputStream;
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
import java.nio.file.attribute.UserPrincipal;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Comparator;
import java.util.List;
import java.util.Properties;
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
 * way the loader must survive. Scratch folders go under tessaly.cacheDir.
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
    /** The build's library file (tessaly.library) by its name: libTrialworks.so, Skyrope.dll. */
    private static final String LIBRARY =
            Path.of(java.util.Objects.requireNonNull(System.getProperty("tessaly.library"), "-Dtessaly.library"))
                    .getFileName().toString();

    /** The name the loader gives the n-th copy in a folder: libTrialworks-2.so, Skyrope-2.dll. */
    private static String copyName(int n) {
        int dot = LIBRARY.indexOf('.');
        return LIBRARY.substring(0, dot) + "-" + n + LIBRARY.substring(dot);
    }

    private static Path jar;
    private static Path scratch;
    private static String otherPlatform;
    private static Path foreign;
    private static ReferenceService service;
    private static final List<URLClassLoader> loaders = new ArrayList<>();

    @BeforeAll
    static void start() throws IOException {
        scratch = Path.of(System.getProperty("tessaly.cacheDir"));
        deleteTree(scratch);
        Files.createDirectories(scratch.resolve("models"));
        jar = withOtherPlatform(Path.of(System.getProperty("tessaly.nativesJar")));
        Files.write(scratch.resolve("models/cube.enc"), MeshFiles.encrypt(MeshFiles.document("cube", 4, 7)));
        service = ReferenceService.start(scratch.resolve("models"));
    }

    @AfterAll
    static void stop() throws IOException {
        service.close();
        for (URLClassLoader l : loaders) {
            l.close();
        }
    }

    /**
     * A copy of the build's natives jar whose index also names another platform's library: the file foreign,
     * the built library with one byte more (a file System.load would take), as linux-aarch64 (linux-x64 when
     * this JVM is the aarch64 one).
     */
    private static Path withOtherPlatform(Path built) throws IOException {
        Path out = scratch.resolve("tessaly-natives-two-platforms.jar");
        byte[] library = Files.readAllBytes(Path.of(System.getProperty("tessaly.library")));
        byte[] other = Arrays.copyOf(library, library.length + 1);
        foreign = Files.createDirectories(scratch.resolve("other-platform")).resolve(LIBRARY);
        Files.write(foreign, other);
        try (ZipInputStream in = new ZipInputStream(Files.newInputStream(built));
             ZipOutputStream zip = new ZipOutputStream(Files.newOutputStream(out))) {
            for (ZipEntry e; (e = in.getNextEntry()) != null;) {
                byte[] data = in.readAllBytes();
                if (e.getName().equals("natives/index.properties")) {
                    Properties index = new Properties();
                    index.load(new java.io.ByteArrayInputStream(data));
                    otherPlatform = index.containsKey("linux-x64") ? "linux-aarch64" : "linux-x64";
                    String line = otherPlatform + "=" + LIBRARY + " " + other.length + " " + sha256(other) + "\n";
                    data = (new String(data, StandardCharsets.UTF_8) + line).getBytes(StandardCharsets.UTF_8);
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

    /** The seven calls: method, number of string arguments after the base URL. */
    private static final Object[][] CALLS = {
        {"autoLogin", 4}, {"signIn", 2}, {"signOut", 4}, {"getAvailableCosmetics", 4},
        {"saveConfiguration", 1}, {"getPlayerSkinInfo", 1}, {"loadRemoteMesh", 1},
    };

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
        Path folder = Path.of(loaded.get(0)).getParent();
        assertEquals(List.of(folder.resolve(LIBRARY).toString(), folder.resolve(copyName(2)).toString()), loaded);
        assertTrue(folder.getFileName().toString().matches("[0-9A-Za-z._-]+-[0-9a-f]{16}"), folder.toString());
        assertEquals("rwx------", PosixFilePermissions.toString(Files.getPosixFilePermissions(folder)));
    }

    /** Makes the seven calls through the host class; each must reach the service and answer. */
    private static void callAll(Class<?> helper, String who) throws Exception {
        for (Object[] call : CALLS) {
            String name = (String) call[0];
            int strings = (int) call[1];
            Class<?>[] types = new Class<?>[strings + 2];
            Arrays.fill(types, String.class);
            types[strings + 1] = BiConsumer.class;
            Object[] args = new Object[strings + 2];
            args[0] = service.baseUrl();
            for (int i = 1; i <= strings; i++) {
                args[i] = name.equals("loadRemoteMesh") ? "cube" : "v" + i;
            }
            CompletableFuture<Object[]> done = new CompletableFuture<>();
            args[strings + 1] = (BiConsumer<Object, Throwable>) (value, failure) -> done.complete(new Object[] {value, failure});
            helper.getMethod(name, types).invoke(null, args);
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
        List<String> command = new ArrayList<>(asUser);
        command.addAll(List.of(System.getProperty("tessaly.java",
                Path.of(System.getProperty("java.home"), "bin", "java").toString()), "-Xcheck:jni"));
        if (cache != null) {
            command.add("-Dtessaly.natives.cache=" + cache);
        }
        command.addAll(props);
        command.addAll(List.of("-jar", jar.toString()));
        return new ProcessBuilder(command).redirectErrorStream(true).start();
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

    /** The one library file a self-check left in a cache folder (one version folder, beside the loader's own files). */
    private static Path cachedFile(Path cache) throws IOException {
        try (Stream<Path> s = Files.list(cache)) {
            return s.filter(p -> !p.getFileName().toString().startsWith(".")).findFirst().orElseThrow().resolve(LIBRARY);
        }
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
        FileTime marked = FileTime.fromMillis(1_000_000_000L);
        Files.setLastModifiedTime(file, marked);
        Run again = selfCheck(cache);
        assertEquals(file.toString(), again.loadedFile(), again.output());
        assertEquals(inode, Files.getAttribute(file, "unix:ino"));
        assertEquals(marked, Files.getLastModifiedTime(file));

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
            Files.setPosixFilePermissions(damaged, PosixFilePermissions.fromString("rw-------"));
            Files.write(damaged, (byte[]) d[1]);
            Run run = selfCheck(dir);
            assertEquals(0, run.exit(), d[0] + ":\n" + run.output());
            assertTrue(run.output().contains(damaged + ": " ) && run.output().contains((String) d[2]), d[0] + ":\n" + run.output());
            assertEquals(damaged.resolveSibling(copyName(2)).toString(), run.loadedFile(), d[0].toString());
            assertArrayEquals((byte[]) d[1], Files.readAllBytes(damaged), d[0] + ": the damaged file was rewritten");
            assertArrayEquals(good, Files.readAllBytes(damaged.resolveSibling(copyName(2))), d[0].toString());
        }
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

    /** Rows that need a second user: the self-check runs as nobody; root (the suite) sets up what it finds. */
    @FilesTest
    void foldersAndCopiesOfAnotherUserAreRefused() throws Exception {
        assumeTrue(runsAsRootWithSetpriv(), "needs root and setpriv to run a JVM as a second user");
        Object[][] rows = {
            // name, what the cache folder holds (set up by root, then handed to users), words, loaded from
            {"a cache folder of another user (daemon), with a sound copy", (Setup) dir -> {
                Path cache = dir.resolve("cache");
                assertEquals(0, selfCheck(cache).exit());
                chown("daemon:daemon", cache);
                return cache;
            }, "belongs to daemon, not to this user (nobody, user id 65534)", "tmp/tessaly-natives-nobody/"},
            {"a sound copy of another user (daemon) in the user's own folder", (Setup) dir -> {
                Path cache = dir.resolve("cache");
                assertEquals(0, selfCheck(cache).exit());
                chown("nobody:nogroup", cache);
                chown("daemon:daemon", cachedFile(cache));
                return cache;
            }, LIBRARY + ": belongs to daemon, not to this user", "cache/"},
            {"the user's cache folder in a folder of another user (daemon)", (Setup) dir -> {
                Path theirs = Files.createDirectories(dir.resolve("theirs"));
                Path cache = Files.createDirectories(theirs.resolve("cache"));
                chown("nobody:nogroup", cache);
                chown("daemon:daemon", theirs);
                Files.setPosixFilePermissions(cache, PosixFilePermissions.fromString("rwx------"));
                chown("nobody:nogroup", cache);
                return cache;
            }, "theirs, a folder above the cache, belongs to daemon, not to root or this user (nobody, user id 65534)",
                "tmp/tessaly-natives-nobody/"},
        };
        for (int i = 0; i < rows.length; i++) {
            Object[] row = rows[i];
            Path dir = Files.createDirectories(scratch.resolve("other-user-" + i));
            Path cache = ((Setup) row[1]).prepare(dir);
            Path tmp = Files.createDirectories(dir.resolve("tmp"));
            chown("nobody:nogroup", tmp);
            Run run = finish(startSelfCheck(AS_NOBODY, cache, List.of("-Djava.io.tmpdir=" + tmp)));
            assertEquals(0, run.exit(), row[0] + ":\n" + run.output());
            assertTrue(run.output().contains((String) row[2]), row[0] + ": no \"" + row[2] + "\" in\n" + run.output());
            assertTrue(run.loadedFile().startsWith(dir.resolve((String) row[3]).toString()), row[0] + ": loaded "
                    + run.loadedFile());
        }
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
        Path open = Files.createDirectories(dir.resolve("open"));
        Files.setPosixFilePermissions(open, PosixFilePermissions.fromString("rwxrwxrwx"));
        Path cache = open.resolve("cache");
        Path tmp = Files.createDirectories(dir.resolve("tmp"));
        assertEquals(0, selfCheck(cache, "-Djava.io.tmpdir=" + tmp).exit());
        // root's cache folder as a loader makes it (owner-only, a sound copy), and the attacker's beside it: the
        // same names, the planted bytes.
        Path theirs = Files.createDirectories(open.resolve("theirs"));
        Path made = tmp.resolve("tessaly-natives-root");
        for (String folder : listing(made)) {
            if (folder.matches("[^/.][^/]*-[0-9a-f]{16}")) {
                Files.copy(Path.of(planted), Files.createDirectories(theirs.resolve(folder)).resolve(LIBRARY));
                Files.copy(made.resolve(folder).resolve(LIBRARY), Files.createDirectories(cache.resolve(folder)).resolve(LIBRARY));
                Files.setPosixFilePermissions(cache.resolve(folder), PosixFilePermissions.fromString("rwx------"));
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
     * A mod unloaded as the host developers' guide says (HTTP_CLIENT let go) and loaded again, several times,
     * beside a second mod that stays: each dropped class loader is collected, and the cache then holds no
     * more copies than mods alive.
     */
    @FilesTest
    void aReloadedModIsCollectedAndTheCacheKeepsOneCopyPerModAlive() throws Exception {
        Path cache = scratch.resolve("reload");
        inCache(cache, () -> {
            loadMod("staying");
            for (int reload = 1; reload <= 4; reload++) {
                WeakReference<ClassLoader> dropped = loadAndDropMod("reloaded-" + reload);
                for (int gc = 0; dropped.get() != null || mapped(dropped); gc++) {
                    assertTrue(gc < 600, "reload " + reload + ": the dropped mod's class loader was not collected"
                            + " after 600 collections (60 s)");
                    System.gc();
                    Thread.sleep(100);
                }
            }
            loadMod("last");
        });
        List<String> copies = listing(cache).stream().filter(f -> f.matches("[^.][^/]*/lib[^/]*\\.so")).toList();
        System.out.println("reload: the cache holds " + copies);
        assertEquals(2, copies.size(), "copies with two mods alive: " + copies);
    }

    /**
     * The clean-up another JVM's start does: a folder of another version and a -N copy no JVM holds are
     * removed; the -2 copy this JVM holds (a second mod) stays, as does the first name.
     */
    @FilesTest
    void copiesNoJvmUsesAreRemovedAndHeldOnesKept() throws Exception {
        Path cache = scratch.resolve("clean-up");
        inCache(cache, () -> {
            loadMod("holding-1");
            loadMod("holding-2");
        });
        Path folder = cachedFile(cache).getParent();
        Path held = folder.resolve(copyName(2));
        assertTrue(Files.exists(held), listing(cache).toString());
        Path old = Files.createDirectories(cache.resolve("0.9.0-build-0123456789abcdef"));
        Files.writeString(old.resolve(LIBRARY), "an older version's copy");
        Files.copy(cachedFile(cache), folder.resolve(copyName(3)));
        Run run = selfCheck(cache);
        assertEquals(cachedFile(cache).toString(), run.loadedFile(), run.output());
        List<String> left = listing(cache).stream().filter(f -> !f.startsWith(".")).toList();
        assertEquals(List.of("", folder.getFileName().toString(), folder.getFileName() + "/" + copyName(2),
                folder.getFileName() + "/" + LIBRARY), left, run.output());
    }

    private static final List<String> lastMapped = new ArrayList<>();

    /** Loads a mod whose loaders stay open for the test's life; returns its host class loader. */
    private static ClassLoader loadMod(String name) throws Exception {
        URLClassLoader natives = keep(new URLClassLoader("natives-" + name, new URL[] {url(jar)},
                ClassLoader.getPlatformClassLoader()));
        return startMod(name, natives);
    }

    private static ClassLoader startMod(String name, URLClassLoader natives) throws Exception {
        URLClassLoader host = new URLClassLoader("host-" + name, new URL[] {
            url(Path.of(System.getProperty("tessaly.hostJar"))),
            url(Path.of(System.getProperty("tessaly.nativesModJar")))}, natives);
        // A game starts a mod on a thread whose context class loader is the mod's.
        Thread thread = Thread.currentThread();
        ClassLoader context = thread.getContextClassLoader();
        thread.setContextClassLoader(host);
        try {
            String file = (String) Class.forName("tessaly.jvmmod.NativesMod", true, host).getMethod("load").invoke(null);
            synchronized (lastMapped) {
                lastMapped.clear();
                lastMapped.add(file);
            }
            callAll(Class.forName(HELPER, true, host), "mod " + name);
        } finally {
            thread.setContextClassLoader(context);
        }
        return host;
    }

    /** Loads a mod, makes the calls, unloads it and lets go of it; a weak reference to its class loader. */
    private static WeakReference<ClassLoader> loadAndDropMod(String name) throws Exception {
        URLClassLoader natives = new URLClassLoader("natives-" + name, new URL[] {url(jar)},
                ClassLoader.getPlatformClassLoader());
        ClassLoader host = startMod(name, natives);
        Class.forName("tessaly.jvmmod.NativesMod", true, host).getMethod("unload").invoke(null);
        ((URLClassLoader) host).close();
        natives.close();
        return new WeakReference<>(host);
    }

    /** True while the dropped mod's copy (the last one loaded) is still mapped into this process. */
    private static boolean mapped(WeakReference<ClassLoader> dropped) throws IOException {
        String file;
        synchronized (lastMapped) {
            file = lastMapped.isEmpty() ? null : lastMapped.get(0);
        }
        return file != null && Files.readString(Path.of("/proc/self/maps")).contains(file);
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
        Method put = Class.forName("tessaly.natives.NativeLoader", false, natives).getDeclaredMethod("putInPlace",
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
        Method choose = Class.forName("tessaly.natives.NativeLoader", false, natives).getDeclaredMethod("choosePlatform",
                String.class, String.class, String.class, boolean.class, Set.class);
        choose.setAccessible(true);
        Set<String> all = Set.of("linux-x64", "linux-aarch64", "windows-x64", "macos");
        // os.name, os.arch, sun.arch.data.model, musl, the jar's platforms; the folder, or words of the error.
        Object[][] machines = {
            {"Linux", "amd64", "64", false, all, "linux-x64"},
            {"Linux", "aarch64", "64", false, all, "linux-aarch64"},
            {"Windows 11", "amd64", "64", false, all, "windows-x64"},
            {"Mac OS X", "aarch64", "64", false, all, "macos"},
            {"Mac OS X", "x86_64", "64", false, all, "macos"},
            {"Linux", "amd64", "64", true, all, "detected Linux with musl libc"},
            {"Linux", "i386", "32", false, all, "detected a 32-bit JVM"},
            {"Windows 10", "x86", null, false, all, "detected a 32-bit JVM"},
            {"Windows 11", "aarch64", "64", false, all, "detected Windows on ARM with an arm64 JVM"},
            {"FreeBSD", "amd64", "64", false, all, "detected an operating system without a library"},
            {"Linux", "s390x", "64", false, all, "detected Linux on s390x"},
            {"Linux", "aarch64", "64", false, Set.of("linux-x64"), "detected linux-aarch64, which this jar does not hold"},
        };
        // musl, from the memory map's lines: Alpine maps its loader, which is also its libc, as ld-musl-ARCH;
        // its libc is also reachable as libc.musl-ARCH; glibc's loader and libc are not musl.
        Method musl = Class.forName("tessaly.natives.NativeLoader", false, natives).getDeclaredMethod("muslMapped",
                List.class);
        musl.setAccessible(true);
        Object[][] maps = {
            {"7f3a1c000000-7f3a1c014000 r--p 00000000 08:01 1311 /lib/ld-musl-x86_64.so.1", true},
            {"ffff8a200000-ffff8a2a1000 r-xp 00014000 08:01 1311 /lib/ld-musl-aarch64.so.1", true},
            {"7f3a1c000000-7f3a1c014000 r--p 00000000 08:01 1312 /usr/lib/libc.musl-x86_64.so.1", true},
            {"7f3a1c000000-7f3a1c028000 r--p 00000000 08:01 1313 /usr/lib/x86_64-linux-gnu/libc.so.6", false},
            {"7f3a1c000000-7f3a1c028000 r--p 00000000 08:01 1314 /lib64/ld-linux-x86-64.so.2", false},
        };
        for (Object[] m : maps) {
            List<String> lines = List.of("55d0c0000000-55d0c0001000 r--p 00000000 08:01 99 /usr/bin/java", (String) m[0]);
            assertEquals(m[1], musl.invoke(null, lines), (String) m[0]);
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
        Process chmod = new ProcessBuilder("chmod", mode, p.toString()).inheritIO().start();
        assertEquals(0, chmod.waitFor(), "chmod " + mode + " " + p);
    }

    private static void chown(String user, Path... paths) throws Exception {
        List<String> command = new ArrayList<>(List.of("chown", "-R", user));
        for (Path p : paths) {
            command.add(p.toString());
        }
        Process chown = new ProcessBuilder(command).inheritIO().start();
        assertEquals(0, chown.waitFor(), String.join(" ", command));
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
        private static final String SECOND = copyName(2);
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
            assertEquals(List.of(folder.resolve(DLL), folder.resolve(SECOND)), loaded);
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
                Path damaged;
                try (Stream<Path> s = Files.list(cache)) {
                    damaged = s.filter(p -> !p.getFileName().toString().startsWith(".")).findFirst().orElseThrow()
                            .resolve(DLL);
                }
                byte[] good = Files.readAllBytes(damaged);
                @SuppressWarnings("unchecked")
                byte[] bad = ((java.util.function.UnaryOperator<byte[]>) d[1]).apply(good);
                Files.write(damaged, bad);
                Run run = selfCheck(cache);
                assertEquals(0, run.exit(), d[0] + ":\n" + run.output());
                assertTrue(run.output().contains(damaged + ": ") && run.output().contains((String) d[2]),
                        d[0] + ":\n" + run.output());
                assertEquals(damaged.resolveSibling(SECOND).toString(), run.loadedFile(), d[0] + ":\n" + run.output());
                assertArrayEquals(bad, Files.readAllBytes(damaged), d[0] + ": the damaged file was rewritten");
                assertArrayEquals(good, Files.readAllBytes(damaged.resolveSibling(SECOND)), d[0].toString());
            }
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

    private static void deleteTree(Path root) throws IOException {
        if (!Files.exists(root)) {
            return;
        }
        try (Stream<Path> s = Files.walk(root)) {
            for (Path p : s.sorted(Comparator.reverseOrder()).toList()) {
                Files.delete(p);
            }
        }
    }
}
