package tessaly.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.InputStream;
import java.lang.invoke.MethodHandle;
import java.lang.invoke.MethodHandles;
import java.lang.invoke.MethodType;
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
 * nginx's access log. The host classes come, as a game's mod loader gives them, from a class loader of
 * their own: a child URLClassLoader of the platform loader holding the host jar (tessaly.hostJar) and the
 * mod's jar (tessaly.modJar), whose class loads the library. This JVM's class path holds neither, so every
 * host class is reached through that loader, by reflection and method handles.
 */
class HttpsTransportTest {
    /** The holder class the library binds on this platform, as tessaly.host.NativeHolder names it. */
    private static String HELPER;

    private static Path nginx;
    private static String base;
    private static SSLContext trust;
    private static URLClassLoader mod;
    private static Class<?> helper;

    /** A native method: its name, the request line template ({} per value, in order), its string parameters. */
    private record Route(String method, String requestLine, int values) {
    }

    private static final List<Route> ROUTES = List.of(
            new Route("signIn", "GET /login_code?mr_uuid={}&code={}", 2),
            new Route("autoLogin", "GET /auto_login?mr_uuid={}&access_token={}&refresh_token={}&provider={}", 4),
            new Route("getAvailableCosmetics",
                    "GET /member/cosmetics?morrow_uuid={}&access_token={}&refresh_token={}&provider={}", 4),
            new Route("saveConfiguration", "POST /member/update_cosmetic", 1),
            new Route("getPlayerSkinInfo", "GET /cosmetic/user_cosmetic?mr_uuid={}", 1),
            new Route("signOut", "GET /logout?mr_uuid={}&access_token={}&refresh_token={}&provider={}", 4));

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

    /** Calls a native method of the host class in the mod's loader; its exceptions come out unwrapped. */
    private static void invoke(String method, Object... args) throws Throwable {
        Class<?>[] types = new Class<?>[args.length];
        Arrays.fill(types, String.class);
        types[args.length - 1] = BiConsumer.class;
        MethodHandle handle = MethodHandles.publicLookup().findStatic(helper, method, MethodType.methodType(void.class, types));
        handle.invokeWithArguments(args);
    }

    private static Object[] arguments(String[] values, Object callback) {
        Object[] args = new Object[values.length + 2];
        args[0] = base;
        System.arraycopy(values, 0, args, 1, values.length);
        args[args.length - 1] = callback;
        return args;
    }

    private static String requestLine(Route r, String[] values) {
        String line = r.requestLine();
        for (String v : values) {
            line = line.replaceFirst("\\{\\}", java.util.regex.Matcher.quoteReplacement(v));
        }
        return line;
    }

    /** The access log's lines: "connection|request line|Content-Length|Content-Type|status". */
    private static List<String> log() throws Exception {
        return Files.readAllLines(nginx.resolve("logs/access.log"));
    }

    /** The lines logged after the first `from`, once there are at least `count` of them (nginx logs after answering). */
    private static List<String> logAfter(int from, int count) throws Exception {
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
        List<String> lines = log();
        while (lines.size() < from + count && System.nanoTime() < deadline) {
            Thread.sleep(20);
            lines = log();
        }
        return lines.subList(from, lines.size());
    }

    /** The log lines without their connection number. */
    private static List<String> requests(List<String> lines) {
        return lines.stream().map(l -> l.substring(l.indexOf('|') + 1)).toList();
    }

    private static Object meshGet(Object mesh, String accessor) throws Exception {
        return mesh.getClass().getMethod(accessor).invoke(mesh);
    }

    /** Loads a mesh on this thread; returns the one callback call's {mesh, failure}. */
    private static Object[] loadMesh(String name) throws Throwable {
        List<Object[]> calls = new ArrayList<>();
        BiConsumer<Object, Throwable> callback = (mesh, failure) -> calls.add(new Object[] {mesh, failure, Thread.currentThread()});
        invoke("loadRemoteMesh", base, name, callback);
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
            MethodHandle signIn = MethodHandles.publicLookup().findStatic(stranger, "signIn",
                    MethodType.methodType(void.class, String.class, String.class, String.class, BiConsumer.class));
            BiConsumer<Object, Throwable> never = (r, f) -> {
                throw new AssertionError("called");
            };
            assertThrows(UnsatisfiedLinkError.class, () -> signIn.invoke(base, "u", "c", never));
        }
    }

    @Test
    void eachCallArrivesAsItsRequestLineOverHttp2() throws Throwable {
        String nonce = Long.toString(System.nanoTime(), 36);
        for (Route r : ROUTES) {
            String[] values = new String[r.values()];
            for (int i = 0; i < values.length; i++) {
                values[i] = r.method() + i + "-" + nonce;
            }
            String expected = requestLine(r, values) + " HTTP/2.0|-|-|200";
            if (r.method().equals("saveConfiguration")) {
                // Counted in bytes of UTF-8, not in characters.
                values[0] = "{\"selection\":{\"cape\":\"Grüße €\"},\"nonce\":\"" + nonce + "\"}";
                expected = r.requestLine() + " HTTP/2.0|" + values[0].getBytes(StandardCharsets.UTF_8).length
                        + "|application/json|200";
            }
            int mark = log().size();
            Outcome o = new Outcome();
            invoke(r.method(), arguments(values, o));
            o.await();
            assertNull(o.failure, r.method());
            assertEquals(HttpClient.Version.HTTP_2, o.response.version(), r.method());
            assertEquals(200, o.response.statusCode(), r.method());
            assertTrue(o.response.body().startsWith("{\"status\":"), r.method());
            assertEquals(List.of(expected), requests(logAfter(mark, 1)), r.method());
            assertEquals(1, o.calls.get(), r.method());
        }
        int mark = log().size();
        Object[] got = loadMesh("tiny");
        assertNull(got[1]);
        assertEquals(List.of("GET /models/tiny.enc HTTP/2.0|-|-|200"), requests(logAfter(mark, 1)));
    }

    @Test
    void meshesOfEverySizeLoadAsServed() throws Throwable {
        for (Object[] m : MESHES) {
            String name = (String) m[0];
            int vertexCount = (int) m[1];
            int seed = (int) m[2];
            Object[] got = loadMesh(name);
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

            int mark = log().size();
            List<Object> calls = Collections.synchronizedList(new ArrayList<>());
            BiConsumer<Object, Throwable> callback = (mesh, failure) -> calls.add(failure);
            IllegalStateException e = assertThrows(IllegalStateException.class, () -> invoke("loadRemoteMesh", base, name, callback), url);
            assertEquals(expected, e.getMessage());
            assertEquals(List.of(), calls);
            assertEquals(List.of("GET /models/" + name + ".enc HTTP/2.0|-|-|404"), requests(logAfter(mark, 1)));
        }
    }

    @Test
    void concurrentCallersShareOneConnectionEachCallbackOnce() throws Throwable {
        final int threads = 8;
        final int perThread = 50;
        // A fresh client whose connection is open before the burst (callers that find no connection yet
        // would each open one): every request of this test should then go over that one connection.
        useClient(newClient());
        int mark = log().size();
        Outcome first = new Outcome();
        invoke("getPlayerSkinInfo", base, "warm-up", first);
        assertEquals(HttpClient.Version.HTTP_2, first.await().response.version());
        AtomicInteger unexpected = new AtomicInteger();
        List<String> expected = Collections.synchronizedList(new ArrayList<>());
        try {
            ConcurrentCallers.run(threads, perThread, (id, done) -> {
                if (id % 7 == 6) {
                    // 1.5 MB meshes among the calls: 85 MB on the connection, several times its
                    // flow-control window, while the small exchanges go on beside them.
                    expected.add("GET /models/medium.enc HTTP/2.0|-|-|200");
                    Object[] got = loadMesh("medium");
                    if (got[1] != null || !"medium".equals(meshGet(got[0], "name"))) {
                        unexpected.incrementAndGet();
                    }
                    done.run();
                    return;
                }
                Route r = ROUTES.get(id % 7);
                String[] values = new String[r.values()];
                Arrays.fill(values, "id" + id);
                if (r.method().equals("saveConfiguration")) {
                    values[0] = "{\"id\":" + id + "}";
                    expected.add(r.requestLine() + " HTTP/2.0|" + values[0].length() + "|application/json|200");
                } else {
                    expected.add(requestLine(r, values) + " HTTP/2.0|-|-|200");
                }
                BiConsumer<HttpResponse<String>, Throwable> callback = (response, failure) -> {
                    if (failure != null || response.statusCode() != 200
                            || response.version() != HttpClient.Version.HTTP_2) {
                        unexpected.incrementAndGet();
                    }
                    done.run();
                };
                invoke(r.method(), arguments(values, callback));
            });
        } finally {
            useClient(newClient());
        }
        assertEquals(0, unexpected.get());
        List<String> logged = logAfter(mark, 1 + threads * perThread);
        assertEquals("GET /cosmetic/user_cosmetic?mr_uuid=warm-up HTTP/2.0|-|-|200", requests(logged).get(0));
        List<String> connections = logged.stream().map(l -> l.substring(0, l.indexOf('|'))).distinct().toList();
        assertEquals(1, connections.size(), () -> "nginx connection numbers: " + connections);
        List<String> lines = logged.subList(1, logged.size());
        List<String> sent = new ArrayList<>(requests(lines));
        List<String> wanted = new ArrayList<>(expected);
        Collections.sort(sent);
        Collections.sort(wanted);
        assertEquals(wanted, sent);
    }
}
