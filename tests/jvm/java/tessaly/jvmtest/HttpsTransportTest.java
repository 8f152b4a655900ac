package tessaly.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.InputStream;
import java.lang.invoke.MethodHandle;
import java.net.URI;
import java.net.URL;
import java.net.URLClassLoader;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyStore;
import java.security.cert.Certificate;
import java.security.cert.CertificateFactory;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.BiConsumer;

import javax.net.ssl.SSLContext;
import javax.net.ssl.TrustManagerFactory;

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

/**
 * The seven calls as players make them: over HTTPS with HTTP/2 to the suite's nginx (tests/servers/nginx,
 * started by the ctest fixture; its folder in the system property tessaly.nginx), each request checked in
 * nginx's access log. A row finds its own lines there by their mark: it calls through a base URL of its own,
 * https://127.0.0.1:PORT/t-MARK, whose first path segment the log keeps and nginx's routing drops. nginx
 * writes a request's line once its answer has gone out, so a line may come after the client has its answer
 * and after lines of later requests. The host classes come, as a game's mod loader gives them, from a class
 * loader of their own: a child URLClassLoader of the platform loader holding the host jar (tessaly.hostJar)
 * and the mod's jar (tessaly.modJar), whose class loads the library. This JVM's class path holds neither, so
 * every host class is reached through that loader, by reflection and method handles.
 */
class HttpsTransportTest {
    /** The holder class the library binds on this platform, as tessaly.host.NativeHolder names it. */
    private static String HELPER;

    private static Path nginx;
    private static String base;
    private static SSLContext trust;
    private static URLClassLoader mod;
    private static Class<?> helper;

    /**
     * Meshes written to nginx's folder: name, vertex count, seed. "medium" is above 1 MiB; "large" is above
     * the 16 MiB that the JDK's client lets a stream receive before it must send WINDOW_UPDATE, so its
     * download stalls unless HTTP/2 flow control works both ways.
     */
    private static final Object[][] MESHES = {
        {"tiny", 3, 1}, {"hats/tall/top", 300, 2}, {"medium", 40000, 3}, {"large", 480000, 4},
    };

    @BeforeAll
    static void start() throws Exception {
        nginx = Path.of(System.getProperty("tessaly.nginx"));
        base = Files.readString(nginx.resolve("base-url")).trim();
        trust = trusting(nginx.resolve("conf/tls/server.pem"));
        for (Object[] m : MESHES) {
            Path file = nginx.resolve("www/models/" + m[0] + ".enc");
            Files.createDirectories(file.getParent());
            Files.write(file, MeshFiles.encrypt(MeshFiles.document((String) m[0], (int) m[1], (int) m[2])));
        }
        assertTrue(Files.size(nginx.resolve("www/models/medium.enc")) > 1 << 20);
        assertTrue(Files.size(nginx.resolve("www/models/large.enc")) > 16 << 20);

        mod = new URLClassLoader("mod", new URL[] {jar("tessaly.hostJar"), jar("tessaly.modJar")},
                ClassLoader.getPlatformClassLoader());
        Class.forName("tessaly.jvmmod.ModNatives", true, mod).getMethod("load", String.class)
                .invoke(null, System.getProperty("tessaly.library"));
        HELPER = (String) Class.forName("tessaly.host.NativeHolder", false, mod).getMethod("className").invoke(null);
        helper = Class.forName(HELPER, true, mod);
        useClient(newClient());
    }

    @AfterAll
    static void close() throws Exception {
        if (mod != null) {
            mod.close();
        }
    }

    private static URL jar(String property) throws Exception {
        return Path.of(System.getProperty(property)).toUri().toURL();
    }

    /** An SSLContext trusting only the certificates of a PEM file, as a host pointed at a staging CA has. */
    private static SSLContext trusting(Path pem) throws Exception {
        KeyStore store = KeyStore.getInstance(KeyStore.getDefaultType());
        store.load(null, null);
        try (InputStream in = Files.newInputStream(pem)) {
            int n = 0;
            for (Certificate c : CertificateFactory.getInstance("X.509").generateCertificates(in)) {
                store.setCertificateEntry("ca" + n++, c);
            }
        }
        TrustManagerFactory factory = TrustManagerFactory.getInstance(TrustManagerFactory.getDefaultAlgorithm());
        factory.init(store);
        SSLContext context = SSLContext.getInstance("TLS");
        context.init(null, factory.getTrustManagers(), null);
        return context;
    }

    /**
     * A client as a real host builds it: HTTP/2 preferred (the default), TLS trusting nginx's certificate;
     * the connect timeout as the stand-in host's.
     */
    private static HttpClient newClient() {
        return HttpClient.newBuilder().sslContext(trust).connectTimeout(Duration.ofSeconds(60)).build();
    }

    private static void useClient(HttpClient client) throws Exception {
        helper.getField("HTTP_CLIENT").set(null, client);
    }

    private static final AtomicInteger marks = new AtomicInteger();
    private static final String RUN = Long.toString(System.currentTimeMillis(), 36);

    /** A mark no other request of this run carries: lower-case letters and digits, as nginx.conf expects. */
    private static String mark() {
        return "t-" + RUN + "x" + marks.incrementAndGet();
    }

    /** The base URL whose requests carry the mark. */
    private static String marked(String mark) {
        return base + "/" + mark;
    }

    /**
     * The access log's lines of requests with the mark, once there are at least count of them, as
     * "connection|request line|Content-Length|Content-Type|status" with the mark taken out of the request line.
     */
    private static List<String> logged(String mark, int count) throws Exception {
        String segment = " /" + mark + "/";
        for (long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);; Thread.sleep(20)) {
            List<String> lines = Files.readAllLines(nginx.resolve("logs/access.log")).stream()
                    .filter(l -> l.contains(segment)).map(l -> l.replace(segment, " /")).toList();
            if (lines.size() >= count || System.nanoTime() > deadline) {
                return lines;
            }
        }
    }

    /** The log lines without their connection number. */
    private static List<String> requests(List<String> lines) {
        return lines.stream().map(l -> l.substring(l.indexOf('|') + 1)).toList();
    }

    private static Object meshGet(Object mesh, String accessor) throws Exception {
        return mesh.getClass().getMethod(accessor).invoke(mesh);
    }

    /** Loads a mesh on this thread; returns the one callback call's {mesh, failure}. */
    private static Object[] loadMesh(String base, String name) throws Throwable {
        List<Object[]> calls = new ArrayList<>();
        BiConsumer<Object, Throwable> callback = (mesh, failure) -> calls.add(new Object[] {mesh, failure, Thread.currentThread()});
        Route.named("loadRemoteMesh").call(helper, callback, base, name);
        assertEquals(1, calls.size(), name + ": callback calls");
        assertSame(Thread.currentThread(), calls.get(0)[2], name + ": callback thread");
        return calls.get(0);
    }

    @Test
    void hostClassesAndLibraryLiveInTheModLoaderOnly() throws Throwable {
        assertSame(mod, helper.getClassLoader());
        for (String name : List.of(HELPER, "quenby.tessaly.api.asset.JsonAssetLoader",
                "quenby.tessaly.api.client.model.Mesh", "tessaly.jvmmod.ModNatives")) {
            assertThrows(ClassNotFoundException.class, () -> Class.forName(name, false, HttpsTransportTest.class.getClassLoader()), name);
            assertSame(mod, Class.forName(name, false, mod).getClassLoader(), name);
        }
        // The library belongs to the mod's loader: the same host class in another loader finds no natives.
        try (URLClassLoader other = new URLClassLoader("other", new URL[] {jar("tessaly.hostJar")},
                ClassLoader.getPlatformClassLoader())) {
            Class<?> stranger = Class.forName(HELPER, true, other);
            MethodHandle signIn = Route.named("signIn").in(stranger);
            BiConsumer<Object, Throwable> never = (r, f) -> {
                throw new AssertionError("called");
            };
            assertThrows(UnsatisfiedLinkError.class, () -> signIn.invoke(base, "u", "c", never));
        }
    }

    @Test
    void eachCallArrivesAsItsRequestLineOverHttp2() throws Throwable {
        for (Route r : Route.ACCOUNT) {
            String mark = mark();
            String[] values = new String[r.values()];
            for (int i = 0; i < values.length; i++) {
                values[i] = r.method() + i;
            }
            String expected = r.requestLine(values) + " HTTP/2.0|-|-|200";
            if (r.httpMethod().equals("POST")) {
                // Counted in bytes of UTF-8, not in characters.
                values[0] = "{\"selection\":{\"cape\":\"Grüße €\"}}";
                expected = r.requestLine() + " HTTP/2.0|" + values[0].getBytes(StandardCharsets.UTF_8).length
                        + "|application/json|200";
            }
            Outcome o = new Outcome();
            r.call(helper, o, Route.strings(marked(mark), values));
            o.await();
            assertNull(o.failure, r.method());
            assertEquals(HttpClient.Version.HTTP_2, o.response.version(), r.method());
            assertEquals(200, o.response.statusCode(), r.method());
            assertTrue(o.response.body().startsWith("{\"status\":"), r.method());
            assertEquals(List.of(expected), requests(logged(mark, 1)), r.method());
            assertEquals(1, o.calls.get(), r.method());
        }
        String mark = mark();
        Object[] got = loadMesh(marked(mark), "tiny");
        assertNull(got[1]);
        assertEquals(List.of(Route.named("loadRemoteMesh").requestLine("tiny") + " HTTP/2.0|-|-|200"),
                requests(logged(mark, 1)));
    }

    @Test
    void meshesOfEverySizeLoadAsServed() throws Throwable {
        for (Object[] m : MESHES) {
            String name = (String) m[0];
            int vertexCount = (int) m[1];
            int seed = (int) m[2];
            Object[] got = loadMesh(base, name);
            assertNull(got[1], () -> name + ": " + got[1]);
            Object mesh = got[0];
            assertSame(mod, mesh.getClass().getClassLoader(), name);
            assertEquals(name, meshGet(mesh, "name"));
            assertEquals(vertexCount, meshGet(mesh, "vertexCount"), name);
            float[] positions = (float[]) meshGet(mesh, "positions");
            for (int v = 0; v < vertexCount; v++) {
                for (int c = 0; c < 3; c++) {
                    if (Float.parseFloat(MeshFiles.coordinate(seed, v, c)) != positions[v * 3 + c]) {
                        assertEquals(Float.parseFloat(MeshFiles.coordinate(seed, v, c)), positions[v * 3 + c],
                                name + " v" + v + " c" + c);
                    }
                }
            }
            assertEquals(3 * (vertexCount - 2), ((int[]) meshGet(mesh, "indices")).length, name);
        }
        // What the operators' configuration promises for a mesh file, fetched the way the library does.
        Path file = nginx.resolve("www/models/medium.enc");
        HttpResponse<byte[]> direct = newClient().send(HttpRequest.newBuilder(URI.create(base + "/models/medium.enc")).build(),
                HttpResponse.BodyHandlers.ofByteArray());
        assertEquals(200, direct.statusCode());
        assertEquals(HttpClient.Version.HTTP_2, direct.version());
        assertEquals(List.of("application/octet-stream"), direct.headers().allValues("content-type"));
        assertEquals(List.of("public, max-age=3600"), direct.headers().allValues("cache-control"));
        assertArrayEquals(Files.readAllBytes(file), direct.body());
    }

    @Test
    void missingMeshThrowsWithNginxsErrorBody() throws Throwable {
        for (String name : new String[] {"no_such_mesh", "hats/none", ""}) {
            String url = base + "/models/" + name + ".enc";
            HttpResponse<byte[]> direct = newClient().send(HttpRequest.newBuilder(URI.create(url)).build(),
                    HttpResponse.BodyHandlers.ofByteArray());
            byte[] body = direct.body();
            int end = 0;
            while (end < body.length && body[end] != 0) {
                end++;
            }
            String expected = direct.statusCode() + " " + new String(body, 0, end, StandardCharsets.UTF_8);
            assertEquals(404, direct.statusCode(), url);
            assertEquals(List.of(), direct.headers().allValues("cache-control"), "a 404 is not to be cached");
            assertTrue(expected.contains("404 Not Found"), expected);

            // The fetch above has a line of its own, without the mark.
            String mark = mark();
            List<Object> calls = Collections.synchronizedList(new ArrayList<>());
            BiConsumer<Object, Throwable> callback = (mesh, failure) -> calls.add(failure);
            IllegalStateException e = assertThrows(IllegalStateException.class,
                    () -> Route.named("loadRemoteMesh").call(helper, callback, marked(mark), name), url);
            assertEquals(expected, e.getMessage());
            assertEquals(List.of(), calls);
            assertEquals(List.of(Route.named("loadRemoteMesh").requestLine(name) + " HTTP/2.0|-|-|404"),
                    requests(logged(mark, 1)));
        }
    }

    @Test
    void concurrentCallersShareOneConnectionEachCallbackOnce() throws Throwable {
        final int threads = 8;
        final int perThread = 50;
        // A fresh client whose connection is open before the burst (callers that find no connection yet
        // would each open one): every request of this test should then go over that one connection.
        useClient(newClient());
        String mark = mark();
        String marked = marked(mark);
        Outcome first = new Outcome();
        Route.named("getPlayerSkinInfo").call(helper, first, marked, "warm-up");
        assertEquals(HttpClient.Version.HTTP_2, first.await().response.version());
        AtomicInteger unexpected = new AtomicInteger();
        List<String> expected = Collections.synchronizedList(new ArrayList<>());
        expected.add(Route.named("getPlayerSkinInfo").requestLine("warm-up") + " HTTP/2.0|-|-|200");
        try {
            ConcurrentCallers.run(threads, perThread, (id, done) -> {
                Route r = Route.ALL.get(id % Route.ALL.size());
                if (r.method().equals("loadRemoteMesh")) {
                    // 1.5 MB meshes among the calls: 85 MB on the connection, several times its
                    // flow-control window, while the small exchanges go on beside them.
                    expected.add(r.requestLine("medium") + " HTTP/2.0|-|-|200");
                    Object[] got = loadMesh(marked, "medium");
                    if (got[1] != null || !"medium".equals(meshGet(got[0], "name"))) {
                        unexpected.incrementAndGet();
                    }
                    done.run();
                    return;
                }
                String[] values = new String[r.values()];
                Arrays.fill(values, "id" + id);
                if (r.httpMethod().equals("POST")) {
                    values[0] = "{\"id\":" + id + "}";
                    expected.add(r.requestLine() + " HTTP/2.0|" + values[0].length() + "|application/json|200");
                } else {
                    expected.add(r.requestLine(values) + " HTTP/2.0|-|-|200");
                }
                BiConsumer<HttpResponse<String>, Throwable> callback = (response, failure) -> {
                    if (failure != null || response.statusCode() != 200
                            || response.version() != HttpClient.Version.HTTP_2) {
                        unexpected.incrementAndGet();
                    }
                    done.run();
                };
                r.call(helper, callback, Route.strings(marked, values));
            });
        } finally {
            useClient(newClient());
        }
        assertEquals(0, unexpected.get());
        List<String> lines = logged(mark, 1 + threads * perThread);
        List<String> connections = lines.stream().map(l -> l.substring(0, l.indexOf('|'))).distinct().toList();
        assertEquals(1, connections.size(), () -> "nginx connection numbers: " + connections);
        List<String> sent = new ArrayList<>(requests(lines));
        List<String> wanted = new ArrayList<>(expected);
        Collections.sort(sent);
        Collections.sort(wanted);
        assertEquals(wanted, sent);
    }
}
