package tessaly.soak;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.net.ConnectException;
import java.net.http.HttpClient;
import java.net.http.HttpResponse;
import java.time.Duration;
import java.util.concurrent.Executors;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HexFormat;
import java.util.List;
import java.util.Locale;
import java.util.SplittableRandom;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.Semaphore;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;
import java.util.function.BiConsumer;

import javax.crypto.Cipher;
import javax.crypto.spec.SecretKeySpec;
import javax.management.ObjectName;

import quenby.tessaly.api.client.model.Mesh;
import quenby.tessaly.client.online.TessalyServerConnectionHelper;
import tessaly.jvmtest.Route;
import tessaly.service.ReferenceService;

/**
 * Soak of the native library on a real JVM: many threads making the seven calls at once against the
 * reference service, for a long time, checking that every call ends exactly as documented and that the
 * process does not grow.
 *
 * Each of the threads runs a fixed pseudo-random mix of the six asynchronous calls (canned 200 answers,
 * 404 and 503 statuses, refused connections, null arguments) and of mesh downloads (good meshes of
 * several sizes, a missing one, a damaged one, a refused connection, a null name). Every asynchronous
 * callback must arrive exactly once, as (response with the expected status, null) or (null, failure
 * caused by ConnectException); a null argument must throw NullPointerException with no callback ever.
 * Mesh downloads must call back exactly once on the calling thread, or throw IllegalStateException
 * "404 not found" with no callback.
 *
 * A warm-up round comes first; the resident set size (VmRSS of /proc/self/status) is taken after it and
 * after the measured round, each time once every callback has arrived and after full collections. Run it
 * with -Xms equal to -Xmx and -XX:+AlwaysPreTouch so that the Java heap is resident from the start and
 * cannot move VmRSS; the heap in use and the JVM's own native memory (when -XX:NativeMemoryTracking is on)
 * are reported beside it.
 *
 * Arguments: --threads N --calls N --meshes N [--warmup-fraction F] [--max-rss-growth PERCENT]
 * [--deadline-seconds S]. System properties: tessaly.library (the library's path), tessaly.meshKey
 * (the build's mesh key, 32 hex digits). Exit status 0 when every check held.
 */
public final class Soak {
    private static final AtomicLong outstanding = new AtomicLong();
    private static final AtomicLong callbacks = new AtomicLong();
    private static final AtomicLong asyncIssued = new AtomicLong();
    private static final AtomicLong extraCallbacks = new AtomicLong();
    private static final ConcurrentLinkedQueue<String> violations = new ConcurrentLinkedQueue<>();
    private static final AtomicLong[] outcomeCounts = new AtomicLong[9];
    private static final String[] OUTCOME_NAMES = {"async 200", "async 404", "async 503", "async refused",
        "null argument", "mesh ok", "mesh failure to callback", "mesh 404 thrown",
        "connection dropped by the service"};

    private static Semaphore inFlight;
    /** Control run: the same exchanges made by Java code alone, without the library (--pure-java). */
    private static boolean pureJava;
    private static String base;
    private static String refused;

    private Soak() {
    }

    private static void violation(String what) {
        if (violations.size() < 50) {
            violations.add(what);
        }
    }

    /** The expected end of one asynchronous call. */
    private enum Expect { STATUS_200, STATUS_404, STATUS_503, REFUSED }

    /** The callback of one asynchronous call: counts its invocations and checks their shape. */
    private static final class Check implements BiConsumer<HttpResponse<String>, Throwable> {
        private final Expect expect;
        private final AtomicInteger calls = new AtomicInteger();

        Check(Expect expect) {
            this.expect = expect;
        }

        @Override
        public void accept(HttpResponse<String> response, Throwable failure) {
            if (calls.incrementAndGet() != 1) {
                extraCallbacks.incrementAndGet();
                violation("callback called again: " + expect);
                return;
            }
            try {
                switch (expect) {
                    case REFUSED -> {
                        if (response != null || !causedBy(failure, ConnectException.class)) {
                            violation("refused call: accept(" + response + ", " + failure + ")");
                        }
                    }
                    default -> {
                        int status = expect == Expect.STATUS_200 ? 200 : expect == Expect.STATUS_404 ? 404 : 503;
                        if (response == null && causedBy(failure, IOException.class)) {
                            // The service's HttpServer closed a kept-alive connection as the client reused
                            // it: a failed exchange, reported as one. Counted, and limited below.
                            outcomeCounts[8].incrementAndGet();
                            return;
                        }
                        if (failure != null || response == null || response.statusCode() != status
                                || response.body() == null || response.body().isEmpty()) {
                            violation("expected status " + status + ": accept(" + response + ", " + failure + ")");
                        }
                    }
                }
                outcomeCounts[expect.ordinal()].incrementAndGet();
            } finally {
                callbacks.incrementAndGet();
                outstanding.decrementAndGet();
                inFlight.release();
            }
        }
    }

    private static boolean causedBy(Throwable t, Class<? extends Throwable> type) {
        for (Throwable c = t; c != null; c = c.getCause()) {
            if (type.isInstance(c)) {
                return true;
            }
        }
        return false;
    }

    /** One asynchronous call of method m (0..5) with base URL b; null arguments by nullMask bits. */
    private static void call(int m, String b, int nullMask, String id, BiConsumer<HttpResponse<String>, Throwable> cb) {
        String[] s = {b, id, "at-" + id, "rt-" + id, "tessaly"};
        for (int i = 0; i < s.length; i++) {
            if ((nullMask >> i & 1) != 0) {
                s[i] = null;
            }
        }
        if (pureJava) {
            javaCall(m, s, cb);
            return;
        }
        switch (m) {
            case 0 -> TessalyServerConnectionHelper.autoLogin(s[0], s[1], s[2], s[3], s[4], cb);
            case 1 -> TessalyServerConnectionHelper.signIn(s[0], s[1], s[2], cb);
            case 2 -> TessalyServerConnectionHelper.signOut(s[0], s[1], s[2], s[3], s[4], cb);
            case 3 -> TessalyServerConnectionHelper.getAvailableCosmetics(s[0], s[1], s[2], s[3], s[4], cb);
            case 4 -> TessalyServerConnectionHelper.saveConfiguration(s[0],
                    s[1] == null ? null : "{\"player\":\"" + s[1] + "\",\"cape\":\"cape_aurora\"}", cb);
            default -> TessalyServerConnectionHelper.getPlayerSkinInfo(s[0], s[1], cb);
        }
    }

    /** What the library does for call m, in Java: the control against which its memory is compared. */
    private static void javaCall(int m, String[] s, BiConsumer<HttpResponse<String>, Throwable> cb) {
        int n = stringParams(m);
        for (int i = 0; i < n; i++) {
            java.util.Objects.requireNonNull(s[i]);
        }
        java.util.Objects.requireNonNull(cb);
        java.net.http.HttpRequest request;
        Route route = Route.ACCOUNT.get(m);
        if (route.httpMethod().equals("POST")) {
            request = java.net.http.HttpRequest.newBuilder().POST(java.net.http.HttpRequest.BodyPublishers.ofString(s[1]))
                    .header("Content-Type", "application/json").uri(java.net.URI.create(s[0] + route.target()))
                    .build();
        } else {
            request = java.net.http.HttpRequest.newBuilder().GET()
                    .uri(java.net.URI.create(s[0] + route.target(java.util.Arrays.copyOfRange(s, 1, n)))).build();
        }
        TessalyServerConnectionHelper.HTTP_CLIENT.sendAsync(request, HttpResponse.BodyHandlers.ofString())
                .whenComplete(cb);
    }

    /** Number of string parameters of method m, base URL included. */
    private static int stringParams(int m) {
        return Route.ACCOUNT.get(m).params().size();
    }

    private static void asyncCall(SplittableRandom rnd, String id) throws InterruptedException {
        int m = rnd.nextInt(6);
        int kind = rnd.nextInt(100);
        if (kind < 4) {
            // A null argument (or a null callback): NullPointerException now, no callback ever.
            int which = rnd.nextInt(stringParams(m) + 1);
            BiConsumer<HttpResponse<String>, Throwable> never =
                    (response, failure) -> violation("callback called after a NullPointerException");
            try {
                if (which == stringParams(m)) {
                    call(m, base, 0, id, null);
                } else {
                    call(m, base, 1 << which, id, never);
                }
                violation("null argument " + which + " of method " + m + ": no exception");
            } catch (NullPointerException expected) {
                outcomeCounts[4].incrementAndGet();
            }
            return;
        }
        Expect expect = kind < 64 ? Expect.STATUS_200 : kind < 76 ? Expect.STATUS_404
                : kind < 88 ? Expect.STATUS_503 : Expect.REFUSED;
        String b = switch (expect) {
            case STATUS_200 -> base;
            case STATUS_404 -> base + "/missing";
            case STATUS_503 -> base + "/busy";
            case REFUSED -> refused;
        };
        inFlight.acquire();
        outstanding.incrementAndGet();
        asyncIssued.incrementAndGet();
        try {
            call(m, b, 0, id, new Check(expect));
        } catch (RuntimeException e) {
            outstanding.decrementAndGet();
            inFlight.release();
            violation("call threw " + e);
        }
    }

    /** The outcome of one mesh download on this thread. */
    private static final class MeshCheck implements BiConsumer<Mesh, Throwable> {
        final Thread caller = Thread.currentThread();
        int calls;
        Mesh mesh;
        Throwable failure;

        @Override
        public void accept(Mesh m, Throwable f) {
            calls++;
            mesh = m;
            failure = f;
            if (Thread.currentThread() != caller) {
                violation("mesh callback on another thread");
            }
        }
    }

    private static void meshCall(SplittableRandom rnd, int[] vertexCounts) {
        int kind = rnd.nextInt(100);
        MeshCheck cb = new MeshCheck();
        if (kind < 4) {
            try {
                TessalyServerConnectionHelper.loadRemoteMesh(base, null, cb);
                violation("null mesh name: no exception");
            } catch (NullPointerException expected) {
                outcomeCounts[4].incrementAndGet();
            }
            if (cb.calls != 0) {
                violation("callback called after a NullPointerException (mesh)");
            }
            return;
        }
        if (kind < 12) {
            try {
                TessalyServerConnectionHelper.loadRemoteMesh(base, "absent/mesh", cb);
                violation("missing mesh: no exception");
            } catch (IllegalStateException e) {
                if (!"404 not found".equals(e.getMessage())) {
                    violation("missing mesh: message " + e.getMessage());
                }
                outcomeCounts[7].incrementAndGet();
            }
            if (cb.calls != 0) {
                violation("missing mesh: callback called");
            }
            return;
        }
        boolean refusedCall = kind < 20;
        boolean damaged = !refusedCall && kind < 28;
        int good = rnd.nextInt(vertexCounts.length);
        String name = damaged ? "damaged" : "mesh" + good;
        TessalyServerConnectionHelper.loadRemoteMesh(refusedCall ? refused : base, name, cb);
        if (cb.calls != 1) {
            violation("mesh " + name + ": " + cb.calls + " callbacks");
            return;
        }
        if (!refusedCall && cb.mesh == null && causedBy(cb.failure, IOException.class)) {
            outcomeCounts[8].incrementAndGet(); // as for the asynchronous calls: a failed exchange, reported
            return;
        }
        if (refusedCall) {
            if (cb.mesh != null || !causedBy(cb.failure, ConnectException.class)) {
                violation("refused mesh: accept(" + cb.mesh + ", " + cb.failure + ")");
            }
            outcomeCounts[6].incrementAndGet();
        } else if (damaged) {
            if (cb.mesh != null || !(cb.failure instanceof IllegalArgumentException)) {
                violation("damaged mesh: accept(" + cb.mesh + ", " + cb.failure + ")");
            }
            outcomeCounts[6].incrementAndGet();
        } else {
            if (cb.failure != null || cb.mesh == null || !cb.mesh.name().equals(name)
                    || cb.mesh.vertexCount() != vertexCounts[good]) {
                violation("mesh " + name + ": accept(" + cb.mesh + ", " + cb.failure + ")");
            }
            outcomeCounts[5].incrementAndGet();
        }
    }

    /** Runs one round: threads each making calls/threads asynchronous calls and meshes/threads downloads. */
    private static double round(int threads, long calls, long meshes, long seed, int[] vertexCounts)
            throws InterruptedException {
        List<Thread> workers = new ArrayList<>();
        long start = System.nanoTime();
        for (int t = 0; t < threads; t++) {
            final long myCalls = calls / threads + (t < calls % threads ? 1 : 0);
            final long myMeshes = meshes / threads + (t < meshes % threads ? 1 : 0);
            final SplittableRandom rnd = new SplittableRandom(seed * 1000 + t);
            final int worker = t;
            Thread thread = new Thread(() -> {
                try {
                    long total = myCalls + myMeshes;
                    long c = 0, m = 0;
                    for (long i = 0; i < total; i++) {
                        // Spread the downloads evenly between the asynchronous calls.
                        if (m < myMeshes && (c >= myCalls || m * total < i * myMeshes)) {
                            meshCall(rnd, vertexCounts);
                            m++;
                        } else {
                            asyncCall(rnd, worker + "-" + i);
                            c++;
                        }
                    }
                } catch (Throwable e) {
                    violation("worker " + worker + ": " + e);
                }
            }, "soak-" + t);
            workers.add(thread);
            thread.start();
        }
        for (Thread w : workers) {
            w.join();
        }
        return (System.nanoTime() - start) / 1e9;
    }

    private static boolean awaitQuiet(long timeoutMillis) throws InterruptedException {
        long until = System.currentTimeMillis() + timeoutMillis;
        while (outstanding.get() != 0 && System.currentTimeMillis() < until) {
            Thread.sleep(20);
        }
        return outstanding.get() == 0;
    }

    /**
     * VmRSS in KiB once the process has settled: after full collections, and after the JVM's periodic
     * clean-up has freed the compilers' scratch memory (every 5 s).
     */
    private static long settledRssKib() throws Exception {
        System.gc();
        Thread.sleep(6000);
        for (int i = 0; i < 2; i++) {
            System.gc();
            Thread.sleep(200);
        }
        for (String line : Files.readAllLines(Path.of("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        throw new IllegalStateException("no VmRSS in /proc/self/status");
    }

    private static long heapUsedKib() {
        Runtime r = Runtime.getRuntime();
        return (r.totalMemory() - r.freeMemory()) / 1024;
    }

    /**
     * The JVM's own committed native memory in KiB by NMT category ("Total" for the sum), empty when
     * native-memory tracking is off. The library's own allocations are not in it.
     */
    private static java.util.Map<String, Long> nmtCommittedKib() {
        java.util.Map<String, Long> byCategory = new java.util.LinkedHashMap<>();
        try {
            Object out = ManagementFactory.getPlatformMBeanServer().invoke(
                    new ObjectName("com.sun.management:type=DiagnosticCommand"), "vmNativeMemory",
                    new Object[] {new String[] {"summary"}}, new String[] {String[].class.getName()});
            java.util.regex.Matcher m = java.util.regex.Pattern
                    .compile("(?m)^[-\\s]*([A-Za-z][A-Za-z ]*?) ?\\(?\\s*:?\\s*\\(?reserved=\\d+KB, committed=(\\d+)KB")
                    .matcher(out.toString());
            while (m.find()) {
                byCategory.put(m.group(1).replace(":", "").trim(), Long.parseLong(m.group(2)));
            }
        } catch (Exception e) {
            // tracking off
        }
        return byCategory;
    }

    private static byte[] meshFile(String document, boolean damage, byte[] key) throws Exception {
        ByteArrayOutputStream padded = new ByteArrayOutputStream();
        padded.writeBytes(document.getBytes(StandardCharsets.UTF_8));
        if (!damage) {
            padded.write(0x80);
        }
        while (padded.size() % 16 != 0) {
            padded.write(damage ? '!' : 0);
        }
        Cipher aes = Cipher.getInstance("AES/ECB/NoPadding");
        aes.init(Cipher.ENCRYPT_MODE, new SecretKeySpec(key, "AES"));
        return aes.doFinal(padded.toByteArray());
    }

    private static String document(String name, int vertices) {
        StringBuilder s = new StringBuilder("{\"name\":\"").append(name).append("\",\"vertices\":[");
        for (int v = 0; v < vertices; v++) {
            s.append(v == 0 ? "" : ",").append('[').append(v % 17).append(".5,").append(-v % 5).append(',')
                    .append(v * 0.25).append(']');
        }
        s.append("],\"indices\":[");
        for (int t = 0; t + 2 < vertices; t++) {
            s.append(t == 0 ? "" : ",").append(t).append(',').append(t + 1).append(',').append(t + 2);
        }
        return s.append("]}").toString();
    }

    public static void main(String[] args) throws Exception {
        int threads = 8;
        long calls = 100_000;
        long meshes = 2_000;
        double warmupFraction = 0.2;
        double maxRssGrowth = -1;
        long deadlineSeconds = 600;
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--threads" -> threads = Integer.parseInt(args[++i]);
                case "--calls" -> calls = Long.parseLong(args[++i]);
                case "--meshes" -> meshes = Long.parseLong(args[++i]);
                case "--warmup-fraction" -> warmupFraction = Double.parseDouble(args[++i]);
                case "--max-rss-growth" -> maxRssGrowth = Double.parseDouble(args[++i]);
                case "--deadline-seconds" -> deadlineSeconds = Long.parseLong(args[++i]);
                case "--pure-java" -> pureJava = true;
                default -> throw new IllegalArgumentException("unknown argument " + args[i]);
            }
        }
        for (int i = 0; i < outcomeCounts.length; i++) {
            outcomeCounts[i] = new AtomicLong();
        }
        final long deadline = deadlineSeconds;
        Thread watchdog = new Thread(() -> {
            try {
                Thread.sleep(deadline * 1000);
                System.out.println("soak: FAILED, not done within " + deadline + " s");
                System.out.flush();
                Runtime.getRuntime().halt(3);
            } catch (InterruptedException done) {
                // finished in time
            }
        }, "soak-deadline");
        watchdog.setDaemon(true);
        watchdog.start();

        System.load(System.getProperty("tessaly.library"));
        byte[] key = HexFormat.of().parseHex(System.getProperty("tessaly.meshKey"));
        Path models = Files.createTempDirectory("tessaly-soak");
        int[] vertexCounts = {3, 60, 600, 3000};
        for (int i = 0; i < vertexCounts.length; i++) {
            Files.write(models.resolve("mesh" + i + ".enc"), meshFile(document("mesh" + i, vertexCounts[i]), false, key));
        }
        // Its last block has no marker: the library prints its padding-error line and the loader rejects
        // the text.
        Files.write(models.resolve("damaged.enc"), meshFile(document("damaged", 10), true, key));

        inFlight = new Semaphore(64 * threads);
        // The host's client, configured as a host would for a long-running game: a fixed pool of worker
        // threads. (The default executor is a cached pool that grows with the peak number of exchanges in
        // flight and keeps idle threads for a minute; their stacks would show up as resident memory.)
        TessalyServerConnectionHelper.HTTP_CLIENT = HttpClient.newBuilder()
                .version(HttpClient.Version.HTTP_1_1)
                .connectTimeout(Duration.ofSeconds(10))
                .executor(Executors.newFixedThreadPool(threads, r -> {
                    Thread t = new Thread(r, "soak-http-client");
                    t.setDaemon(true);
                    return t;
                }))
                .build();
        int exit = 0;
        try (ReferenceService service = ReferenceService.start(models)) {
            base = service.baseUrl();
            refused = ReferenceService.refusedBaseUrl();
            for (Route r : Route.ACCOUNT) {
                service.respond("/busy" + r.path(), 503, "{\"error\":\"busy\"}");
            }

            long warmCalls = Math.max(1, (long) (calls * warmupFraction));
            long warmMeshes = Math.max(1, (long) (meshes * warmupFraction));
            round(threads, warmCalls, warmMeshes, 1, vertexCounts);
            boolean quiet = awaitQuiet(60_000);
            long rssWarm = settledRssKib();
            long heapWarm = heapUsedKib();
            int threadsWarm = ManagementFactory.getThreadMXBean().getThreadCount();
            java.util.Map<String, Long> nmtWarm = nmtCommittedKib();
            long callbacksWarm = callbacks.get();

            double seconds = round(threads, calls, meshes, 2, vertexCounts);
            quiet &= awaitQuiet(60_000);
            Thread.sleep(500); // any late second callback would arrive now
            long rssEnd = settledRssKib();
            long heapEnd = heapUsedKib();
            int threadsEnd = ManagementFactory.getThreadMXBean().getThreadCount();
            java.util.Map<String, Long> nmtEnd = nmtCommittedKib();

            if (!quiet) {
                violation(outstanding.get() + " callbacks never arrived");
            }
            long asyncSeen = outcomeCounts[0].get() + outcomeCounts[1].get() + outcomeCounts[2].get()
                    + outcomeCounts[3].get() + outcomeCounts[8].get();
            if (outcomeCounts[8].get() * 100 > asyncIssued.get() + meshes) {
                violation(outcomeCounts[8].get() + " connections dropped by the service: more than 1 %");
            }
            double growth = 100.0 * (rssEnd - rssWarm) / rssWarm;
            System.out.printf(Locale.ROOT, "soak: %d threads, measured round %d asynchronous calls + %d mesh "
                    + "downloads in %.1f s: %.0f calls/s, %.0f meshes/s%n", threads, calls, meshes, seconds,
                    calls / seconds, meshes / seconds);
            System.out.printf(Locale.ROOT, "soak: callbacks %d (after warm-up %d), extra callbacks %d, "
                    + "never arrived %d%n", callbacks.get(), callbacksWarm, extraCallbacks.get(), outstanding.get());
            StringBuilder mix = new StringBuilder("soak: outcomes");
            for (int i = 0; i < outcomeCounts.length; i++) {
                mix.append(i == 0 ? " " : ", ").append(OUTCOME_NAMES[i]).append(' ').append(outcomeCounts[i].get());
            }
            System.out.println(mix);
            System.out.printf(Locale.ROOT, "soak: VmRSS after warm-up %d KiB, after run %d KiB: %+.2f %%%n",
                    rssWarm, rssEnd, growth);
            System.out.printf(Locale.ROOT, "soak: Java heap in use after warm-up %d KiB, after run %d KiB "
                    + "(max %d KiB); live threads %d and %d (%d started in all)%n", heapWarm, heapEnd,
                    Runtime.getRuntime().maxMemory() / 1024, threadsWarm, threadsEnd,
                    ManagementFactory.getThreadMXBean().getTotalStartedThreadCount());
            if (nmtWarm.containsKey("Total")) {
                long total0 = nmtWarm.get("Total"), total1 = nmtEnd.getOrDefault("Total", 0L);
                StringBuilder moved = new StringBuilder();
                for (var e : nmtEnd.entrySet()) {
                    long d = e.getValue() - nmtWarm.getOrDefault(e.getKey(), 0L);
                    if (!e.getKey().equals("Total") && Math.abs(d) >= 1024) {
                        moved.append(", ").append(e.getKey()).append(String.format(Locale.ROOT, " %+d KiB", d));
                    }
                }
                long other0 = rssWarm - total0, other1 = rssEnd - total1;
                System.out.printf(Locale.ROOT, "soak: JVM's own memory (NMT committed, heap included) after warm-up "
                        + "%d KiB, after run %d KiB%s%n", total0, total1, moved);
                System.out.printf(Locale.ROOT, "soak: VmRSS outside the JVM's own accounting (library, C runtime, "
                        + "class libraries' malloc) after warm-up %d KiB, after run %d KiB: %+d KiB%n",
                        other0, other1, other1 - other0);
            }
            if (asyncSeen != asyncIssued.get() || callbacks.get() != asyncIssued.get()) {
                violation(asyncIssued.get() + " asynchronous calls issued, " + callbacks.get() + " first callbacks, "
                        + asyncSeen + " of the expected shape");
            }
            if (maxRssGrowth >= 0 && growth > maxRssGrowth) {
                violation(String.format(Locale.ROOT, "VmRSS grew %.2f %% (limit %.1f %%)", growth, maxRssGrowth));
            }
        }
        for (String v : violations) {
            System.out.println("soak: VIOLATION " + v);
        }
        if (!violations.isEmpty()) {
            exit = 1;
        }
        System.out.println(exit == 0 ? "soak: all checks held" : "soak: FAILED");
        System.out.flush();
        watchdog.interrupt();
        System.exit(exit);
    }
}
