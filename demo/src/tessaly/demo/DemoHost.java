package tessaly.demo;

import java.io.InputStream;
import java.net.http.HttpClient;
import java.net.http.HttpResponse;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyStore;
import java.security.cert.Certificate;
import java.security.cert.CertificateFactory;
import java.time.Duration;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.TimeoutException;
import java.util.function.BiConsumer;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

import javax.net.ssl.SSLContext;
import javax.net.ssl.TrustManagerFactory;

import quenby.tessaly.api.client.model.Mesh;
import tessaly.host.NativeHolder;
import tessaly.service.ReferenceService;

/**
 * A small host of the native library: it loads the library and makes the seven calls in the order a game
 * client makes them (sign in with a login code, automatic sign-in, list cosmetics, save a choice, read a
 * player's cosmetics, load meshes, sign out), printing each request and its outcome, and shows one failure
 * handled: a mesh the service does not have. Without --service it runs against a reference service
 * started in this process on 127.0.0.1; with --service it talks to a real deployment, and with --trust-cert
 * to a staging one whose certificate comes from a private CA.
 *
 * Exit status: 0 when every call was answered as expected, 1 when one was not, 2 for a bad command line.
 */
public final class DemoHost {

    /** How long a call's callback is waited for: longer than the clients' connect timeouts (60 s at most). */
    private static final long WAIT_SECONDS = 90;
    private static final Pattern COSMETIC =
            Pattern.compile("\\{\"id\":\"([^\"]+)\",\"type\":\"([^\"]+)\"\\}");

    private static final String USAGE = String.join("\n",
            "usage: tessaly-demo [options]",
            "  --library PATH        the native library to load (default: system property tessaly.library)",
            "  --models DIR          mesh files for the embedded service (default: system property tessaly.models)",
            "  --service URL         use the service at URL (e.g. https://api.example.net) instead of the embedded one",
            "  --trust-cert PEM      for HTTPS, trust only the certificates in PEM (a private or staging CA's, or the",
            "                        server's own) instead of the JDK's; the client then prefers HTTP/2, as a game's does",
            "  --player UUID         the player's id (default: a fixed demo player)",
            "  --code CODE           the one-time login code for signIn (default: demo code)",
            "  --access-token T      tokens for the calls after signIn (default: those signIn returns)",
            "  --refresh-token T",
            "  --provider P          (default: the provider signIn returns, else \"tessaly\")",
            "  --mesh NAME[,NAME...] meshes to load (default: cube,hat,cape)",
            "  --missing-mesh NAME   a mesh the service lacks, to show the handled failure (default: no_such_mesh)",
            "  --help");

    private DemoHost() {
    }

    private static int failures;

    public static void main(String[] args) throws Exception {
        Map<String, String> opt = new LinkedHashMap<>();
        opt.put("--library", System.getProperty("tessaly.library"));
        opt.put("--models", System.getProperty("tessaly.models"));
        opt.put("--player", "5f0c2a9e-7d41-4b8a-9c3e-2b6f8d1a4e07");
        opt.put("--code", "K7Q-2M9X");
        opt.put("--mesh", "cube,hat,cape");
        opt.put("--missing-mesh", "no_such_mesh");
        for (String name : List.of("--service", "--trust-cert", "--access-token", "--refresh-token", "--provider")) {
            opt.put(name, null);
        }
        for (int i = 0; i < args.length; i++) {
            if (args[i].equals("--help") || args[i].equals("-h")) {
                System.out.println(USAGE);
                return;
            }
            if (!opt.containsKey(args[i]) || i + 1 >= args.length) {
                System.err.println("tessaly-demo: " + (opt.containsKey(args[i]) ? args[i] + " needs a value"
                        : "unknown option " + args[i]));
                System.err.println(USAGE);
                System.exit(2);
            }
            opt.put(args[i], args[++i]);
        }
        if (opt.get("--library") == null) {
            System.err.println("tessaly-demo: --library PATH is required");
            System.exit(2);
        }
        if (opt.get("--trust-cert") != null) {
            Path pem = Path.of(opt.get("--trust-cert"));
            try {
                // 30 s: an emulated JVM on a busy machine has taken over 10 s for its first TLS connection.
                NativeHolder.setHttpClient(HttpClient.newBuilder().sslContext(trusting(pem))
                        .connectTimeout(Duration.ofSeconds(30)).build());
            } catch (java.io.IOException | java.security.GeneralSecurityException e) {
                System.err.println("tessaly-demo: --trust-cert " + pem + ": " + e);
                System.exit(2);
            }
        }
        System.load(Path.of(opt.get("--library")).toAbsolutePath().toString());

        ReferenceService embedded = null;
        String base = opt.get("--service");
        if (base == null) {
            Path models = opt.get("--models") == null ? null : Path.of(opt.get("--models"));
            embedded = ReferenceService.start(models);
            base = embedded.baseUrl();
            System.out.println("Reference service started on " + base + " serving " + describe(models));
        } else {
            System.out.println("Using the service at " + base);
        }
        if (opt.get("--trust-cert") != null) {
            System.out.println("TLS: trusting only the certificates in " + opt.get("--trust-cert"));
        }
        System.out.println("Library " + opt.get("--library") + " loaded into " + System.getProperty("java.vm.name")
                + " " + System.getProperty("java.runtime.version") + " (" + System.getProperty("os.arch") + "), holder "
                + NativeHolder.className() + "; player " + opt.get("--player"));
        System.out.println();
        try {
            run(base, opt, embedded == null || opt.get("--models") == null ? null : Path.of(opt.get("--models")));
        } finally {
            if (embedded != null) {
                embedded.close();
                System.out.println("Reference service stopped.");
            }
        }
        System.out.println(failures == 0 ? "Done: all seven calls answered, one failure handled."
                : "Done with " + failures + " unexpected outcome(s).");
        System.exit(failures == 0 ? 0 : 1);
    }

    private static void run(String base, Map<String, String> opt, Path models) throws Exception {
        String player = opt.get("--player");

        step("1", "signIn", "player, login code");
        HttpResponse<String> login = await(cb -> NativeHolder.signIn(base, player, opt.get("--code"), cb));
        String[] signedIn = {pick(opt.get("--access-token"), login, "access_token", "demo-access-token"),
                pick(opt.get("--refresh-token"), login, "refresh_token", "demo-refresh-token")};
        String provider = pick(opt.get("--provider"), login, "provider", "tessaly");

        step("2", "autoLogin", "player, stored tokens, provider");
        HttpResponse<String> renewed = await(cb ->
                NativeHolder.autoLogin(base, player, signedIn[0], signedIn[1], provider, cb));
        // Later calls use the tokens the automatic sign-in renewed, unless given on the command line.
        String access = pick(opt.get("--access-token"), renewed, "access_token", signedIn[0]);
        String refresh = pick(opt.get("--refresh-token"), renewed, "refresh_token", signedIn[1]);

        step("3", "getAvailableCosmetics", "player, tokens, provider");
        HttpResponse<String> owned = await(cb ->
                NativeHolder.getAvailableCosmetics(base, player, access, refresh, provider, cb));

        step("4", "saveConfiguration", "JSON body: the player's choice");
        StringBuilder choice = new StringBuilder();
        if (owned != null) {
            Matcher m = COSMETIC.matcher(owned.body());
            while (m.find()) {
                choice.append(choice.length() == 0 ? "" : ",").append('"').append(m.group(2)).append("\":\"")
                        .append(m.group(1)).append('"');
            }
        }
        String body = "{\"mr_uuid\":\"" + player + "\",\"access_token\":\"" + access + "\",\"selection\":{"
                + choice + "}}";
        System.out.println("   body " + body);
        await(cb -> NativeHolder.saveConfiguration(base, body, cb));

        step("5", "getPlayerSkinInfo", "player");
        await(cb -> NativeHolder.getPlayerSkinInfo(base, player, cb));

        step("6", "loadRemoteMesh", "mesh name; runs on this thread, decrypted in the library");
        for (String name : opt.get("--mesh").split(",")) {
            loadMesh(base, name.trim(), models);
        }

        step("6b", "loadRemoteMesh", "a mesh the service does not have");
        String missing = opt.get("--missing-mesh");
        System.out.println("   GET " + base + "/models/" + missing + ".enc");
        boolean[] called = {false};
        Object[] got = new Object[2];
        try {
            NativeHolder.loadRemoteMesh(base, missing, (mesh, error) -> {
                called[0] = true;
                got[0] = mesh;
                got[1] = error;
            });
            failures++;
            System.out.println("   UNEXPECTED: no IllegalStateException; the callback "
                    + (!called[0] ? "was not called" : "got " + shorten(String.valueOf(got[1] != null ? got[1] : got[0]))));
        } catch (IllegalStateException e) {
            System.out.println("   handled: IllegalStateException \"" + shorten(e.getMessage()) + "\""
                    + (called[0] ? " (but the callback was called too)" : "; callback not called, as designed"));
            if (called[0]) {
                failures++;
            }
        }

        step("7", "signOut", "player, tokens, provider");
        await(cb -> NativeHolder.signOut(base, player, access, refresh, provider, cb));
        System.out.println();
    }

    private static void loadMesh(String base, String name, Path models) {
        String url = base + "/models/" + name + ".enc";
        Path file = models == null ? null : models.resolve(name + ".enc");
        String size = "";
        try {
            if (file != null && Files.isRegularFile(file)) {
                size = ", " + Files.size(file) + " bytes encrypted";
            }
        } catch (java.io.IOException e) {
            // the size is only for show
        }
        System.out.println("   GET " + url);
        Object[] got = new Object[2];
        boolean[] called = {false};
        try {
            NativeHolder.loadRemoteMesh(base, name, (mesh, error) -> {
                got[0] = mesh;
                got[1] = error;
                called[0] = true;
            });
        } catch (IllegalStateException e) {
            failures++;
            System.out.println("   FAILED: IllegalStateException \"" + shorten(e.getMessage()) + "\"");
            return;
        }
        if (!called[0]) {
            failures++;
            System.out.println("   FAILED: loadRemoteMesh returned without calling the callback");
        } else if (got[1] != null) {
            failures++;
            System.out.println("   FAILED: " + shorten(got[1].toString()));
        } else {
            Mesh mesh = (Mesh) got[0];
            System.out.println("   mesh \"" + mesh.name() + "\": " + mesh.vertexCount() + " vertices, "
                    + mesh.triangleCount() + " triangles" + size);
        }
    }

    private static void step(String n, String call, String what) {
        System.out.println(n + ". " + call + " (" + what + ")");
    }

    /** Makes one asynchronous call, waits for its callback, and prints request and outcome. */
    private static HttpResponse<String> await(java.util.function.Consumer<BiConsumer<HttpResponse<String>, Throwable>> call)
            throws InterruptedException {
        CompletableFuture<HttpResponse<String>> done = new CompletableFuture<>();
        call.accept((response, error) -> {
            if (error != null) {
                done.completeExceptionally(error);
            } else {
                done.complete(response);
            }
        });
        try {
            HttpResponse<String> response = done.get(WAIT_SECONDS, TimeUnit.SECONDS);
            System.out.println("   " + response.request().method() + " " + response.uri());
            System.out.println("   " + response.statusCode() + " " + shorten(response.body()));
            if (response.statusCode() / 100 != 2) {
                failures++;
            }
            return response;
        } catch (TimeoutException e) {
            failures++;
            System.out.println("   FAILED: no callback within " + WAIT_SECONDS + " s");
        } catch (java.util.concurrent.ExecutionException e) {
            failures++;
            System.out.println("   FAILED: the exchange failed: " + shorten(e.getCause().toString()));
        }
        return null;
    }

    /** An SSLContext whose trust anchors are the certificates of a PEM file, and nothing else. */
    private static SSLContext trusting(Path pem) throws java.io.IOException, java.security.GeneralSecurityException {
        KeyStore store = KeyStore.getInstance(KeyStore.getDefaultType());
        store.load(null, null);
        int n = 0;
        try (InputStream in = Files.newInputStream(pem)) {
            for (Certificate c : CertificateFactory.getInstance("X.509").generateCertificates(in)) {
                store.setCertificateEntry("trusted-" + n++, c);
            }
        }
        if (n == 0) {
            throw new java.security.cert.CertificateException("no certificate in the file");
        }
        TrustManagerFactory factory = TrustManagerFactory.getInstance(TrustManagerFactory.getDefaultAlgorithm());
        factory.init(store);
        SSLContext context = SSLContext.getInstance("TLS");
        context.init(null, factory.getTrustManagers(), null);
        return context;
    }

    private static String pick(String given, HttpResponse<String> response, String key, String fallback) {
        if (given != null) {
            return given;
        }
        if (response != null) {
            Matcher m = Pattern.compile("\"" + key + "\"\\s*:\\s*\"([^\"]*)\"").matcher(response.body());
            if (m.find()) {
                return m.group(1);
            }
        }
        return fallback;
    }

    private static String describe(Path models) throws java.io.IOException {
        if (models == null || !Files.isDirectory(models)) {
            return "no mesh files";
        }
        List<String> names = new ArrayList<>();
        try (var files = Files.list(models)) {
            files.map(p -> p.getFileName().toString()).filter(n -> n.endsWith(".enc")).sorted().forEach(names::add);
        }
        return names.size() + " mesh files (" + String.join(", ", names) + ") from " + models;
    }

    private static String shorten(String text) {
        String one = text.replaceAll("\\s+", " ").trim();
        return one.length() <= 110 ? one : one.substring(0, 107) + "...";
    }
}
