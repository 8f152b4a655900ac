package bridgetest;

import java.io.InputStream;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.Flow;

import tessaly.service.RecordedRequest;
import tessaly.service.ReferenceService;

/** Java-side conveniences for the C++ bridge tests: everything returns plain strings. */
public final class BridgeProbe {
    private static ReferenceService service;

    private BridgeProbe() {
    }

    public static String startService() throws Exception {
        if (service == null) {
            service = ReferenceService.start();
        }
        return service.baseUrl();
    }

    public static String refusedBaseUrl() throws Exception {
        return ReferenceService.refusedBaseUrl();
    }

    public static void respond(String path, int status, String body) {
        service.respond(path, status, body);
    }

    public static void reset() {
        service.clearAnswers();
        service.clearRequests();
    }

    public static int requestCount() {
        return service.requestCount();
    }

    /** "METHOD target\nName: value\n...\n\nbody" of the next recorded request, or null after 5 s. */
    public static String nextRequest() throws Exception {
        RecordedRequest r = service.takeRequest(5000);
        if (r == null) {
            return null;
        }
        StringBuilder out = new StringBuilder(r.requestLine()).append('\n');
        new TreeMap<>(r.headers()).forEach((k, v) -> v.forEach(x -> out.append(k).append(": ").append(x).append('\n')));
        return out.append('\n').append(r.bodyText()).toString();
    }

    /** "METHOD uri\nName: value\n...\n\nbody" of a request that has not been sent. */
    public static String describe(HttpRequest request) throws Exception {
        StringBuilder out = new StringBuilder(request.method()).append(' ').append(request.uri()).append('\n');
        Map<String, java.util.List<String>> headers = new TreeMap<>(request.headers().map());
        headers.forEach((k, v) -> v.forEach(x -> out.append(k).append(": ").append(x).append('\n')));
        out.append('\n');
        if (request.bodyPublisher().isPresent()) {
            out.append(new String(publishedBytes(request.bodyPublisher().get()), StandardCharsets.UTF_8));
        }
        return out.toString();
    }

    /** "STATUS body" of a response whose body is a String or an InputStream. */
    public static String summary(HttpResponse<?> response) throws Exception {
        Object body = response.body();
        String text = body instanceof InputStream in ? new String(in.readAllBytes(), StandardCharsets.UTF_8)
                : String.valueOf(body);
        return response.statusCode() + " " + text;
    }

    public static String className(Object o) {
        return o == null ? "null" : o.getClass().getName();
    }

    private static byte[] publishedBytes(HttpRequest.BodyPublisher publisher) throws Exception {
        java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream();
        java.util.concurrent.CompletableFuture<Void> done = new java.util.concurrent.CompletableFuture<>();
        publisher.subscribe(new Flow.Subscriber<ByteBuffer>() {
            public void onSubscribe(Flow.Subscription s) {
                s.request(Long.MAX_VALUE);
            }

            public void onNext(ByteBuffer b) {
                byte[] chunk = new byte[b.remaining()];
                b.get(chunk);
                out.write(chunk, 0, chunk.length);
            }

            public void onError(Throwable t) {
                done.completeExceptionally(t);
            }

            public void onComplete() {
                done.complete(null);
            }
        });
        done.get();
        return out.toByteArray();
    }
}
