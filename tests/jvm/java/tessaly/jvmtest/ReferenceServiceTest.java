package tessaly.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.io.IOException;
import java.io.InputStream;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.file.Files;
import java.nio.file.Path;

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

import tessaly.service.ReferenceService;

/** The reference service's mesh route and failure modes, which the mesh tests and the demo rely on. */
class ReferenceServiceTest {
    @TempDir
    static Path root;
    private static Path models;
    private static ReferenceService service;
    private static final HttpClient CLIENT = HttpClient.newBuilder().version(HttpClient.Version.HTTP_1_1).build();

    @BeforeAll
    static void start() throws IOException {
        models = Files.createDirectories(root.resolve("models"));
        Files.createDirectories(models.resolve("hats/tall"));
        Files.write(models.resolve("cube.enc"), new byte[] {1, 2, 3});
        Files.write(models.resolve("hats/tall/top.enc"), new byte[] {4, 5});
        Files.writeString(root.resolve("secret.enc"), "outside");
        service = ReferenceService.start(models);
    }

    @AfterAll
    static void stop() {
        service.close();
    }

    private static HttpResponse<byte[]> get(String target) throws Exception {
        return CLIENT.send(HttpRequest.newBuilder(URI.create(service.baseUrl() + target)).build(),
                HttpResponse.BodyHandlers.ofByteArray());
    }

    @Test
    void servesMeshFilesByNameWithSlashesAsSubfolders() throws Exception {
        assertArrayEquals(new byte[] {1, 2, 3}, get("/models/cube.enc").body());
        assertArrayEquals(new byte[] {4, 5}, get("/models/hats/tall/top.enc").body());
        for (String missing : new String[] {"/models/nope.enc", "/models/cube", "/models/hats/tall", "/models/../secret.enc",
                "/models/%2E%2E/secret.enc", "/models//cube.enc", "/models/hats/../cube.enc"}) {
            HttpResponse<byte[]> r = get(missing);
            assertEquals(404, r.statusCode(), missing);
            assertEquals("not found", new String(r.body()), missing);
        }
    }

    @Test
    void answersWhatItIsToldAndRecordsTheRawTarget() throws Exception {
        service.respond("/models/cube.enc", 304, "");
        service.respond("/auto_login", 201, "made");
        try {
            assertEquals(304, get("/models/cube.enc").statusCode());
            HttpResponse<byte[]> r = get("/auto_login?mr_uuid=%41&x=%2F");
            assertEquals(201, r.statusCode());
            assertEquals("made", new String(r.body()));
            assertEquals("GET /auto_login?mr_uuid=%41&x=%2F", service.requests().get(service.requestCount() - 1).requestLine());
        } finally {
            service.clearAnswers();
        }
        assertEquals(405, get("/member/update_cosmetic").statusCode());
    }

    @Test
    void truncatedBodyFailsTheClientsRead() throws Exception {
        service.respondTruncated("/models/cut.enc", 200, new byte[100], 4096);
        try {
            HttpResponse<InputStream> r = CLIENT.send(
                    HttpRequest.newBuilder(URI.create(service.baseUrl() + "/models/cut.enc")).build(),
                    HttpResponse.BodyHandlers.ofInputStream());
            assertEquals(200, r.statusCode());
            assertThrows(IOException.class, () -> r.body().readAllBytes());
        } finally {
            service.clearAnswers();
        }
        assertEquals(200, get("/logout").statusCode()); // and the service still answers
    }
}
