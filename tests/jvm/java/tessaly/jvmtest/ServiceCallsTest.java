package tessaly.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.net.ConnectException;
import java.net.URI;
import java.net.http.HttpClient;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ConcurrentSkipListMap;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.ForkJoinPool;
import java.util.function.BiConsumer;
import java.util.regex.Pattern;

import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

import tessaly.host.NativeHolder;
import tessaly.service.RecordedRequest;
import tessaly.service.ReferenceService;

/** The six account and cosmetics calls as the host makes them, against the reference service. */
class ServiceCallsTest extends ServiceSuite {

    @BeforeAll
    static void start() throws Exception {
        startService(null);
    }

    private static Outcome call(Route r, String... args) throws Throwable {
        Outcome outcome = new Outcome();
        r.call(NativeHolder.class, outcome, args);
        return outcome.await();
    }

    /** Proves nothing left for the service: a valid call made afterwards is the only request recorded. */
    private static void assertNothingSent() throws Throwable {
        Outcome sentinel = call(Route.named("getPlayerSkinInfo"), base, "sentinel");
        assertEquals(200, sentinel.response.statusCode());
        List<RecordedRequest> seen = service.requests();
        assertEquals(List.of("GET /cosmetic/user_cosmetic?mr_uuid=sentinel"),
                seen.stream().map(RecordedRequest::requestLine).toList());
    }

    @Test
    void eachCallSendsItsOwnRequestLineWithArgumentsInOrder() throws Throwable {
        String[] values = {"U1", "A2", "R3", "P4"};
        for (Route r : Route.ACCOUNT) {
            String[] given = Arrays.copyOf(values, r.values());
            service.clearRequests();
            Outcome o = call(r, Route.strings(base, given));
            assertNull(o.failure, r.method());
            assertEquals(200, o.response.statusCode(), r.method());
            assertTrue(o.response.body().startsWith("{\"status\":"), r.method());
            assertEquals(1, o.calls.get(), r.method());
            assertEquals(List.of(r.requestLine(given)),
                    service.requests().stream().map(RecordedRequest::requestLine).toList(), r.method());
        }
    }

    @Test
    void saveConfigurationPostsTheBodyUnchangedAsJson() throws Throwable {
        for (String body : new String[] {"{\"cape\":\"Grüße €\",\"emoji\":\"\uD83D\uDE00\",\"nul\":\"\u0000\"}", ""}) {
            service.clearRequests();
            Outcome o = call(Route.named("saveConfiguration"), base, body);
            assertEquals(200, o.response.statusCode());
            RecordedRequest r = service.requests().get(0);
            assertEquals("POST /member/update_cosmetic", r.requestLine());
            assertEquals(List.of("application/json"), r.header("Content-Type"));
            assertArrayEquals(body.getBytes(StandardCharsets.UTF_8), r.body());
        }
    }

    @Test
    void errorStatusesArriveAsResponses() throws Throwable {
        service.respond("/login_code", 404, "no such code");
        service.respond("/member/cosmetics", 500, "{\"error\":\"database down\"}");
        Outcome missing = call(Route.named("signIn"), base, "u", "c");
        assertNull(missing.failure);
        assertEquals(404, missing.response.statusCode());
        assertEquals("no such code", missing.response.body());
        Outcome broken = call(Route.named("getAvailableCosmetics"), base, "u", "a", "r", "p");
        assertNull(broken.failure);
        assertEquals(500, broken.response.statusCode());
        assertEquals("{\"error\":\"database down\"}", broken.response.body());
    }

    @Test
    void refusedConnectionArrivesAsFailure() throws Throwable {
        String refused = ReferenceService.refusedBaseUrl();
        for (Route m : Route.ACCOUNT) {
            String[] a = new String[m.params().size()];
            Arrays.fill(a, "v");
            a[0] = refused;
            Outcome o = call(m, a);
            assertNull(o.response, m.method());
            // As the host guide says: a CompletionException, the exchange's own failure within.
            assertInstanceOf(java.util.concurrent.CompletionException.class, o.failure, m.method());
            Throwable cause = o.failure;
            while (!(cause instanceof ConnectException) && cause.getCause() != null) {
                cause = cause.getCause();
            }
            assertInstanceOf(ConnectException.class, cause, m.method());
            assertEquals(1, o.calls.get());
        }
    }

    @Test
    void valuesAreInsertedVerbatim() throws Throwable {
        String[][] cases = {
            // base URL, player id, code, expected request line
            {base + "/", "u", "c", "GET //login_code?mr_uuid=u&code=c"},
            {base, "u&admin=1", "c=d", "GET /login_code?mr_uuid=u&admin=1&code=c=d"},
            {base, "", "C", "GET /login_code?mr_uuid=&code=C"},
            {base, "", "", "GET /login_code?mr_uuid=&code="},
            // An escape in a value is sent as written, not decoded and not expanded again.
            {base, "%7B%7D", "%25s", "GET /login_code?mr_uuid=%7B%7D&code=%25s"},
            // Non-ASCII survives the modified-UTF-8 round trip; the client percent-encodes it on the wire.
            {base, "é", "\uD83D\uDE00", "GET /login_code?mr_uuid=%C3%A9&code=%F0%9F%98%80"},
            {base + "/api", "u", "c", "GET /api/login_code?mr_uuid=u&code=c"},
        };
        for (String[] c : cases) {
            service.clearRequests();
            Outcome o = call(Route.named("signIn"), c[0], c[1], c[2]);
            assertNotNull(o.response, c[3]);
            if (c[3].startsWith("GET //")) {
                // The JDK server refuses "//login_code" before any handler sees it (404 in older JDK 17
                // updates, 400 in newer ones such as 17.0.21), so the request the client sent is checked
                // instead.
                URI sent = o.response.request().uri();
                assertEquals(c[3], "GET " + sent.getRawPath() + "?" + sent.getRawQuery());
                assertTrue(o.response.statusCode() == 404 || o.response.statusCode() == 400,
                        "status " + o.response.statusCode());
                continue;
            }
            assertEquals(List.of(c[3]), service.requests().stream().map(RecordedRequest::requestLine).toList());
        }
    }

    @Test
    void urlsThatJavaRejectsThrowToTheCallerAndSendNothing() throws Throwable {
        String[][] cases = {
            {base, "{}", "c"},      // "{" and "}" are not allowed in a URI
            {base, "%s", "c"},      // "%" not followed by two hex digits
            {base, "a b", "c"},
            {base, "u", "a\u0000b"}, // a NUL crosses as modified UTF-8 (C0 80): no silent cut at "a"
            {"not a url", "u", "c"},
            {"", "u", "c"},
            {"ftp://127.0.0.1:1", "u", "c"},
        };
        for (String[] c : cases) {
            Outcome o = new Outcome();
            assertThrows(IllegalArgumentException.class,
                    () -> NativeHolder.signIn(c[0], c[1], c[2], o), String.join(" | ", c));
            assertEquals(0, o.calls.get());
        }
        Outcome post = new Outcome();
        assertThrows(IllegalArgumentException.class,
                () -> NativeHolder.saveConfiguration(base + "/{}", "{}", post));
        assertEquals(0, post.calls.get());
        assertNothingSent();
    }

    @Test
    void nullArgumentsThrowNullPointerExceptionNamingTheParameter() throws Throwable {
        for (Route m : Route.ACCOUNT) {
            for (int nulled = 0; nulled <= m.params().size(); nulled++) {
                String[] a = new String[m.params().size()];
                Arrays.fill(a, "v");
                a[0] = base;
                Outcome o = new Outcome();
                BiConsumer<java.net.http.HttpResponse<String>, Throwable> cb = o;
                String expected;
                if (nulled == m.params().size()) {
                    cb = null;
                    expected = "callback";
                } else {
                    a[nulled] = null;
                    expected = m.params().get(nulled);
                }
                BiConsumer<java.net.http.HttpResponse<String>, Throwable> callback = cb;
                NullPointerException e = assertThrows(NullPointerException.class, () -> m.call(NativeHolder.class, callback, a),
                        m.method() + " " + expected);
                assertEquals(expected + " must not be null", e.getMessage());
                assertEquals(0, o.calls.get());
            }
        }
        assertNothingSent();
    }

    @Test
    void nullHttpClientThrowsToTheCallerWithoutCallback() throws Throwable {
        HttpClient saved = NativeHolder.httpClient();
        List<Outcome> outcomes = new ArrayList<>();
        try {
            NativeHolder.setHttpClient(null);
            for (Route m : Route.ACCOUNT) {
                String[] a = new String[m.params().size()];
                Arrays.fill(a, "v");
                a[0] = base;
                Outcome o = new Outcome();
                outcomes.add(o);
                NullPointerException e = assertThrows(NullPointerException.class, () -> m.call(NativeHolder.class, o, a), m.method());
                assertTrue(e.getMessage().contains("HTTP_CLIENT"), e.getMessage());
            }
        } finally {
            NativeHolder.setHttpClient(saved);
        }
        assertNothingSent();
        outcomes.forEach(o -> assertEquals(0, o.calls.get()));
    }

    /**
     * Where the callbacks run, as the host developers' guide says: the library registers them on the future
     * of HTTP_CLIENT's sendAsync, which the JDK completes on CompletableFuture's default executor whatever the
     * client's executor: the common pool, or (JDK 17 and 21 when the common pool has fewer than two threads)
     * a new thread per callback. Never on the client's executor, the host's, nor on its selector thread,
     * which a slow callback would stall. A call whose answer has come before the library registers the
     * callback runs it on the calling thread.
     */
    @Test
    void callbacksRunOnTheThreadsTheGuideNames() throws Throwable {
        HttpClient saved = NativeHolder.httpClient();
        ExecutorService hosts = Executors.newFixedThreadPool(2, r -> new Thread(r, "host-executor"));
        String expected = new CompletableFuture<Void>().defaultExecutor() == ForkJoinPool.commonPool()
                ? "ForkJoinPool\\.commonPool-worker-\\d+" : "Thread-\\d+";
        String caller = Pattern.quote(Thread.currentThread().getName());
        // HTTP/1.1 as the stand-in host's client: the h2c upgrade a default client asks for is no part of this.
        List<HttpClient> clients = List.of(HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build(),
                HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).executor(hosts).build());
        try {
            for (HttpClient client : clients) {
                NativeHolder.setHttpClient(client);
                // The five GETs; saveConfiguration's POST registers its callback the same way. After the
                // concurrent row the service holds more idle connections than its limit and closes each
                // finished one at once: the client sends a GET again on a new connection, not a POST.
                for (Route m : Route.ACCOUNT.stream().filter(m -> !m.method().equals("saveConfiguration")).toList()) {
                    String[] a = new String[m.params().size()];
                    Arrays.fill(a, "v");
                    a[0] = base;
                    Outcome o = call(m, a);
                    assertNull(o.failure, () -> m.method() + " with " + client.executor() + ": " + o.failure);
                    assertEquals(200, o.response.statusCode(), m.method());
                    assertTrue(o.thread.getName().matches(expected + "|" + caller), m.method() + " with "
                            + client.executor() + " ran its callback on " + o.thread.getName() + ", not " + expected);
                }
            }
        } finally {
            NativeHolder.setHttpClient(saved);
            hosts.shutdownNow();
        }
    }

    @Test
    void concurrentCallersEachGetExactlyOneCallback() throws Throwable {
        final int threads = 8;
        final int perThread = 200;
        // Each failed callback's cause, counted, so that a failure says what went wrong.
        Map<String, Integer> failures = new ConcurrentSkipListMap<>();
        // A client as HttpClient.newHttpClient() makes it, without the stand-in host's connect timeout: that
        // clock runs on the client's one selector thread, which an emulated JVM under load leaves seconds
        // behind when a thousand connections start at once (HttpConnectTimeoutException, not the library).
        HttpClient saved = NativeHolder.httpClient();
        NativeHolder.setHttpClient(HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build());
        try {
            callEveryMethodAtOnce(threads, perThread, failures);
        } finally {
            NativeHolder.setHttpClient(saved);
        }
        assertEquals(Map.of(), failures, "failed callbacks by cause, of " + threads * perThread);
        assertEquals(threads * perThread, service.requestCount());
    }

    private void callEveryMethodAtOnce(int threads, int perThread, Map<String, Integer> failures)
            throws InterruptedException {
        ConcurrentCallers.run(threads, perThread, (id, done) -> {
            Route m = Route.ACCOUNT.get(id % Route.ACCOUNT.size());
            String[] a = new String[m.params().size()];
            Arrays.fill(a, "id" + id);
            a[0] = base;
            BiConsumer<java.net.http.HttpResponse<String>, Throwable> callback = (response, failure) -> {
                if (failure != null || response.statusCode() != 200) {
                    String cause = failure != null ? m.method() + ": " + failure
                            : m.method() + ": status " + response.statusCode() + " " + response.body();
                    failures.merge(cause, 1, Integer::sum);
                }
                done.run();
            };
            m.call(NativeHolder.class, callback, a);
        });
    }
}
