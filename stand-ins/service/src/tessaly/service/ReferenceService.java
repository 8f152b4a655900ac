package tessaly.service;

import com.sun.net.httpserver.HttpExchange;
import com.sun.net.httpserver.HttpServer;

import java.io.IOException;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * A local stand-in for the add-on's online service, on 127.0.0.1.
 *
 * It answers the account and cosmetics paths with canned JSON (see CANNED), serves encrypted mesh files
 * at GET /models/{name}.enc from a folder (a name with "/" maps to subfolders), and answers 404 "not found"
 * for anything else. Every request is recorded as it arrived before it is answered. Tests can replace the
 * answer for any path, including with a body that breaks off mid-read.
 */
public final class ReferenceService implements AutoCloseable {

    /** The canned answers: path -> (method, JSON body). The only place they are written down. */
    private static final Map<String, String[]> CANNED = Map.of(
            "/auto_login", new String[] {"GET",
                "{\"status\":\"ok\",\"access_token\":\"at-renewed\",\"refresh_token\":\"rt-renewed\",\"expires_in\":3600}"},
            "/login_code", new String[] {"GET",
                "{\"status\":\"ok\",\"access_token\":\"at-new\",\"refresh_token\":\"rt-new\",\"provider\":\"tessaly\",\"expires_in\":3600}"},
            "/logout", new String[] {"GET", "{\"status\":\"signed_out\"}"},
            "/member/cosmetics", new String[] {"GET",
                "{\"status\":\"ok\",\"cosmetics\":[{\"id\":\"cape_aurora\",\"type\":\"cape\"},{\"id\":\"hat_lantern\",\"type\":\"hat\"}]}"},
            "/member/update_cosmetic", new String[] {"POST", "{\"status\":\"saved\"}"},
            "/cosmetic/user_cosmetic", new String[] {"GET",
                "{\"status\":\"ok\",\"cape\":\"cape_aurora\",\"hat\":null}"});

    static {
        // The JDK server's own limits, set before its first use, for a test that sends many requests at
        // once on a slow machine (an emulated JVM under load answers a few dozen a second), where each would
        // show as a spurious I/O failure: once 200 connections are idle it closes each finished connection at
        // once, while the client may already be reusing it; and it closes a connection whose request has
        // waited 30 s for a free thread ("header parser received no bytes").
        setIfUnset("sun.net.httpserver.maxIdleConnections", "1000");
        setIfUnset("sun.net.httpserver.idleInterval", "600");
    }

    /**
     * Connections the kernel completes before the server accepts them. A full queue drops connection
     * attempts, which the client then retries for seconds, past its connect timeout (Linux caps it at
     * net.core.somaxconn, 4096 by default).
     */
    private static final int BACKLOG = 4096;

    private static void setIfUnset(String property, String value) {
        if (System.getProperty(property) == null) {
            System.setProperty(property, value);
        }
    }

    private static final String JSON = "application/json; charset=utf-8";
    private static final String TEXT = "text/plain; charset=utf-8";

    /** A replacement answer. declaredLength > body.length makes the body break off after body. */
    private record Answer(int status, byte[] body, String contentType, long declaredLength) {
    }

    private final HttpServer server;
    private final ExecutorService executor;
    private final Path models;
    private final List<RecordedRequest> recorded = new ArrayList<>();
    private final LinkedBlockingQueue<RecordedRequest> pending = new LinkedBlockingQueue<>();
    private final Map<String, Answer> answers = new ConcurrentHashMap<>();

    private ReferenceService(int port, Path models) throws IOException {
        this.models = models == null ? null : models.toAbsolutePath().normalize();
        server = HttpServer.create(new InetSocketAddress(InetAddress.getLoopbackAddress(), port), BACKLOG);
        executor = Executors.newFixedThreadPool(8, r -> {
            Thread t = new Thread(r, "reference-service");
            t.setDaemon(true);
            return t;
        });
        server.setExecutor(executor);
        server.createContext("/", this::handle);
        server.start();
    }

    /** Starts a service on an ephemeral port of 127.0.0.1 serving meshes from models (may be null). */
    public static ReferenceService start(Path models) throws IOException {
        return new ReferenceService(0, models);
    }

    /** Starts a service on the given port of 127.0.0.1 (0: ephemeral) serving meshes from models. */
    public static ReferenceService start(int port, Path models) throws IOException {
        return new ReferenceService(port, models);
    }

    /** Starts a service without a mesh folder on an ephemeral port. */
    public static ReferenceService start() throws IOException {
        return new ReferenceService(0, null);
    }

    /** "http://127.0.0.1:PORT", without a trailing slash. */
    public String baseUrl() {
        return "http://127.0.0.1:" + port();
    }

    public int port() {
        return server.getAddress().getPort();
    }

    /**
     * A base URL on 127.0.0.1 where nothing listens, so that connecting is refused: a port that was just
     * bound and released again.
     */
    public static String refusedBaseUrl() throws IOException {
        try (ServerSocket socket = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
            return "http://127.0.0.1:" + socket.getLocalPort();
        }
    }

    /** From now on, answer requests for the raw path (no query) with status and a text body. */
    public void respond(String path, int status, String body) {
        respond(path, status, body.getBytes(StandardCharsets.UTF_8), TEXT);
    }

    /** From now on, answer requests for the raw path with status, body and content type. */
    public void respond(String path, int status, byte[] body, String contentType) {
        answers.put(path, new Answer(status, body.clone(), contentType, body.length));
    }

    /**
     * From now on, answer requests for the raw path with status and a Content-Length of declaredLength,
     * send only the bytes of sent, then close the connection: the client's read of the body fails.
     */
    public void respondTruncated(String path, int status, byte[] sent, long declaredLength) {
        if (declaredLength <= sent.length) {
            throw new IllegalArgumentException("declaredLength must exceed the bytes sent");
        }
        answers.put(path, new Answer(status, sent.clone(), "application/octet-stream", declaredLength));
    }

    /** Back to the canned answers and the mesh folder for every path. */
    public void clearAnswers() {
        answers.clear();
    }

    /** Every request recorded since the start or the last clearRequests, in arrival order. */
    public List<RecordedRequest> requests() {
        synchronized (recorded) {
            return List.copyOf(recorded);
        }
    }

    public int requestCount() {
        synchronized (recorded) {
            return recorded.size();
        }
    }

    /** The oldest request not yet taken, waiting up to timeoutMillis; null if none arrived. */
    public RecordedRequest takeRequest(long timeoutMillis) throws InterruptedException {
        return pending.poll(timeoutMillis, TimeUnit.MILLISECONDS);
    }

    public void clearRequests() {
        synchronized (recorded) {
            recorded.clear();
            pending.clear();
        }
    }

    @Override
    public void close() {
        server.stop(0);
        executor.shutdownNow();
    }

    private void handle(HttpExchange exchange) throws IOException {
        try (exchange) {
            byte[] body = exchange.getRequestBody().readAllBytes();
            Map<String, List<String>> headers = new LinkedHashMap<>();
            exchange.getRequestHeaders().forEach((k, v) -> headers.put(k, List.copyOf(v)));
            // URI(String) keeps the request line's text as it was: toString gives it back undecoded.
            RecordedRequest request = new RecordedRequest(exchange.getRequestMethod(),
                    exchange.getRequestURI().toString(), Map.copyOf(headers), body);
            synchronized (recorded) {
                recorded.add(request);
                pending.add(request);
            }

            Answer answer = answers.get(request.path());
            if (answer != null) {
                send(exchange, answer);
            } else if (request.path().startsWith("/models/")) {
                serveModel(exchange, request);
            } else {
                String[] canned = CANNED.get(request.path());
                if (canned == null) {
                    send(exchange, 404, "not found", TEXT);
                } else if (!canned[0].equals(request.method())) {
                    send(exchange, 405, "{\"error\":\"method not allowed\"}", JSON);
                } else {
                    send(exchange, 200, canned[1], JSON);
                }
            }
        }
    }

    /** GET /models/{name}.enc: the file {name}.enc below the mesh folder; never a file outside it. */
    private void serveModel(HttpExchange exchange, RecordedRequest request) throws IOException {
        String path = exchange.getRequestURI().getPath();
        String name = path.substring("/models/".length());
        Path file = null;
        if (models != null && request.method().equals("GET") && name.endsWith(".enc") && safeName(name)) {
            Path candidate = models.resolve(name).normalize();
            if (candidate.startsWith(models) && Files.isRegularFile(candidate)) {
                file = candidate;
            }
        }
        if (file == null) {
            send(exchange, 404, "not found", TEXT);
            return;
        }
        send(exchange, new Answer(200, Files.readAllBytes(file), "application/octet-stream", Files.size(file)));
    }

    private static boolean safeName(String name) {
        for (String segment : name.split("/", -1)) {
            if (segment.isEmpty() || segment.equals(".") || segment.equals("..") || segment.indexOf('\\') >= 0) {
                return false;
            }
        }
        return true;
    }

    private static void send(HttpExchange exchange, int status, String body, String contentType) throws IOException {
        byte[] bytes = body.getBytes(StandardCharsets.UTF_8);
        send(exchange, new Answer(status, bytes, contentType, bytes.length));
    }

    private static void send(HttpExchange exchange, Answer answer) throws IOException {
        exchange.getResponseHeaders().set("Content-Type", answer.contentType());
        boolean noBody = answer.status() == 204 || answer.status() == 304 || answer.status() < 200
                || exchange.getRequestMethod().equals("HEAD");
        exchange.sendResponseHeaders(answer.status(), noBody ? -1 : answer.declaredLength() == 0 ? -1 : answer.declaredLength());
        if (noBody) {
            return;
        }
        OutputStream out = exchange.getResponseBody();
        out.write(answer.body());
        if (answer.declaredLength() > answer.body().length) {
            out.flush();
            // Leaving the handler with an exception makes the server drop the connection mid-body.
            throw new IOException("reference service: body cut off after " + answer.body().length + " of "
                    + answer.declaredLength() + " bytes, as asked");
        }
    }

    /**
     * Runs a service until standard input closes (or, with --until-killed, until the process is killed).
     * Arguments: [--port N] (default 0: ephemeral) [--models DIR] [--until-killed].
     * Prints its base URL, e.g. "http://127.0.0.1:41234", as the first line of standard output.
     */
    public static void main(String[] args) throws Exception {
        int port = 0;
        Path modelsDir = null;
        boolean untilKilled = false;
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--port" -> port = Integer.parseInt(argument(args, ++i, "--port"));
                case "--models" -> modelsDir = Path.of(argument(args, ++i, "--models"));
                case "--until-killed" -> untilKilled = true;
                default -> {
                    System.err.println("usage: ReferenceService [--port N] [--models DIR] [--until-killed]");
                    System.exit(2);
                }
            }
        }
        if (modelsDir != null && !Files.isDirectory(modelsDir)) {
            System.err.println("ReferenceService: not a folder: " + modelsDir);
            System.exit(2);
        }
        ReferenceService service = start(port, modelsDir);
        System.out.println(service.baseUrl());
        System.out.flush();
        if (untilKilled) {
            Thread.currentThread().join();
        }
        while (System.in.read() >= 0) {
            // keep running while the launcher holds standard input open
        }
        service.close();
    }

    private static String argument(String[] args, int i, String option) {
        if (i >= args.length) {
            System.err.println("ReferenceService: " + option + " needs a value");
            System.exit(2);
        }
        return args[i];
    }
}
