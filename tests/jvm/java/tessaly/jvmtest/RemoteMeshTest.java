package tessaly.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.net.ConnectException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.function.BiConsumer;
import java.util.regex.Pattern;

import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

import quenby.tessaly.api.client.model.Mesh;
import tessaly.host.NativeHolder;
import tessaly.service.RecordedRequest;
import tessaly.service.ReferenceService;

/** loadRemoteMesh against the reference service: the download, its decryption and every failure's place. */
class RemoteMeshTest extends ServiceSuite {
    @TempDir
    static Path models;

    /** The callback: records each call and the thread it ran on. */
    static final class Calls implements BiConsumer<Mesh, Throwable> {
        final List<Object[]> calls = new ArrayList<>();

        @Override
        public synchronized void accept(Mesh mesh, Throwable failure) {
            calls.add(new Object[] {mesh, failure, Thread.currentThread()});
        }

        /** The one call's mesh; fails unless there was exactly one call, a success, on the calling thread. */
        synchronized Mesh mesh() {
            assertEquals(1, calls.size(), "callback calls");
            assertSame(Thread.currentThread(), calls.get(0)[2], "callback thread");
            assertNull(calls.get(0)[1], () -> "failure: " + calls.get(0)[1]);
            assertNotNull(calls.get(0)[0], "mesh");
            return (Mesh) calls.get(0)[0];
        }

        /** The one call's throwable; fails unless there was exactly one call, accept(null, t), on this thread. */
        synchronized Throwable failure() {
            assertEquals(1, calls.size(), "callback calls");
            assertSame(Thread.currentThread(), calls.get(0)[2], "callback thread");
            assertNull(calls.get(0)[0], "mesh");
            assertNotNull(calls.get(0)[1], "failure");
            return (Throwable) calls.get(0)[1];
        }
    }

    @BeforeAll
    static void start() throws IOException {
        Files.write(models.resolve("strip.enc"), MeshFiles.encrypt(MeshFiles.document("strip", 40, 1)));
        Files.createDirectories(models.resolve("hats/tall"));
        Files.write(models.resolve("hats/tall/top hat.enc"), MeshFiles.encrypt(MeshFiles.document("top", 5, 2)));
        startService(models);
    }

    /** Calls loadRemoteMesh; anything thrown out of it fails the test unless the caller expects it. */
    private static Calls load(String baseUrl, String name) {
        Calls calls = new Calls();
        NativeHolder.loadRemoteMesh(baseUrl, name, calls);
        return calls;
    }

    private static void assertMeshIs(Mesh mesh, String name, int vertexCount, int seed) {
        assertEquals(name, mesh.name());
        assertEquals(vertexCount, mesh.vertexCount());
        float[] positions = mesh.positions();
        for (int v = 0; v < vertexCount; v++) {
            for (int c = 0; c < 3; c++) {
                assertEquals(Float.parseFloat(MeshFiles.coordinate(seed, v, c)), positions[v * 3 + c], "v" + v + "c" + c);
            }
        }
        int[] indices = mesh.indices();
        assertEquals(3 * (vertexCount - 2), indices.length);
        for (int i = 0; i < indices.length; i++) {
            assertEquals(i / 3 + i % 3, indices[i]);
        }
    }

    private static List<String> requestLines() {
        return service.requests().stream().map(RecordedRequest::requestLine).toList();
    }

    @Test
    void loadsAMeshFromModelsNameEncAlsoBelowSubfolders() {
        assertMeshIs(load(base, "strip").mesh(), "strip", 40, 1);
        // The name is inserted verbatim: "/" gives subfolders, "%20" stays as sent and the service decodes it.
        assertMeshIs(load(base, "hats/tall/top%20hat").mesh(), "top", 5, 2);
        assertEquals(List.of("GET /models/strip.enc", "GET /models/hats/tall/top%20hat.enc"), requestLines());
    }

    @Test
    void everyDocumentLengthAroundABlockDecryptsWhole() throws IOException {
        // Trailing blanks move the document's end through every position of its last block, including the
        // lengths that are a multiple of 16 and get a whole block of padding.
        String doc = MeshFiles.document("pad", 3, 7);
        for (int extra = 0; extra < 17; extra++) {
            String name = "pad" + extra;
            Files.write(models.resolve(name + ".enc"), MeshFiles.encrypt(doc + " ".repeat(extra)));
            assertMeshIs(load(base, name).mesh(), "pad", 3, 7);
        }
    }

    @Test
    void plaintextIsCutAtItsFirstZeroByte() throws IOException {
        // A zero byte inside the last block is kept by the decryption; what follows it must not reach the loader,
        // which rejects a document followed by anything.
        byte[] doc = MeshFiles.document("cut", 3, 3).getBytes(StandardCharsets.UTF_8);
        byte[] data = new byte[doc.length + 3];
        System.arraycopy(doc, 0, data, 0, doc.length);
        data[doc.length] = 0;
        data[doc.length + 1] = 'x';
        data[doc.length + 2] = '}';
        Files.write(models.resolve("zero.enc"), MeshFiles.encrypt(data));
        assertMeshIs(load(base, "zero").mesh(), "cut", 3, 3);
    }

    @Test
    void anyStatusButOkIsThrownToTheCallerAndTheCallbackIsNotCalled() {
        Object[][] cases = {
            {404, "not found".getBytes(StandardCharsets.UTF_8), "404 not found"},
            {201, "made".getBytes(StandardCharsets.UTF_8), "201 made"},
            {304, new byte[0], "304 "},
            {500, "bad\0hidden".getBytes(StandardCharsets.UTF_8), "500 bad"},
            {503, "\0after".getBytes(StandardCharsets.UTF_8), "503 "},
            {403, "caf\u00e9 \uD83D\uDE00 \u20ac".getBytes(StandardCharsets.UTF_8), "403 caf\u00e9 \uD83D\uDE00 \u20ac"},
            {400, new byte[] {'a', (byte) 0xff, 'b', (byte) 0xc3}, "400 a\uFFFDb\uFFFD"},
            // A cut sequence, an encoded surrogate, one past U+10FFFF: as the JVM's UTF-8 decoder reads them.
            {400, new byte[] {(byte) 0xe2, (byte) 0x82, 'A', (byte) 0xed, (byte) 0xa0, (byte) 0x80, (byte) 0xf4,
                (byte) 0x90, (byte) 0x80, (byte) 0x80},
                "400 " + new String(new byte[] {(byte) 0xe2, (byte) 0x82, 'A', (byte) 0xed, (byte) 0xa0, (byte) 0x80,
                    (byte) 0xf4, (byte) 0x90, (byte) 0x80, (byte) 0x80}, StandardCharsets.UTF_8)},
        };
        for (Object[] c : cases) {
            service.respond("/models/err.enc", (int) c[0], (byte[]) c[1], "text/plain");
            Calls calls = new Calls();
            IllegalStateException e = assertThrows(IllegalStateException.class,
                    () -> NativeHolder.loadRemoteMesh(base, "err", calls));
            assertEquals(c[2], e.getMessage());
            assertTrue(calls.calls.isEmpty(), "callback called for status " + c[0]);
        }
        // A missing file is the service's own 404.
        IllegalStateException e = assertThrows(IllegalStateException.class, () -> load(base, "nothing/here"));
        assertEquals("404 not found", e.getMessage());
    }

    @Test
    void failuresReachTheCallbackOnceAndNothingIsThrown() throws IOException {
        byte[] good = MeshFiles.encrypt(MeshFiles.document("g", 4, 4));
        // Not a whole number of blocks: decrypts to nothing, so the loader sees an empty document.
        service.respond("/models/odd.enc", 200, java.util.Arrays.copyOf(good, good.length - 1), "application/octet-stream");
        assertEmptyDocument(load(base, "odd").failure());
        // An empty body: an empty document.
        service.respond("/models/empty.enc", 200, new byte[0], "application/octet-stream");
        assertEmptyDocument(load(base, "empty").failure());
        // Damaged last block (no 0x80 marker): the earlier blocks arrive, the document is cut short.
        byte[] doc = MeshFiles.document("d", 4, 4).getBytes(StandardCharsets.UTF_8);
        byte[] unpadded = java.util.Arrays.copyOf(doc, (doc.length + 15) / 16 * 16);
        Files.write(models.resolve("nomarker.enc"), MeshFiles.encryptBlocks(unpadded));
        Throwable cut = load(base, "nomarker").failure();
        assertInstanceOf(IllegalArgumentException.class, cut);
        assertTrue(cut.getMessage().contains("unexpected end of document"), cut.getMessage());
        // Well encrypted, but not a mesh document.
        Files.write(models.resolve("notjson.enc"), MeshFiles.encrypt("{\"name\":\"x\",\"vertices\":[[1,2]],\"indices\":[]}"));
        assertInstanceOf(IllegalArgumentException.class, load(base, "notjson").failure());
        // Indices that name no vertex: the loader validates, since loadMesh is called with true.
        Files.write(models.resolve("badindex.enc"), MeshFiles.encrypt("{\"name\":\"x\",\"vertices\":[[1,2,3]],\"indices\":[0,0,1]}"));
        assertTrue(load(base, "badindex").failure().getMessage().contains("missing vertex"));
        // The body breaks off mid-read: the IOException of readAllBytes.
        service.respondTruncated("/models/cut.enc", 200, java.util.Arrays.copyOf(good, 32), 4096);
        assertInstanceOf(IOException.class, load(base, "cut").failure());
        // Nothing listens: the connection is refused.
        assertInstanceOf(ConnectException.class, load(ReferenceService.refusedBaseUrl(), "strip").failure());
        // A base URL that java.net.URI rejects, and one that HttpClient rejects (no http scheme).
        assertInstanceOf(IllegalArgumentException.class, load("http://127.0.0.1:" + service.port() + "/a b", "strip").failure());
        assertInstanceOf(IllegalArgumentException.class, load("ftp://127.0.0.1:" + service.port(), "strip").failure());
        // The service still answers after all that, with a whole mesh.
        assertMeshIs(load(base, "strip").mesh(), "strip", 40, 1);
    }

    private static void assertEmptyDocument(Throwable failure) {
        assertInstanceOf(IllegalArgumentException.class, failure);
        assertTrue(failure.getMessage().contains("at offset 0: unexpected end of document"), failure.getMessage());
    }

    @Test
    void aCallbackThatThrowsPassesItsExceptionToTheCaller() {
        RuntimeException boom = new RuntimeException("from the callback");
        assertSame(boom, assertThrows(RuntimeException.class,
                () -> NativeHolder.loadRemoteMesh(base, "strip", (m, t) -> {
                    throw boom;
                })));
        // Also when the callback is handed a failure: it sees it, and only its own exception comes out.
        List<Throwable> seen = new ArrayList<>();
        assertSame(boom, assertThrows(RuntimeException.class,
                () -> NativeHolder.loadRemoteMesh(base + "/a b", "strip", (m, t) -> {
                    seen.add(t);
                    throw boom;
                })));
        assertEquals(1, seen.size());
        assertInstanceOf(IllegalArgumentException.class, seen.get(0));
    }

    @Test
    void nullArgumentsThrowAndSendNothing() {
        Calls calls = new Calls();
        NullPointerException e = assertThrows(NullPointerException.class,
                () -> NativeHolder.loadRemoteMesh(null, "strip", calls));
        assertEquals("baseUrl must not be null", e.getMessage());
        e = assertThrows(NullPointerException.class, () -> NativeHolder.loadRemoteMesh(base, null, calls));
        assertEquals("meshName must not be null", e.getMessage());
        e = assertThrows(NullPointerException.class, () -> NativeHolder.loadRemoteMesh(base, "strip", null));
        assertEquals("callback must not be null", e.getMessage());
        assertTrue(calls.calls.isEmpty());
        assertEquals(0, service.requestCount());
    }

    @Test
    void fourThreadsLoadDifferentMeshesAtOnce() throws Exception {
        int threads = 4;
        for (int i = 0; i < threads; i++) {
            Files.write(models.resolve("par" + i + ".enc"), MeshFiles.encrypt(MeshFiles.document("par" + i, 3000 + i, 10 + i)));
        }
        ExecutorService pool = Executors.newFixedThreadPool(threads);
        try {
            CyclicBarrier barrier = new CyclicBarrier(threads);
            List<Future<?>> done = new ArrayList<>();
            for (int i = 0; i < threads; i++) {
                int n = i;
                done.add(pool.submit(() -> {
                    for (int round = 0; round < 5; round++) {
                        barrier.await(20, TimeUnit.SECONDS);
                        assertMeshIs(load(base, "par" + n).mesh(), "par" + n, 3000 + n, 10 + n); // checks the thread
                    }
                    return null;
                }));
            }
            for (Future<?> f : done) {
                f.get(120, TimeUnit.SECONDS);
            }
        } finally {
            pool.shutdownNow();
        }
        assertEquals(20, service.requestCount());
    }

    @Test
    void badPaddingPrintsItsLineOnStandardOutputBeforeTheCallbackRuns() throws Exception {
        byte[] zeros = new byte[32]; // a last block of zero bytes has no marker
        byte[] data = MeshFiles.document("z", 3, 1).substring(0, 16).getBytes(StandardCharsets.UTF_8);
        System.arraycopy(data, 0, zeros, 0, 16);
        Files.write(models.resolve("zeros.enc"), MeshFiles.encryptBlocks(zeros));
        assertEquals(List.of("Padding error: 0x80 not found.",
                "callback mesh=null failure=java.lang.IllegalArgumentException", "returned"), meshChild("zeros"));
    }

    @Test
    @Tag("heap")
    void theBodysJavaArrayIsGoneBeforeTheLoaderRuns() throws Exception {
        // 41.6 MB of document. While the callback runs, the download still holds the text it handed the
        // loader (its Java array, and the loader's own copy): twice the body. Its Java array of the body,
        // once the body is copied out, would be a third time.
        byte[] file = MeshFiles.encrypt(MeshFiles.document("blank", 3, 5) + " ".repeat(41_600_000));
        Files.write(models.resolve("blank.enc"), file);
        List<String> out = meshChild("blank", "heap");
        assertTrue(out.size() == 3 && out.get(1).startsWith("heap held: "), String.join("\n", out));
        assertEquals(List.of("callback mesh=blank failure=null", "returned"), List.of(out.get(0), out.get(2)));
        long held = Long.parseLong(out.get(1).substring("heap held: ".length()));
        assertTrue(held < file.length * 5L / 2, "the download held " + held + " bytes of heap for a body of "
                + file.length + " bytes during its callback");
    }

    /** MeshChild's output lines for the mesh name (and its further arguments) in a JVM of its own. */
    private static List<String> meshChild(String... arguments) throws Exception {
        String javaExe = System.getProperty("tessaly.java",
                Path.of(System.getProperty("java.home"), "bin", "java").toString());
        String classPath = jarOf(MeshChild.class) + java.io.File.pathSeparator + jarOf(Mesh.class);
        // Native access granted as the host developers' guide says (JDK 24 and later warn without it).
        List<String> command = new ArrayList<>(List.of(javaExe, "-Xcheck:jni", "--enable-native-access=ALL-UNNAMED",
                "-cp", classPath, MeshChild.class.getName(), System.getProperty("tessaly.library"), base));
        command.addAll(List.of(arguments));
        Process child = new ProcessBuilder(command).redirectErrorStream(true).start();
        String out = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(child.waitFor(60, TimeUnit.SECONDS));
        assertEquals(0, child.exitValue(), out);
        assertFalse(Pattern.compile(System.getProperty("tessaly.jniFail", "WARNING")).matcher(out).find(), out);
        // A JVM given JAVA_TOOL_OPTIONS (the Windows JVM under wine is) says so first; that line is the JVM's.
        return out.lines().filter(l -> !l.startsWith("Picked up JAVA_TOOL_OPTIONS:")).toList();
    }

    private static String jarOf(Class<?> c) throws Exception {
        return Path.of(c.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
    }
}
