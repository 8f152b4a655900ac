package tessaly.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
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

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

import tessaly.service.ReferenceService;

/**
 * The natives jar (system property tessaly.nativesJar) and its loader, tessaly.natives.NativeLoader, as game
 * hosts use them: in this JVM, the loader's classes in one child class loader and the host's classes (the host
 * jar, tessaly.hostJar, and a mod class calling the loader, tessaly.nativesModJar) in another, once per mod;
 * in child JVMs (tessaly.java, with -Xcheck:jni), the jar's self-check over cache folders made to fail in each
 * way the loader must survive. Scratch folders go under tessaly.cacheDir.
 */
class NativeLoaderTest {
    private static final String HELPER = "quenby.tessaly.client.online.TessalyServerConnectionHelper";
    private static final String LIBRARY = "libTrialworks.so";

    private static Path jar;
    private static Path scratch;
    private static ReferenceService service;
    private static final List<URLClassLoader> loaders = new ArrayList<>();

    @BeforeAll
    static void start() throws IOException {
        jar = Path.of(System.getProperty("tessaly.nativesJar"));
        scratch = Path.of(System.getProperty("tessaly.cacheDir"));
        deleteTree(scratch);
        Files.createDirectories(scratch.resolve("models"));
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
            URLClassLoader natives = keep(new URLClassLoader("natives-" + mod, new URL[] {url(jar)},
                    ClassLoader.getPlatformClassLoader()));
            URLClassLoader host = keep(new URLClassLoader("host-" + mod, new URL[] {
                url(Path.of(System.getProperty("tessaly.hostJar"))),
                url(Path.of(System.getProperty("tessaly.nativesModJar")))}, natives));
            assertSame(natives, Class.forName("tessaly.natives.NativeLoader", false, host).getClassLoader());
            Method load = Class.forName("tessaly.jvmmod.NativesMod", true, host).getMethod("load");
            String file = (String) load.invoke(null);
            assertEquals(file, load.invoke(null), "a second call from the same class loader");
            loaded.add(file);
            Class<?> helper = Class.forName(HELPER, true, host);
            assertSame(host, helper.getClassLoader());
            callAll(helper, "mod " + mod);
        }
        Path folder = Path.of(loaded.get(0)).getParent();
        assertEquals(List.of(folder.resolve(LIBRARY).toString(), folder.resolve("libTrialworks-2.so").toString()), loaded);
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
        List<String> command = new ArrayList<>(List.of(System.getProperty("tessaly.java",
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
            Run run = selfCheck(cache, props);
            assertEquals(c.exit, run.exit(), c.name + ":\n" + run.output());
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

    @Test
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
            assertEquals(damaged.resolveSibling("libTrialworks-2.so").toString(), run.loadedFile(), d[0].toString());
            assertArrayEquals((byte[]) d[1], Files.readAllBytes(damaged), d[0] + ": the damaged file was rewritten");
            assertArrayEquals(good, Files.readAllBytes(damaged.resolveSibling("libTrialworks-2.so")), d[0].toString());
        }
    }

    @Test
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

    private static byte[] flipped(byte[] data, int at) {
        byte[] copy = data.clone();
        copy[at] ^= 0x40;
        return copy;
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
