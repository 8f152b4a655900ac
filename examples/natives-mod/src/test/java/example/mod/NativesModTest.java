package example.mod;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.function.BiConsumer;

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

import quenby.tessaly.api.client.model.Mesh;

/**
 * The seven calls through the natives jar's loader against the reference service (java -jar
 * tessaly.serviceJar --models tessaly.models), which must hold cube.enc.
 */
class NativesModTest {
    private static Process service;
    private static String baseUrl;

    @BeforeAll
    static void startService() throws Exception {
        String java = System.getProperty("java.home") + "/bin/java";
        service = new ProcessBuilder(java, "-jar", System.getProperty("tessaly.serviceJar"), "--models",
                System.getProperty("tessaly.models")).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        baseUrl = new BufferedReader(new InputStreamReader(service.getInputStream(), StandardCharsets.UTF_8)).readLine();
        assertTrue(baseUrl != null && baseUrl.startsWith("http://127.0.0.1:"), "the service said " + baseUrl);
    }

    @AfterAll
    static void stopService() throws Exception {
        service.getOutputStream().close();
        service.waitFor(10, TimeUnit.SECONDS);
        service.destroy();
    }

    /** Waits for a callback and returns what it got; fails on a Throwable. */
    private static <T> T answer(CompletableFuture<T> done) throws Exception {
        return done.get(20, TimeUnit.SECONDS);
    }

    private static <T> BiConsumer<T, Throwable> into(CompletableFuture<T> done) {
        return (value, failure) -> {
            if (failure != null) {
                done.completeExceptionally(failure);
            } else {
                done.complete(value);
            }
        };
    }

    private static void ok(String call, CompletableFuture<HttpResponse<String>> done) throws Exception {
        HttpResponse<String> response = answer(done);
        assertEquals(200, response.statusCode(), call + ": " + response.body());
    }

    @Test
    void theSevenCalls() throws Exception {
        String player = "8d3f6a5e-2c1b-4e7a-9f00-1234567890ab";
        CompletableFuture<HttpResponse<String>> signIn = new CompletableFuture<>();
        NativesMod.signIn(baseUrl, player, "123456", into(signIn));
        ok("signIn", signIn);

        CompletableFuture<HttpResponse<String>> autoLogin = new CompletableFuture<>();
        NativesMod.autoLogin(baseUrl, player, "access", "refresh", "morrow", into(autoLogin));
        ok("autoLogin", autoLogin);

        CompletableFuture<HttpResponse<String>> cosmetics = new CompletableFuture<>();
        NativesMod.getAvailableCosmetics(baseUrl, player, "access", "refresh", "morrow", into(cosmetics));
        ok("getAvailableCosmetics", cosmetics);

        CompletableFuture<HttpResponse<String>> save = new CompletableFuture<>();
        NativesMod.saveConfiguration(baseUrl, "{\"hat\":\"top\"}", into(save));
        ok("saveConfiguration", save);

        CompletableFuture<HttpResponse<String>> skin = new CompletableFuture<>();
        NativesMod.getPlayerSkinInfo(baseUrl, player, into(skin));
        ok("getPlayerSkinInfo", skin);

        // loadRemoteMesh calls back before it returns, on this thread.
        CompletableFuture<Mesh> mesh = new CompletableFuture<>();
        NativesMod.loadRemoteMesh(baseUrl, "cube", into(mesh));
        assertTrue(mesh.isDone(), "loadRemoteMesh returned before its callback");
        assertTrue(answer(mesh).document().contains("\"cube\""), answer(mesh).document());

        CompletableFuture<HttpResponse<String>> signOut = new CompletableFuture<>();
        NativesMod.signOut(baseUrl, player, "access", "refresh", "morrow", into(signOut));
        ok("signOut", signOut);

        // Unloaded: the mod has let go of its client; a call then fails in words.
        NativesMod.unload();
        CompletableFuture<Mesh> after = new CompletableFuture<>();
        NativesMod.loadRemoteMesh(baseUrl, "cube", (m, failure) -> after.complete(failure == null ? m : null));
        assertNull(after.get(5, TimeUnit.SECONDS), "loadRemoteMesh with HTTP_CLIENT null");
    }
}
